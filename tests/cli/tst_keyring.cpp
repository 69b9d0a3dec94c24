// Account passwords in a real GNOME Keyring on a private D-Bus session bus.
#include "CliRunner.h"
#include "storage/StorageFixture.h"
#include "FAddAccount.h"
#include "ShellServices.h"
#include "storage/AccountManager.h"
#include "storage/Database.h"
#include "storage/PasswordStore.h"
#include "trellis/MUError.h"
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QTest>
#include <csignal>
#include <sys/prctl.h>

namespace {
const QString Secrets = QStringLiteral("org.freedesktop.secrets");

/// Starts a session bus daemon of the test's own; its address, empty when it did not start.
QByteArray startBus(QProcess &bus, const QProcessEnvironment &env, const QString &logFile)
{
    // A test that aborts must not leave its daemons behind.
    bus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    bus.setProcessEnvironment(env);
    if (!logFile.isEmpty())
        bus.setStandardErrorFile(logFile);
    bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                              QStringLiteral("--print-address=1")});
    if (!bus.waitForStarted(10000) || !bus.waitForReadyRead(10000))
        return {};
    return bus.readLine().trimmed();
}

/// A D-Bus object that takes every call and answers none.
class Silent : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &, const QDBusConnection &) override { return true; }
};

/// A session bus of the test's own with gnome-keyring-daemon's Secret Service, its login
/// keyring created and unlocked with a known password. No display: an unlock prompt cannot
/// be shown, which the keyring reports as a dismissed prompt.
class KeyringSession
{
public:
    ~KeyringSession()
    {
        for (QProcess *p : {&m_keyring, &m_bus}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000))
                    p->kill();
                p->waitForFinished(5000);
            }
        }
    }

    static bool installed()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty() &&
               !QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty();
    }

    /// Call before anything in the process touches the session bus.
    bool start(QString *why)
    {
        const QString keyringDaemon = QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(QString::fromLatin1(name));
        QDir(m_dir.path()).mkpath(QStringLiteral("data"));
        QDir(m_dir.path()).mkpath(QStringLiteral("run"));
        QFile::setPermissions(m_dir.filePath(QStringLiteral("run")), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                                         QFileDevice::ExeOwner);
        env.insert(QStringLiteral("HOME"), m_dir.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_dir.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath(QStringLiteral("run")));
        m_keyring.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        const QByteArray address = startBus(m_bus, env, m_dir.filePath(QStringLiteral("bus.log")));
        if (address.isEmpty()) {
            *why = QStringLiteral("dbus-daemon did not start");
            return false;
        }
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromUtf8(address));

        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            *why = QStringLiteral("the private bus does not answer: ") + bus.lastError().message();
            return false;
        }
        QDBusServiceWatcher watcher(Secrets, bus, QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        m_keyring.setProcessEnvironment(env);
        m_keyring.start(keyringDaemon, {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                                        QStringLiteral("--components=secrets")});
        m_keyring.write("keyring-test-password");
        m_keyring.closeWriteChannel();
        if (!bus.interface()->isServiceRegistered(Secrets).value() && !registered.wait(20000)) {
            *why = QStringLiteral("gnome-keyring-daemon did not register the Secret Service: ") +
                   m_keyring.readAllStandardError();
            return false;
        }
        return true;
    }

    /// Unlock prompts the keyring has tried to show so far (the bus starts the prompter).
    int prompts() const
    {
        QFile log(m_dir.filePath(QStringLiteral("bus.log")));
        return log.open(QIODevice::ReadOnly) ? int(log.readAll().count("name='org.gnome.keyring.SystemPrompter'")) : -1;
    }

    static QList<QDBusObjectPath> items(const QString &accountId, bool locked = false)
    {
        qDBusRegisterMetaType<QMap<QString, QString>>();
        QDBusMessage search = QDBusMessage::createMethodCall(Secrets, "/org/freedesktop/secrets",
                                                             "org.freedesktop.Secret.Service", "SearchItems");
        search << QVariant::fromValue(QMap<QString, QString>{{"server", "murmelo"}, {"user", accountId}});
        const QDBusMessage reply = QDBusConnection::sessionBus().call(search);
        return qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().value(locked ? 1 : 0));
    }

    static QString label(const QDBusObjectPath &item)
    {
        QDBusMessage get = QDBusMessage::createMethodCall(Secrets, item.path(), "org.freedesktop.DBus.Properties", "Get");
        get << QStringLiteral("org.freedesktop.Secret.Item") << QStringLiteral("Label");
        const QDBusMessage reply = QDBusConnection::sessionBus().call(get);
        return qdbus_cast<QDBusVariant>(reply.arguments().value(0)).variant().toString();
    }

    static bool lockAll()
    {
        QDBusMessage lock = QDBusMessage::createMethodCall(Secrets, "/org/freedesktop/secrets",
                                                           "org.freedesktop.Secret.Service", "Lock");
        lock << QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath("/org/freedesktop/secrets/collection/login")});
        return QDBusConnection::sessionBus().call(lock).type() == QDBusMessage::ReplyMessage;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_keyring;
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

    /// The password column as stored, read past the account store.
    QString column(const QString &id)
    {
        QSqlQuery q(m_db->connection());
        q.prepare("SELECT Pwd FROM Account WHERE pkAccount = ?");
        q.addBindValue(id);
        return q.exec() && q.next() ? Database::readText(q.value(0)) : QStringLiteral("<no row>");
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!KeyringSession::installed()) {
            m_skip = QStringLiteral("dbus-daemon or gnome-keyring-daemon is not installed (scripts/setup-deps --test)");
            return;
        }
        QString why;
        QVERIFY2(m_session.start(&why), qPrintable(why));
        m_db = std::make_unique<Database>(m_home.path(), qEnvironmentVariable("MURMELO_BUILD_DIR") + "/lib/MU.tdb");
        QVERIFY(PasswordStore::KeyringAvailable());
        PasswordStore::setTimeoutMs(30000);
    }

    void init()
    {
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
    }

    void storedInTheKeyringOnly_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("ascii") << "Sekr1t-pw";
        QTest::newRow("non-latin") << QString::fromUtf8("Pässwörd-€-密码");
        QTest::newRow("byte-order mark first") << QString(QChar(0xFEFF)) + "bom";
    }

    void storedInTheKeyringOnly()
    {
        QFETCH(QString, password);
        AccountManager store;
        store.Init(m_db.get());
        QVERIFY(store.UseKeyring(nullptr));
        Record a = account("alice", password);
        store.add(a);
        QCOMPARE(column(a.Id()), QString());
        QVERIFY(!fileHolds(m_db->path(), password));

        // A second store asks the keyring itself, not the first one's memory.
        AccountManager fresh;
        fresh.Init(m_db.get());
        QVERIFY(fresh.UseKeyring(nullptr));
        const Record back = fresh.GetAccount(a.Id());
        QCOMPARE(back.text("Pwd"), password);
        QCOMPARE(back.text("PasswordStore"), QString("keyring"));
        const auto items = KeyringSession::items(a.Id());
        QCOMPARE(items.size(), 1);
        QCOMPARE(KeyringSession::label(items.first()), QString("Murmelo: alice on pop.example.com"));

        Record changed = back;
        changed.Add("Pwd", password + "-2");
        fresh.Update(changed);
        QCOMPARE(column(a.Id()), QString());
        AccountManager third;
        third.Init(m_db.get());
        third.UseKeyring(nullptr);
        QCOMPARE(third.AccountList().Item(a.Id()).value<Record>().text("Pwd"), password + "-2");

        third.Remove(a.Id());
        QVERIFY(KeyringSession::items(a.Id()).isEmpty());
        QVERIFY_THROWS_EXCEPTION(MUError, third.GetAccount(a.Id()));
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
        AccountManager old;
        old.Init(m_db.get());
        Record withPassword = account("bob", "old-pw");
        Record without = account("carol", QString());
        old.add(withPassword);
        old.add(without);
        QCOMPARE(column(withPassword.Id()), AccountManager::StoredPassword("old-pw"));

        AccountManager moved;
        moved.Init(m_db.get());
        QVERIFY(moved.UseKeyring(nullptr));
        QCOMPARE(column(withPassword.Id()), QString());
        QVERIFY(KeyringSession::items(without.Id()).isEmpty());
        AccountManager later;
        later.Init(m_db.get());
        later.UseKeyring(nullptr);
        QCOMPARE(later.GetAccount(withPassword.Id()).text("Pwd"), QString("old-pw"));
        QCOMPARE(later.GetAccount(without.Id()).text("Pwd"), QString());
        later.Remove(withPassword.Id());
        later.Remove(without.Id());
    }

    void addedByTheCliLeavesNoPasswordInTheDatabaseAndChecks()
    {
        DovecotFixture dovecot;
        START_DOVECOT_OR_SKIP(dovecot);
        QVERIFY(dovecot.addMessage("Message-ID: <k1@example.org>\r\nFrom: Ann <a@example.org>\r\nSubject: kept\r\n\r\nhi\r\n"));
        QTemporaryDir home;
        const CliResult add = runCli(home.path(), addDovecotAccount(dovecot));
        QCOMPARE(add.status, 0);
        const QString id = add.first().value("Id").toString();
        const CliResult list = runCli(home.path(), {"--json", "accounts", "list"});
        QCOMPARE(list.first().value("PasswordStore").toString(), QString("keyring"));
        QVERIFY(runCli(home.path(), {"accounts", "list"}).out.contains("password in keyring"));
        for (const QString &file : QDir(home.path()).entryList({"MU.mdb*"}))
            QVERIFY2(!fileHolds(home.filePath(file), dovecot.password()), qPrintable(file));

        const CliResult check = runCli(home.path(), {"--json", "check"});
        QVERIFY2(check.status == 0, check.err.constData());
        QCOMPARE(check.first().value("Subject").toString(), QString("kept"));
        const QByteArray logText = fileBytes(home.filePath("mu.log"));
        QVERIFY(!logText.contains(dovecot.password().toUtf8()));
        QVERIFY(!logText.contains("No keyring"));
        QCOMPARE(runCli(home.path(), {"accounts", "remove", id}).status, 0);
        QVERIFY(KeyringSession::items(id).isEmpty());
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

    // Last: the login keyring stays locked afterwards.
    void lockedKeyringWithTheUnlockRefused()
    {
        AccountManager store;
        store.Init(m_db.get());
        QVERIFY(store.UseKeyring(nullptr));
        Record first = account("frank", "locked-1");
        Record second = account("grace", "locked-2");
        store.add(first);
        store.add(second);
        AccountManager before;   // an account stored before the keyring was used
        before.Init(m_db.get());
        Record old = account("ivan", "old-locked");
        before.add(old);
        QVERIFY(KeyringSession::lockAll());

        AccountManager afterLock;
        afterLock.Init(m_db.get());
        QVERIFY(afterLock.UseKeyring(nullptr));
        // Its move was refused: the database keeps its copy, and it still works.
        QCOMPARE(column(old.Id()), AccountManager::StoredPassword("old-locked"));
        const DataBag accounts = afterLock.AccountList();
        QCOMPARE(accounts.Item(old.Id()).value<Record>().text("Pwd"), QString("old-locked"));
        QCOMPARE(accounts.Item(old.Id()).value<Record>().text("PasswordStore"), QString("database"));
        for (const QString &id : {first.Id(), second.Id()}) {
            const Record a = accounts.Item(id).value<Record>();
            QCOMPARE(a.text("Pwd"), QString());
            QVERIFY2(a.text("PwdError").contains("keyring"), qPrintable(a.text("PwdError")));
            QVERIFY(!a.text("PwdError").contains("locked-"));
        }
        // One refused prompt, not one per account or per check.
        for (const QString &id : {first.Id(), second.Id()})
            QVERIFY(accounts.Item(id).value<Record>().text("PwdError").contains("was not asked"));
        QVERIFY(!afterLock.GetAccount(first.Id()).text("PwdError").isEmpty());
        QCOMPARE(m_session.prompts(), 1);
        // A check of such an account fails with the keyring's reason; it never logs in without.
        const CliResult check = runCli(m_home.path(), {"check", "--account", first.Id()});
        QCOMPARE(check.status, 2);
        QVERIFY2(check.err.contains("Unlock the keyring and try again."), check.err.constData());
        QVERIFY(!check.err.contains("locked-1"));
        // Never a silent way round the keyring: nothing is added, nothing removed.
        Record third = account("heidi", "locked-3");
        QVERIFY_THROWS_EXCEPTION(MUError, afterLock.add(third));
        QVERIFY_THROWS_EXCEPTION(MUError, afterLock.Remove(first.Id()));
        QCOMPARE(afterLock.AccountList().Count(), accounts.Count());
        QVERIFY(!fileHolds(m_db->path(), "locked-3"));
        // An edit that never saw the password leaves the keyring's copy alone.
        Record edited = accounts.Item(first.Id()).value<Record>();
        edited.Add("CheckInterval", 20);
        afterLock.Update(edited);
        QCOMPARE(KeyringSession::items(first.Id(), true).size(), 1);
        QCOMPARE(column(first.Id()), QString());
    }
};

QTEST_MAIN(TstKeyring)
#include "tst_keyring.moc"
