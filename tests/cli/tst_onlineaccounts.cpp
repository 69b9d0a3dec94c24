// Accounts from GNOME Online Accounts, served by python3-dbusmock on a private session bus: the
// sign-in asked of the desktop at each login, the CLI's listing and adding, and mail received
// from Dovecot with the desktop's changing tokens.
#include "CliRunner.h"
#include "GoaMock.h"
#include "ReceiverRun.h"
#include "receive/OAuthDovecot.h"
#include "receive/OnlineAccounts.h"
#include "receive/Sasl.h"
#include "storage/StorageFixture.h"
#include "trellis/MUError.h"
#include "trellis/MetaTypes.h"
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

namespace {
/// Every file under `dir`, for a look for what must never be written.
QByteArray allBytes(const QString &dir)
{
    QByteArray bytes;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        bytes += fileBytes(it.next());
    return bytes;
}
}

class TestOnlineAccounts : public QObject
{
    Q_OBJECT
    GoaMock m_goa;
    QString m_why;

    /// Adds an online account to the mock: a token account when `tokens` is given, else a password one.
    void addAccount(const QString &id, const QString &host, bool ssl, bool tls, const QStringList &tokens,
                    const QString &password = {}, const QString &user = QStringLiteral("alice"))
    {
        const QDBusMessage reply = GoaMock::call(QStringLiteral("AddMailAccount"),
                                                 {id, tokens.isEmpty() ? QStringLiteral("IMAP and SMTP") : QStringLiteral("Google"),
                                                  user + QStringLiteral("@example.org"), host, user, ssl, tls, tokens, password});
        QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
        m_why = GoaMock::missing();
        if (!m_why.isEmpty())
            return;
        QVERIFY(m_goa.startBus());
        QVERIFY(m_goa.startService());
    }

    void init()
    {
        if (!m_why.isEmpty())
            QSKIP(qPrintable(m_why));
    }

    void credentialsAreAskedAtEachLogin()
    {
        addAccount(QStringLiteral("tok_1"), QStringLiteral("imap.example.org"), true, false,
                   {QStringLiteral("first-token"), QStringLiteral("second-token")});
        addAccount(QStringLiteral("pwd_1"), QStringLiteral("mail.example.org:1143"), false, true, {}, QStringLiteral("pw-of-alice"));
        Record account;
        account.Add(QStringLiteral("User"), QStringLiteral("alice"));
        account.Add(QStringLiteral("Pwd"), QString());
        // No online account: the record as it is.
        QCOMPARE(OnlineAccounts::WithCredentials(account).text(QStringLiteral("Auth")), QString());

        account.Add(QStringLiteral("OnlineAccount"), QStringLiteral("tok_1"));
        Record signIn = OnlineAccounts::WithCredentials(account);
        QCOMPARE(signIn.text(QStringLiteral("Auth")), QStringLiteral("OAuth2"));
        QCOMPARE(signIn.text(QStringLiteral("Pwd")), QStringLiteral("first-token"));
        // The desktop refreshed it: the next login has the new one.
        QCOMPARE(OnlineAccounts::WithCredentials(account).text(QStringLiteral("Pwd")), QStringLiteral("second-token"));
        QCOMPARE(account.text(QStringLiteral("Pwd")), QString());
        // Its credentials expired: only a new sign-in on the desktop helps (the engine marks the
        // account for such a refusal; the browser sign-in suite follows that through the CLI).
        GoaMock::call(QStringLiteral("RefuseTokens"), {QStringLiteral("tok_1"), true});
        const MUError refused = StorageFixture::raised([&] { OnlineAccounts::WithCredentials(account); });
        QCOMPARE(refused.number(), Sasl::SignInNeeded);
        QVERIFY2(refused.description().contains(QStringLiteral("Online Accounts settings")), qPrintable(refused.description()));

        account.Add(QStringLiteral("OnlineAccount"), QStringLiteral("pwd_1"));
        signIn = OnlineAccounts::WithCredentials(account);
        QCOMPARE(signIn.text(QStringLiteral("Auth")), QStringLiteral("Password"));
        QCOMPARE(signIn.text(QStringLiteral("Pwd")), QStringLiteral("pw-of-alice"));
        GoaMock::call(QStringLiteral("RemoveMailAccount"), {QStringLiteral("pwd_1")});

        // Removed from the desktop: a clear error, no sign-in.
        GoaMock::call(QStringLiteral("RemoveMailAccount"), {QStringLiteral("tok_1")});
        account.Add(QStringLiteral("OnlineAccount"), QStringLiteral("tok_1"));
        const MUError gone = StorageFixture::raised([&] { OnlineAccounts::WithCredentials(account); });
        QCOMPARE(gone.number(), MUError::engineNumber(525));
        QVERIFY2(gone.description().contains(QStringLiteral("tok_1 is no longer in GNOME Online Accounts")),
                 qPrintable(gone.description()));
    }

    void cliListsAndAdds()
    {
        addAccount(QStringLiteral("g_1"), QStringLiteral("imap.gmail.com"), true, false, {QStringLiteral("t")});
        addAccount(QStringLiteral("p_1"), QStringLiteral("mail.example.org:1143"), false, true, {}, QStringLiteral("pw"),
                   QStringLiteral("bob"));
        QTemporaryDir home;
        const CliResult online = runCli(home.path(), {"--json", "accounts", "online"});
        QCOMPARE(online.status, 0);
        const QList<QJsonObject> listed = online.json();
        QCOMPARE(listed.size(), 2);
        auto holds = [](const QJsonObject &o, const QJsonObject &expected) {
            for (auto it = expected.begin(); it != expected.end(); ++it)
                QCOMPARE(o.value(it.key()), it.value());
        };
        holds(listed.at(0), {{"OnlineAccount", "g_1"}, {"Email", "alice@example.org"}, {"Server", "imap.gmail.com"},
                             {"Port", 993}, {"Security", "TLS"}, {"User", "alice"}, {"Auth", "OAuth2"}});
        holds(listed.at(1), {{"Server", "mail.example.org"}, {"Port", 1143}, {"Security", "STARTTLS"}, {"Auth", "Password"}});
        const CliResult text = runCli(home.path(), {"accounts", "online"});
        QCOMPARE(text.status, 0);
        QVERIFY2(text.out.contains("g_1  alice@example.org  imap.gmail.com:993  TLS  user alice  OAuth2"), text.out.constData());

        const CliResult added = runCli(home.path(), {"--json", "accounts", "add", "--online-account", "g_1", "--interval", "5"});
        QVERIFY2(added.status == 0, added.err.constData());
        holds(runCli(home.path(), {"--json", "accounts", "list"}).first(),
              {{"Server", "imap.gmail.com"}, {"Port", 993}, {"Security", "TLS"}, {"Protocol", "IMAP"}, {"User", "alice"},
               {"CheckInterval", 5}, {"OnlineAccount", "g_1"}, {"PasswordStore", "online account"}});

        const CliResult unknown = runCli(home.path(), {"accounts", "add", "--online-account", "nope"});
        QVERIFY(unknown.status != 0);
        QVERIFY2(unknown.err.contains("no mail-enabled online account 'nope'"), unknown.err.constData());
        GoaMock::call(QStringLiteral("RemoveMailAccount"), {QStringLiteral("g_1")});
        GoaMock::call(QStringLiteral("RemoveMailAccount"), {QStringLiteral("p_1")});
    }

    // The token mechanisms, against the same Dovecot, are the SASL suite's; a new token at each
    // login is asked of the desktop in credentialsAreAskedAtEachLogin.
    void receivesFromDovecot()
    {
        const QByteArray first = "goa-first-token";
        OAuthDovecot dovecot;
        dovecot.acceptToken(first);
        START_DOVECOT_OR_SKIP(dovecot);
        const TestMail mail{1, "goa", {}, {}};
        QVERIFY(dovecot.addMessage(mail.bytes()));
        const QString id = QStringLiteral("mail_1");
        addAccount(id, QStringLiteral("%1:%2").arg(dovecot.host()).arg(dovecot.imapPort()), false, false,
                   {QString::fromLatin1(first)}, {}, dovecot.user());

        QTemporaryDir home;
        QVERIFY(runCli(home.path(), {"accounts", "add", "--online-account", id}).status == 0);
        const CliResult check = runCli(home.path(), {"--json", "check"});
        QVERIFY2(check.status == 0, (check.out + check.err + dovecot.logText().toUtf8()).constData());
        QCOMPARE(check.json().size(), 1);
        QCOMPARE(check.first().value("Subject").toString(), QStringLiteral("Message 1"));
        QCOMPARE(dovecot.introspection().countOf("GET", OAuthDovecot::introspectionPath(first)), 1);
        const QByteArray written = allBytes(home.path());
        QVERIFY(!written.isEmpty());
        QVERIFY(!written.contains(first));
        QVERIFY(!check.out.contains(first) && !check.err.contains(first));

        GoaMock::call(QStringLiteral("RemoveMailAccount"), {id});
    }
};

QTEST_GUILESS_MAIN(TestOnlineAccounts)
#include "tst_onlineaccounts.moc"
