// The options dialog: what OK, Apply and Cancel store, the discard question and the
// tab strip, by mouse and keyboard.
#include "OptionsFixture.h"
#include "agent/PackageBuilder.h"
#include "Mnemonics.h"

#include "AgentCharacter.h"
#include "AgentCommand.h"
#include "AgentCommands.h"
#include "FOptions.h"
#include "TimeAnnouncement.h"
#include "VoiceCommands.h"
#include "ucOptGeneral.h"
#include "ucOptTalk.h"
#include "engine/MUScripting.h"
#include "speech/Announcer.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "trellis/MessageTable.h"
#include "trellis/Paths.h"
#include "trellis/Utility.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <QTest>

class TstFOptions : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void okWithoutEditsStoresNothing()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        // The voice commands make their defaults on first use: let that happen first.
        VoiceCommands::Stored(f.settings());
        const int rows = f.optionRows();
        FOptions dialog(f.services);
        dialog.Init(f.engine(), f.log());
        QVERIFY(!dialog.applyButton()->isEnabled());
        const QString characterId = f.talker()->characterId();
        dialog.okButton()->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(f.optionRows(), rows);
        // No save, so no reload of the character and no commands registered either.
        QCOMPARE(f.talker()->characterId(), characterId);
        QCOMPARE(f.talker()->Character()->Commands()->Count(), 0);
        QVERIFY(f.boxes.isEmpty());
    }
    void applyStoresEveryPage()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        FOptions dialog(f.services);
        dialog.Init(f.engine(), f.log());
        // Apply updates the pages from the first to the last; what each page stores is its own suite's.
        auto *name = dialog.Page("ucGeneral")->findChild<QLineEdit *>("txtName");
        QTest::keyClicks(name, "Ann");
        QVERIFY(dialog.applyButton()->isEnabled());
        auto *before = dialog.Page("ucTalk")->findChild<QLineEdit *>("txtBeforeNewMsg");
        before->setText("Post is here!");
        dialog.Page("ucVoiceCmd")->findChild<QLineEdit *>("txtCommand_2")->setText("What time is it");

        dialog.applyButton()->click();
        QVERIFY(!dialog.applyButton()->isEnabled());
        QVERIFY(dialog.isVisible() || dialog.result() == 0);   // Apply does not close

        CSettings *s = f.settings();
        QCOMPARE(s->GetSetting(ucOptGeneral::KeyName).toString(), QString("Ann"));
        QCOMPARE(s->GetSetting(CTalker::KeyNewMessagePhrase).toString(), QString("Post is here!"));
        Record rec;
        QVERIFY(VoiceCommands::FromStored(s->GetSetting(VoiceCommands::Key), &rec));
        QCOMPARE(rec.text("CommandmnuTalkTime_Click"), QString("What time is it"));
        // The new phrase is what the character now listens for.
        QCOMPARE(f.talker()->Character()->Commands()->Item("mnuTalkTime_Click")->Voice(), QString("What time is it"));
    }
    void cancel_data()
    {
        QTest::addColumn<bool>("edited");
        QTest::addColumn<bool>("viaEscape");
        QTest::addColumn<int>("answer");   // to the discard question
        QTest::newRow("cancel-button-without-edits-asks-nothing") << false << false << 0;
        QTest::newRow("cancel-button-discard") << true << false << 1;
        QTest::newRow("escape-keep-editing") << true << true << 2;
    }
    void cancel()
    {
        QFETCH(bool, edited);
        QFETCH(bool, viaEscape);
        QFETCH(int, answer);
        OptionsFixture f; QVERIFY(f.isValid());
        f.answer = answer;
        FOptions dialog(f.services);
        dialog.Init(f.engine(), f.log());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *name = dialog.Page("ucGeneral")->findChild<QLineEdit *>("txtName");
        if (edited)
            QTest::keyClicks(name, "Bob");
        QCOMPARE(dialog.applyButton()->isEnabled(), edited);

        if (viaEscape)
            QTest::keyClick(name, Qt::Key_Escape);
        else
            dialog.cancelButton()->click();

        QCOMPARE(f.boxes.size(), edited ? 1 : 0);
        if (edited) {
            QCOMPARE(f.boxes.at(0).prompt, MessageTable::Text(102));
            QCOMPARE(f.boxes.at(0).style, 49);
        }
        if (answer != 2) {
            QVERIFY(!dialog.isVisible());
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
        } else {
            QVERIFY(dialog.isVisible());
            QCOMPARE(name->text(), QString("Bob"));
            QVERIFY(dialog.applyButton()->isEnabled());
        }
        QVERIFY(!f.settings()->GetSetting(ucOptGeneral::KeyName).isValid());
    }
    void previewedCharacterGoesOnCancel_data()
    {
        QTest::addColumn<bool>("applyFirst");
        QTest::addColumn<QString>("shownAfter");
        QTest::newRow("preview-cancel-discard") << false << QString("Tester");
        QTest::newRow("preview-apply-cancel") << true << QString("Owl");
    }
    void previewedCharacterGoesOnCancel()
    {
        QFETCH(bool, applyFirst);
        QFETCH(QString, shownAfter);
        OptionsFixture f; QVERIFY(f.isValid());
        QVERIFY(!PackageBuilder::Character(Paths::UserCharactersDir(), "Owl").isEmpty());
        f.answer = 1;   // apply for the preview; discard on Cancel
        FOptions dialog(f.services);
        dialog.SelectTab("ucCharacter");
        dialog.Init(f.engine(), f.log());
        QWidget *page = dialog.Page("ucCharacter");
        QCOMPARE(f.talker()->Character()->Name(), QString("Tester"));
        page->findChild<QComboBox *>("cboChar")->setCurrentText("Owl");
        page->findChild<QPushButton *>("cmdPreview")->click();
        QCOMPARE(f.talker()->Character()->Name(), QString("Owl"));
        if (applyFirst)
            dialog.applyButton()->click();
        else
            QVERIFY(dialog.applyButton()->isEnabled());
        dialog.cancelButton()->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(f.talker()->Character());
        QCOMPARE(f.talker()->Character()->Name(), shownAfter);
        QCOMPARE(f.settings()->GetSetting(CTalker::KeyCharacterName).toString(), shownAfter);
    }
    void eachPageByItsTabCtrlTabWraps()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        FOptions dialog(f.services);
        dialog.Init(f.engine(), f.log());
        dialog.show();
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(dialog.tabStrip()->count(), FOptions::Keys().size());
        for (int i = 0; i < dialog.tabStrip()->count(); ++i) {
            dialog.tabStrip()->setCurrentIndex(i);
            const QString key = dialog.tabStrip()->tabData(i).toString();
            for (const QString &other : FOptions::Keys())
                QCOMPARE(dialog.Page(other)->isVisible(), other == key);
            const QStringList bad = labelsWithoutBuddy(dialog.Page(key));
            QVERIFY2(bad.isEmpty(), qPrintable(key + QStringLiteral(": labels without a buddy: ") + bad.join(QStringLiteral(", "))));
        }
        // From the last page Ctrl+Tab wraps to the first, Ctrl+Shift+Tab back to the last.
        QCOMPARE(dialog.SelectedKey(), QStringLiteral("ucVoiceCmd"));
        dialog.Page(QStringLiteral("ucVoiceCmd"))->setFocus();
        QTest::keyClick(&dialog, Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(dialog.SelectedKey(), QStringLiteral("ucGeneral"));
        QVERIFY(dialog.Page(QStringLiteral("ucGeneral"))->isVisible());
        QTest::keyClick(&dialog, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(dialog.SelectedKey(), QStringLiteral("ucVoiceCmd"));
        QVERIFY(!dialog.Page(QStringLiteral("ucGeneral"))->isVisible());
    }
    void applyAtStartStoresGeneralOnly()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        FOptions::ApplyAtStart(f.services, f.engine(), f.log());
        // The General page's defaults are written back; other pages are left alone.
        QCOMPARE(f.settings()->GetSetting(ucOptGeneral::KeyTitle).toString(), QString("Doctor"));
        QCOMPARE(f.settings()->GetSetting(ucOptGeneral::KeyWelcomeGesture).toString(), f.talker()->Character()->AnimationNames().value(0));
        QVERIFY(!f.settings()->GetSetting(ucOptGeneral::KeyWelcomeGesture).toString().isEmpty());
        QVERIFY(!f.settings()->GetSetting(TimeAnnouncement::KeyInterval).isValid());
        QVERIFY(!f.settings()->GetSetting(Announcer::KeyPhrases).isValid());
    }
    void talkPageRoundTrip()
    {
        OptionsFixture f; QVERIFY(f.isValid());
        f.settings()->SaveSetting(CTalker::KeyGesture, "NoSuchGesture");
        PageOf<ucOptTalk> p(f);
        QVERIFY(!p.apply.isEnabled());
        // A gesture the character lacks is shown as typed and saved unchanged.
        QCOMPARE(p.page.findChild<QComboBox *>("cboGesture")->currentText(), QString("NoSuchGesture"));
        auto *adv = p.page.findChild<QListWidget *>("lstAdv");
        QCOMPARE(adv->count(), 7);
        QStringList checks;
        for (int i = 0; i < adv->count(); ++i)
            checks << (adv->item(i)->checkState() == Qt::Checked ? "on" : "off");
        QCOMPARE(checks, QStringList({"off", "on", "on", "on", "on", "off", "on"}));
        adv->item(0)->setCheckState(Qt::Checked);
        adv->item(1)->setCheckState(Qt::Unchecked);
        QVERIFY(p.apply.isEnabled());
        p.page.findChild<QLineEdit *>("txtNewMessageSound")->clear();
        p.page.Update();
        QCOMPARE(f.settings()->GetSetting(CTalker::KeyGesture).toString(), QString("NoSuchGesture"));
        QCOMPARE(f.settings()->GetSetting(ucOptTalk::KeyNewMessageSound).toString(), QString());
        QCOMPARE(Utility::ToBool(f.settings()->GetSetting(ucOptTalk::Switches().at(0).key), false), true);
        QCOMPARE(Utility::ToBool(f.settings()->GetSetting(CTalker::KeySaySender), true), false);
        // The talker reads what the page stored.
        Record msg;
        msg.Add("From", "Ann");
        msg.Add("Subject", "Lunch");
        QVERIFY(!f.talker()->MsgToString(msg, true).contains("Ann"));
    }
};

QTEST_MAIN(TstFOptions)
#include "tst_foptions.moc"
