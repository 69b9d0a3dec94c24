#include "AgentCharacter.h"
#include "AgentTestKit.h"
#include "AgentCommand.h"
#include "AgentCommands.h"
#include "HeadlessAgentControl.h"
#include "NullAudioSink.h"
#include "trellis/MUError.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

class TstAgentRequests : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<HeadlessAgentControl> m_control;
    AgentCharacter *m_char = nullptr;

private Q_SLOTS:
    void init()
    {
        // Real time: requests take their natural length, as with a sound device.
        m_control = std::make_unique<HeadlessAgentControl>(std::make_unique<NullAudioSink>(1.0));
        m_control->setIdleDelay(0);
        m_char = loadTestCharacter(*m_control, m_dir.path(), "c1");
    }

    void cleanup()
    {
        m_control.reset();
        m_char = nullptr;
    }

    // The loader's reasons are tested with the loader; here, that a failed load or play raises a
    // description naming what failed, and leaves nothing behind.
    void badLoadOrPlayRaises()
    {
        auto raised = [](const std::function<void()> &f) {
            try {
                f();
            } catch (const MUError &e) {
                return e.description();
            }
            return QString();
        };
        const QString missing = raised([this] { m_control->Characters()->Load("bad", m_dir.path() + "/nope.acs"); });
        QVERIFY2(missing.contains("not found", Qt::CaseInsensitive) && missing.contains("nope.acs"), qPrintable(missing));
        QVERIFY(!m_control->Characters()->find("bad"));
        QVERIFY(!raised([this] { m_control->Characters()->Item("bad"); }).isEmpty());
        QVERIFY(!raised([this] { m_control->Characters()->Load("c1", m_char->Package().file); }).isEmpty());
        QVERIFY(raised([this] { m_char->Play("Juggle"); }).contains("Juggle"));
    }

    void requestsRunInOrder()
    {
        QStringList order;
        connect(m_control.get(), &AgentControl::RequestStart, this, [&](AgentRequest *r) { order << "start:" + r->detail(); });
        connect(m_control.get(), &AgentControl::RequestComplete, this,
                [&](AgentRequest *r) { order << "end:" + r->detail(); });
        auto show = m_char->Show();
        auto wave = m_char->Play("wave");   // names are case-insensitive
        auto speak = m_char->Speak("Hi.");
        auto hide = m_char->Hide();
        QCOMPARE(show->Status(), AgentRequest::StatusPending);
        QCOMPARE(speak->Status(), AgentRequest::StatusPending);
        QVERIFY(finished(hide));
        for (const auto &r : {show, wave, speak, hide})
            QCOMPARE(r->Status(), AgentRequest::StatusComplete);
        // Each event exactly once per request, in order.
        QCOMPARE(order, QStringList({"start:", "end:", "start:Wave", "end:Wave", "start:Hi.", "end:Hi.", "start:", "end:"}));
        QVERIFY(!m_char->Visible());
    }

    void hideWaitsForItsAnimationUnlessFast()
    {
        QVERIFY(finished(m_char->Show(true)));
        QVERIFY(m_char->Visible());
        QStringList frames;
        connect(m_char, &AgentCharacter::frameShown, this, [&](const QString &f) { frames << f; });
        QElapsedTimer t;
        t.start();
        auto hide = m_char->Hide();
        QCOMPARE(hide->Status(), AgentRequest::StatusPending);
        QVERIFY(finished(hide));
        QCOMPARE(hide->Status(), AgentRequest::StatusComplete);
        // Four frames of 50 ms each.
        QVERIFY2(t.elapsed() >= 190, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(frames, QStringList({"hide-0.svg", "hide-1.svg", "hide-2.svg", "hide-3.svg"}));
        QVERIFY(!m_char->Visible());
        // Fast showing and hiding play neither animation.
        frames.clear();
        QVERIFY(finished(m_char->Show(true)));
        QVERIFY(m_char->Visible());
        QVERIFY(finished(m_char->Hide(true)));
        QVERIFY(!m_char->Visible());
        for (const QString &f : frames)
            QVERIFY2(!f.startsWith("show") && !f.startsWith("hide"), qPrintable(f));
    }

    void stopAllInterruptsSpeechAndDropsQueue()
    {
        QVERIFY(finished(m_char->Show(true)));
        int starts = 0, completes = 0;
        connect(m_control.get(), &AgentControl::RequestStart, this, [&](AgentRequest *) { ++starts; });
        connect(m_control.get(), &AgentControl::RequestComplete, this, [&](AgentRequest *) { ++completes; });
        QStringList words;
        connect(m_char, &AgentCharacter::wordSpoken, this, [&](const QString &w, const QString &) { words << w; });
        auto speak = m_char->Speak("This is a rather long sentence that will take several seconds to say, "
                                   "so that it can be stopped in the middle of it.");
        auto wave = m_char->Play("Wave");
        auto later = m_char->Speak("Never heard.");
        QTRY_VERIFY_WITH_TIMEOUT(words.size() >= 2, 10000);
        QCOMPARE(speak->Status(), AgentRequest::StatusInProgress);
        QElapsedTimer t;
        t.start();
        m_char->StopAll();
        QCOMPARE(speak->Status(), AgentRequest::StatusInterrupted);
        QCOMPARE(wave->Status(), AgentRequest::StatusInterrupted);
        QCOMPARE(later->Status(), AgentRequest::StatusInterrupted);
        QVERIFY(t.elapsed() < 100);
        const int heard = int(words.size());
        QVERIFY2(heard < 20, qPrintable(words.join(' ')));
        // Nothing more is heard or started afterwards.
        auto probe = m_char->Play("Wave");
        QVERIFY(finished(probe));
        QCOMPARE(words.size(), heard);
        QCOMPARE(starts, 2);      // the speech and the probe
        QCOMPARE(completes, 2);
    }

    void moveRaisesMoveWithCause()
    {
        QSignalSpy moves(m_control.get(), &AgentControl::Move);
        QElapsedTimer t;
        t.start();
        QVERIFY(finished(m_char->MoveTo(400, 250, 150)));
        QVERIFY(t.elapsed() >= 140);
        QCOMPARE(moves.size(), 1);
        QCOMPARE(moves.at(0).at(0).toString(), QString("c1"));
        QCOMPARE(QPoint(moves.at(0).at(1).toInt(), moves.at(0).at(2).toInt()), QPoint(400, 250));
        QCOMPARE(moves.at(0).at(3).toInt(), 2);
        QCOMPARE(QPoint(m_char->Left(), m_char->Top()), QPoint(400, 250));
        // A move the user made (cause 1): tested with the character's window.
    }

    void idleStartsAndEnds()
    {
        m_control->setIdleDelay(100);
        QSignalSpy idleStart(m_control.get(), &AgentControl::IdleStart);
        QSignalSpy idleEnd(m_control.get(), &AgentControl::IdleComplete);
        QVERIFY(finished(m_char->Show(true)));
        QVERIFY(idleStart.wait(3000));
        QCOMPARE(idleStart.size(), 1);
        QCOMPARE(idleStart.at(0).at(0).toString(), QString("c1"));
        QVERIFY(m_char->isIdle());
        auto wave = m_char->Play("Wave");
        QVERIFY(finished(wave));
        QCOMPARE(idleEnd.size(), 1);
        QCOMPARE(wave->Status(), AgentRequest::StatusComplete);
        // Hidden characters do not idle.
        QVERIFY(finished(m_char->Hide(true)));
        QVERIFY(!idleStart.wait(400));
    }

    void commands()
    {
        AgentCommands *cmds = m_char->Commands();
        cmds->Add("mnuTalkTime_Click", "Say &Time", "Say Time", true, true);
        cmds->Add("mnuTalkDate_Click", "Say &Date", "Say Date", false, true);
        QCOMPARE(cmds->Count(), 2);
        QCOMPARE(cmds->Item("mnutalktime_click")->Caption(), QString("Say &Time"));
        cmds->Item("mnuTalkTime_Click")->setVisible(false);   // hidden from the menu, still listened for
        QCOMPARE(cmds->enabledPhrases(), QStringList({"say time"}));
        QCOMPARE(AgentCommands::normalisePhrase("Play &WAV File!"), QString("play wav file"));
        QVERIFY_EXCEPTION_THROWN(cmds->Item("missing"), MUError);
        // Choosing one from the menu, and RemoveAll, are tested with the character's window.
    }
};

QTEST_GUILESS_MAIN(TstAgentRequests)
#include "tst_agentrequests.moc"
