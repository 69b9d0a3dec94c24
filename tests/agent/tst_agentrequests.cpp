#include "AgentCharacter.h"
#include "AgentCharacters.h"
#include "AgentCommand.h"
#include "AgentCommands.h"
#include "AgentRequest.h"
#include "HeadlessAgentControl.h"
#include "NullAudioSink.h"
#include "PackageBuilder.h"
#include "trellis/MUError.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

class TstAgentRequests : public QObject
{
    Q_OBJECT

private:
    AgentRequestPtr waitFor(const AgentRequestPtr &r, int ms = 20000);
    QTemporaryDir m_dir;
    QString m_package;
    std::unique_ptr<HeadlessAgentControl> m_control;
    AgentCharacter *m_char = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_package = PackageBuilder::Character(m_dir.path(), "Tester", 50, 4);
        QVERIFY(!m_package.isEmpty());
    }

    void init()
    {
        // Real time: requests take their natural length, as with a sound device.
        m_control = std::make_unique<HeadlessAgentControl>(std::make_unique<NullAudioSink>(1.0));
        m_control->setIdleDelay(0);
        m_control->Characters()->Load("c1", m_package);
        m_char = m_control->Characters()->Item("c1");
    }

    void cleanup()
    {
        m_control.reset();
        m_char = nullptr;
    }

    void loadErrors_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        const QString d = m_dir.path();
        QTest::newRow("missing-file") << d + "/nope.acs" << "not found";
        QFile junk(d + "/junk.acs");
        junk.open(QIODevice::WriteOnly);
        junk.write("this is not a zip archive at all");
        junk.close();
        QTest::newRow("not-a-zip") << junk.fileName() << "zip";
        QTest::newRow("zip-without-character-json")
            << (PackageBuilder::WriteZip(d + "/nojson.acs", {{"rest.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>"}}) ? d + "/nojson.acs" : QString())
            << "character.json";
    }
    void loadErrors()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        try {
            m_control->Characters()->Load("bad", file);
            QFAIL("Load should raise");
        } catch (const MUError &e) {
            QVERIFY2(e.description().contains(reason, Qt::CaseInsensitive), qPrintable(e.description()));
            QVERIFY2(e.description().contains(QFileInfo(file).fileName()), qPrintable(e.description()));
        }
        QVERIFY(!m_control->Characters()->find("bad"));
        QVERIFY_EXCEPTION_THROWN(m_control->Characters()->Item("bad"), MUError);
    }

    void properties()
    {
        QCOMPARE(m_char->Name(), QString("Tester"));
        QCOMPARE(m_char->OriginalWidth(), 100);
        QCOMPARE(m_char->OriginalHeight(), 120);
        QCOMPARE(m_char->ExtraData(), QString("Hi~~Hello^^more"));
        QVERIFY(m_char->AnimationNames().contains("Wave"));
        QVERIFY(!m_char->Visible());
        m_char->setHeight(240);
        m_char->setWidth(200);
        QCOMPARE(m_char->Height(), 240);
        QCOMPARE(m_char->Width(), 200);
        QVERIFY_EXCEPTION_THROWN(m_control->Characters()->Load("c1", m_package), MUError);
    }

    void requestsRunInOrder()
    {
        QStringList order;
        QList<int> startIds, completeIds;
        connect(m_control.get(), &AgentControl::RequestStart, this, [&](AgentRequest *r) {
            startIds << r->ID();
            order << "start:" + r->detail();
        });
        connect(m_control.get(), &AgentControl::RequestComplete, this, [&](AgentRequest *r) {
            completeIds << r->ID();
            order << "end:" + r->detail();
        });
        auto show = m_char->Show();
        auto wave = m_char->Play("wave");   // names are case-insensitive
        auto speak = m_char->Speak("Hi.");
        auto hide = m_char->Hide();
        QCOMPARE(show->Status(), AgentRequest::StatusPending);
        QCOMPARE(speak->Status(), AgentRequest::StatusPending);
        waitFor(hide);
        for (const auto &r : {show, wave, speak, hide})
            QCOMPARE(r->Status(), AgentRequest::StatusComplete);
        QCOMPARE(order, QStringList({"start:", "end:", "start:Wave", "end:Wave", "start:Hi.", "end:Hi.", "start:", "end:"}));
        // Each event exactly once per request.
        QCOMPARE(startIds, QList<int>({show->ID(), wave->ID(), speak->ID(), hide->ID()}));
        QCOMPARE(completeIds, startIds);
        QVERIFY(!m_char->Visible());
    }

    void hideWaitsForItsAnimation()
    {
        waitFor(m_char->Show(true));
        QVERIFY(m_char->Visible());
        QStringList frames;
        connect(m_char, &AgentCharacter::frameShown, this, [&](const QString &f) { frames << f; });
        QElapsedTimer t;
        t.start();
        auto hide = m_char->Hide();
        QCOMPARE(hide->Status(), AgentRequest::StatusPending);
        waitFor(hide);
        QCOMPARE(hide->Status(), AgentRequest::StatusComplete);
        // Four frames of 50 ms each.
        QVERIFY2(t.elapsed() >= 190, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(frames, QStringList({"hide-0.svg", "hide-1.svg", "hide-2.svg", "hide-3.svg"}));
        QVERIFY(!m_char->Visible());
    }

    void fastShowAndHideSkipAnimations()
    {
        QStringList frames;
        connect(m_char, &AgentCharacter::frameShown, this, [&](const QString &f) { frames << f; });
        waitFor(m_char->Show(true));
        QVERIFY(m_char->Visible());
        waitFor(m_char->Hide(true));
        QVERIFY(!m_char->Visible());
        for (const QString &f : frames)
            QVERIFY2(!f.startsWith("show") && !f.startsWith("hide"), qPrintable(f));
    }

    void playUnknownAnimationRaises()
    {
        try {
            m_char->Play("Juggle");
            QFAIL("Play should raise");
        } catch (const MUError &e) {
            QVERIFY2(e.description().contains("Juggle"), qPrintable(e.description()));
        }
    }

    void stopAllInterruptsSpeechAndDropsQueue()
    {
        waitFor(m_char->Show(true));
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
        waitFor(probe);
        QCOMPARE(words.size(), heard);
        QCOMPARE(starts, 2);      // the speech and the probe
        QCOMPARE(completes, 2);
    }

    void moveRaisesMoveWithCause()
    {
        QSignalSpy moves(m_control.get(), &AgentControl::Move);
        waitFor(m_char->MoveTo(300, 200, 0));
        QCOMPARE(moves.size(), 1);
        QCOMPARE(moves.at(0).at(0).toString(), QString("c1"));
        QCOMPARE(moves.at(0).at(1).toInt(), 300);
        QCOMPARE(moves.at(0).at(2).toInt(), 200);
        QCOMPARE(moves.at(0).at(3).toInt(), 2);
        QElapsedTimer t;
        t.start();
        waitFor(m_char->MoveTo(400, 250, 150));
        QVERIFY(t.elapsed() >= 140);
        QCOMPARE(m_char->Left(), 400);
        QCOMPARE(m_char->Top(), 250);
        m_char->userMoved(10, 20);
        QCOMPARE(moves.size(), 3);
        QCOMPARE(moves.at(2).at(3).toInt(), 1);
        QCOMPARE(m_char->Left(), 10);
    }

    void idleStartsAndEnds()
    {
        m_control->setIdleDelay(100);
        QSignalSpy idleStart(m_control.get(), &AgentControl::IdleStart);
        QSignalSpy idleEnd(m_control.get(), &AgentControl::IdleComplete);
        waitFor(m_char->Show(true));
        QVERIFY(idleStart.wait(3000));
        QCOMPARE(idleStart.size(), 1);
        QCOMPARE(idleStart.at(0).at(0).toString(), QString("c1"));
        QVERIFY(m_char->isIdle());
        auto wave = m_char->Play("Wave");
        waitFor(wave);
        QCOMPARE(idleEnd.size(), 1);
        QCOMPARE(wave->Status(), AgentRequest::StatusComplete);
        // Hidden characters do not idle.
        waitFor(m_char->Hide(true));
        QVERIFY(!idleStart.wait(400));
    }

    void commands()
    {
        AgentCommands *cmds = m_char->Commands();
        QSignalSpy userInput(m_control.get(), &AgentControl::Command);
        cmds->Add("mnuTalkTime_Click", "Say &Time", "Say Time", true, true);
        cmds->Add("mnuTalkDate_Click", "Say &Date", "Say Date", false, true);
        QCOMPARE(cmds->Count(), 2);
        QCOMPARE(cmds->Item("mnutalktime_click")->Caption(), QString("Say &Time"));
        cmds->Item("mnuTalkTime_Click")->setVisible(false);
        QVERIFY(!cmds->Item("mnuTalkTime_Click")->Visible());
        QCOMPARE(cmds->enabledPhrases(), QStringList({"say time"}));
        QCOMPARE(AgentCommands::normalisePhrase("Play &WAV File!"), QString("play wav file"));
        QVERIFY_EXCEPTION_THROWN(cmds->Item("missing"), MUError);
        m_char->userCommand("mnuTalkTime_Click");
        QCOMPARE(userInput.size(), 1);
        const auto input = userInput.at(0).at(0).value<AgentUserInput>();
        QCOMPARE(input.Name, QString("mnuTalkTime_Click"));
        QCOMPARE(input.CharacterID, QString("c1"));
        cmds->RemoveAll();
        QCOMPARE(cmds->Count(), 0);
    }
};

AgentRequestPtr TstAgentRequests::waitFor(const AgentRequestPtr &r, int ms)
{
    if (!r->isDone()) {
        QSignalSpy done(r.get(), &AgentRequest::finished);
        done.wait(ms);
    }
    return r;
}

QTEST_GUILESS_MAIN(TstAgentRequests)
#include "tst_agentrequests.moc"
