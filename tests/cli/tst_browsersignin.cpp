// Browser sign-in against a local authorization server, driven without a browser: the test reads
// the address murmelo-cli would open and comes back to its loopback redirect itself. The refresh
// token goes to a real GNOME Keyring on a private bus, and the access token made from it signs in
// to Dovecot.
#include "CliRunner.h"
#include "ReceiverRun.h"
#include "receive/OAuthDovecot.h"
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

private:
    /// murmelo-cli with this thread's events served (the servers live here); the process is
    /// handed to `whileRunning` once started.
    CliResult run(const QStringList &args, const std::function<void(QProcess &)> &whileRunning = {},
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    void writeServices(const ScriptedHttpServer &authority, const OAuthDovecot &dovecot);

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
    QNetworkAccessManager browser;
    const CliResult added = run({"--json", "accounts", "add", "--oauth2", "example.test", "--protocol", "imap", "--server",
                                 dovecot.host(), "--port", QString::number(dovecot.imapPort()), "--security", "none",
                                 "--user", dovecot.user()},
                                [&](QProcess &cli) {
                                    QByteArray err;
                                    QTRY_VERIFY_WITH_TIMEOUT((err += cli.readAllStandardError()).contains("/authorize?"), 20000);
                                    asked = QUrl::fromEncoded(err.mid(err.indexOf("http")).split('\n').first().trimmed());
                                    // The browser opens the address, the user agrees, the provider
                                    // sends the browser back to the loopback address with a code.
                                    QNetworkReply *shown = browser.get(QNetworkRequest(asked));
                                    QTRY_VERIFY(shown->isFinished());
                                    QCOMPARE(shown->readAll(), page.body);
                                    const QUrlQuery query(asked);
                                    QUrl back(query.queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded));
                                    back.setQuery(QStringLiteral("code=%1&state=%2")
                                                      .arg(QString::fromLatin1(kCode),
                                                           query.queryItemValue(QStringLiteral("state"), QUrl::FullyEncoded)));
                                    QNetworkReply *landed = browser.get(QNetworkRequest(back));
                                    QTRY_VERIFY(landed->isFinished());
                                });
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

QTEST_GUILESS_MAIN(TestBrowserSignIn)
#include "tst_browsersignin.moc"
