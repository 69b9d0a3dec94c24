#include "OnlineAccounts.h"
#include "BrowserSignIn.h"
#include "Sasl.h"
#include "trellis/MUError.h"
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QMap>
#include <QVariantMap>
#include <algorithm>
#include <optional>

namespace {
using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;
}
Q_DECLARE_METATYPE(Interfaces)
Q_DECLARE_METATYPE(ManagedObjects)

namespace OnlineAccounts {
namespace {
const QString kService = QStringLiteral("org.gnome.OnlineAccounts");
const QString kRoot = QStringLiteral("/org/gnome/OnlineAccounts");
const QString kAccount = QStringLiteral("org.gnome.OnlineAccounts.Account");
const QString kMail = QStringLiteral("org.gnome.OnlineAccounts.Mail");
const QString kOAuth2 = QStringLiteral("org.gnome.OnlineAccounts.OAuth2Based");
const QString kPassword = QStringLiteral("org.gnome.OnlineAccounts.PasswordBased");
/// GOA's error when the account's credentials no longer work.
const QString kNotAuthorized = QStringLiteral("org.gnome.OnlineAccounts.Error.NotAuthorized");
/// GOA's name for the IMAP password of a password-based mail account.
const QString kImapPassword = QStringLiteral("imap-password");
/// Long enough for the desktop to refresh a token over the network, not for ever.
constexpr int CallTimeoutMs = 30000;

QString source(const QString &member) { return QStringLiteral("OnlineAccounts.") + member; }

/// Every object the service manages, or nullopt with `error` set.
std::optional<ManagedObjects> managedObjects(QString *error)
{
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kRoot, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                       QStringLiteral("GetManagedObjects"));
    const QDBusReply<ManagedObjects> reply = QDBusConnection::sessionBus().call(call, QDBus::Block, CallTimeoutMs);
    if (!reply.isValid()) {
        if (error)
            *error = QStringLiteral("GNOME Online Accounts does not answer (%1). ").arg(reply.error().message());
        return std::nullopt;
    }
    return reply.value();
}

MailAccount mailAccount(const Interfaces &object)
{
    const QVariantMap account = object.value(kAccount);
    const QVariantMap mail = object.value(kMail);
    MailAccount a;
    a.id = account.value(QStringLiteral("Id")).toString();
    a.provider = account.value(QStringLiteral("ProviderName")).toString();
    a.email = mail.value(QStringLiteral("EmailAddress")).toString();
    a.user = mail.value(QStringLiteral("ImapUserName")).toString();
    const bool ssl = mail.value(QStringLiteral("ImapUseSsl")).toBool();
    const bool tls = mail.value(QStringLiteral("ImapUseTls")).toBool();
    a.security = ssl ? QStringLiteral("TLS") : tls ? QStringLiteral("STARTTLS") : QStringLiteral("None");
    a.port = ssl ? 993 : 143;
    // The host may carry its port ("imap.example.com:1993").
    QString host = mail.value(QStringLiteral("ImapHost")).toString().trimmed();
    const qsizetype colon = host.lastIndexOf(QLatin1Char(':'));
    bool numeric = false;
    const int port = colon > 0 ? host.mid(colon + 1).toInt(&numeric) : 0;
    if (numeric && port > 0 && port < 65536 && !host.startsWith(QLatin1Char('['))) {
        a.port = port;
        host.truncate(colon);
    }
    a.server = host;
    a.auth = object.contains(kOAuth2) ? QStringLiteral("OAuth2") : QStringLiteral("Password");
    return a;
}

bool isMailAccount(const Interfaces &object)
{
    return object.contains(kAccount) && object.contains(kMail)
        && !object.value(kAccount).value(QStringLiteral("MailDisabled")).toBool()
        && object.value(kMail).value(QStringLiteral("ImapSupported"), true).toBool()
        && !object.value(kMail).value(QStringLiteral("ImapHost")).toString().isEmpty();
}

MUError failure(const QString &text, qint32 number = MUError::engineNumber(525))
{
    return MUError(number, text, source(QStringLiteral("WithCredentials")));
}
}

QList<MailAccount> List(QString *error)
{
    const std::optional<ManagedObjects> objects = managedObjects(error);
    QList<MailAccount> accounts;
    if (!objects)
        return accounts;
    for (auto it = objects->cbegin(); it != objects->cend(); ++it) {
        if (isMailAccount(it.value()))
            accounts << mailAccount(it.value());
    }
    std::sort(accounts.begin(), accounts.end(), [](const MailAccount &a, const MailAccount &b) { return a.id < b.id; });
    return accounts;
}

Record ToAccount(const MailAccount &account)
{
    Record r;
    r.Add(QStringLiteral("Server"), account.server);
    r.Add(QStringLiteral("Port"), account.port);
    r.Add(QStringLiteral("Security"), account.security);
    r.Add(QStringLiteral("User"), account.user);
    r.Add(QStringLiteral("Email"), account.email);
    r.Add(QStringLiteral("Protocol"), QStringLiteral("IMAP"));
    r.Add(QStringLiteral("Folder"), QStringLiteral("INBOX"));
    r.Add(QStringLiteral("OnlineAccount"), account.id);
    r.Add(QStringLiteral("Pwd"), QString());
    return r;
}

namespace {
/// An account signed in through the browser: an access token made from its refresh token.
Record withBrowserToken(const Record &account, const QString &providerName)
{
    const QString who = QStringLiteral("%1 on %2").arg(account.text(QStringLiteral("User")), account.text(QStringLiteral("Server")));
    const std::optional<BrowserSignIn::Provider> provider = BrowserSignIn::FindProvider(providerName);
    if (!provider)
        throw failure(QStringLiteral("The service configuration has no OAuth2 sign-in for '%1' any more (%2). ")
                          .arg(providerName, who));
    const QString refresh = account.text(QStringLiteral("Pwd"));
    if (refresh.isEmpty())
        throw failure(QStringLiteral("%1 is not signed in: sign in again (murmelo-cli accounts signin %2). ")
                          .arg(who, account.Id()),
                      Sasl::SignInNeeded);
    QString why;
    bool rejected = false;
    const QString token = BrowserSignIn::AccessToken(*provider, refresh, &why, &rejected);
    if (token.isEmpty() && rejected)
        throw failure(QStringLiteral("%1: %2 Sign in again (murmelo-cli accounts signin %3). ").arg(who, why, account.Id()),
                      Sasl::SignInNeeded);
    if (token.isEmpty())
        throw failure(QStringLiteral("%1: no access token: %2 ").arg(who, why));
    Record signIn = account;
    signIn.Add(QStringLiteral("Auth"), QStringLiteral("OAuth2"));
    signIn.Add(QStringLiteral("Pwd"), token);
    return signIn;
}
}

Record WithCredentials(const Record &account)
{
    if (const QString provider = account.text(QStringLiteral("OAuth2Provider")); !provider.isEmpty())
        return withBrowserToken(account, provider);
    const QString id = account.text(QStringLiteral("OnlineAccount"));
    if (id.isEmpty())
        return account;
    QString why;
    const std::optional<ManagedObjects> objects = managedObjects(&why);
    if (!objects)
        throw failure(why + QStringLiteral("The account's online account %1 cannot be asked for a sign-in. ").arg(id));
    for (auto it = objects->cbegin(); it != objects->cend(); ++it) {
        const Interfaces &object = it.value();
        if (object.value(kAccount).value(QStringLiteral("Id")).toString() != id)
            continue;
        if (!isMailAccount(object))
            break;
        Record signIn = account;
        const QString path = it.key().path();
        QDBusMessage call;
        if (object.contains(kOAuth2)) {
            call = QDBusMessage::createMethodCall(kService, path, kOAuth2, QStringLiteral("GetAccessToken"));
        } else if (object.contains(kPassword)) {
            call = QDBusMessage::createMethodCall(kService, path, kPassword, QStringLiteral("GetPassword"));
            call << kImapPassword;
        } else {
            throw failure(QStringLiteral("The online account %1 gives neither a token nor a password. ").arg(id));
        }
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, CallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()
            || reply.arguments().first().toString().isEmpty()) {
            // The desktop refused (its credentials expired or were revoked): only a new sign-in
            // there helps. Anything else (no answer in time) may pass by itself.
            const bool refused = reply.errorName() == kNotAuthorized
                || object.value(kAccount).value(QStringLiteral("AttentionNeeded")).toBool();
            throw failure(QStringLiteral("GNOME Online Accounts gives no sign-in for %1 (%2): sign in again in the "
                                         "desktop's Online Accounts settings. ")
                              .arg(id, reply.errorMessage()),
                          refused ? Sasl::SignInNeeded : MUError::engineNumber(525));
        }
        signIn.Add(QStringLiteral("Auth"), object.contains(kOAuth2) ? QStringLiteral("OAuth2") : QStringLiteral("Password"));
        signIn.Add(QStringLiteral("Pwd"), reply.arguments().first().toString());
        return signIn;
    }
    throw failure(QStringLiteral("The online account %1 is no longer in GNOME Online Accounts, or its mail is turned "
                                 "off: add it again there, or remove this account. ")
                      .arg(id));
}

}
