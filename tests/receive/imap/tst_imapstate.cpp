// The remembered state of IMAP folders in the message store: read by account (its folder),
// replaced, removed with the account's messages, and created in a database made before it.
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
QVariantMap state(qint64 validity, qint64 highest)
{
    return {{QStringLiteral("UidValidity"), validity}, {QStringLiteral("HighestUid"), highest}};
}
}

class TestImapState : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_db.reset();
        m_home = std::make_unique<QTemporaryDir>();
        m_db = std::make_unique<Database>(m_home->path(), templatePath());
        m_log = std::make_unique<Log>();
        m_msgs = MsgManager();
        m_msgs.Init(m_db.get(), m_log.get());
        m_accounts = AccountManager();
        m_accounts.Init(m_db.get());
    }

    void stateFollowsTheAccountsFolder()
    {
        Record inbox = account(QStringLiteral("imap.a"), QStringLiteral("ann"), QStringLiteral("INBOX"));
        const Record lists = account(QStringLiteral("imap.a"), QStringLiteral("ann"), QStringLiteral("Lists"));
        QVERIFY(m_msgs.GetImapState(inbox.Id()).isEmpty());
        QVERIFY(m_msgs.SetImapState(QStringLiteral("IMAP.A"), QStringLiteral("Ann"), QStringLiteral("INBOX"), 4000000000, 7));
        QVERIFY(m_msgs.SetImapState(QStringLiteral("imap.a"), QStringLiteral("ann"), QStringLiteral("Lists"), 1, 2));
        QCOMPARE(m_msgs.GetImapState(inbox.Id()), state(4000000000, 7));
        QCOMPARE(m_msgs.GetImapState(lists.Id()), state(1, 2));
        QVERIFY(m_msgs.SetImapState(QStringLiteral("imap.a"), QStringLiteral("ann"), QStringLiteral("INBOX"), 5, 1));
        QCOMPARE(m_msgs.GetImapState(inbox.Id()), state(5, 1));
        // Another folder is another mailbox: nothing remembered for it yet.
        inbox.Add(QStringLiteral("Folder"), QStringLiteral("Archive"));
        m_accounts.Update(inbox);
        QVERIFY(m_msgs.GetImapState(inbox.Id()).isEmpty());
    }

    void removedWithTheAccountsMessages()
    {
        const Record ann = account(QStringLiteral("imap.a"), QStringLiteral("ann"), QStringLiteral("INBOX"));
        const Record bob = account(QStringLiteral("imap.a"), QStringLiteral("bob"), QStringLiteral("INBOX"));
        QVERIFY(m_msgs.SetImapState(QStringLiteral("imap.a"), QStringLiteral("ann"), QStringLiteral("INBOX"), 1, 9));
        QVERIFY(m_msgs.SetImapState(QStringLiteral("imap.a"), QStringLiteral("bob"), QStringLiteral("INBOX"), 1, 4));
        m_msgs.RemoveFkAccount(ann.Id());
        QVERIFY(m_msgs.GetImapState(ann.Id()).isEmpty());
        QCOMPARE(m_msgs.GetImapState(bob.Id()), state(1, 4));
    }

    void oldDatabaseGainsTableAndColumns()
    {
        m_db.reset();
        QTemporaryDir home;
        QVERIFY(QFile::copy(templatePath(), home.filePath(QStringLiteral("MU.mdb"))));
        QFile::setPermissions(home.filePath(QStringLiteral("MU.mdb")), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        {
            QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
            old.setDatabaseName(home.filePath(QStringLiteral("MU.mdb")));
            QVERIFY(old.open());
            QSqlQuery q(old);
            QVERIFY(q.exec(QStringLiteral("DROP TABLE Uid")));
            QVERIFY(q.exec(QStringLiteral("ALTER TABLE Account DROP COLUMN Folder")));
            QVERIFY(q.exec(QStringLiteral("ALTER TABLE Account DROP COLUMN Protocol")));
            QVERIFY(q.exec(QStringLiteral("INSERT INTO Account (pkAccount, Server, Port, User, Pwd, CheckInterval, Disabled) "
                                          "VALUES ('{11111111-2222-3333-4444-555555555555}', 'pop.old', 110, 'u', '', 15, 0)")));
            q.finish();
            old.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("old"));

        m_db = std::make_unique<Database>(home.path(), templatePath());
        MsgManager msgs;
        msgs.Init(m_db.get(), m_log.get());
        AccountManager accounts;
        accounts.Init(m_db.get());
        const QString id = QStringLiteral("{11111111-2222-3333-4444-555555555555}");
        QCOMPARE(accounts.GetAccount(id).text(QStringLiteral("Protocol")), QStringLiteral("POP3"));
        QCOMPARE(accounts.GetAccount(id).text(QStringLiteral("Folder")), QStringLiteral("INBOX"));
        QVERIFY(msgs.SetImapState(QStringLiteral("pop.old"), QStringLiteral("u"), QStringLiteral("INBOX"), 3, 4));
        QCOMPARE(msgs.GetImapState(id), state(3, 4));
        m_db.reset();
    }

private:
    Record account(const QString &server, const QString &user, const QString &folder)
    {
        Record r;
        r.Add(QStringLiteral("Server"), server);
        r.Add(QStringLiteral("Port"), 993);
        r.Add(QStringLiteral("User"), user);
        r.Add(QStringLiteral("Pwd"), QStringLiteral("pw"));
        r.Add(QStringLiteral("CheckInterval"), 5);
        r.Add(QStringLiteral("Disabled"), false);
        r.Add(QStringLiteral("Email"), QString());
        r.Add(QStringLiteral("Protocol"), QStringLiteral("IMAP"));
        r.Add(QStringLiteral("Folder"), folder);
        m_accounts.add(r);
        return r;
    }

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<Log> m_log;
    MsgManager m_msgs;
    AccountManager m_accounts;
};

QTEST_GUILESS_MAIN(TestImapState)

#include "tst_imapstate.moc"
