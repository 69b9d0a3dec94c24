// The account store: records, ordering, the password's stored form, old databases.
#include "StorageFixture.h"
#include "storage/AccountManager.h"
#include "storage/Database.h"
#include "trellis/MUError.h"
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

class TestAccountManager : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void firstStartHasNoAccounts();
    void addGivesFreshIds();
    void roundTripsEveryProperty();
    void storedPasswordForm_data();
    void storedPasswordForm();
    void passwordRoundTripsThroughTable_data();
    void passwordRoundTripsThroughTable();
    void listIsOrderedByServerThenUser();
    void disabledValues_data();
    void disabledValues();
    void securityDefaults_data();
    void securityDefaults();
    void updateRewritesColumns();
    void updateUnknownIdFails();
    void getUnknownIdFails();
    void removeUnknownIdChangesNothing();
    void badRecordsAreRefused_data();
    void badRecordsAreRefused();
    void oldDatabaseGainsColumns();

private:
    static Record account(const QString &server, const QString &user, const QString &pwd = QStringLiteral("secret"))
    {
        Record r;
        r.Add(QStringLiteral("Server"), server);
        r.Add(QStringLiteral("Port"), 110);
        r.Add(QStringLiteral("User"), user);
        r.Add(QStringLiteral("Pwd"), pwd);
        r.Add(QStringLiteral("CheckInterval"), 10);
        r.Add(QStringLiteral("Disabled"), false);
        r.Add(QStringLiteral("Email"), user + QStringLiteral("@example.com"));
        return r;
    }
    QVariant column(const QString &sql)
    {
        QSqlQuery query(m_db->connection());
        if (!query.exec(sql) || !query.next())
            return QStringLiteral("<failed>");
        return query.value(0);
    }

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<Database> m_db;
    AccountManager m_accounts;
};

void TestAccountManager::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    m_db = std::make_unique<Database>(m_home->path(), StorageFixture::templatePath());
    m_accounts = AccountManager();
    m_accounts.Init(m_db.get());
}

void TestAccountManager::cleanup()
{
    m_db.reset();
    m_home.reset();
}

void TestAccountManager::firstStartHasNoAccounts()
{
    QCOMPARE(m_accounts.AccountList().Count(), 0);
}

void TestAccountManager::addGivesFreshIds()
{
    Record r = account(QStringLiteral("pop.a"), QStringLiteral("x"));
    r.setId(QStringLiteral("not-an-id"));
    m_accounts.add(r);
    const QString first = r.Id();
    QCOMPARE(first.size(), 38);
    QVERIFY(first.startsWith(QLatin1Char('{')) && first.endsWith(QLatin1Char('}')));
    m_accounts.add(r);
    QVERIFY(r.Id() != first);
    QCOMPARE(m_accounts.AccountList().Count(), 2);
    QVERIFY(m_accounts.AccountList().Exists(first));
}

void TestAccountManager::roundTripsEveryProperty()
{
    Record r = account(QStringLiteral("pop.example.com"), QStringLiteral("ann"), QStringLiteral("pa55"));
    r.Add(QStringLiteral("Port"), 995);
    r.Add(QStringLiteral("CheckInterval"), 25);
    r.Add(QStringLiteral("Disabled"), true);
    r.Add(QStringLiteral("CertPin"), QStringLiteral("sha256/AAAA"));
    m_accounts.add(r);
    const Record back = m_accounts.GetAccount(r.Id());
    QCOMPARE(back.Id(), r.Id());
    QCOMPARE(back.names(), (QStringList{"Server", "Port", "User", "Pwd", "CheckInterval", "Disabled", "Email",
                                        "Security", "CertPin", "Protocol", "Folder"}));
    QCOMPARE(back.text(QStringLiteral("Server")), QStringLiteral("pop.example.com"));
    QCOMPARE(back.Item(QStringLiteral("Port")).toInt(), 995);
    QCOMPARE(back.text(QStringLiteral("User")), QStringLiteral("ann"));
    QCOMPARE(back.text(QStringLiteral("Pwd")), QStringLiteral("pa55"));
    QCOMPARE(back.Item(QStringLiteral("CheckInterval")).toInt(), 25);
    QCOMPARE(back.Item(QStringLiteral("Disabled")).typeId(), int(QMetaType::Bool));
    QCOMPARE(back.Item(QStringLiteral("Disabled")).toBool(), true);
    QCOMPARE(back.text(QStringLiteral("Email")), QStringLiteral("ann@example.com"));
    QCOMPARE(back.text(QStringLiteral("Security")), QStringLiteral("TLS"));
    QCOMPARE(back.text(QStringLiteral("CertPin")), QStringLiteral("sha256/AAAA"));
    QCOMPARE(back.text(QStringLiteral("Protocol")), QStringLiteral("POP3"));
    QCOMPARE(back.text(QStringLiteral("Folder")), QStringLiteral("INBOX"));
    r.Add(QStringLiteral("Protocol"), QStringLiteral("imap"));
    r.Add(QStringLiteral("Folder"), QStringLiteral("Lists/Entw\u00fcrfe"));
    m_accounts.Update(r);
    QCOMPARE(m_accounts.GetAccount(r.Id()).text(QStringLiteral("Protocol")), QStringLiteral("IMAP"));
    QCOMPARE(m_accounts.GetAccount(r.Id()).text(QStringLiteral("Folder")), QStringLiteral("Lists/Entw\u00fcrfe"));
    // The table never holds the plain password.
    QCOMPARE(column(QStringLiteral("SELECT Pwd FROM Account")).toString(), AccountManager::StoredPassword(QStringLiteral("pa55")));
    QVERIFY(column(QStringLiteral("SELECT Pwd FROM Account")).toString() != QStringLiteral("pa55"));
    // An id in other letter case finds the same account.
    QCOMPARE(m_accounts.GetAccount(r.Id().toLower()).Id(), r.Id());
}

void TestAccountManager::storedPasswordForm_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("stored");
    QTest::newRow("abc-reversed-and-inverted") << QStringLiteral("abc") << StorageFixture::units({QChar(156), QChar(157), QChar(158)});
    QTest::newRow("empty-stays-empty") << QString() << QString();
    QTest::newRow("latin1-high-codes") << StorageFixture::units({QChar(0xE9), QChar(0xFF), QChar(0)})
                                       << StorageFixture::units({QChar(0xFF), QChar(0), QChar(0x16)});
    QTest::newRow("cyrillic-kept-reversed") << QStringLiteral("пароль") << QStringLiteral("ьлорап");
    QTest::newRow("mixed-latin-and-cjk") << (QStringLiteral("a") + QChar(0x5BC6)) << (QString(QChar(0x5BC6)) + QChar(158));
}

void TestAccountManager::storedPasswordForm()
{
    QFETCH(QString, password);
    QFETCH(QString, stored);
    QCOMPARE(AccountManager::StoredPassword(password), stored);
    QCOMPARE(AccountManager::StoredPassword(stored), password);
}

void TestAccountManager::passwordRoundTripsThroughTable_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("ascii") << QStringLiteral("Tr0ub4dor&3");
    QTest::newRow("empty") << QString();
    QTest::newRow("cyrillic") << QStringLiteral("пароль");
    QTest::newRow("cjk") << QStringLiteral("密码口令");
    QTest::newRow("emoji-surrogate-pair") << QStringLiteral("key🔑lock🔒");
    QTest::newRow("lone-surrogate-and-fffe") << StorageFixture::units({QChar(0xD800), QChar(u'x'), QChar(0xFFFE), QChar(0xDC00)});
    QTest::newRow("ends-with-byte-order-mark") << (QStringLiteral("pw") + QChar(0xFEFF));
    QTest::newRow("code-255-and-zero") << StorageFixture::units({QChar(0xFF), QChar(0), QChar(u'z')});
}

void TestAccountManager::passwordRoundTripsThroughTable()
{
    QFETCH(QString, password);
    Record r = account(QStringLiteral("pop.a"), QStringLiteral("x"), password);
    m_accounts.add(r);
    QCOMPARE(m_accounts.GetAccount(r.Id()).text(QStringLiteral("Pwd")), password);
    r.Add(QStringLiteral("Pwd"), password + QStringLiteral("2"));
    m_accounts.Update(r);
    QCOMPARE(m_accounts.AccountList().Item(r.Id()).value<Record>().text(QStringLiteral("Pwd")), password + QStringLiteral("2"));
}

void TestAccountManager::listIsOrderedByServerThenUser()
{
    for (const auto &[server, user] : {std::pair{"pop.b", "x"}, {"pop.a", "z"}, {"pop.a", "y"}, {"POP.A", "w"}}) {
        Record r = account(QString::fromLatin1(server), QString::fromLatin1(user));
        m_accounts.add(r);
    }
    QStringList order;
    for (const QVariant &item : m_accounts.AccountList()) {
        const Record r = item.value<Record>();
        order << r.text(QStringLiteral("Server")) + QLatin1Char('/') + r.text(QStringLiteral("User"));
    }
    QCOMPARE(order, (QStringList{"POP.A/w", "pop.a/y", "pop.a/z", "pop.b/x"}));
}

void TestAccountManager::disabledValues_data()
{
    QTest::addColumn<QVariant>("given");
    QTest::addColumn<int>("stored");
    QTest::newRow("bool-true") << QVariant(true) << 1;
    QTest::newRow("bool-false") << QVariant(false) << 0;
    QTest::newRow("number-zero") << QVariant(0) << 0;
    QTest::newRow("number-minus-one") << QVariant(-1) << 1;
    QTest::newRow("text-True") << QVariant(QStringLiteral("True")) << 1;
    QTest::newRow("text-false") << QVariant(QStringLiteral("false")) << 0;
    QTest::newRow("text-zero") << QVariant(QStringLiteral("0")) << 0;
}

void TestAccountManager::disabledValues()
{
    QFETCH(QVariant, given);
    QFETCH(int, stored);
    Record r = account(QStringLiteral("pop.a"), QStringLiteral("x"));
    r.Add(QStringLiteral("Disabled"), given);
    m_accounts.add(r);
    QCOMPARE(column(QStringLiteral("SELECT Disabled FROM Account")).toInt(), stored);
    QCOMPARE(m_accounts.GetAccount(r.Id()).Item(QStringLiteral("Disabled")), QVariant(stored == 1));
}

void TestAccountManager::securityDefaults_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QVariant>("given");
    QTest::addColumn<QString>("expected");
    QTest::newRow("pop3s-port-defaults-to-tls") << 995 << QVariant() << "TLS";
    QTest::newRow("pop3-port-defaults-to-starttls") << 110 << QVariant() << "STARTTLS";
    QTest::newRow("explicit-none-kept") << 110 << QVariant(QStringLiteral("None")) << "None";
    QTest::newRow("explicit-starttls-on-995-kept") << 995 << QVariant(QStringLiteral("STARTTLS")) << "STARTTLS";
    QTest::newRow("imaps-port-defaults-to-tls") << 993 << QVariant() << "TLS";
}

void TestAccountManager::securityDefaults()
{
    QFETCH(int, port);
    QFETCH(QVariant, given);
    QFETCH(QString, expected);
    Record r = account(QStringLiteral("pop.a"), QStringLiteral("x"));
    r.Add(QStringLiteral("Port"), port);
    if (given.isValid())
        r.Add(QStringLiteral("Security"), given);
    m_accounts.add(r);
    QCOMPARE(m_accounts.GetAccount(r.Id()).text(QStringLiteral("Security")), expected);
    QCOMPARE(m_accounts.GetAccount(r.Id()).text(QStringLiteral("CertPin")), QString());
}

void TestAccountManager::updateRewritesColumns()
{
    Record r = account(QStringLiteral("pop.a"), QStringLiteral("x"));
    m_accounts.add(r);
    Record other = account(QStringLiteral("pop.other"), QStringLiteral("o"));
    m_accounts.add(other);
    r.Add(QStringLiteral("Server"), QStringLiteral("pop.new"));
    r.Add(QStringLiteral("Port"), QStringLiteral("995"));
    r.Add(QStringLiteral("User"), QStringLiteral("y"));
    r.Add(QStringLiteral("CheckInterval"), 3);
    r.Add(QStringLiteral("Disabled"), true);
    r.Add(QStringLiteral("Email"), QString());
    m_accounts.Update(r);
    const Record back = m_accounts.GetAccount(r.Id());
    QCOMPARE(back.text(QStringLiteral("Server")), QStringLiteral("pop.new"));
    QCOMPARE(back.Item(QStringLiteral("Port")).toInt(), 995);
    QCOMPARE(back.text(QStringLiteral("User")), QStringLiteral("y"));
    QCOMPARE(back.Item(QStringLiteral("CheckInterval")).toInt(), 3);
    QCOMPARE(back.Item(QStringLiteral("Disabled")).toBool(), true);
    QCOMPARE(back.text(QStringLiteral("Email")), QString());
    QCOMPARE(back.text(QStringLiteral("Security")), QStringLiteral("TLS"));
    QCOMPARE(m_accounts.GetAccount(other.Id()).text(QStringLiteral("Server")), QStringLiteral("pop.other"));
}

void TestAccountManager::updateUnknownIdFails()
{
    Record r = account(QStringLiteral("pop.a"), QStringLiteral("x"));
    m_accounts.add(r);
    Record ghost = account(QStringLiteral("pop.ghost"), QStringLiteral("g"));
    ghost.setId(QStringLiteral("{00000000-0000-0000-0000-000000000000}"));
    QVERIFY_THROWS_EXCEPTION(MUError, m_accounts.Update(ghost));
    QCOMPARE(column(QStringLiteral("SELECT count(*) FROM Account")).toInt(), 1);
    QCOMPARE(column(QStringLiteral("SELECT Server FROM Account")).toString(), QStringLiteral("pop.a"));
}

void TestAccountManager::getUnknownIdFails()
{
    try {
        m_accounts.GetAccount(QStringLiteral("{00000000-0000-0000-0000-000000000000}"));
        QFAIL("an unknown id was found");
    } catch (const MUError &error) {
        QCOMPARE(error.number(), qint32(0x80040201u));
        QCOMPARE(error.source(), QStringLiteral("AccountManager.GetAccount"));
    }
}

void TestAccountManager::removeUnknownIdChangesNothing()
{
    Record r = account(QStringLiteral("pop.a"), QStringLiteral("x"));
    m_accounts.add(r);
    m_accounts.Remove(QStringLiteral("{00000000-0000-0000-0000-000000000000}"));
    m_accounts.Remove(QStringLiteral("x' OR '1'='1"));
    QCOMPARE(m_accounts.AccountList().Count(), 1);
    m_accounts.Remove(r.Id());
    QCOMPARE(m_accounts.AccountList().Count(), 0);
}

void TestAccountManager::badRecordsAreRefused_data()
{
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing-server") << "Server" << QVariant() << "no property 'Server'";
    QTest::newRow("missing-pwd") << "Pwd" << QVariant() << "no property 'Pwd'";
    QTest::newRow("port-not-a-number") << "Port" << QVariant(QStringLiteral("pop3")) << "'Port' must be a whole number";
    QTest::newRow("interval-not-a-number") << "CheckInterval" << QVariant(QStringLiteral("often")) << "'CheckInterval'";
}

void TestAccountManager::badRecordsAreRefused()
{
    QFETCH(QString, property);
    QFETCH(QVariant, value);
    QFETCH(QString, reason);
    Record good = account(QStringLiteral("pop.a"), QStringLiteral("x"));
    m_accounts.add(good);
    Record r;
    for (const QString &name : good.names()) {
        if (name != property)
            r.Add(name, good.Item(name));
        else if (value.isValid())
            r.Add(name, value);
    }
    try {
        m_accounts.add(r);
        QFAIL("a bad record was stored");
    } catch (const MUError &error) {
        QVERIFY2(error.description().contains(reason), qPrintable(error.description()));
    }
    r.setId(good.Id());
    QVERIFY_THROWS_EXCEPTION(MUError, m_accounts.Update(r));
    QCOMPARE(m_accounts.AccountList().Count(), 1);
    QCOMPARE(m_accounts.GetAccount(good.Id()).text(QStringLiteral("Server")), QStringLiteral("pop.a"));
}

void TestAccountManager::oldDatabaseGainsColumns()
{
    // A database from before the Email, Security and CertPin columns.
    m_db.reset();
    QTemporaryDir home;
    {
        QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
        old.setDatabaseName(home.filePath(QStringLiteral("MU.mdb")));
        QVERIFY(old.open());
        QSqlQuery q(old);
        QVERIFY(q.exec(QStringLiteral("PRAGMA encoding = 'UTF-16le'")));
        QVERIFY(q.exec(QStringLiteral("CREATE TABLE Account (pkAccount TEXT PRIMARY KEY, Server TEXT, Port INTEGER, "
                                      "User TEXT, Pwd TEXT, CheckInterval INTEGER, Disabled INTEGER)")));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO Account VALUES ('{11111111-2222-3333-4444-555555555555}', "
                                      "'pop.old', 110, 'olduser', '', 15, 0)")));
        q.finish();
        old.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old"));

    m_db = std::make_unique<Database>(home.path(), StorageFixture::templatePath());
    AccountManager accounts;
    accounts.Init(m_db.get());
    accounts.Init(m_db.get()); // a second start finds the columns in place
    const Record old = accounts.GetAccount(QStringLiteral("{11111111-2222-3333-4444-555555555555}"));
    QCOMPARE(old.text(QStringLiteral("Server")), QStringLiteral("pop.old"));
    QCOMPARE(old.text(QStringLiteral("Email")), QString());
    QCOMPARE(old.text(QStringLiteral("Security")), QStringLiteral("None"));
    QCOMPARE(old.text(QStringLiteral("CertPin")), QString());
    QCOMPARE(old.text(QStringLiteral("Protocol")), QStringLiteral("POP3"));
    QCOMPARE(old.text(QStringLiteral("Folder")), QStringLiteral("INBOX"));
    QSqlQuery info(m_db->connection());
    QVERIFY(info.exec(QStringLiteral("SELECT count(*) FROM pragma_table_info('Account') WHERE name IN ('Email','Security','CertPin')")));
    QVERIFY(info.next());
    QCOMPARE(info.value(0).toInt(), 3);
    info.finish();

    Record r = account(QStringLiteral("pop.new"), QStringLiteral("n"));
    accounts.add(r);
    QCOMPARE(accounts.GetAccount(r.Id()).text(QStringLiteral("Email")), QStringLiteral("n@example.com"));
    m_db.reset();
}

QTEST_GUILESS_MAIN(TestAccountManager)
#include "tst_accountmanager.moc"
