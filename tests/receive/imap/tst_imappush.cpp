// The receiver manager's push workers: the events of their checks, "Check Mail" on the open
// connection, the timer left alone while pushing, a quick reconnect when woken, and the stop.
#include "EngineFixture.h"
#include "FakeImapServer.h"
#include "cli/PrivateBus.h"
#include "ReceiverRun.h"
#include "engine/MUScripting.h"
#include "receive/ReceiverManager.h"
#include "storage/Database.h"
#include "storage/MsgManager.h"
#include "trellis/MetaTypes.h"
#include "trellis/ThreadRunner.h"
#include <QSqlQuery>
#include <QTest>

namespace {
QByteArray mail(int n)
{
    return "Message-ID: <p" + QByteArray::number(n) + "@example.org>\r\nFrom: a@example.org\r\nTo: b@example.org\r\n"
           "Date: Sun, 6 Dec 2026 10:00:00 +0000\r\nSubject: s" + QByteArray::number(n) + "\r\n\r\nbody\r\n";
}

/// An IMAP account of the fake server's default user.
Record account(const QString &id, const FakeImapServer &imap)
{
    Record a = TestAccounts::engine(imap.host(), imap.port(), "user", "secret");
    a.setId(id);
    a.Add("Protocol", "IMAP");
    return a;
}
}

class TstImapPush : public QObject
{
    Q_OBJECT
    QStringList m_events;

    void record(ReceiverManager &rm)
    {
        m_events.clear();
        connect(&rm, &ReceiverManager::ReceiveStart, this, [this] { m_events << "ReceiveStart"; });
        connect(&rm, &ReceiverManager::ReceiveComplete, this, [this] { m_events << "ReceiveComplete"; });
        connect(&rm, &ReceiverManager::MsgArrived, this, [this](const Record &m) { m_events << "MsgArrived " + m.text("Subject"); });
        connect(&rm, &ReceiverManager::ErrorOccured, this, [this](qint32 n, const QString &) { m_events << QString("ErrorOccured %1").arg(n); });
        connect(&rm, &ReceiverManager::CurrentReceivesCount, this, [this](int n) { m_events << QString("Count %1").arg(n); });
        connect(&rm, &ReceiverManager::PushMode, this, [this](const QString &, bool p) { m_events << QString("PushMode %1").arg(p); });
    }

private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
        // A private bus stands in for the system bus, so the test can say that the machine woke.
        m_busAddress = QString::fromUtf8(startBus(m_bus));
        if (!m_busAddress.isEmpty())
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_busAddress.toUtf8());
    }
    void cleanupTestCase() { stopProcess(m_bus); }
    void init()
    {
        m_imap = std::make_unique<FakeImapServer>();
        QVERIFY(m_imap->listen());
    }
    void cleanup()
    {
        QVERIFY(ThreadRunner::WaitForAll(10000));
        m_imap.reset();
    }

    void checksOnThePushConnectionRaiseTheUsualEvents()
    {
        m_imap->addMessage(mail(1));
        ReceiverManager rm;
        rm.Init(std::make_shared<Log>(), nullptr);
        record(rm);
        QSignalSpy idling(m_imap.get(), &FakeImapServer::idling);
        const Record a = account("{A}", *m_imap);
        rm.StartPush(a, DataBag());
        QVERIFY(idling.wait(10000));
        QTRY_VERIFY(rm.IsPushing("{A}"));
        QCOMPARE(m_events, (QStringList{"ReceiveStart", "Count 1", "MsgArrived s1", "Count 1", "ReceiveComplete",
                                        "Count 0", "PushMode 1", "Count 0"}));
        m_events.clear();

        // "Check Mail": on the open connection, with the events of a check, no second download.
        rm.Check(a, DataBag());
        QVERIFY(idling.wait(10000));
        QCOMPARE(m_imap->connectionCount(), 1);
        QCOMPARE(m_events, (QStringList{"ReceiveStart", "Count 1", "ReceiveComplete", "Count 0"}));
        QVERIFY(m_imap->commands().contains("UID SEARCH UID 2:*"));

        // How the receiver ends its IDLE on a stop is the receiver suite's.
        rm.StopReceiving("{A}");
        QVERIFY(!rm.IsPushing("{A}"));
    }

    void networkChangeReconnectsAtOnce_data()
    {
        QTest::addColumn<bool>("suspend");
        QTest::addColumn<bool>("dropped");   // false: the old connection still looks alive
        QTest::newRow("network-back-while-waiting-to-retry") << false << true;
        QTest::newRow("resumed-while-waiting-to-retry") << true << true;
        QTest::newRow("resumed-while-idling") << true << false;
    }

    void networkChangeReconnectsAtOnce()
    {
        QFETCH(bool, suspend);
        QFETCH(bool, dropped);
        if (suspend && m_busAddress.isEmpty())
            QSKIP("dbus-daemon is not installed (package dbus-daemon)");
        ReceiverManager rm;
        rm.Init(std::make_shared<Log>(), nullptr);
        DataBag extra;
        extra.Add(60000, "RetryFirstMs"); // far longer than the test waits
        rm.setExtraWorkerData(extra);
        QSignalSpy idling(m_imap.get(), &FakeImapServer::idling);
        rm.StartPush(account("{B}", *m_imap), DataBag());
        QVERIFY(idling.wait(10000));
        QSignalSpy gone(m_imap.get(), &FakeImapServer::clientDisconnected);
        if (dropped) {
            m_imap->dropAll();
            QVERIFY(gone.count() > 0 || gone.wait(5000));
        }
        if (suspend) {
            // logind's word that the machine has woken.
            QDBusConnection login = QDBusConnection::connectToBus(m_busAddress, QStringLiteral("login1"));
            QVERIFY(login.registerService(QStringLiteral("org.freedesktop.login1")));
            QDBusMessage woken = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                            QStringLiteral("org.freedesktop.login1.Manager"),
                                                            QStringLiteral("PrepareForSleep"));
            woken << false;
            QVERIFY(login.send(woken));
        } else {
            // What the network's return does.
            rm.WakePushWorkers();
        }
        QVERIFY(idling.wait(5000));
        QCOMPARE(m_imap->connectionCount(), 2);
        QVERIFY(gone.count() > 0 || gone.wait(5000));   // the old connection is let go
        rm.StopReceiving();
    }

    void highestUidWaitsUntilTheMessagesAreStored()
    {
        m_imap->addMessage(mail(1));
        m_imap->addMessage(mail(2));
        EngineFixture f;
        MUScripting &e = f.start();
        Record a = account(QString(), *m_imap);
        a.Add("Disabled", true); // checked by hand only
        e.AddAccount(a);
        // The store refuses the second message once (a full disk, say).
        QSqlQuery q(e.db()->connection());
        QVERIFY(q.exec("CREATE TRIGGER refuse BEFORE INSERT ON Msg WHEN NEW.Subject = 's2' "
                       "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
        QSignalSpy complete(e.receiverManager(), &ReceiverManager::ReceiveComplete);
        QSignalSpy failed(e.receiverManager(), &ReceiverManager::ErrorOccured);
        QSignalSpy arrived(&e, &MUScripting::MsgArrived);
        e.CheckForNewMessagesNow(&a);
        // A check that could not keep a message it received ends as a failure.
        QVERIFY(failed.wait(10000));
        QCOMPARE(complete.count(), 0);
        QCOMPARE(arrived.count(), 1);
        QVERIFY(e.msgManager()->GetImapState(a.Id()).isEmpty());
        QVERIFY(q.exec("DROP TRIGGER refuse"));
        e.CheckForNewMessagesNow(&a);
        QVERIFY(complete.wait(10000));
        QCOMPARE(arrived.count(), 2);
        QCOMPARE(arrived.last().first().value<Record>().text("Subject"), QStringLiteral("s2"));
        QCOMPARE(e.msgManager()->GetImapState(a.Id()).value("HighestUid").toInt(), 2);
    }

    void timerLeavesPushedAccountsAlone()
    {
        EngineFixture f;
        MUScripting &e = f.start();
        Record a = account(QString(), *m_imap);
        e.AddAccount(a);
        QSignalSpy mode(e.receiverManager(), &ReceiverManager::PushMode);
        e.StartDownload();
        QVERIFY(mode.wait(10000));
        QSignalSpy ticks(&e, &MUScripting::CheckTimerTick);
        e.moTimerManager_ItsTimeToCheck(a.Id());
        QCOMPARE(ticks.count(), 1);
        QVERIFY(f.logText().contains("Pushed account: no timed check"));
        // The folder's state is kept once the (empty) first check ended.
        QCOMPARE(e.msgManager()->GetImapState(a.Id()).value("UidValidity").toInt(), 1000);
    }

private:
    std::unique_ptr<FakeImapServer> m_imap;
    QProcess m_bus;
    QString m_busAddress;
};

QTEST_GUILESS_MAIN(TstImapPush)
#include "tst_imappush.moc"
