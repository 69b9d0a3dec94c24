// The voice commands: their stored defaults, their registration with the character,
// what is offered while it talks, the dispatch of a chosen command, and the page.
#include "OptionsFixture.h"

#include "AgentCharacter.h"
#include "AgentCommand.h"
#include "AgentCommands.h"
#include "AgentControl.h"
#include "AgentUserInput.h"
#include "ListeningKey.h"
#include "VoiceCommands.h"
#include "ucOptVoiceCmd.h"
#include "engine/MUScripting.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "trellis/Utility.h"

#include "VoiceListener.h"

#include <QBuffer>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>


namespace {
using Page = PageOf<ucOptVoiceCmd>;

QStringList visibleNames(CTalker *talker)
{
    QStringList out;
    for (const AgentCommand *c : talker->Character()->Commands()->all()) {
        if (c->Visible())
            out << c->Name();
    }
    return out;
}

const QString kCheck = "mnuCheckForNewMessagesAllAccounts_Click";
const QString kStop = "mnuStopTalking_Click";
const QString kSkip = "mnuSkipMessage_Click";
}

class TstVoiceCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void firstUseCreatesAndSavesDefaults()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        QVERIFY(!f.settings()->GetSetting(VoiceCommands::Key).isValid());
        const Record rec = VoiceCommands::Stored(f.settings());
        Record stored;
        QVERIFY(VoiceCommands::FromStored(f.settings()->GetSetting(VoiceCommands::Key), &stored));
        QCOMPARE(stored.Count(), 3 + 3 * VoiceCommands::CommandCount);
        QCOMPARE(stored.text(VoiceCommands::ListeningKeyName), QStringLiteral("Scroll_Lock"));
        QCOMPARE(Utility::ToBool(stored.Item("DisableAll"), true), false);
        QCOMPARE(Utility::ToBool(stored.Item(VoiceCommands::HandsFree), true), false);
        const QStringList phrases = {"Check Mail", "Say Date", "Say Time", "Read Clipboard",
                                     "Play WAV File", "Read Text File", "Stop Talking", "Skip Message"};
        for (int i = 0; i < VoiceCommands::CommandCount; ++i) {
            const QString name = VoiceCommands::Table().at(i).name;
            QCOMPARE(stored.text("Command" + name), phrases.at(i));
            QVERIFY(Utility::ToBool(stored.Item("Enabled" + name), false));
            QVERIFY(Utility::ToBool(stored.Item("Visible" + name), false));
        }
        QCOMPARE(stored.names(), rec.names());
    }
    void pageSwitchesCommandsOneByOneAndAll()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        {
            Page p(f);
            QVERIFY(!p.page.Dirty());
            auto *text = p.page.findChild<QLineEdit *>("txtCommand_4");
            QVERIFY(text->isEnabled());
            p.page.findChild<QCheckBox *>("chkEnabled_4")->click();
            QVERIFY(!text->isEnabled());
            QVERIFY(p.page.Dirty());
            p.page.findChild<QCheckBox *>("chkVisible_1")->setChecked(false);
            p.page.Update();
            QVERIFY(!p.page.Dirty());
        }
        // Registered as stored: hidden is not switched off; a switched-off phrase is not listened for.
        AgentCommands *commands = f.talker()->Character()->Commands();
        QCOMPARE(commands->all().at(0)->Caption(), QString("C&heck Mail"));
        QVERIFY(!commands->Item("mnuPlayWavFile_Click")->Enabled());
        QVERIFY(commands->Item("mnuTalkDate_Click")->Enabled() && !commands->Item("mnuTalkDate_Click")->Visible());
        QVERIFY(!commands->enabledPhrases().contains("play wav file"));
        QVERIFY(commands->enabledPhrases().contains("say date"));
        Page p(f);
        QVERIFY(!p.page.findChild<QLineEdit *>("txtCommand_4")->isEnabled());
        QVERIFY(!p.page.findChild<QCheckBox *>("chkEnabled_4")->isChecked());

        p.page.findChild<QCheckBox *>("chkDisableAll")->click();
        QVERIFY(p.apply.isEnabled());
        for (int i = 0; i < VoiceCommands::CommandCount; ++i) {
            QVERIFY(!p.page.findChild<QLineEdit *>(QString("txtCommand_%1").arg(i))->isEnabled());
            QVERIFY(!p.page.findChild<QCheckBox *>(QString("chkEnabled_%1").arg(i))->isEnabled());
        }
        p.page.Update();
        commands = f.talker()->Character()->Commands();
        QCOMPARE(commands->Count(), 8);
        for (const AgentCommand *c : commands->all()) {
            QVERIFY2(!c->Enabled(), qPrintable(c->Name()));
            QCOMPARE(c->Visible(), c->Name() != "mnuTalkDate_Click");
        }
        QVERIFY(commands->enabledPhrases().isEmpty());
    }
    void showHide_data()
    {
        QTest::addColumn<int>("talking");   // -1 not given, 0 false, 1 true
        QTest::addColumn<bool>("reloaded"); // the character loaded again, its commands gone
        QTest::addColumn<QStringList>("visible");
        const QStringList all = {kCheck, "mnuTalkDate_Click", "mnuTalkTime_Click", "mnuTalkClipboard_Click",
                                 "mnuPlayWavFile_Click", "mnuReadTextFile_Click", kStop, kSkip};
        QTest::newRow("talking-only-stop-and-skip-besides-check") << 1 << false << QStringList{kCheck, kStop, kSkip};
        QTest::newRow("finished-others-return") << 0 << false << all.mid(0, 6);
        QTest::newRow("no-state-all-as-set") << -1 << false << all;
        QTest::newRow("after-reload-registers-again") << 1 << true << QStringList{kCheck, kStop, kSkip};
    }
    void showHide()
    {
        QFETCH(int, talking);
        QFETCH(bool, reloaded);
        QFETCH(QStringList, visible);
        OptionsFixture f; QVERIFY(f.isValid());
        if (reloaded) {
            f.talker()->UnloadAgent();
            f.talker()->LoadAgent();
            QCOMPARE(f.talker()->Character()->Commands()->Count(), 0);
        } else {
            VoiceCommands::RegisterVoiceCommands(f.talker(), f.settings());
        }
        if (talking < 0)
            VoiceCommands::VoiceCommandsShowHide(f.log(), f.talker(), f.settings());
        else
            VoiceCommands::VoiceCommandsShowHide(f.log(), f.talker(), f.settings(), talking == 1);
        QCOMPARE(f.talker()->Character()->Commands()->Count(), 8);
        QCOMPARE(visibleNames(f.talker()), visible);

        // A command the user hid stays hidden whatever the state.
        Record rec = VoiceCommands::Stored(f.settings());
        rec.Add("Visible" + kStop, false);
        VoiceCommands::Save(f.settings(), rec);
        VoiceCommands::VoiceCommandsShowHide(f.log(), f.talker(), f.settings(), true);
        QCOMPARE(visibleNames(f.talker()), QStringList({kCheck, kSkip}));
        // Without a character the failure is logged, nothing else happens.
        f.talker()->UnloadAgent();
        VoiceCommands::VoiceCommandsShowHide(f.log(), f.talker(), f.settings(), false);
    }
    void dispatch_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("runs");
        for (const VoiceCommands::Command &c : VoiceCommands::Table())
            QTest::newRow(qPrintable(c.name)) << c.name << true;
        QTest::newRow("unknown-name") << "mnuExit_Click" << false;
        QTest::newRow("other-case") << "MNUTALKTIME_CLICK" << false;
    }
    void dispatch()
    {
        QFETCH(QString, name);
        QFETCH(bool, runs);
        QStringList ran;
        QHash<QString, std::function<void()>> handlers;
        for (const VoiceCommands::Command &c : VoiceCommands::Table())
            handlers.insert(c.name, [&ran, name = c.name] { ran.append(name); });
        AgentUserInput input;
        input.Name = name;
        QCOMPARE(VoiceCommands::Dispatch({}, input, handlers), runs);
        QCOMPARE(ran, runs ? QStringList{name} : QStringList{});
    }
    void pageShowsWhyTheListeningKeyWasLost()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        Page p(f);
        auto *why = p.page.findChild<QLabel *>("lblListeningKey");
        QCOMPARE(why->text(), ListeningKey::Unavailable());
        // The desktop's answer comes after the page applied the key.
        const QString refused = "The listening key could not be set up. The desktop's shortcut dialog was cancelled.";
        Q_EMIT f.agent()->ListeningKeyFailed(refused);
        QCOMPARE(why->text(), refused);
    }
    void listenAllTheTime_data()
    {
        QTest::addColumn<bool>("switchOn");
        QTest::addColumn<bool>("disableAll");
        QTest::addColumn<bool>("listens");
        QTest::newRow("off-by-default") << false << false << false;
        QTest::newRow("switched-on") << true << false << true;
        QTest::newRow("all-commands-disabled") << true << true << false;
    }
    void listenAllTheTime()
    {
        QFETCH(bool, switchOn);
        QFETCH(bool, disableAll);
        QFETCH(bool, listens);
        OptionsFixture f; QVERIFY(f.isValid());
        // A silent microphone stands in for the missing sound card.
        QBuffer silence;
        silence.open(QIODevice::ReadOnly);
        QAudioFormat format;
        format.setSampleRate(16000);
        format.setChannelCount(1);
        format.setSampleFormat(QAudioFormat::Int16);
        f.agent()->listener()->useInput(&silence, format);
        Page p(f);
        auto *handsFree = p.page.findChild<QCheckBox *>("chkHandsFree");
        QVERIFY(handsFree);
        QVERIFY(!handsFree->isChecked());
        if (switchOn)
            handsFree->click();
        if (disableAll)
            p.page.findChild<QCheckBox *>("chkDisableAll")->click();
        QCOMPARE(handsFree->isEnabled(), !disableAll);
        QCOMPARE(p.page.Dirty(), switchOn || disableAll);
        p.page.Update();
        QCOMPARE(f.agent()->handsFree(), listens);
        QCOMPARE(Utility::ToBool(VoiceCommands::Stored(f.settings()).Item(VoiceCommands::HandsFree), !switchOn), switchOn);
        // Applied again at every registration (start-up, a character reload).
        f.agent()->setHandsFree(false);
        VoiceCommands::RegisterVoiceCommands(f.talker(), f.settings());
        QCOMPARE(f.agent()->handsFree(), listens);
        Page again(f);
        QCOMPARE(again.page.findChild<QCheckBox *>("chkHandsFree")->isChecked(), switchOn);
    }
};

QTEST_MAIN(TstVoiceCommands)
#include "tst_voicecommands.moc"
