// The Character page: the characters found in the folders, the Set to... sizes, a
// save that reloads the character and registers its commands again, and Preview.
#include "OptionsFixture.h"
#include "agent/PackageBuilder.h"

#include "AgentCharacter.h"
#include "AgentCommand.h"
#include "AgentCommands.h"
#include "VoiceCommands.h"
#include "ucOptCharacter.h"
#include "BalloonWidget.h"
#include "TimeAnnouncement.h"
#include "ucOptTime.h"
#include "engine/MUScripting.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "trellis/MessageTable.h"
#include "trellis/Paths.h"
#include "trellis/Utility.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QSlider>
#include <QFontDatabase>
#include <QFontInfo>
#include <QTest>


namespace {
using Page = PageOf<ucOptCharacter>;
}

class TstOptCharacter : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void characterNames()
    {
        QTemporaryDir dir;
        for (const char *name : {"merlin.acs", "ROBOT.ACS", "owl.Acs", "notes.txt", "acs", "x.acs.bak"})
            QVERIFY(TestHome::write(dir.filePath(name), "x"));
        QDir().mkpath(dir.filePath("folder.acs"));   // a folder is no character
        QStringList names = ucOptCharacter::CharacterNames({dir.path()});
        names.sort();
        QCOMPARE(names, QStringList({"Merlin", "Owl", "Robot"}));
        // A name in two folders is listed once, the first folder's spelling kept.
        QTemporaryDir second;
        QVERIFY(TestHome::write(second.filePath("Merlin.acs"), "x"));
        QVERIFY(TestHome::write(second.filePath("genie.acs"), "x"));
        QCOMPARE(ucOptCharacter::CharacterNames({dir.path(), second.path()}).size(), 4);
        QVERIFY(ucOptCharacter::CharacterNames({dir.path() + "/does-not-exist"}).isEmpty());
    }
    void pageListsFolderCharactersAndLoadsTheChosenFile()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        // Which files are characters is characterNames' rows. Listed as "Owl", found again in
        // whatever case its file name has.
        QVERIFY(!PackageBuilder::Character(Paths::UserCharactersDir(), "OWL").isEmpty());
        Page p(f);
        auto *combo = p.page.findChild<QComboBox *>("cboChar");
        QVERIFY(combo->findText("Owl") >= 0);
        QCOMPARE(combo->currentText(), QString("Tester"));
        QVERIFY(!p.apply.isEnabled());
        combo->setCurrentText("Owl");
        p.page.Update();
        QVERIFY(f.talker()->Character());
        QCOMPARE(f.talker()->Character()->Name(), QString("OWL"));
    }
    void setToSizes_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<int>("size");
        QTest::newRow("small-is-half") << "mnuSetSizeToSmall" << 60;
        QTest::newRow("normal-is-original") << "mnuSetSizeToNormal" << 120;
        QTest::newRow("large-is-double") << "mnuSetSizeToLarge" << 240;
        QTest::newRow("extra-large-is-four-times") << "mnuSetSizeToExtraLarge" << 480;
    }
    void setToSizes()
    {
        QFETCH(QString, item);
        QFETCH(int, size);
        OptionsFixture f; QVERIFY(f.isValid());
        QCOMPARE(f.talker()->Character()->OriginalHeight(), 120);
        f.settings()->SaveSetting(CTalker::KeyCharacterSize, 100);
        Page p(f);
        auto *slider = p.page.findChild<QSlider *>("sldSize");
        QCOMPARE(slider->value(), 100);
        QAction *action = p.page.sizeMenu()->findChild<QAction *>(item);
        QVERIFY(action);
        action->trigger();
        QCOMPARE(slider->value(), size);
        QVERIFY(p.apply.isEnabled());
        p.page.Update();
        QCOMPARE(f.settings()->GetSetting(CTalker::KeyCharacterSize).toInt(), size);
        QCOMPARE(f.talker()->Character()->Height(), size);
    }
    void saveReloadsAndReRegisters()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        const QString before = f.talker()->characterId();
        QVERIFY(f.talker()->Character()->Commands()->Count() == 0);
        Page p(f);
        p.page.findChild<QSlider *>("sldVoiceSpeed")->setValue(200);
        p.page.Update();
        QVERIFY(f.talker()->characterId() != before);
        AgentCharacter *c = f.talker()->Character();
        QVERIFY(c);
        QCOMPARE(c->Commands()->Count(), VoiceCommands::CommandCount);
        QCOMPARE(f.settings()->GetSetting(CTalker::KeyVoiceSpeed).toInt(), 200);
        QCOMPARE(Utility::ToBool(f.settings()->GetSetting(ucOptCharacter::KeyOptionsHint), true), false);
    }
    void badNameStopsReload()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        Page p(f);
        p.page.findChild<QComboBox *>("cboChar")->setCurrentText("Nobody");
        p.page.Update();
        QCOMPARE(f.settings()->GetSetting(CTalker::KeyCharacterName).toString(), QString("Nobody"));
        QVERIFY(!f.talker()->Character());
        QVERIFY(f.boxes.isEmpty());
    }
    void downloadLinkOnlyWithHomePage()
    {
        OptionsFixture f(false); QVERIFY(f.isValid());
        const QString home = Paths::Home().isEmpty() ? Paths::DataDir() : Paths::Home();
        for (const QByteArray &address : {QByteArray(), QByteArray("https://murmelo.example/")}) {
            QVERIFY(TestHome::write(home + "/services.json", "{\"homePage\": \"" + address + "\"}"));
            Page p(f);
            QCOMPARE(p.page.findChild<QLabel *>("lblDownloadMoreChars")->isVisibleTo(&p.page), !address.isEmpty());
        }
    }
    void previewAsksBeforeApplying_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("ok-saves-then-greets") << 1;
        QTest::newRow("cancel-does-nothing") << 2;
    }
    void previewAsksBeforeApplying()
    {
        QFETCH(int, answer);
        OptionsFixture f; QVERIFY(f.isValid());
        f.answer = answer;
        Page p(f);
        const QString before = f.talker()->characterId();
        p.page.findChild<QSlider *>("sldVoicePitch")->setValue(80);
        QVERIFY(p.apply.isEnabled());
        p.page.cmdPreview_Click();
        QCOMPARE(f.boxes.size(), 1);
        QCOMPARE(f.boxes.at(0).prompt, MessageTable::Text(103));
        QCOMPARE(f.boxes.at(0).style, 49);
        if (answer == 1) {
            QCOMPARE(f.settings()->GetSetting(CTalker::KeyVoicePitch).toInt(), 80);
            QVERIFY(f.talker()->characterId() != before);
            QCOMPARE(f.talker()->spool().size(), 1);   // the character's own greeting
        } else {
            QVERIFY(!f.settings()->GetSetting(CTalker::KeyVoicePitch).isValid());
            QCOMPARE(f.talker()->characterId(), before);
            QVERIFY(f.talker()->spool().isEmpty());
        }
    }
    void loadsStoredValues()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        f.settings()->SaveSetting(CTalker::KeyCharacterOfVoice, "Whisper");
        f.settings()->SaveSetting(CTalker::KeyVoicePitch, 5000);   // out of range: slider stays
        f.settings()->SaveSetting(CTalker::KeyBalloonFontSize, "14");
        Page p(f);
        QCOMPARE(p.page.findChild<QComboBox *>("cboCharOfVoice")->currentText(), QString("Whisper"));
        QCOMPARE(p.page.findChild<QSlider *>("sldVoicePitch")->value(), ucOptCharacter::MinPitch);
        QCOMPARE(p.page.findChild<QSlider *>("sldVoiceSpeed")->value(), 156);
        QCOMPARE(p.page.findChild<QComboBox *>("cboFontSize")->currentText(), QString("14"));
        QVERIFY(!p.apply.isEnabled());
    }
    void balloonFontFallsBackToTheDesktopFont_data()
    {
        const QString installed = QFontDatabase::families().value(0);
        const QString desktop = QFontInfo(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).family();
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("used");
        QTest::newRow("windows-font-not-here") << "MS Sans Serif" << desktop;
        QTest::newRow("installed-font-other-case") << installed.toUpper() << installed;
    }
    void balloonFontFallsBackToTheDesktopFont()
    {
        QFETCH(QString, stored);
        QFETCH(QString, used);
        QVERIFY(!QFontDatabase::families().contains("MS Sans Serif"));
        OptionsFixture f; QVERIFY(f.isValid());
        if (!stored.isEmpty())
            f.settings()->SaveSetting(CTalker::KeyBalloonFontName, stored);
        Page p(f);
        // The page names the font the balloon really uses, and the balloon uses it.
        auto *font = p.page.findChild<QComboBox *>("cboFont");
        QCOMPARE(font->currentText(), used);
        QVERIFY(font->findText(used) >= 0);
        BalloonWidget balloon;
        balloon.setBalloonFont(stored, 10);
        QCOMPARE(QFontInfo(balloon.balloonFont()).family(), used);
    }
    void gestureCaptions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::newRow("two-words") << "GetAttention" << "Get attention";
        QTest::newRow("number") << "Idle1" << "Idle 1";
        QTest::newRow("underscores") << "Idle2_3" << "Idle 2 3";
        QTest::newRow("abbreviation") << "ShowWAVFile" << "Show WAV file";
        QTest::newRow("lower-case-start") << "greet" << "Greet";
    }
    void gestureCaptions()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QCOMPARE(OptionsPage::GestureCaption(name), caption);
    }
    void gesturesListedByCaptionStoredByName()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        f.settings()->SaveSetting(TimeAnnouncement::KeyGesture, "RestPose");
        PageOf<ucOptTime> p(f);
        auto *gesture = p.page.findChild<QComboBox *>("cboGesture");
        QCOMPARE(gesture->currentText(), QString("Rest pose"));
        QVERIFY(gesture->findText("Idle 1") >= 0);
        QCOMPARE(gesture->findText("Idle1"), -1);
        gesture->setCurrentIndex(gesture->findText("Idle 1"));
        p.page.Update();
        QCOMPARE(f.settings()->GetSetting(TimeAnnouncement::KeyGesture).toString(), QString("Idle1"));
    }
};

QTEST_MAIN(TstOptCharacter)
#include "tst_optcharacter.moc"
