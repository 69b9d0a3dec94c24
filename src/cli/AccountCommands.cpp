// murmelo-cli accounts list|add|update|remove
#include "CheckMBCommands.h"
#include "CliCommand.h"
#include "RecordJson.h"
#include "engine/MUScripting.h"
#include "receive/CArriveShell.h"
#include "receive/BrowserSignIn.h"
#include "receive/CCheckMB.h"
#include "receive/Sasl.h"
#include "receive/OnlineAccounts.h"
#include "storage/PasswordStore.h"
#include "receive/ServerCertificate.h"
#include "storage/AccountManager.h"
#include "trellis/MUError.h"
#include "trellis/Utility.h"
#include <QFile>
#include <QProcess>
#include <QTextStream>
#include <cstdio>
#include <optional>

namespace {
const QStringList AccountProps = {"Server", "Port", "User", "CheckInterval", "Disabled", "Email", "Security", "CertPin",
                                  "Protocol", "Folder"};

/// Where the account's password is kept: the record says so when a keyring is in use.
QString passwordStore(const Record &a)
{
    if (!a.text("OnlineAccount").isEmpty())
        return QStringLiteral("online account");
    return a.text("PasswordStore").isEmpty() ? QStringLiteral("database") : a.text("PasswordStore");
}

QString accountLine(const Record &a)
{
    const bool disabled = Utility::ToBool(a.Item("Disabled"), false);
    QString line = QStringLiteral("%1  %2:%3  user %4  every %5 min  %6")
                       .arg(a.Id(), a.text("Server"), a.text("Port"), a.text("User"), a.text("CheckInterval"),
                            a.text("Security").isEmpty() ? QStringLiteral("None") : a.text("Security"));
    if (!a.text("Email").isEmpty())
        line += QStringLiteral("  <%1>").arg(a.text("Email"));
    if (a.text("Protocol") == QLatin1String("IMAP"))
        line += QStringLiteral("  IMAP folder %1").arg(a.text("Folder"));
    if (!a.text("CertPin").isEmpty())
        line += QStringLiteral("  (certificate pinned)");
    if (disabled)
        line += QStringLiteral("  (disabled)");
    if (!a.text("OnlineAccount").isEmpty())
        line += QStringLiteral("  online account %1").arg(a.text("OnlineAccount"));
    else if (!a.text("OAuth2Provider").isEmpty())
        line += QStringLiteral("  browser sign-in %1, token in %2").arg(a.text("OAuth2Provider"), passwordStore(a));
    else
        line += QStringLiteral("  password in %1").arg(passwordStore(a));
    if (a.Item("SignInNeeded").toBool())
        line += QStringLiteral("  (sign in again)");
    return line;
}

/// `accounts test ID`: the stored account signs in as its check does, a linked one with a token
/// asked for now. What it shows of the sign-in marks the account or clears its mark.
int testStoredAccount(CliContext &ctx, const QString &id)
{
    MUScripting &engine = ctx.engine();
    const Record a = engine.accountManager()->GetAccount(id);
    QString reason = a.text("PwdError");
    qint32 number = MUError::Fail;
    bool ok = false;
    if (reason.isEmpty()) {
        CCheckMB checker;
        checker.Init(engine.log());
        ok = checker.CheckAccount(a, &reason);
        number = checker.lastErrorNumber();
        // A failure without a number (the checker busy, an unexpected fault) says nothing of the sign-in.
        if (ok || number != 0)
            engine.NoteSignIn(a.Id(), ok ? 0 : number);
    }
    if (ok) {
        ctx.print(QStringLiteral("ok %1").arg(AccountManager::ProtocolText(a.text("Protocol"))),
                  {{"ok", true}, {"protocol", AccountManager::ProtocolText(a.text("Protocol"))}});
        return CliOk;
    }
    QJsonObject json{{"ok", false}, {"reason", reason.trimmed()}};
    json.insert(QStringLiteral("SignInNeeded"), number == Sasl::SignInNeeded);
    ctx.print(reason.trimmed(), json);
    return CliSomeFailed;
}

/// "--password -" reads the password from the first line of standard input, so it
/// need not stand on a command line that other users can see.
QString readPassword(const QString &value)
{
    if (value != QLatin1String("-"))
        return value;
    QTextStream in(stdin);
    return in.readLine();
}

/// Browser sign-in is offered only where its refresh token can live: in the keyring.
bool keyringForSignIn(CliContext &ctx)
{
    QString why;
    if (PasswordStore::KeyringAvailable(nullptr, &why))
        return true;
    ctx.error(QStringLiteral("browser sign-in keeps its token in the keyring only, and no keyring is available%1")
                  .arg(why.isEmpty() ? QString() : QStringLiteral(": ") + why));
    return false;
}

/// Signs in with `provider` in the browser; the refresh token, or empty after printing why not.
/// The address goes to stderr as well, for a desktop whose browser does not open by itself.
QString browserSignIn(CliContext &ctx, const BrowserSignIn::Provider &provider)
{
    QString why;
    const QString browser = qEnvironmentVariable("MURMELO_BROWSER", QStringLiteral("xdg-open"));
    const QString refresh = BrowserSignIn::SignIn(provider, [&browser](const QUrl &url) {
        std::fprintf(stderr, "Open this address in your browser to sign in:\n%s\n", url.toEncoded().constData());
        std::fflush(stderr);
        QProcess::startDetached(browser, {url.toString(QUrl::FullyEncoded)});
    }, &why);
    if (refresh.isEmpty())
        ctx.error(QStringLiteral("sign-in failed: %1").arg(why));
    return refresh;
}

/// The mail-enabled online account `id`; nullopt after printing why not.
std::optional<OnlineAccounts::MailAccount> findOnlineAccount(CliContext &ctx, const QString &id)
{
    QString why;
    const QList<OnlineAccounts::MailAccount> accounts = OnlineAccounts::List(&why);
    for (const OnlineAccounts::MailAccount &o : accounts) {
        if (o.id == id)
            return o;
    }
    ctx.error(why.isEmpty() ? QStringLiteral("no mail-enabled online account '%1' (see: accounts online)").arg(id)
                            : why.trimmed());
    return std::nullopt;
}

/// Applies the options given to `a`; false (after printing why) on a bad value. `online`: `a`
/// already holds an online account's settings, which stand unless an option says otherwise.
bool applyOptions(CliContext &ctx, Record &a, bool adding, bool online = false)
{
    bool present = false;
    const QString server = ctx.takeOption("--server", &present);
    if (present)
        a.Add("Server", server.trimmed());
    const QString security = ctx.takeOption("--security", &present).toLower();
    bool securityGiven = present;
    if (present) {
        static const QHash<QString, QString> names{{"tls", "TLS"}, {"starttls", "STARTTLS"}, {"none", "None"}};
        if (!names.contains(security)) {
            ctx.error(QStringLiteral("--security must be tls, starttls or none"));
            return false;
        }
        a.Add("Security", names.value(security));
    }
    const QString protocol = ctx.takeOption("--protocol", &present).toLower();
    if (present) {
        if (protocol != QLatin1String("imap") && protocol != QLatin1String("pop3")) {
            ctx.error(QStringLiteral("--protocol must be imap or pop3"));
            return false;
        }
        a.Add("Protocol", protocol.toUpper());
    } else if (adding && !online) {
        a.Add("Protocol", QStringLiteral("POP3"));
    }
    const QString folder = ctx.takeOption("--folder", &present);
    if (present) {
        if (folder.trimmed().isEmpty()) {
            ctx.error(QStringLiteral("--folder must name a folder"));
            return false;
        }
        a.Add("Folder", folder);
    } else if (adding && !online) {
        a.Add("Folder", QStringLiteral("INBOX"));
    }
    const bool imap = a.text("Protocol") == QLatin1String("IMAP");
    const QString port = ctx.takeOption("--port", &present);
    if (present) {
        bool ok = false;
        const int n = port.toInt(&ok);
        if (!ok || n < 1 || n > 65535) {
            ctx.error(QStringLiteral("--port must be a number from 1 to 65535"));
            return false;
        }
        a.Add("Port", n);
    } else if (adding && !online) {
        const bool tls = a.text("Security") == QLatin1String("TLS");
        a.Add("Port", imap ? (tls ? 993 : 143) : (tls ? 995 : 110));
    }
    if (adding && !online && !securityGiven) {
        const int n = a.Item("Port").toInt();
        a.Add("Security", (n == 995 || n == 993) ? QStringLiteral("TLS") : QStringLiteral("STARTTLS"));
    }
    const QString user = ctx.takeOption("--user", &present);
    if (present)
        a.Add("User", user);
    const QString password = ctx.takeOption("--password", &present);
    if (present)
        a.Add("Pwd", readPassword(password));
    else if (adding)
        a.Add("Pwd", QString());
    const QString interval = ctx.takeOption("--interval", &present);
    if (present) {
        bool ok = false;
        const int n = interval.toInt(&ok);
        if (!ok || n < 1) {
            ctx.error(QStringLiteral("--interval must be a whole number of minutes, at least 1"));
            return false;
        }
        a.Add("CheckInterval", n);
    } else if (adding) {
        a.Add("CheckInterval", 10);
    }
    if (ctx.takeFlag("--disabled"))
        a.Add("Disabled", true);
    else if (ctx.takeFlag("--enabled") || adding)
        a.Add("Disabled", false);
    const QString email = ctx.takeOption("--email", &present);
    if (present)
        a.Add("Email", email.trimmed());
    else if (adding && !online)
        a.Add("Email", QString());
    if (adding)
        a.Add("CertPin", QString());
    if (!ctx.args.isEmpty()) {
        ctx.error(QStringLiteral("unexpected argument '%1'").arg(ctx.args.first()));
        return false;
    }
    return true;
}

int runAccounts(CliContext &ctx)
{
    const QString sub = ctx.args.isEmpty() ? QStringLiteral("list") : ctx.args.takeFirst();
    if (sub == QLatin1String("test") && ctx.args.size() == 1 && !ctx.args.first().startsWith(QLatin1String("--")))
        return testStoredAccount(ctx, ctx.args.first());
    if (sub == QLatin1String("test"))
        return RunAccountTest(ctx);   // a server check needs no database
    MUScripting &engine = ctx.engine();
    if (sub == QLatin1String("online")) {
        if (!ctx.takenAll(QStringLiteral("accounts online")))
            return CliUsage;
        QString why;
        const QList<OnlineAccounts::MailAccount> accounts = OnlineAccounts::List(&why);
        if (!why.isEmpty()) {
            ctx.error(why.trimmed());
            return CliFailed;
        }
        for (const OnlineAccounts::MailAccount &o : accounts) {
            ctx.print(QStringLiteral("%1  %2  %3:%4  %5  user %6  %7%8")
                          .arg(o.id, o.email, o.server, QString::number(o.port), o.security, o.user, o.auth,
                               o.provider.isEmpty() ? QString() : QStringLiteral("  (%1)").arg(o.provider)),
                      {{"OnlineAccount", o.id}, {"Provider", o.provider}, {"Email", o.email}, {"Server", o.server},
                       {"Port", o.port}, {"Security", o.security}, {"User", o.user}, {"Auth", o.auth}});
        }
        return CliOk;
    }
    if (sub == QLatin1String("list")) {
        if (!ctx.takenAll(QStringLiteral("accounts list")))
            return CliUsage;
        const DataBag accounts = engine.accountManager()->AccountList();
        for (const QVariant &v : accounts) {
            const Record a = v.value<Record>();
            QJsonObject json = RecordToJson(a, AccountProps);
            json.insert(QStringLiteral("PasswordStore"), passwordStore(a));
            for (const char *link : {"OnlineAccount", "OAuth2Provider"}) {
                if (!a.text(link).isEmpty())
                    json.insert(QLatin1String(link), a.text(link));
            }
            json.insert(QStringLiteral("SignInNeeded"), a.Item("SignInNeeded").toBool());
            ctx.print(accountLine(a), json);
        }
        return CliOk;
    }
    if (sub == QLatin1String("add")) {
        bool online = false;
        const QString onlineId = ctx.takeOption("--online-account", &online);
        bool oauth2 = false;
        const QString providerName = ctx.takeOption("--oauth2", &oauth2);
        Record a;
        if (online) {
            // Server, port, security and user come from the online account; the options may still set the rest.
            const std::optional<OnlineAccounts::MailAccount> found = findOnlineAccount(ctx, onlineId);
            if (!found)
                return CliFailed;
            a = OnlineAccounts::ToAccount(*found);
        }
        if (!applyOptions(ctx, a, true, online))
            return CliUsage;
        if (a.text("Server").isEmpty() || a.text("User").isEmpty()) {
            ctx.error(QStringLiteral("accounts add needs --server and --user"));
            return CliUsage;
        }
        if (oauth2) {
            if (!keyringForSignIn(ctx))
                return CliFailed;
            const std::optional<BrowserSignIn::Provider> provider = BrowserSignIn::FindProvider(providerName);
            if (!provider) {
                ctx.error(QStringLiteral("no OAuth2 sign-in is configured for '%1' (an \"oauth2\" block with a client id "
                                         "in its provider entry of services.json)").arg(providerName));
                return CliFailed;
            }
            const QString refresh = browserSignIn(ctx, *provider);
            if (refresh.isEmpty())
                return CliFailed;
            a.Add("OAuth2Provider", provider->name);
            a.Add("Pwd", refresh);
        }
        engine.AddAccount(a);
        ctx.print(a.Id(), {{"Id", a.Id()}});
        return CliOk;
    }
    if (sub == QLatin1String("signin")) {
        if (ctx.args.size() != 1) {
            ctx.error(QStringLiteral("usage: accounts signin ID"));
            return CliUsage;
        }
        Record a = engine.accountManager()->GetAccount(ctx.args.takeFirst());
        if (!keyringForSignIn(ctx))
            return CliFailed;
        const std::optional<BrowserSignIn::Provider> provider = BrowserSignIn::FindProvider(a.text("OAuth2Provider"));
        if (!provider) {
            ctx.error(QStringLiteral("account %1 does not sign in through the browser").arg(a.Id()));
            return CliFailed;
        }
        const QString refresh = browserSignIn(ctx, *provider);
        if (refresh.isEmpty())
            return CliFailed;
        a.Add("Pwd", refresh);
        engine.UpdateAccount(a);
        ctx.print(QStringLiteral("signed in %1").arg(a.Id()), {{"Id", a.Id()}, {"SignedIn", true}});
        return CliOk;
    }
    if (sub == QLatin1String("update")) {
        if (ctx.args.isEmpty()) {
            ctx.error(QStringLiteral("accounts update needs an account id"));
            return CliUsage;
        }
        Record a = engine.accountManager()->GetAccount(ctx.args.takeFirst());
        const QString where = a.text("Server") + QLatin1Char(':') + a.text("Port");
        if (!applyOptions(ctx, a, false))
            return CliUsage;
        // A pinned certificate belongs to the server it came from.
        if (where != a.text("Server") + QLatin1Char(':') + a.text("Port"))
            a.Add("CertPin", QString());
        engine.UpdateAccount(a);
        const Record stored = engine.accountManager()->GetAccount(a.Id());
        ctx.print(accountLine(stored), RecordToJson(stored, AccountProps));
        return CliOk;
    }
    if (sub == QLatin1String("remove")) {
        if (ctx.args.isEmpty()) {
            ctx.error(QStringLiteral("accounts remove needs an account id"));
            return CliUsage;
        }
        const QString id = ctx.args.takeFirst();
        engine.accountManager()->GetAccount(id);   // 513 for an unknown id
        engine.RemoveAccount(id);
        ctx.print(QStringLiteral("removed %1").arg(id), {{"Id", id}, {"Removed", true}});
        return CliOk;
    }
    if (sub == QLatin1String("trust")) {
        const bool yes = ctx.takeFlag("--yes");
        if (ctx.args.size() != 1) {
            ctx.error(QStringLiteral("usage: accounts trust ID [--yes]"));
            return CliUsage;
        }
        Record a = engine.accountManager()->GetAccount(ctx.args.first());
        QString why;
        const QSslCertificate cert = FetchServerCertificate(a.text("Server"), quint16(a.Item("Port").toInt()),
                                                            a.text("Security"), &why, 30000, a.text("Protocol"));
        if (cert.isNull()) {
            ctx.error(QStringLiteral("no certificate from %1:%2: %3").arg(a.text("Server"), a.text("Port"), why));
            return CliFailed;
        }
        const QString fingerprint = CArriveShell::Fingerprint(cert);
        const QString subject = cert.subjectDisplayName();
        const QString issuer = cert.issuerDisplayName();
        const QString expires = cert.expiryDate().toString(Qt::ISODate);
        if (!ctx.json || !yes) {
            ctx.printText(QStringLiteral("Server %1:%2 shows this certificate:").arg(a.text("Server"), a.text("Port")));
            ctx.printText(QStringLiteral("  subject:     ") + subject);
            ctx.printText(QStringLiteral("  issuer:      ") + issuer);
            ctx.printText(QStringLiteral("  expires:     ") + expires);
            ctx.printText(QStringLiteral("  SHA-256:     ") + fingerprint);
        }
        if (!yes) {
            std::fputs("Trust this certificate for this account only? [y/N] ", stdout);
            std::fflush(stdout);
            QTextStream in(stdin);
            const QString answer = in.readLine().trimmed().toLower();
            if (answer != QLatin1String("y") && answer != QLatin1String("yes")) {
                ctx.printText(QStringLiteral("Not trusted; nothing changed."));
                return CliFailed;
            }
        }
        a.Add("CertPin", fingerprint);
        engine.UpdateAccount(a);
        ctx.print(QStringLiteral("pinned %1").arg(fingerprint),
                  {{"Id", a.Id()}, {"CertPin", fingerprint}, {"Subject", subject}, {"Issuer", issuer},
                   {"Expires", expires}});
        return CliOk;
    }
    ctx.error(QStringLiteral("unknown accounts command '%1'").arg(sub));
    return CliUsage;
}
}

static CliCommandRegistrar reg(
    QStringLiteral("accounts"),
    QStringLiteral("accounts list | online | add --server S [--port N] --user U --password P|- [--interval MIN] "
                   "[--disabled] [--email E] [--security tls|starttls|none] [--protocol imap|pop3] [--folder F] | add --online-account ID [--interval MIN] | add --oauth2 DOMAIN --server S --user U [...] | signin ID | update ID [same options, --enabled] "
                   "| remove ID | trust ID [--yes] | test ID | test --server S --user U --password P|- [--port N] "
                   "[--security tls|starttls|none] [--protocol imap|pop3]"),
    &runAccounts,
    {"--server=", "--port=", "--user=", "--password=", "--interval=", "--disabled", "--enabled", "--email=",
     "--security=", "--protocol=", "--folder=", "--yes", "--online-account=", "--oauth2="});
