// The spam test and the Anti-Spam page.
#include "OptionsFixture.h"

#include "AntiSpam.h"
#include "speech/Announcer.h"
#include "ucOptAntiSpam.h"
#include "engine/MUScripting.h"
#include "storage/CSettings.h"
#include "trellis/MessageTable.h"
#include "trellis/Utility.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>


namespace {
using Page = PageOf<ucOptAntiSpam>;
}

class TstAntiSpam : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pageShowsDefaultsAndSavesThem()
    {
        OptionsFixture f(false); QVERIFY(f.isValid());
        Page p(f);
        QCOMPARE(p.page.phrases(), QStringList({"$$$", "money, free"}));
        QVERIFY(p.page.findChild<QCheckBox *>("chkNotifyAboutSpam")->isChecked());
        QCOMPARE(p.page.findChild<QLineEdit *>("txtSpamSay")->text(), QString("Spam message has arrived"));
        QVERIFY(!p.apply.isEnabled());
        p.page.Update();
        QCOMPARE(Announcer::Phrases(f.settings()), QStringList({"$$$", "money, free"}));
        QCOMPARE(f.settings()->GetSetting(Announcer::KeySpamNotice).toString(), QString("Spam message has arrived"));

        // The notice box switches the spoken notice.
        p.page.findChild<QCheckBox *>("chkNotifyAboutSpam")->click();
        QVERIFY(!p.page.findChild<QLineEdit *>("txtSpamSay")->isEnabled());
        QVERIFY(!p.page.findChild<QLabel *>("lblSpamSay")->isEnabled());
        QVERIFY(p.apply.isEnabled());
        p.page.Update();
        QCOMPARE(Utility::ToBool(f.settings()->GetSetting(Announcer::KeyAnnounceSpam), true), false);
    }
    void addAndRemove()
    {
        OptionsFixture f(false); QVERIFY(f.isValid());
        AntiSpam::SavePhrases(f.settings(), {"alpha", "beta", "gamma"});
        Page p(f);
        auto *words = p.page.findChild<QLineEdit *>("txtWords");
        auto *add = p.page.findChild<QPushButton *>("cmdAdd");
        auto *list = p.page.findChild<QListWidget *>("lstWords");
        QVERIFY(!add->isEnabled());

        // A phrase listed already, in other letters and blanks, is refused and kept for editing.
        words->setText("Beta ");
        add->click();
        QCOMPARE(f.boxes.size(), 1);
        QCOMPARE(f.boxes.at(0).prompt, MessageTable::Text(129));
        QCOMPARE(f.boxes.at(0).style, 48);
        QCOMPARE(words->text(), QString("Beta "));
        QVERIFY(!p.apply.isEnabled());

        words->setText(" delta ");
        QVERIFY(add->isEnabled());
        add->click();
        QCOMPARE(p.page.phrases(), QStringList({"alpha", "beta", "gamma", " delta "}));   // as typed
        QVERIFY(words->text().isEmpty());
        QVERIFY(p.apply.isEnabled());

        // Remove takes the first selected phrase back into the box for editing.
        list->item(2)->setSelected(true);
        list->item(1)->setSelected(true);
        p.page.cmdRemove_Click();
        QCOMPARE(words->text(), QString("beta"));
        QCOMPARE(p.page.phrases(), QStringList({"alpha", "gamma", " delta "}));
        list->clearSelection();
        p.page.cmdRemove_Click();   // nothing selected: nothing happens
        QCOMPARE(p.page.phrases().size(), 3);
        p.page.Update();
        QCOMPARE(Announcer::Phrases(f.settings()), QStringList({"alpha", "gamma", " delta "}));
        // The rules are tst_announcer's; an emptied list stays stored (the defaults do not come back).
        AntiSpam::SavePhrases(f.settings(), {});
        bool exists = false;
        QVERIFY(Announcer::Phrases(f.settings(), &exists).isEmpty() && exists);
    }
};

QTEST_MAIN(TstAntiSpam)
#include "tst_antispam.moc"
