// Account passwords in a real GNOME Keyring on a private D-Bus session bus, and browser sign-in
// against a local authorization server, driven without a browser: the test reads the address
// murmelo-cli would open and comes back to its loopback redirect itself; the refresh token goes
// to the keyring, and the access token made from it signs in to Dovecot.
#include "CliRunner.h"
#include "PrivateBus.h"
#include "ReceiverRun.h"
#include "receive/OAuthDovecot.h"
#include "receive/Sasl.h"
#include "storage/StorageFixture.h"
#include "FAddAccount.h"
#include "ShellServices.h"
#include "storage/AccountManager.h"
#include "storage/Database.h"
#include "storage/PasswordStore.h"
#include "trellis/MUError.h"
#include <QCryptographicHash>
#include <QDBusVirtualObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSqlQuery>
#include <QScopeGuard>
#include <QTest>
#include <QUrlQuery>

namespace {
const QString Secrets = KeyringSession::Secrets;
const QByteArray kRefresh = "refresh-Of-Ann-31c4";
const QByteArray kAccess = "access-Of-Ann-77b2";
const QByteArray kCode = "4/code-5e1f"; // providers use "/" in codes

/// A D-Bus object that takes every call and answers none.
class Silent : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &, const QDBusConnection &) override { return true; }
};

/// Every form a password could take in the database file: UTF-8, UTF-16LE, the stored form.
bool fileHolds(const QString &path, const QString &password)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = f.readAll();
    const QString stored = AccountManager::StoredPassword(password);
    for (const QString &form : {password, stored}) {
        const QByteArray utf16(reinterpret_cast<const char *>(form.utf16()), form.size() * 2);
        if (bytes.contains(form.toUtf8()) || bytes.contains(utf16) || bytes.contains(form.toLatin1()))
            return true;
    }
    return false;
}

Record account(const QString &user, const QString &password)
{
    return StorageFixture::account(QStringLiteral("pop.example.com"), user, password);
}
}

class TstKeyring : public QObject
{
    Q_OBJECT
    KeyringSession m_session;
    QString m_skip;
    QTemporaryDir m_home;
    std::unique_ptr<Database> m_db;
    QTemporaryDir m_browserHome;

    /// The password column as stored, read past the account store.
    QString column(const QString &id)
    {
        QSqlQuery q(m_db->connection());
        q.prepare("SELECT Pwd FROM Account WHERE pkAccount = ?");
        q.addBindValue(id);
        return q.exec() && q.next() ? Database::readText(q.value(0)) : QStringLiteral("<no row>");
    }

    /// A store on the test's database as a new run of the program makes it; null when it did not take the keyring.
    std::unique_ptr<AccountManager> manager(bool keyring = true)
    {
        auto s = std::make_unique<AccountManager>();
        s->Init(m_db.get());
        return keyring && !s->UseKeyring(nullptr) ? nullptr : std::move(s);
    }

    /// murmelo-cli on the browser sign-in's home, with this thread's events served (the servers live here).
    CliResult run(const QStringList &args, const std::function<void(QProcess &)> &whileRunning = {})
    {
        return runCli(m_browserHome.path(), args, {}, QProcessEnvironment::systemEnvironment(), whileRunning);
    }

    void writeServices(const ScriptedHttpServer &authority, const OAuthDovecot &dovecot)
    {
        const QByteArray json = "{\"providers\": [{\"domains\": [\"example.test\"], \"host\": \"" + dovecot.host().toUtf8()
            + "\", \"port\": " + QByteArray::number(dovecot.port()) + ", \"security\": \"None\", \"imapHost\": \""
            + dovecot.host().toUtf8() + "\", \"oauth2\": {\"authorizationEndpoint\": \"" + authority.url("/authorize").toUtf8()
            + "\", \"tokenEndpoint\": \"" + authority.url("/token").toUtf8()
            + "\", \"scopes\": [\"mail\", \"offline\"], \"clientId\": \"murmelo-test\"}}]}";
        QFile file(m_browserHome.filePath(QStringLiteral("services.json")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(json) == json.size());
    }

    /// The browser's part of a sign-in the CLI started: opens the address it printed (the page
    /// must be `page`), and the user agreeing, comes back to its loopback address with a code.
    void browse(QProcess &cli, const QByteArray &page, QUrl *asked = nullptr)
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

private Q_SLOTS:
    void initTestCase()
    {
        m_skip = KeyringSession::missing();
        if (!m_skip.isEmpty())
            return;
        QString why;
        QVERIFY2(m_session.start(&why), qPrintable(why));
        m_db = std::make_unique<Database>(m_home.path(), qEnvironmentVariable("MURMELO_BUILD_DIR") + "/lib/MU.tdb");
        QVERIFY(PasswordStore::KeyringAvailable());
        PasswordStore::setTimeoutMs(30000);
        // The browser the CLI would start: a program that does nothing, the test comes back itself.
        qputenv("MURMELO_BROWSER", "true");
    }

    void init()
    {
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
    }

    void storedInTheKeyringOnly_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("non-latin") << QString::fromUtf8("Pässwörd-€-密码");
        QTest::newRow("byte-order mark first") << QString(QChar(0xFEFF)) + "bom";
    }

    void storedInTheKeyringOnly()
    {
        QFETCH(QString, password);
        const auto store = manager();
        QVERIFY(store);
        Record a = account("alice", password);
        store->add(a);
        QCOMPARE(column(a.Id()), QString());
        QVERIFY(!fileHolds(m_db->path(), password));

        // A second store asks the keyring itself, not the first one's memory.
        const auto fresh = manager();
        QVERIFY(fresh);
        const Record back = fresh->GetAccount(a.Id());
        QCOMPARE(back.text("Pwd"), password);
        QCOMPARE(back.text("PasswordStore"), QString("keyring"));
        const auto items = KeyringSession::items(a.Id());
        QCOMPARE(items.size(), 1);
        QCOMPARE(KeyringSession::label(items.first()), QString("Murmelo: alice on pop.example.com"));

        Record changed = back;
        changed.Add("Pwd", password + "-2");
        fresh->Update(changed);
        QCOMPARE(column(a.Id()), QString());
        const auto third = manager();
        QVERIFY(third);
        QCOMPARE(third->AccountList().Item(a.Id()).value<Record>().text("Pwd"), password + "-2");

        third->Remove(a.Id());
        QVERIFY(KeyringSession::items(a.Id()).isEmpty());
        QVERIFY_THROWS_EXCEPTION(MUError, third->GetAccount(a.Id()));
    }

    void theAccountDialogSaysNothingWithAKeyring()
    {
        ShellServices services;
        FAddAccount form(services, nullptr);
        QVERIFY(!form.findChild<QLabel *>(QStringLiteral("lblNoKeyring")));
    }

    void oldDatabaseMovesItsPasswords()
    {
        // Accounts stored as before: the password's stored form in the column.
        const auto old = manager(false);
        Record withPassword = account("bob", "old-pw");
        Record without = account("carol", QString());
        old->add(withPassword);
        old->add(without);
        QCOMPARE(column(withPassword.Id()), AccountManager::StoredPassword("old-pw"));

        const auto moved = manager();
        QVERIFY(moved);
        QCOMPARE(column(withPassword.Id()), QString());
        QVERIFY(KeyringSession::items(without.Id()).isEmpty());
        const auto later = manager();
        QVERIFY(later);
        QCOMPARE(later->GetAccount(withPassword.Id()).text("Pwd"), QString("old-pw"));
        QCOMPARE(later->GetAccount(without.Id()).text("Pwd"), QString());
        later->Remove(withPassword.Id());
        later->Remove(without.Id());
    }

    // A check with the keyring's password is the browser sign-in's (its refresh token comes from there).
    void addedByTheCliLeavesNoPasswordInTheDatabase()
    {
        QTemporaryDir home;
        QCOMPARE(runCli(home.path(), {"accounts", "add", "--server", "pop.example.com", "--user", "kim", "--password",
                                      "cli-pw"}).status, 0);
        const CliResult list = runCli(home.path(), {"--json", "accounts", "list"});
        QCOMPARE(list.first().value("PasswordStore").toString(), QString("keyring"));
        QVERIFY(runCli(home.path(), {"accounts", "list"}).out.contains("password in keyring"));
        for (const QString &file : QDir(home.path()).entryList({"MU.mdb*"}))
            QVERIFY2(!fileHolds(home.filePath(file), "cli-pw"), qPrintable(file));
        const QByteArray logText = fileBytes(home.filePath("mu.log"));
        QVERIFY(!logText.contains("cli-pw"));
        QVERIFY(!logText.contains("No keyring"));
    }

    void withoutASessionBusTheDatabaseKeepsItAndSaysSoOnce()
    {
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.filePath("no-bus"));
        env.remove("DISPLAY");
        for (const char *user : {"dave", "erin"})
            QCOMPARE(runCli(home.path(), {"accounts", "add", "--server", "pop.example.com", "--user", user, "--password",
                                       "db-pw"}, {}, env).status, 0);
        const CliResult list = runCli(home.path(), {"--json", "accounts", "list"}, {}, env);
        QCOMPARE(list.first().value("PasswordStore").toString(), QString("database"));
        QVERIFY(!list.out.contains("db-pw"));
        // Three runs, three lines: once per run, however many accounts it read.
        QCOMPARE(fileBytes(home.filePath("mu.log")).count(PasswordStore::NoKeyringText.toUtf8()), 3);
        QVERIFY(fileHolds(home.filePath("MU.mdb"), "db-pw"));
        // Browser sign-in keeps its token in the keyring only: refused before any browser opens.
        const CliResult browser = runCli(home.path(), {"accounts", "add", "--oauth2", "example.test", "--server", "127.0.0.1",
                                                       "--user", "ann"}, {}, env);
        QCOMPARE(browser.status, 1);
        QVERIFY2(browser.err.contains("keyring only, and no keyring is available"), browser.err.constData());
        QVERIFY(!browser.err.contains("/authorize?"));
    }

    void aKeyringThatNeverAnswersIsWaitedForBoundedly()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        QProcess bus;
        const QByteArray address = startBus(bus, env, {});
        QVERIFY(!address.isEmpty());
        auto stop = qScopeGuard([&bus] {
            QDBusConnection::disconnectFromBus("silent");
            bus.terminate();
            bus.waitForFinished(5000);
        });
        QDBusConnection silent = QDBusConnection::connectToBus(QString::fromUtf8(address), "silent");
        Silent object;
        QVERIFY(silent.registerVirtualObject("/", &object, QDBusConnection::SubPath));
        QVERIFY(silent.registerService(Secrets));

        QTemporaryDir home;
        env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(address));
        const CliResult add = runCli(home.path(), {"accounts", "add", "--server", "pop.example.com", "--user", "judy",
                                          "--password", "silent-pw"}, {}, env);
        QVERIFY2(add.status == 0, add.err.constData());
        const QByteArray logText = fileBytes(home.filePath("mu.log"));
        QVERIFY(logText.contains(PasswordStore::NoKeyringText.toUtf8() + " (the keyring did not answer)"));
        QVERIFY(fileHolds(home.filePath("MU.mdb"), "silent-pw"));
    }

    void browserSignInReceivesAndSignsInAgain()
    {
        OAuthDovecot dovecot;
        dovecot.acceptToken(kAccess);
        START_DOVECOT_OR_SKIP(dovecot);
        QVERIFY(dovecot.addMessage(TestMail{1, "browser", {}, {}}.bytes()));
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
        const QString id = added.first().value("Id").toString();
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
        // The account checker makes an access token and signs in with it, as a check does.
        const CliResult tested = run({"--json", "accounts", "test", id});
        QVERIFY2(tested.status == 0, (tested.out + tested.err).constData());
        QCOMPARE(dovecot.introspection().countOf("GET", OAuthDovecot::introspectionPath(kAccess)), 2);

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
        for (const QString &name : QDir(m_browserHome.path()).entryList(QDir::Files))
            written += fileBytes(m_browserHome.filePath(name));
        QVERIFY(!written.isEmpty());
        for (const CliResult &r : {added, check, tested, refused, testRefused, signedIn})
            written += r.out + r.err;
        QVERIFY(written.contains("Sign in again"));
        QVERIFY(!written.contains(kRefresh) && !written.contains(kAccess));
    }

    // Last: the login keyring stays locked afterwards.
    void lockedKeyringWithTheUnlockRefused()
    {
        const auto store = manager();
        QVERIFY(store);
        Record first = account("frank", "locked-1");
        Record second = account("grace", "locked-2");
        store->add(first);
        store->add(second);
        const auto before = manager(false);   // an account stored before the keyring was used
        Record old = account("ivan", "old-locked");
        before->add(old);
        QVERIFY(KeyringSession::lockAll());

        const auto afterLock = manager();
        QVERIFY(afterLock);
        // Its move was refused: the database keeps its copy, and it still works.
        QCOMPARE(column(old.Id()), AccountManager::StoredPassword("old-locked"));
        const DataBag accounts = afterLock->AccountList();
        QCOMPARE(accounts.Item(old.Id()).value<Record>().text("Pwd"), QString("old-locked"));
        QCOMPARE(accounts.Item(old.Id()).value<Record>().text("PasswordStore"), QString("database"));
        for (const QString &id : {first.Id(), second.Id()}) {
            const Record a = accounts.Item(id).value<Record>();
            QCOMPARE(a.text("Pwd"), QString());
            QVERIFY2(a.text("PwdError").contains("keyring"), qPrintable(a.text("PwdError")));
            QVERIFY(!a.text("PwdError").contains("locked-"));
            // One refused prompt, not one per account or per check.
            QVERIFY(a.text("PwdError").contains("was not asked"));
        }
        QVERIFY(!afterLock->GetAccount(first.Id()).text("PwdError").isEmpty());
        QCOMPARE(m_session.prompts(), 1);
        // A check of such an account fails with the keyring's reason; it never logs in without.
        const CliResult check = runCli(m_home.path(), {"check", "--account", first.Id()});
        QCOMPARE(check.status, 2);
        QVERIFY2(check.err.contains("Unlock the keyring and try again."), check.err.constData());
        QVERIFY(!check.err.contains("locked-1"));
        // Never a silent way round the keyring: nothing is added, nothing removed.
        Record third = account("heidi", "locked-3");
        QVERIFY_THROWS_EXCEPTION(MUError, afterLock->add(third));
        QVERIFY_THROWS_EXCEPTION(MUError, afterLock->Remove(first.Id()));
        QCOMPARE(afterLock->AccountList().Count(), accounts.Count());
        QVERIFY(!fileHolds(m_db->path(), "locked-3"));
        // An edit that never saw the password leaves the keyring's copy alone.
        Record edited = accounts.Item(first.Id()).value<Record>();
        edited.Add("CheckInterval", 20);
        afterLock->Update(edited);
        QCOMPARE(KeyringSession::items(first.Id(), true).size(), 1);
        QCOMPARE(column(first.Id()), QString());
    }
};

QTEST_MAIN(TstKeyring)
#include "tst_keyring.moc"
