#include "FakePop3Server.h"
#include "ReceiverRun.h"
#include "receive/ReceiverManager.h"
#include "trellis/MUError.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"
#include "trellis/ThreadRunner.h"
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {
Record account(const QString &id, const FakePop3Server &pop)
{
    Record a = TestAccounts::engine(pop.host(), pop.port(), "user", "secret");
    a.setId(id);
    return a;
}
}

/// The receiver manager's events, in the order the program relies on.
class TstReceiverManager : public QObject
{
    Q_OBJECT
    QStringList m_events;
    QTemporaryDir m_home;   // the data folder that holds the accounts' lock files

    std::unique_ptr<FakePop3Server> m_pop;
    std::unique_ptr<ReceiverManager> m_rm;

    void record(ReceiverManager &rm)
    {
        m_events.clear();
        connect(&rm, &ReceiverManager::ReceiveStart, this, [this] { m_events << "ReceiveStart"; });
        connect(&rm, &ReceiverManager::ReceiveComplete, this, [this] { m_events << "ReceiveComplete"; });
        connect(&rm, &ReceiverManager::MsgArrived, this, [this](const Record &m) { m_events << "MsgArrived " + m.text("Subject"); });
        connect(&rm, &ReceiverManager::ErrorOccured, this, [this](qint32 n, const QString &) { m_events << QString("ErrorOccured %1").arg(n); });
        connect(&rm, &ReceiverManager::CurrentReceivesCount, this, [this](int n) { m_events << QString("Count %1").arg(n); });
    }

private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
        Paths::SetHome(m_home.path());
    }
    void cleanupTestCase() { Paths::SetHome(QString()); }
    void init()
    {
        m_pop = std::make_unique<FakePop3Server>();
        QVERIFY(m_pop->listen());
        QFile::remove(m_home.filePath("mu.log")); // each test reads only its own
        auto log = std::make_shared<Log>();
        QVERIFY(log->OpenFiles(m_home.filePath("mu.log"), m_home.filePath("short.log")));
        m_rm = std::make_unique<ReceiverManager>();
        m_rm->Init(log, nullptr);
        record(*m_rm);
    }
    void cleanup()
    {
        m_rm->StopReceiving();
        m_rm.reset();
        m_pop.reset();
        QVERIFY(ThreadRunner::WaitForAll(10000));
    }

    void eventsOfOneCheck_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QStringList>("events");
        QTest::newRow("two-messages")
            << false << QStringList{"ReceiveStart", "Count 1", "MsgArrived Message 1", "Count 1", "MsgArrived Message 2",
                                    "Count 1", "ReceiveComplete", "Count 0"};
        QTest::newRow("refused-password")
            << true << QStringList{"ReceiveStart", "Count 1", QString("ErrorOccured %1").arg(MUError::engineNumber(525)),
                                   "Count 0"};
    }
    void eventsOfOneCheck()
    {
        QFETCH(bool, refused);
        QFETCH(QStringList, events);
        for (const int n : {1, 2}) {
            TestMail mail;
            mail.n = n;
            m_pop->addMessage(mail.bytes());
        }
        if (refused)
            m_pop->setAction("PASS", FakePop3Server::Action::Error, "authentication failed");
        m_rm->Check(account("{A}", *m_pop), DataBag());
        QTRY_COMPARE_WITH_TIMEOUT(m_events, events, 10000);
    }

    void secondCheckOfRunningAccountIsRefused()
    {
        m_pop->setSilentAfterGreeting(true);
        m_rm->Check(account("{A}", *m_pop), DataBag());
        const int before = m_events.size();
        m_rm->Check(account("{A}", *m_pop), DataBag());
        QCOMPARE(m_events.size(), before);   // no event at all
        QCOMPARE(m_rm->ReceivesCount(), 1);
    }

    void downloadInAnotherProcessIsRefusedUntilThatProcessDies()
    {
        m_pop->setNeverGreet(true);   // the other process's download stays running
        QProcess other;
        other.start(RECEIVER_CHILD, {m_home.path(), QString::number(m_pop->port()), "{L}"});
        QVERIFY(other.waitForReadyRead(30000));
        QCOMPARE(other.readLine().trimmed(), QByteArray("receiving"));

        m_rm->Check(account("{L}", *m_pop), DataBag());
        QVERIFY(m_events.isEmpty());   // refused as a second check in one process is: no event
        QVERIFY(!m_rm->IsReceiving("{L}"));
        QFile written(m_home.filePath("mu.log"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.readAll().contains("Already receiving from this account."));

        other.kill();   // its lock file stays behind, stale
        QVERIFY(other.waitForFinished(10000));
        m_rm->Check(account("{L}", *m_pop), DataBag());
        QVERIFY(m_rm->IsReceiving("{L}"));
        QCOMPARE(m_events.value(0), QString("ReceiveStart"));
    }

    void stopAllOfThreeRunningDownloads()
    {
        m_pop->setSilentAfterGreeting(true);
        for (const char *id : {"{A}", "{B}", "{C}"})
            m_rm->Check(account(id, *m_pop), DataBag());
        QTRY_COMPARE(m_pop->countOf("CAPA"), 3);
        m_events.clear();
        m_rm->StopReceiving();
        QCOMPARE(m_events, QStringList{"Count 0"});
        QVERIFY(ThreadRunner::WaitForAll(3000));   // every worker noticed its cancel event
        QCoreApplication::sendPostedEvents(); // what the workers posted before they ended
        QVERIFY(!m_events.contains("ReceiveComplete"));
        QVERIFY(!m_events.join(',').contains("ErrorOccured"));   // cancelled: nothing to report
    }

    void lateMessageOfCancelledDownloadLeavesTheNewOneAlone()
    {
        m_pop->setSilentAfterGreeting(true);
        m_rm->Check(account("{A}", *m_pop), DataBag());
        QTRY_COMPARE(m_pop->countOf("CAPA"), 1);
        m_rm->StopReceiving("{A}");
        m_rm->Check(account("{A}", *m_pop), DataBag());      // a new download while the old one winds down
        QTRY_COMPARE(m_pop->countOf("CAPA"), 2);           // the new worker is not cancelled by the old event
        QTRY_COMPARE(ThreadRunner::RunningCount(), 1);    // the old worker has ended...
        QCoreApplication::sendPostedEvents();            // ...and its last message was delivered
        QVERIFY(m_rm->IsReceiving("{A}"));                  // ...and it did not remove the new entry
        QCOMPARE(m_rm->ReceivesCount(), 1);
        m_rm->StopReceiving("{A}");                         // the new download can still be stopped
        QCOMPARE(m_rm->ReceivesCount(), 0);
        QVERIFY(ThreadRunner::WaitForAll(3000));
    }

    void routing_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("progId");
        // HTTPMail only for the hosts of the configured endpoints; other hosts of those
        // mail domains are POP3 servers like any other.
        QTest::newRow("hotmail-endpoint-host-any-case") << " Services.MSN.COM " << "MUCustom.CHotmail";
        QTest::newRow("msn-endpoint-host") << "oe.msn.msnmail.hotmail.com" << "MUCustom.CHotmail";
        QTest::newRow("pop3-host-of-the-hotmail-domain") << "pop3.hotmail.com" << "MUCustom.CReceiver";
        QTest::newRow("bare-domain-is-pop3") << "hotmail.com" << "MUCustom.CReceiver";
    }
    void routing()
    {
        QFETCH(QString, server);
        QFETCH(QString, progId);
        QCOMPARE(ReceiverManager::ProgIdForServer(server), progId);
    }
};

QTEST_MAIN(TstReceiverManager)
#include "tst_receivermanager.moc"
