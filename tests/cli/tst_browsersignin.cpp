// Browser sign-in against a local authorization server, driven without a browser: the test reads
// the address murmelo-cli would open and comes back to its loopback redirect itself. The refresh
// token goes to a real GNOME Keyring on a private bus, and the access token made from it signs in
// to Dovecot.
#include "CliRunner.h"
#include "ReceiverRun.h"
#include "receive/OAuthDovecot.h"
#include "receive/Sasl.h"
#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>
#include <csignal>
#include <sys/prctl.h>

namespace {
const QByteArray kRefresh = "refresh-Of-Ann-31c4";
const QByteArray kAccess = "access-Of-Ann-77b2";
const QByteArray kCode = "4/code-5e1f"; // providers use "/" in codes

void stopProcess(QProcess &p)
{
    if (p.state() != QProcess::NotRunning) {
        p.terminate();
        if (!p.waitForFinished(5000))
            p.kill();
        p.waitForFinished(5000);
    }
}
}

class TestBrowserSignIn : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void signsInAndReceives();
    void noKeyringNoBrowserSignIn();
    void refusedRefreshAsksToSignInAgain();

private:
    /// murmelo-cli with this thread's events served (the servers live here); the process is
    /// handed to `whileRunning` once started.
    CliResult run(const QStringList &args, const std::function<void(QProcess &)> &whileRunning = {},
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    void writeServices(const ScriptedHttpServer &authority, const OAuthDovecot &dovecot);
    /// The browser's part of a sign-in the CLI started: opens the address it printed (the page
    /// must be `page`), and the user agreeing, comes back to its loopback address with a code.
    void browse(QProcess &cli, const QByteArray &page, QUrl *asked = nullptr);

    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_keyring;
    QString m_why;
};

void TestBrowserSignIn::initTestCase()
{
    const QString keyringDaemon = QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon"));
    if (keyringDaemon.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) {
        m_why = QStringLiteral("dbus-daemon or gnome-keyring-daemon is not installed");
        return;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
        env.remove(QString::fromLatin1(name));
    QDir(m_dir.path()).mkpath(QStringLiteral("data"));
    QDir(m_dir.path()).mkpath(QStringLiteral("run"));
    QFile::setPermissions(m_dir.filePath(QStringLiteral("run")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert(QStringLiteral("HOME"), m_dir.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_dir.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath(QStringLiteral("run")));
    m_bus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_bus.setProcessEnvironment(env);
    m_bus.start(QStringLiteral("dbus-daemon"),
                {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    QVERIFY(m_bus.waitForStarted(10000) && m_bus.waitForReadyRead(10000));
    const QByteArray address = m_bus.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromUtf8(address));
    const QString secrets = QStringLiteral("org.freedesktop.secrets");
    QDBusServiceWatcher watcher(secrets, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration);
    QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
    m_keyring.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_keyring.setProcessEnvironment(env);
    m_keyring.start(keyringDaemon,
                    {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
    m_keyring.write("keyring-test-password");
    m_keyring.closeWriteChannel();
    if (!QDBusConnection::sessionBus().interface()->isServiceRegistered(secrets).value())
        QVERIFY(registered.wait(20000));
    // The browser the CLI would start: a program that does nothing, the test comes back itself.
    qputenv("MURMELO_BROWSER", "true");
}

void TestBrowserSignIn::cleanupTestCase()
{
    stopProcess(m_keyring);
    stopProcess(m_bus);
}

CliResult TestBrowserSignIn::run(const QStringList &args, const std::function<void(QProcess &)> &whileRunning,
                                 const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    QSignalSpy finished(&p, &QProcess::finished);
    p.start(cliProgram(), QStringList{QStringLiteral("--home"), m_dir.filePath(QStringLiteral("home"))} + args);
    p.closeWriteChannel();
    if (whileRunning && p.waitForStarted(10000))
        whileRunning(p);
    if (p.state() != QProcess::NotRunning && finished.isEmpty() && !finished.wait(60000)) {
        p.kill();
        p.waitForFinished(5000);
        return {-1, p.readAllStandardOutput(), p.readAllStandardError()};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

void TestBrowserSignIn::writeServices(const ScriptedHttpServer &authority, const OAuthDovecot &dovecot)
{
    const QByteArray json = "{\"providers\": [{\"domains\": [\"example.test\"], \"host\": \"" + dovecot.host().toUtf8()
        + "\", \"port\": " + QByteArray::number(dovecot.pop3Port()) + ", \"security\": \"None\", \"imapHost\": \""
        + dovecot.host().toUtf8() + "\", \"oauth2\": {\"authorizationEndpoint\": \"" + authority.url("/authorize").toUtf8()
        + "\", \"tokenEndpoint\": \"" + authority.url("/token").toUtf8()
        + "\", \"scopes\": [\"mail\", \"offline\"], \"clientId\": \"murmelo-test\"}}]}";
    QDir().mkpath(m_dir.filePath(QStringLiteral("home")));
    QFile file(m_dir.filePath(QStringLiteral("home/services.json")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(json) == json.size());
}

void TestBrowserSignIn::browse(QProcess &cli, const QByteArray &page, QUrl *asked)
{
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += cli.readAllStandardError()).contains("/authorize?"), 20000);
    const QUrl address = QUrl::fromEncoded(err.mid(err.indexOf("http")).split('\n').first().trimmed());
    if (asked)
        *asked = address;
    QNetworkAccessManager browser;
    QNetworkReply *shown = browser.get(QNetworkRequest(address));
    QTRY_VERIFY(shown->isFinished());
    QCOMPARE(shown->readAll(), page);
    const QUrlQuery query(address);
    QUrl back(query.queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded));
    back.setQuery(QStringLiteral("code=%1&state=%2")
                      .arg(QString::fromLatin1(kCode), query.queryItemValue(QStringLiteral("state"), QUrl::FullyEncoded)));
    QNetworkReply *landed = browser.get(QNetworkRequest(back));
    QTRY_VERIFY(landed->isFinished());
}

void TestBrowserSignIn::signsInAndReceives()
{
    if (!m_why.isEmpty())
        QSKIP(qPrintable(m_why));
    OAuthDovecot dovecot;
    dovecot.acceptToken(kAccess);
    START_DOVECOT_OR_SKIP(dovecot);
    QVERIFY(dovecot.base().addMessage(TestMail{1, "browser", {}, {}}.bytes()));
    ScriptedHttpServer authority;
    ScriptedHttpServer::Response page;
    page.body = "<html>Sign in to Example</html>";
    authority.setFallback(page); // the sign-in page, whatever the query
    ScriptedHttpServer::Response tokens;
    tokens.headers = {{"Content-Type", "application/json"}};
    tokens.body = "{\"access_token\":\"" + kAccess + "\",\"refresh_token\":\"" + kRefresh
        + "\",\"token_type\":\"Bearer\",\"expires_in\":3600}";
    authority.on("POST", "/token", tokens);
    QVERIFY(authority.listen());
    writeServices(authority, dovecot);

    QUrl asked;
    const CliResult added = run({"--json", "accounts", "add", "--oauth2", "example.test", "--protocol", "imap", "--server",
                                 dovecot.host(), "--port", QString::number(dovecot.imapPort()), "--security", "none",
                                 "--user", dovecot.user()},
                                [&](QProcess &cli) { browse(cli, page.body, &asked); });
    QVERIFY2(added.status == 0, added.err.constData());
    const QUrlQuery query(asked);
    QCOMPARE(query.queryItemValue(QStringLiteral("client_id")), QStringLiteral("murmelo-test"));
    QCOMPARE(query.queryItemValue(QStringLiteral("response_type")), QStringLiteral("code"));
    QCOMPARE(query.queryItemValue(QStringLiteral("code_challenge_method")), QStringLiteral("S256"));
    const QUrl redirect(query.queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded));
    QVERIFY2(redirect.host() == QLatin1String("127.0.0.1") || redirect.host() == QLatin1String("localhost"),
             qPrintable(redirect.toString()));
    // PKCE: the verifier sent with the code is the one whose hash the address carried.
    QCOMPARE(authority.countOf("POST", "/token"), 1);
    const QUrlQuery exchange(QString::fromLatin1(authority.requests().last().body));
    QCOMPARE(exchange.queryItemValue(QStringLiteral("grant_type")), QStringLiteral("authorization_code"));
    QCOMPARE(exchange.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded), QString::fromLatin1(kCode));
    const QByteArray verifier = exchange.queryItemValue(QStringLiteral("code_verifier")).toLatin1();
    QVERIFY(verifier.size() >= 43);
    QCOMPARE(QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
                 .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals),
             query.queryItemValue(QStringLiteral("code_challenge")).toLatin1());

    const CliResult list = run({"--json", "accounts", "list"});
    QCOMPARE(list.first().value("PasswordStore").toString(), QStringLiteral("keyring"));
    QCOMPARE(list.first().value("OAuth2Provider").toString(), QStringLiteral("example.test"));
    const CliResult check = run({"--json", "check"});
    QVERIFY2(check.status == 0, (check.out + check.err).constData());
    QCOMPARE(check.json().size(), 1);
    // The access token was made from the refresh token kept in the keyring.
    const QUrlQuery refreshed(QString::fromLatin1(authority.requests().last().body));
    QCOMPARE(refreshed.queryItemValue(QStringLiteral("grant_type")), QStringLiteral("refresh_token"));
    QCOMPARE(refreshed.queryItemValue(QStringLiteral("refresh_token")), QString::fromLatin1(kRefresh));
    QCOMPARE(dovecot.introspection().countOf("GET", OAuthDovecot::introspectionPath(kAccess)), 1);
    QByteArray written;
    for (const QString &name : QDir(m_dir.filePath(QStringLiteral("home"))).entryList(QDir::Files))
        written += fileBytes(m_dir.filePath(QStringLiteral("home/") + name));
    QVERIFY(!written.isEmpty());
    QVERIFY(!written.contains(kRefresh) && !written.contains(kAccess));
    QVERIFY(!added.out.contains(kRefresh) && !added.err.contains(kRefresh) && !check.err.contains(kAccess));
}

void TestBrowserSignIn::noKeyringNoBrowserSignIn()
{
    if (!m_why.isEmpty())
        QSKIP(qPrintable(m_why));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + m_dir.filePath(QStringLiteral("no-bus")));
    const CliResult refused = run({"accounts", "add", "--oauth2", "example.test", "--server", "127.0.0.1", "--user", "ann"},
                                  {}, env);
    QCOMPARE(refused.status, 1);
    QVERIFY2(refused.err.contains("keyring only, and no keyring is available"), refused.err.constData());
    QVERIFY(!refused.err.contains("/authorize?"));
}

void TestBrowserSignIn::refusedRefreshAsksToSignInAgain()
{
    if (!m_why.isEmpty())
        QSKIP(qPrintable(m_why));
    QDir(m_dir.filePath(QStringLiteral("home"))).removeRecursively();
    OAuthDovecot dovecot;
    dovecot.acceptToken(kAccess);
    START_DOVECOT_OR_SKIP(dovecot);
    ScriptedHttpServer authority;
    ScriptedHttpServer::Response page;
    page.body = "<html>Sign in to Example</html>";
    authority.setFallback(page);
    ScriptedHttpServer::Response tokens;
    tokens.headers = {{"Content-Type", "application/json"}};
    tokens.body = "{\"access_token\":\"" + kAccess + "\",\"refresh_token\":\"" + kRefresh + "\",\"expires_in\":3600}";
    authority.on("POST", "/token", tokens);
    QVERIFY(authority.listen());
    writeServices(authority, dovecot);
    const CliResult added = run({"--json", "accounts", "add", "--oauth2", "example.test", "--protocol", "imap", "--server",
                                 dovecot.host(), "--port", QString::number(dovecot.imapPort()), "--security", "none",
                                 "--user", dovecot.user()},
                                [&](QProcess &cli) { browse(cli, page.body); });
    QVERIFY2(added.status == 0, added.err.constData());
    const QString id = added.first().value("Id").toString();
    // The account checker makes an access token and signs in with it, as a check does.
    const CliResult tested = run({"--json", "accounts", "test", id});
    QVERIFY2(tested.status == 0, (tested.out + tested.err).constData());
    QCOMPARE(dovecot.introspection().countOf("GET", OAuthDovecot::introspectionPath(kAccess)), 1);

    // The provider revoked the refresh token: the check asks to sign in again, and the account is marked.
    ScriptedHttpServer::Response revoked;
    revoked.status = 400;
    revoked.reason = "Bad Request";
    revoked.headers = {{"Content-Type", "application/json"}};
    revoked.body = "{\"error\":\"invalid_grant\"}";
    authority.on("POST", "/token", revoked);
    const CliResult refused = run({"--json", "check"});
    QCOMPARE(refused.status, 2);
    QCOMPARE(refused.first().value("ErrNumber").toInt(), Sasl::SignInNeeded);
    QVERIFY2(refused.first().value("ErrDescription").toString().contains(QStringLiteral("accounts signin ") + id),
             refused.out.constData());
    QCOMPARE(run({"--json", "accounts", "list"}).first().value("SignInNeeded"), QJsonValue(true));
    QVERIFY(run({"accounts", "list"}).out.contains("(sign in again)"));
    const CliResult testRefused = run({"--json", "accounts", "test", id});
    QCOMPARE(testRefused.status, 2);
    QCOMPARE(testRefused.first().value("SignInNeeded"), QJsonValue(true));

    // Signing in again clears the mark.
    authority.on("POST", "/token", tokens);
    const CliResult signedIn = run({"--json", "accounts", "signin", id}, [&](QProcess &cli) { browse(cli, page.body); });
    QVERIFY2(signedIn.status == 0, signedIn.err.constData());
    QCOMPARE(run({"--json", "accounts", "list"}).first().value("SignInNeeded"), QJsonValue(false));
    QByteArray written;
    for (const QString &name : QDir(m_dir.filePath(QStringLiteral("home"))).entryList(QDir::Files))
        written += fileBytes(m_dir.filePath(QStringLiteral("home/") + name));
    for (const CliResult &r : {added, tested, refused, testRefused, signedIn})
        written += r.out + r.err;
    QVERIFY(written.contains("Sign in again"));
    QVERIFY(!written.contains(kRefresh) && !written.contains(kAccess));
}

QTEST_GUILESS_MAIN(TestBrowserSignIn)
#include "tst_browsersignin.moc"
