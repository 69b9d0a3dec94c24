// The Time page and the time announcement: each change of the clock made by a save,
// observed on the timer manager, and the sentence said at a tick.
#include "OptionsFixture.h"

#include "TimeAnnouncement.h"
#include "ucOptTime.h"
#include "engine/MUScripting.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "timing/TimerManager.h"
#include "trellis/CancelEvent.h"
#include "trellis/Utility.h"
#include "AgentCharacter.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>


namespace {
using Page = PageOf<ucOptTime>;

/// The cancel events of the time pulser's clocks so far, oldest first (each clock
/// start makes one, named after the pulser and the clock's instance).
QList<CancelEventPtr> clockEvents()
{
    QList<CancelEventPtr> out;
    for (int i = 1; i < 64; ++i) {
        if (CancelEventPtr e = CancelEvent::Open(TimeAnnouncement::PulserId + "TC" + QString::number(i)))
            out << e;
    }
    return out;
}
}

class TstOptTime : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void transitions_data()
    {
        QTest::addColumn<bool>("storedOff");
        QTest::addColumn<int>("storedInterval");
        QTest::addColumn<bool>("off");
        QTest::addColumn<int>("option");
        QTest::addColumn<bool>("timingAfter");
        QTest::addColumn<bool>("oldClockStopped");
        QTest::addColumn<int>("clocksStarted");
        QTest::newRow("on-to-off-stops") << false << 60 << true << 0 << false << true << 0;
        QTest::newRow("off-to-on-starts") << true << 60 << false << 6 << true << false << 1;
        QTest::newRow("new-interval-restarts") << false << 60 << false << 6 << true << true << 1;
        QTest::newRow("no-change-leaves-clock") << false << 15 << false << 3 << true << false << 0;
        QTest::newRow("off-stays-off-with-new-interval") << true << 60 << true << 2 << false << false << 0;
    }
    void transitions()
    {
        QFETCH(bool, storedOff);
        QFETCH(int, storedInterval);
        QFETCH(bool, off);
        QFETCH(int, option);
        QFETCH(bool, timingAfter);
        QFETCH(bool, oldClockStopped);
        QFETCH(int, clocksStarted);
        OptionsFixture f; QVERIFY(f.isValid());
        f.settings()->SaveSetting(TimeAnnouncement::KeyDisable, storedOff);
        f.settings()->SaveSetting(TimeAnnouncement::KeyInterval, storedInterval);
        TimeAnnouncement::Start(f.timers(), f.settings());   // as the program start does
        QCOMPARE(f.timers()->IsTiming(TimeAnnouncement::PulserId), !storedOff);
        const QList<CancelEventPtr> before = clockEvents();
        QCOMPARE(before.size(), storedOff ? 0 : 1);

        Page p(f);
        p.page.findChild<QCheckBox *>("chkDisable")->setChecked(off);
        p.page.findChild<QRadioButton *>(QStringLiteral("Option1_%1").arg(option))->click();
        p.page.Update();

        QCOMPARE(f.timers()->IsTiming(TimeAnnouncement::PulserId), timingAfter);
        if (!before.isEmpty())
            QCOMPARE(before.first()->IsSignalled(), oldClockStopped);
        QCOMPARE(clockEvents().size() - before.size(), clocksStarted);
        QCOMPARE(f.settings()->GetSetting(TimeAnnouncement::KeyInterval).toInt(), ucOptTime::Intervals().at(option));
        QCOMPARE(Utility::ToBool(f.settings()->GetSetting(TimeAnnouncement::KeyDisable), !off), off);
        f.timers()->StopTiming();
    }
    void storedIntervalSelectsOption_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("option");
        QTest::newRow("minute") << 1 << 6;
        QTest::newRow("unknown-keeps-hour") << 7 << 0;
    }
    void storedIntervalSelectsOption()
    {
        QFETCH(int, stored);
        QFETCH(int, option);
        OptionsFixture f; QVERIFY(f.isValid());
        f.settings()->SaveSetting(TimeAnnouncement::KeyInterval, stored);
        Page p(f);
        QVERIFY(p.page.findChild<QRadioButton *>(QStringLiteral("Option1_%1").arg(option))->isChecked());
        QVERIFY(!p.apply.isEnabled());
    }
    void sentence_data()
    {
        // The page stores, the tick says; the clock phrase itself is SpokenTime's (tst_fmain).
        QTest::addColumn<bool>("twelveHour");
        QTest::addColumn<QString>("phrase");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("said");
        QTest::newRow("12-hour-at-9-30") << true << "It is" << QTime(9, 30) << "It is 9:30 AM";
        QTest::newRow("empty-phrase-no-leading-blank") << false << "" << QTime(9, 0) << "9 o'clock";
    }
    void sentence()
    {
        QFETCH(bool, twelveHour);
        QFETCH(QString, phrase);
        QFETCH(QTime, time);
        QFETCH(QString, said);
        OptionsFixture f; QVERIFY(f.isValid());
        // Stored through the page, as the user sets it.
        {
            Page p(f);
            p.page.findChild<QCheckBox *>("chkTimeFormat")->setChecked(twelveHour);
            p.page.findChild<QLineEdit *>("txtSay")->setText(phrase);
            p.page.Update();
        }
        TimeAnnouncement::Tick(f.log(), f.talker(), f.settings(), {}, [time] { return QDateTime(QDate(2026, 12, 5), time); });
        QCOMPARE(f.talker()->spool(), QStringList{said});
    }
    void tickPlaysGestureThenQueuesSentence()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        f.settings()->SaveSetting(TimeAnnouncement::KeyGesture, "Wave");
        f.settings()->SaveSetting(TimeAnnouncement::KeySound, f.home().path("missing.wav"));   // skipped
        QStringList order;
        QObject::connect(f.talker()->Character(), &AgentCharacter::frameShown, f.talker(),
                         [&order](const QString &) {
                             if (order.isEmpty())
                                 order << "gesture";
                         });
        bool said = false;
        TimeAnnouncement::Tick(f.log(), f.talker(), f.settings(), [&] {
            order << "say";
            said = true;
        });
        QVERIFY(said);
        QCOMPARE(order, QStringList({"gesture", "say"}));
    }
};

QTEST_MAIN(TstOptTime)
#include "tst_opttime.moc"
