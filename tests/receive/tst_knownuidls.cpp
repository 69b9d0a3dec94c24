// The remembered unique-ids of the POP3 mailboxes: stored, read by account, replaced,
// removed with the account's messages, and created in a database made before them.
#include "storage/AccountManager.h"
#include "storage/Database.h"
#include "storage/MsgManager.h"
#include "trellis/Log.h"
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {
QString templatePath()
{
    return qEnvironmentVariable("MURMELO_BUILD_DIR") + QStringLiteral("/lib/MU.tdb");
}
}

class TestKnownUidls : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void storedPairsReadBackByAccount_data();
    void storedPairsReadBackByAccount();
    void aPairIsReplaced();
    void removedWithTheAccountsMessages();
    void oldDatabaseGainsTheTable();
    void storeFailureIsReportedNotThrown();

private:
    Record account(const QString &server, const QString &user)
    {
        Record r;
        r.Add(QStringLiteral("Server"), server);
        r.Add(QStringLiteral("Port"), 110);
        r.Add(QStringLiteral("User"), user);
        r.Add(QStringLiteral("Pwd"), QStringLiteral("pw"));
        r.Add(QStringLiteral("CheckInterval"), 5);
        r.Add(QStringLiteral("Disabled"), false);
        r.Add(QStringLiteral("Email"), QString());
        m_accounts.add(r);
        return r;
    }
    Record msg(const QString &pop3Id, const QString &server, const QString &user)
    {
        Record r;
        r.Add(QStringLiteral("Server"), server);
        r.Add(QStringLiteral("User"), user);
        r.Add(QStringLiteral("POP3Id"), pop3Id);
        r.Add(QStringLiteral("From"), QStringLiteral("Bob"));
        r.Add(QStringLiteral("To"), QStringLiteral("Ann"));
        r.Add(QStringLiteral("Date"), QStringLiteral("Sun, 6 Dec 2026 10:00:00 +0100"));
        r.Add(QStringLiteral("Subject"), pop3Id);
        return r;
    }

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<Log> m_log;
    MsgManager m_msgs;
    AccountManager m_accounts;
};

void TestKnownUidls::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    m_db = std::make_unique<Database>(m_home->path(), templatePath());
    m_log = std::make_unique<Log>();
    QVERIFY(m_log->OpenFiles(m_home->filePath(QStringLiteral("mu.log")), m_home->filePath(QStringLiteral("short.log"))));
    m_msgs = MsgManager();
    m_msgs.Init(m_db.get(), m_log.get());
    m_accounts = AccountManager();
    m_accounts.Init(m_db.get());
}

void TestKnownUidls::cleanup()
{
    m_db.reset();
    m_log.reset();
    m_home.reset();
}

void TestKnownUidls::storedPairsReadBackByAccount_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("user");
    QTest::newRow("same-names") << "pop.a" << "ann";
    QTest::newRow("server-and-user-in-other-case") << "POP.A" << "Ann";
}

void TestKnownUidls::storedPairsReadBackByAccount()
{
    QFETCH(QString, server);
    QFETCH(QString, user);
    const Record ann = account(QStringLiteral("pop.a"), QStringLiteral("ann"));
    const Record bob = account(QStringLiteral("pop.a"), QStringLiteral("bob"));
    const QVariantMap pairs{{QStringLiteral("UID-1"), QStringLiteral("<1@x>")},
                            {QStringLiteral("uid-1"), QStringLiteral("<other@x>")}, // unique-ids keep their case
                            {QStringLiteral("0002"), QString(300, u'i')}};
    QVERIFY(m_msgs.AddUidls(server, user, pairs));
    QVERIFY(m_msgs.AddUidls(QStringLiteral("pop.a"), QStringLiteral("bob"), {{QStringLiteral("b"), QStringLiteral("<b@x>")}}));
    QVariantMap expected = pairs;
    expected[QStringLiteral("0002")] = QString(255, u'i');
    QCOMPARE(m_msgs.GetKnownUidls(ann.Id()), expected);
    QCOMPARE(m_msgs.GetKnownUidls(bob.Id()), (QVariantMap{{QStringLiteral("b"), QStringLiteral("<b@x>")}}));
    QVERIFY(m_msgs.GetKnownUidls(QStringLiteral("{00000000-0000-0000-0000-000000000000}")).isEmpty());
}

void TestKnownUidls::aPairIsReplaced()
{
    const Record ann = account(QStringLiteral("pop.a"), QStringLiteral("ann"));
    QVERIFY(m_msgs.AddUidls(QStringLiteral("pop.a"), QStringLiteral("ann"), {{QStringLiteral("u"), QStringLiteral("old")}}));
    QVERIFY(m_msgs.AddUidls(QStringLiteral("pop.a"), QStringLiteral("ann"), {{QStringLiteral("u"), QStringLiteral("new")}}));
    QCOMPARE(m_msgs.GetKnownUidls(ann.Id()), (QVariantMap{{QStringLiteral("u"), QStringLiteral("new")}}));
}

void TestKnownUidls::removedWithTheAccountsMessages()
{
    const Record ann = account(QStringLiteral("pop.a"), QStringLiteral("ann"));
    const Record bob = account(QStringLiteral("pop.b"), QStringLiteral("ann"));
    Record mine = msg(QStringLiteral("<1@x>"), QStringLiteral("pop.a"), QStringLiteral("ann"));
    Record other = msg(QStringLiteral("<2@x>"), QStringLiteral("pop.b"), QStringLiteral("ann"));
    QVERIFY(m_msgs.add(mine) && m_msgs.add(other));
    QVERIFY(m_msgs.AddUidls(QStringLiteral("pop.a"), QStringLiteral("ann"), {{QStringLiteral("u1"), QStringLiteral("<1@x>")}}));
    QVERIFY(m_msgs.AddUidls(QStringLiteral("pop.b"), QStringLiteral("ann"), {{QStringLiteral("u2"), QStringLiteral("<2@x>")}}));
    m_msgs.RemoveFkAccount(ann.Id());
    QVERIFY(m_msgs.GetKnownUidls(ann.Id()).isEmpty());
    QCOMPARE(m_msgs.GetMsgIds(ann.Id())->Count(), 0);
    QCOMPARE(m_msgs.GetKnownUidls(bob.Id()), (QVariantMap{{QStringLiteral("u2"), QStringLiteral("<2@x>")}}));
    QCOMPARE(m_msgs.GetMsgIds(bob.Id())->Count(), 1);
}

void TestKnownUidls::oldDatabaseGainsTheTable()
{
    // A database from before the unique-ids: the template without their table.
    m_db.reset();
    QTemporaryDir home;
    QVERIFY(QFile::copy(templatePath(), home.filePath(QStringLiteral("MU.mdb"))));
    QFile::setPermissions(home.filePath(QStringLiteral("MU.mdb")), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    {
        QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
        old.setDatabaseName(home.filePath(QStringLiteral("MU.mdb")));
        QVERIFY(old.open());
        QSqlQuery q(old);
        QVERIFY(q.exec(QStringLiteral("DROP TABLE Uidl")));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO Account (pkAccount, Server, Port, User, Pwd, CheckInterval, Disabled) "
                                      "VALUES ('{11111111-2222-3333-4444-555555555555}', 'pop.old', 110, 'olduser', '', 15, 0)")));
        q.finish();
        old.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old"));

    m_db = std::make_unique<Database>(home.path(), templatePath());
    MsgManager msgs;
    msgs.Init(m_db.get(), m_log.get());
    msgs.Init(m_db.get(), m_log.get()); // a second start finds the table in place
    QVERIFY(msgs.AddUidls(QStringLiteral("pop.old"), QStringLiteral("olduser"), {{QStringLiteral("u"), QStringLiteral("<o@x>")}}));
    QCOMPARE(msgs.GetKnownUidls(QStringLiteral("{11111111-2222-3333-4444-555555555555}")),
             (QVariantMap{{QStringLiteral("u"), QStringLiteral("<o@x>")}}));
    m_db.reset();
}

void TestKnownUidls::storeFailureIsReportedNotThrown()
{
    const Record ann = account(QStringLiteral("pop.a"), QStringLiteral("ann"));
    QVERIFY(QSqlQuery(m_db->connection()).exec(QStringLiteral("DROP TABLE Uidl")));
    QVERIFY(!m_msgs.AddUidls(QStringLiteral("pop.a"), QStringLiteral("ann"), {{QStringLiteral("u"), QStringLiteral("i")}}));
    QVERIFY(m_msgs.GetKnownUidls(ann.Id()).isEmpty());
    QFile shortLog(m_home->filePath(QStringLiteral("short.log")));
    QVERIFY(shortLog.open(QIODevice::ReadOnly));
    const QByteArray text = shortLog.readAll();
    QVERIFY(text.contains("MsgManager.AddUidls"));
    QVERIFY(text.contains("MsgManager.GetKnownUidls"));
}

QTEST_GUILESS_MAIN(TestKnownUidls)
#include "tst_knownuidls.moc"
