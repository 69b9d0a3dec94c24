// Accounts from GNOME Online Accounts, served by python3-dbusmock on a private session bus: the
// sign-in asked of the desktop at each login, the CLI's listing and adding, and mail received
// from Dovecot with the desktop's changing tokens.
#include "CliRunner.h"
#include "GoaMock.h"
#include "ReceiverRun.h"
#include "receive/OAuthDovecot.h"
#include "receive/OnlineAccounts.h"
#include "receive/Sasl.h"
#include "TestHome.h"
#include "storage/AccountManager.h"
#include "trellis/MUError.h"
#include "trellis/MetaTypes.h"
#include <QDBusMessage>
#include <QDirIterator>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

/// runCli with this thread's events served while it runs: the introspection service lives here.
CliResult runServed(const QString &home, const QStringList &args)
{
    QProcess p;
    QSignalSpy finished(&p, &QProcess::finished);
    p.start(cliProgram(), QStringList{QStringLiteral("--home"), home} + args);
    p.closeWriteChannel();
    if (!finished.wait(60000)) {
        p.kill();
        p.waitForFinished(5000);
        return {-1, p.readAllStandardOutput(), p.readAllStandardError()};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

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
private Q_SLOTS:
    void initTestCase();
    void init();
    void credentialsAreAskedAtEachLogin();
    void goneAccountIsAClearError();
    void cliListsAndAdds();
    void updateThatDoesNotNameTheLinkKeepsIt();
    void receivesFromDovecot_data();
    void receivesFromDovecot();
    void refusedTokenMarksTheAccountUntilItSignsIn();

private:
    /// Adds an online account to the mock: a token account when `tokens` is given, else a password one.
    void addAccount(const QString &id, const QString &host, bool ssl, bool tls, const QStringList &tokens,
                    const QString &password = {}, const QString &user = QStringLiteral("alice"));
    static QDBusMessage mockCall(const QString &method, const QVariantList &args) { return GoaMock::call(method, args); }

    GoaMock m_goa;
    bool m_ready = false;
    QString m_why;
};

void TestOnlineAccounts::initTestCase()
{
    RegisterTrellisMetaTypes();
    m_why = GoaMock::missing();
    if (!m_why.isEmpty())
        return;
    QVERIFY(m_goa.startBus());
    QVERIFY(m_goa.startService());
    m_ready = true;
}

void TestOnlineAccounts::init()
{
    if (!m_ready)
        QSKIP(qPrintable(m_why));
}

void TestOnlineAccounts::addAccount(const QString &id, const QString &host, bool ssl, bool tls, const QStringList &tokens,
                                    const QString &password, const QString &user)
{
    const QDBusMessage reply = mockCall(QStringLiteral("AddMailAccount"),
                                        {id, tokens.isEmpty() ? QStringLiteral("IMAP and SMTP") : QStringLiteral("Google"),
                                         user + QStringLiteral("@example.org"), host, user, ssl, tls, tokens, password});
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

void TestOnlineAccounts::credentialsAreAskedAtEachLogin()
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

    account.Add(QStringLiteral("OnlineAccount"), QStringLiteral("pwd_1"));
    signIn = OnlineAccounts::WithCredentials(account);
    QCOMPARE(signIn.text(QStringLiteral("Auth")), QStringLiteral("Password"));
    QCOMPARE(signIn.text(QStringLiteral("Pwd")), QStringLiteral("pw-of-alice"));
    mockCall(QStringLiteral("RemoveMailAccount"), {QStringLiteral("tok_1")});
    mockCall(QStringLiteral("RemoveMailAccount"), {QStringLiteral("pwd_1")});
}

void TestOnlineAccounts::goneAccountIsAClearError()
{
    addAccount(QStringLiteral("gone_1"), QStringLiteral("imap.example.org"), true, false, {QStringLiteral("t")});
    Record account;
    account.Add(QStringLiteral("OnlineAccount"), QStringLiteral("gone_1"));
    QCOMPARE(OnlineAccounts::WithCredentials(account).text(QStringLiteral("Pwd")), QStringLiteral("t"));
    mockCall(QStringLiteral("RemoveMailAccount"), {QStringLiteral("gone_1")});
    try {
        OnlineAccounts::WithCredentials(account);
        QFAIL("a removed online account gave a sign-in");
    } catch (const MUError &e) {
        QCOMPARE(e.number(), MUError::engineNumber(525));
        QVERIFY2(e.description().contains(QStringLiteral("gone_1 is no longer in GNOME Online Accounts")),
                 qPrintable(e.description()));
    }
}

void TestOnlineAccounts::cliListsAndAdds()
{
    addAccount(QStringLiteral("g_1"), QStringLiteral("imap.gmail.com"), true, false, {QStringLiteral("t")});
    addAccount(QStringLiteral("p_1"), QStringLiteral("mail.example.org:1143"), false, true, {}, QStringLiteral("pw"),
               QStringLiteral("bob"));
    QTemporaryDir home;
    const CliResult online = runCli(home.path(), {"--json", "accounts", "online"});
    QCOMPARE(online.status, 0);
    const QList<QJsonObject> listed = online.json();
    QCOMPARE(listed.size(), 2);
    const QJsonObject google = listed.at(0);
    QCOMPARE(google.value("OnlineAccount").toString(), QStringLiteral("g_1"));
    QCOMPARE(google.value("Email").toString(), QStringLiteral("alice@example.org"));
    QCOMPARE(google.value("Server").toString(), QStringLiteral("imap.gmail.com"));
    QCOMPARE(google.value("Port").toInt(), 993);
    QCOMPARE(google.value("Security").toString(), QStringLiteral("TLS"));
    QCOMPARE(google.value("User").toString(), QStringLiteral("alice"));
    QCOMPARE(google.value("Auth").toString(), QStringLiteral("OAuth2"));
    const QJsonObject plain = listed.at(1);
    QCOMPARE(plain.value("Server").toString(), QStringLiteral("mail.example.org"));
    QCOMPARE(plain.value("Port").toInt(), 1143);
    QCOMPARE(plain.value("Security").toString(), QStringLiteral("STARTTLS"));
    QCOMPARE(plain.value("Auth").toString(), QStringLiteral("Password"));
    const CliResult text = runCli(home.path(), {"accounts", "online"});
    QCOMPARE(text.status, 0);
    QVERIFY2(text.out.contains("g_1  alice@example.org  imap.gmail.com:993  TLS  user alice  OAuth2"), text.out.constData());

    const CliResult added = runCli(home.path(), {"--json", "accounts", "add", "--online-account", "g_1", "--interval", "5"});
    QVERIFY2(added.status == 0, added.err.constData());
    const CliResult list = runCli(home.path(), {"--json", "accounts", "list"});
    const QJsonObject stored = list.first();
    QCOMPARE(stored.value("Server").toString(), QStringLiteral("imap.gmail.com"));
    QCOMPARE(stored.value("Port").toInt(), 993);
    QCOMPARE(stored.value("Security").toString(), QStringLiteral("TLS"));
    QCOMPARE(stored.value("Protocol").toString(), QStringLiteral("IMAP"));
    QCOMPARE(stored.value("User").toString(), QStringLiteral("alice"));
    QCOMPARE(stored.value("CheckInterval").toInt(), 5);
    QCOMPARE(stored.value("OnlineAccount").toString(), QStringLiteral("g_1"));
    QCOMPARE(stored.value("PasswordStore").toString(), QStringLiteral("online account"));

    const CliResult unknown = runCli(home.path(), {"accounts", "add", "--online-account", "nope"});
    QVERIFY(unknown.status != 0);
    QVERIFY2(unknown.err.contains("no mail-enabled online account 'nope'"), unknown.err.constData());
    mockCall(QStringLiteral("RemoveMailAccount"), {QStringLiteral("g_1")});
    mockCall(QStringLiteral("RemoveMailAccount"), {QStringLiteral("p_1")});
}

void TestOnlineAccounts::updateThatDoesNotNameTheLinkKeepsIt()
{
    TestHome home;
    QVERIFY(home.isValid());
    AccountManager accounts;
    accounts.Init(home.database());
    Record linked = OnlineAccounts::ToAccount({QStringLiteral("g_9"), {}, QStringLiteral("a@example.org"),
                                               QStringLiteral("imap.example.org"), 993, QStringLiteral("TLS"),
                                               QStringLiteral("alice"), QStringLiteral("OAuth2")});
    linked.Add(QStringLiteral("CheckInterval"), 10);
    linked.Add(QStringLiteral("Disabled"), false);
    accounts.add(linked);
    // The account dialog writes every field it shows, and no link.
    const Record stored = accounts.GetAccount(linked.Id());
    QCOMPARE(stored.text(QStringLiteral("OnlineAccount")), QStringLiteral("g_9"));
    Record edited;
    edited.setId(stored.Id());
    for (const QString &name : stored.names()) {
        if (name != QLatin1String("OnlineAccount"))
            edited.Add(name, stored.Item(name));
    }
    edited.Add(QStringLiteral("CheckInterval"), 7);
    accounts.Update(edited);
    QCOMPARE(accounts.GetAccount(linked.Id()).text(QStringLiteral("OnlineAccount")), QStringLiteral("g_9"));
    QCOMPARE(accounts.GetAccount(linked.Id()).Item(QStringLiteral("CheckInterval")).toInt(), 7);
    // Naming it empty unlinks it.
    edited.Add(QStringLiteral("OnlineAccount"), QString());
    accounts.Update(edited);
    QCOMPARE(accounts.GetAccount(linked.Id()).text(QStringLiteral("OnlineAccount")), QString());
}

void TestOnlineAccounts::receivesFromDovecot_data()
{
    QTest::addColumn<QString>("mechanisms");
    QTest::newRow("OAUTHBEARER") << QStringLiteral("oauthbearer xoauth2");
    QTest::newRow("XOAUTH2") << QStringLiteral("xoauth2");
}

void TestOnlineAccounts::receivesFromDovecot()
{
    QFETCH(QString, mechanisms);
    const QByteArray first = QByteArray("goa-first-") + QTest::currentDataTag();
    const QByteArray second = QByteArray("goa-second-") + QTest::currentDataTag();
    OAuthDovecot dovecot;
    dovecot.setMechanisms(mechanisms);
    dovecot.acceptToken(first);
    dovecot.acceptToken(second);
    START_DOVECOT_OR_SKIP(dovecot);
    const TestMail mail{1, "goa", {}, {}};
    QVERIFY(dovecot.base().addMessage(mail.bytes()));
    const QString id = QStringLiteral("mail_") + QString::fromLatin1(QTest::currentDataTag());
    addAccount(id, QStringLiteral("%1:%2").arg(dovecot.host()).arg(dovecot.imapPort()), false, false,
               {QString::fromLatin1(first), QString::fromLatin1(second)}, {}, dovecot.user());

    QTemporaryDir home;
    QVERIFY(runCli(home.path(), {"accounts", "add", "--online-account", id}).status == 0);
    const CliResult check = runServed(home.path(), {"--json", "check"});
    QVERIFY2(check.status == 0, (check.out + check.err + dovecot.logText().toUtf8()).constData());
    QCOMPARE(check.json().size(), 1);
    QCOMPARE(check.first().value("Subject").toString(), QStringLiteral("Message 1"));
    // A second check asks again and signs in with the token the desktop has now.
    QCOMPARE(runServed(home.path(), {"check"}).status, 0);
    QCOMPARE(dovecot.introspection().countOf("GET", OAuthDovecot::introspectionPath(first)), 1);
    QCOMPARE(dovecot.introspection().countOf("GET", OAuthDovecot::introspectionPath(second)), 1);
    const QByteArray written = allBytes(home.path());
    QVERIFY(!written.isEmpty());
    QVERIFY(!written.contains(first) && !written.contains(second));
    QVERIFY(!check.out.contains(first) && !check.err.contains(first));

    // Removed from the desktop: the check says so for that account.
    mockCall(QStringLiteral("RemoveMailAccount"), {id});
    const CliResult gone = runServed(home.path(), {"check"});
    QCOMPARE(gone.status, 2); // some accounts failed
    QVERIFY2(gone.err.contains(QStringLiteral("%1 is no longer in GNOME Online Accounts").arg(id).toUtf8()),
             gone.err.constData());
}

void TestOnlineAccounts::refusedTokenMarksTheAccountUntilItSignsIn()
{
    const QByteArray token = "goa-token-expiring";
    OAuthDovecot dovecot;
    dovecot.acceptToken(token);
    START_DOVECOT_OR_SKIP(dovecot);
    const QString goaId = QStringLiteral("expiring_1");
    addAccount(goaId, QStringLiteral("%1:%2").arg(dovecot.host()).arg(dovecot.imapPort()), false, false,
               {QString::fromLatin1(token)}, {}, dovecot.user());
    QTemporaryDir home;
    const CliResult added = runCli(home.path(), {"--json", "accounts", "add", "--online-account", goaId});
    QVERIFY2(added.status == 0, added.err.constData());
    const QString id = added.first().value("Id").toString();
    // The account checker signs in with the desktop's token, as a check does.
    const CliResult tested = runServed(home.path(), {"--json", "accounts", "test", id});
    QVERIFY2(tested.status == 0, (tested.out + tested.err).constData());
    QCOMPARE(dovecot.introspection().countOf("GET", OAuthDovecot::introspectionPath(token)), 1);

    // The desktop's credentials expired: each check fails asking for a new sign-in there; the account is marked.
    mockCall(QStringLiteral("RefuseTokens"), {goaId, true});
    const CliResult refused = runServed(home.path(), {"--json", "check"});
    QCOMPARE(refused.status, 2);
    QCOMPARE(refused.first().value("ErrNumber").toInt(), Sasl::SignInNeeded);
    QVERIFY2(refused.first().value("ErrDescription").toString().contains(QStringLiteral("Online Accounts settings")),
             refused.out.constData());
    QCOMPARE(runCli(home.path(), {"--json", "accounts", "list"}).first().value("SignInNeeded"), QJsonValue(true));
    QVERIFY(runCli(home.path(), {"accounts", "list"}).out.contains("(sign in again)"));
    QCOMPARE(runServed(home.path(), {"--json", "accounts", "test", id}).first().value("SignInNeeded"), QJsonValue(true));

    // Signed in again on the desktop: the next check clears the mark.
    mockCall(QStringLiteral("RefuseTokens"), {goaId, false});
    const CliResult again = runServed(home.path(), {"check"});
    QVERIFY2(again.status == 0, again.err.constData());
    QCOMPARE(runCli(home.path(), {"--json", "accounts", "list"}).first().value("SignInNeeded"), QJsonValue(false));
    QVERIFY(!allBytes(home.path()).contains(token));
    QVERIFY(!(tested.out + tested.err + refused.out + refused.err + again.err).contains(token));
    mockCall(QStringLiteral("RemoveMailAccount"), {goaId});
}

QTEST_GUILESS_MAIN(TestOnlineAccounts)
#include "tst_onlineaccounts.moc"
