#include "TestHome.h"
#include "timing/ClockWorkers.h"
#include "timing/SpokenTime.h"
#include "timing/TimerManager.h"
#include "trellis/MetaTypes.h"
#include "trellis/ThreadRunner.h"
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

class TstTiming : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<TimerManager> m_tm;

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_tm = std::make_unique<TimerManager>();
        m_tm->Init(m_home->log());
    }
    void cleanup()
    {
        m_tm.reset();
        QVERIFY(ThreadRunner::WaitForAll(5000));
        m_home.reset();
    }

    void secondsToNextBoundary_data()
    {
        QTest::addColumn<QTime>("now");
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("expected");
        QTest::newRow("quarter-from-07:30") << QTime(10, 7, 30) << 15 << 450;
        QTest::newRow("exactly-on-boundary-waits-whole-interval") << QTime(10, 15, 0) << 15 << 900;
        QTest::newRow("hourly-to-next-full-hour") << QTime(10, 59, 30) << 60 << 30;
        QTest::newRow("hourly-at-full-hour") << QTime(10, 0, 0) << 60 << 3600;
        QTest::newRow("every-minute") << QTime(23, 59, 59) << 1 << 1;
    }
    void secondsToNextBoundary()
    {
        QFETCH(QTime, now);
        QFETCH(int, interval);
        QFETCH(int, expected);
        QCOMPARE(CTimePulser::SecondsToNextBoundary(interval, now), expected);
        QCOMPARE(CTimePulser::MsToNextBoundary(interval, now), qint64(expected) * 1000);
    }

    void wholeSecondsRoundsHalfToEven_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<qint64>("seconds");
        QTest::newRow("1500-to-2") << qint64(1500) << qint64(2);
        QTest::newRow("2500-to-2") << qint64(2500) << qint64(2);
        QTest::newRow("1499-to-1") << qint64(1499) << qint64(1);
    }
    void wholeSecondsRoundsHalfToEven()
    {
        QFETCH(qint64, ms);
        QFETCH(qint64, seconds);
        QCOMPARE(CTimer::WholeSeconds(ms), seconds);
    }

    void pulserTicksAtOnceThenEveryInterval()
    {
        m_tm->setTimeScale(0.1);   // 1500 ms -> 2 s -> 200 ms between ticks
        QSignalSpy pulse(m_tm.get(), &TimerManager::Pulse);
        QElapsedTimer clock;
        clock.start();
        m_tm->AddPulser("speech", 1500);
        QVERIFY(pulse.wait(1000));
        QVERIFY2(clock.elapsed() < 150, "the first tick comes at once");
        QTRY_VERIFY_WITH_TIMEOUT(pulse.count() >= 3, 3000);
        QVERIFY2(clock.elapsed() >= 380, "later ticks wait for the interval");
        QCOMPARE(pulse.first().first().toString(), QString("speech"));
        m_tm->StopTiming();
    }

    void accountTimerChecksAtOnce()
    {
        QSignalSpy check(m_tm.get(), &TimerManager::ItsTimeToCheck);
        QSignalSpy pulse(m_tm.get(), &TimerManager::Pulse);
        Record account;
        account.setId("{A}");
        account.Add("CheckInterval", 1);
        m_tm->add(account);
        QVERIFY(check.wait(1000));
        QCOMPARE(check.first().first().toString(), QString("{A}"));
        QCOMPARE(pulse.count(), 0);
        QVERIFY(m_tm->IsTiming("{A}"));
        m_tm->StopTiming("{A}");
        QVERIFY(!m_tm->IsTiming("{A}"));
    }

    void stoppedAndRestartedClocksDropTheirQueuedTicks()
    {
        m_tm->setTimeScale(0.001);   // 1000 ms: a tick every millisecond; 3600000 ms: one every 3.6 s
        QSignalSpy pulse(m_tm.get(), &TimerManager::Pulse);
        m_tm->AddPulser("r", 1000);
        QTRY_VERIFY(pulse.count() > 3);   // and more of its ticks queued behind
        m_tm->StopTiming("r");
        m_tm->AddPulser("r", 3600000);    // same id at once: the old clock's ticks are not the new one's
        m_tm->AddPulser("p", 3600000);
        m_tm->AddPulser("q", 3600000);
        m_tm->StopTiming("nobody");
        QCOMPARE(m_tm->ClockCount(), 3);
        m_tm->StopTiming("p");            // its first tick may already be queued: it must be dropped
        pulse.clear();
        QTRY_COMPARE(pulse.count(), 2);
        QVERIFY(!pulse.wait(200));
        // One tick each of "q" and the new "r": the stopped clocks' queued ticks are not delivered.
        QStringList ids{pulse.at(0).at(0).toString(), pulse.at(1).at(0).toString()};
        ids.sort();
        QCOMPARE(ids, QStringList({"q", "r"}));
        QVERIFY(m_tm->IsTiming("r"));
        m_tm->StopTiming();
        QCOMPARE(m_tm->ClockCount(), 0);
    }

    void timePulserRefusesIntervalOutsideList()
    {
        m_tm->AddTimePulser("time", 7);
        QCOMPARE(m_tm->ClockCount(), 0);
        QVERIFY(m_home->shortLogText().contains("TimerManager.AddTimePulser"));
        m_tm->AddTimePulser("time", 15);
        QCOMPARE(m_tm->ClockCount(), 1);
    }

    void stopAllEndsEveryThreadPromptly()
    {
        for (int i = 0; i < 5; ++i)
            m_tm->AddPulser(QString("p%1").arg(i), 3600000);
        m_tm->AddTimePulser("t", 60);
        QTRY_VERIFY(ThreadRunner::RunningCount() >= 6);
        QElapsedTimer clock;
        clock.start();
        m_tm->Finalize();
        QVERIFY(ThreadRunner::WaitForAll(2000));
        QVERIFY(clock.elapsed() < 1000);
    }

    void spokenDate_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("dayPart");
        QTest::newRow("23rd") << QDate(2026, 12, 23) << QStringLiteral(", 23rd of ");
        QTest::newRow("11th-not-11st") << QDate(2026, 11, 11) << QStringLiteral(", 11th of ");
        QTest::newRow("1st") << QDate(2026, 3, 1) << QStringLiteral(", 1st of ");
        QTest::newRow("22nd") << QDate(2026, 3, 22) << QStringLiteral(", 22nd of ");
        QTest::newRow("31st") << QDate(2026, 3, 31) << QStringLiteral(", 31st of ");
    }
    void spokenDate()
    {
        QFETCH(QDate, date);
        QFETCH(QString, dayPart);
        const QLocale l = QLocale::system();
        QCOMPARE(SpokenTime::DatePhrase(date), l.dayName(date.dayOfWeek()) + dayPart + l.monthName(date.month()) +
                                                   QStringLiteral(", ") + QString::number(date.year()));
    }

    void spokenTime_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("expected");
        QTest::newRow("24h-14-oclock") << QStringLiteral("H:MM") << QTime(14, 0) << QStringLiteral("14 o'clock");
        QTest::newRow("12h-2-PM") << QStringLiteral("h:MM AM/PM") << QTime(14, 0) << QStringLiteral("2 PM");
        QTest::newRow("12h-2-05-PM") << QStringLiteral("h:MM AM/PM") << QTime(14, 5) << QStringLiteral("2:05 PM");
        QTest::newRow("12h-midnight-is-12-AM") << QStringLiteral("h:MM AM/PM") << QTime(0, 30) << QStringLiteral("12:30 AM");
        QTest::newRow("empty-pattern-is-24h") << QString() << QTime(14, 0) << QStringLiteral("14 o'clock");
    }
    void spokenTime()
    {
        QFETCH(QString, pattern);
        QFETCH(QTime, time);
        QFETCH(QString, expected);
        QCOMPARE(SpokenTime::TimePhrase(time, pattern), expected);
    }
};

QTEST_MAIN(TstTiming)
#include "tst_timing.moc"
