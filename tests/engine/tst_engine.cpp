#include "EngineFixture.h"
#include "FakePop3Server.h"
#include "ReceiverRun.h"
#include "ScriptedHttpServer.h"
#include "receive/ReceiverManager.h"
#include "storage/AccountManager.h"
#include "storage/CSettings.h"
#include "storage/Database.h"
#include "storage/MsgManager.h"
#include "timing/TimerManager.h"
#include "trellis/MUError.h"
#include "trellis/ThreadRunner.h"
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTest>

class TstEngine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { MUScripting::ResetUsageReportDone(); }
    void cleanup() { QVERIFY(ThreadRunner::WaitForAll(10000)); }

    void startsAreCountedUnderOneInstallId()
    {
        EngineFixture f;
        MUScripting &e = f.start();
        QCOMPARE(e.installId().size(), 38);
        QCOMPARE(e.settings()->GetSetting(MUScripting::KeyStartCount, 0).toString(), QString("1"));
        const QString id = e.installId();
        f.engine->Finalize();
        f.engine.reset();
        MUScripting &again = f.start();
        QCOMPARE(again.installId(), id);   // created once
        QCOMPARE(again.settings()->GetSetting(MUScripting::KeyStartCount, 0).toString(), QString("2"));
        QVERIFY(f.logText().contains("Murmelo Components ver."));
        QVERIFY(f.logText().contains("Init complete"));
    }

    void databaseThatIsNotADatabaseGives524()
    {
        EngineFixture f;
        QVERIFY(f.home.writeFile("MU.mdb", "this is not a database, it is a letter to grandma\n"));
        try {
            f.start();
            QFAIL("Init must fail");
        } catch (const MUError &e) {
            QCOMPARE(e.number(), MUError::engineNumber(524));
            QVERIFY2(e.description().startsWith("MDAC or Jet components error. "), qPrintable(e.description()));
        }
        f.engine.reset();
    }

    void usageReportStages_data()
    {
        QTest::addColumn<int>("stage");
        QTest::addColumn<int>("starts");     // the count after this start
        QTest::addColumn<bool>("sent");
        QTest::addColumn<int>("stageAfter");
        QTest::addColumn<bool>("endpoint");
        QTest::newRow("first-start-sends-report-1") << 0 << 1 << true << 1 << true;
        QTest::newRow("stage-5-with-20-starts-not-due") << 5 << 20 << false << 5 << true;
        QTest::newRow("stage-5-with-21-starts-sends-report-6") << 5 << 21 << true << 6 << true;
        QTest::newRow("stage-15-never") << 15 << 9999 << false << 15 << true;
        QTest::newRow("no-endpoint-sends-nothing-but-advances") << 0 << 1 << false << 1 << false;
    }
    void usageReportStages()
    {
        QFETCH(int, stage);
        QFETCH(int, starts);
        QFETCH(bool, sent);
        QFETCH(int, stageAfter);
        QFETCH(bool, endpoint);
        ScriptedHttpServer stat;
        QVERIFY(stat.listen());
        stat.setFallback({200, "OK", {}, "ok", false, 0, true});
        EngineFixture f;
        if (endpoint)
            QVERIFY(f.home.writeFile("services.json", QJsonDocument(QJsonObject{{"statisticsEndpoint", stat.url({})}}).toJson()));
        MUScripting &e = f.start();
        e.settings()->SaveSetting(MUScripting::KeyReportStage, stage);
        e.settings()->SaveSetting(MUScripting::KeyStartCount, starts);
        QSignalSpy report(&e, &MUScripting::UsageReportSent);
        Record a = TestAccounts::engine("127.0.0.1", 1, "ann", "pw", true);   // disabled: no timer
        e.AddAccount(a);
        e.moTimerManager_ItsTimeToCheck(a.Id());
        const bool online = MUScripting::IsOnline();
        QCOMPARE(report.count(), sent && online ? 1 : 0);
        QCOMPARE(e.settings()->GetSetting(MUScripting::KeyReportStage, 0).toString(), QString::number(stageAfter));
        if (sent && online) {
            const QString url = report.first().first().toString();
            QVERIFY2(url.contains(QStringLiteral("/stat.htm?r=%1&t=0&m=0&dbg=%2").arg(starts).arg(e.installId().mid(1, 36))),
                     qPrintable(url));
            QTRY_COMPARE(stat.requests().size(), 1);
        }
        // A later tick of the same process sends nothing, even when a report is due.
        e.settings()->SaveSetting(MUScripting::KeyStartCount, 10000);
        e.moTimerManager_ItsTimeToCheck(a.Id());
        QCOMPARE(report.count(), sent && online ? 1 : 0);
        QCOMPARE(e.settings()->GetSetting(MUScripting::KeyReportStage, 0).toString(), QString::number(stageAfter));
    }

    void checkStoresNewMessagesOnce()
    {
        FakePop3Server pop;
        QVERIFY(pop.listen());
        pop.setCredentials("ann", "pw");
        pop.addMessage(TestMail{1}.bytes());
        pop.addMessage(TestMail{2}.bytes());
        EngineFixture f;
        MUScripting &e = f.start();
        Record a = TestAccounts::engine(pop.host(), pop.port(), "ann", "pw", true);
        e.AddAccount(a);
        QSignalSpy arrived(&e, &MUScripting::MsgArrived);
        QSignalSpy complete(e.receiverManager(), &ReceiverManager::ReceiveComplete);
        e.CheckForNewMessagesNow(&a);              // a disabled account is checked when named
        QVERIFY(complete.wait(10000));
        QCOMPARE(arrived.count(), 2);
        QCOMPARE(arrived.at(0).first().value<Record>().text("Subject"), QString("Message 1"));
        QCOMPARE(arrived.at(0).first().value<Record>().Id().size(), 38);   // stored: it has its id
        QCOMPARE(e.msgManager()->GetMsgs().Count(), 2);
        QCOMPARE(e.settings()->GetSetting(MUScripting::KeyReceivedCount, 0).toString(), QString("2"));
        QCOMPARE(e.msgManager()->GetKnownUidls(a.Id()).size(), 2);

        // Nothing new the second time, and the remembered unique-ids spare every TOP.
        pop.clearReceived();
        e.CheckForNewMessagesNow(&a);
        QVERIFY(complete.wait(10000));
        QCOMPARE(arrived.count(), 2);
        QCOMPARE(pop.commands(), (QList<QByteArray>{"CAPA", "USER ann", "PASS pw", "UIDL", "QUIT"}));

        // Without an account, disabled accounts are skipped.
        QSignalSpy start(e.receiverManager(), &ReceiverManager::ReceiveStart);
        e.CheckForNewMessagesNow();
        QCOMPARE(start.count(), 0);
    }

    void unreadableReceivedIdsSkipTheCheck()
    {
        EngineFixture f;
        MUScripting &e = f.start();
        Record a = TestAccounts::engine("127.0.0.1", 1, "ann", "pw", true);
        e.AddAccount(a);
        QSqlQuery q(e.db()->connection());
        QVERIFY(q.exec("DROP TABLE Msg"));
        QSignalSpy start(e.receiverManager(), &ReceiverManager::ReceiveStart);
        QSignalSpy failed(e.receiverManager(), &ReceiverManager::ErrorOccured);
        e.CheckForNewMessagesNow(&a);
        QCOMPARE(start.count(), 0);     // no check that would announce the whole mailbox again
        QVERIFY(f.logText().contains("check is skipped"));
        QCOMPARE(failed.count(), 1);    // and the user hears why
        QVERIFY(failed.first().at(1).toString().contains("no such table"));
    }

    // A message is announced when it is newly stored: once per mailbox, never when it cannot be
    // kept (which of them are new is the message store's to say).
    void arrivalIsAnnouncedWhenNewlyStored()
    {
        EngineFixture f;
        MUScripting &e = f.start();
        QSignalSpy arrived(&e, &MUScripting::MsgArrived);
        Record m;
        for (const char *p : {"Server", "User", "POP3Id", "From", "To", "Date", "Subject"})
            m.Add(p, QStringLiteral("x"));
        for (const char *user : {"ann", "ann", "bob"}) {
            m.Add("User", user);
            Q_EMIT e.receiverManager()->MsgArrived(m);
        }
        QCOMPARE(arrived.count(), 2);
        QCOMPARE(e.settings()->GetSetting(MUScripting::KeyReceivedCount, 0).toInt(), 2);
        QSqlQuery q(e.db()->connection());
        QVERIFY(q.exec("DROP TABLE Msg"));
        m.Add("User", "eve");
        Q_EMIT e.receiverManager()->MsgArrived(m);
        QCOMPARE(arrived.count(), 2);
        QVERIFY(f.home.shortLogText().contains(" L0 "));
    }

    // Received but not stored: the check fails and says why; the next one brings the messages.
    void checkThatStoresLessThanItReceivedFails()
    {
        FakePop3Server pop;
        QVERIFY(pop.listen());
        pop.setCredentials("ann", "pw");
        // 40 KB of base64, which stays large when stored packed: pages of its own.
        QRandomGenerator random(281);
        QByteArray noise(30000, Qt::Uninitialized);
        for (char &c : noise)
            c = char(random.bounded(256));
        QByteArray body;
        for (const QByteArray encoded = noise.toBase64(); body.size() < encoded.size() * 78 / 76;)
            body += encoded.mid(body.size() / 78 * 76, 76) + "\r\n";
        for (int n = 1; n <= 3; ++n)
            pop.addMessage(TestMail{n}.bytes() + body);
        EngineFixture f;
        MUScripting &e = f.start();
        Record a = TestAccounts::engine(pop.host(), pop.port(), "ann", "pw", true);
        e.AddAccount(a);
        // The database may not grow: every message needs pages of its own, as on a full disk.
        QSqlQuery q(e.db()->connection());
        QVERIFY(q.exec("PRAGMA page_count") && q.next());
        const qint64 pages = q.value(0).toLongLong();
        q.finish();
        QVERIFY(q.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pages)));
        q.finish();
        QSignalSpy arrived(&e, &MUScripting::MsgArrived);
        QSignalSpy failed(e.receiverManager(), &ReceiverManager::ErrorOccured);
        QSignalSpy complete(e.receiverManager(), &ReceiverManager::ReceiveComplete);
        e.CheckForNewMessagesNow(&a);
        QVERIFY(failed.wait(10000));
        const QString why = failed.first().at(1).toString();
        QVERIFY2(why.contains("3 of 3 downloaded messages could not be stored") && why.contains("disk is full")
                     && why.contains("SQLite code 13"),
                 qPrintable(why));
        QCOMPARE(arrived.count(), 0);
        QCOMPARE(complete.count(), 0);

        QVERIFY(q.exec("PRAGMA max_page_count = 1000000"));
        q.finish();
        e.CheckForNewMessagesNow(&a);
        QVERIFY(complete.wait(10000));
        QCOMPARE(arrived.count(), 3);
        QCOMPARE(failed.count(), 1);
    }

    // Enabled accounts are checked at once and timed; disabling, enabling and removing one
    // stops and starts its timer.
    void startDownloadAndAccountChangesDriveTheTimers()
    {
        FakePop3Server pop;
        QVERIFY(pop.listen());
        pop.setCredentials("ann", "pw");
        pop.addMessage(TestMail{7}.bytes());
        EngineFixture f;
        MUScripting &e = f.start();
        Record on = TestAccounts::engine(pop.host(), pop.port(), "ann", "pw");
        Record off = TestAccounts::engine(pop.host(), pop.port(), "bob", "pw", true);
        e.accountManager()->add(on);
        e.accountManager()->add(off);
        QSignalSpy arrived(&e, &MUScripting::MsgArrived);
        e.StartDownload();
        QVERIFY(arrived.wait(10000));
        QVERIFY(e.timerManager()->IsTiming(on.Id()));
        QVERIFY(!e.timerManager()->IsTiming(off.Id()));
        on.Add("Disabled", true);
        e.UpdateAccount(on);
        QVERIFY(!e.timerManager()->IsTiming(on.Id()));
        off.Add("Disabled", false);
        e.UpdateAccount(off);
        QVERIFY(e.timerManager()->IsTiming(off.Id()));
        e.RemoveAccount(off.Id());
        QVERIFY(!e.timerManager()->IsTiming(off.Id()));
        QVERIFY_THROWS_EXCEPTION(MUError, e.accountManager()->GetAccount(off.Id()));
    }

    void finalizeWhileDownloadsAndClocksRun()
    {
        FakePop3Server pop;
        QVERIFY(pop.listen());
        pop.setSilentAfterGreeting(true);
        EngineFixture f;
        MUScripting &e = f.start();
        for (int i = 0; i < 3; ++i) {
            Record a = TestAccounts::engine(pop.host(), pop.port(), QString("u%1").arg(i), "pw");
            e.AddAccount(a);
            QVERIFY(e.timerManager()->IsTiming(a.Id()));
        }
        QTRY_COMPARE(e.receiverManager()->ReceivesCount(), 3);
        QTRY_COMPARE(pop.countOf("CAPA"), 3);
        QElapsedTimer clock;
        clock.start();
        e.Finalize();
        QVERIFY(ThreadRunner::WaitForAll(3000));
        QVERIFY(clock.elapsed() < 3000);
        const QByteArray log = f.logText();
        const qsizetype a = log.indexOf("StopTiming() complete"), b = log.indexOf("StopReceiving() complete"),
                        c = log.indexOf("moTimerManager.Finalize() complete"),
                        d = log.indexOf("moReceiverManager.Finalize() complete");
        QVERIFY(a > 0 && a < b && b < c && c < d);
    }
};

QTEST_MAIN(TstEngine)
#include "tst_engine.moc"
