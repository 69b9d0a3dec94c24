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

class TstAntiSpam : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void isSpam_data();
    void isSpam();
    void bodyCountsWhenDownloaded();
    void defaultsActUntilChanged_data();
    void defaultsActUntilChanged();
    void pageShowsDefaultsAndSavesThem();
    void addAndRemove();
    void duplicatePhraseIsRefused();
    void notifyBoxSwitchesNotice();
};

namespace {
using Page = PageOf<ucOptAntiSpam>;
}

void TstAntiSpam::isSpam_data()
{
    QTest::addColumn<QStringList>("phrases");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("spam");
    QTest::newRow("set-of-words-any-order") << QStringList{"money, free"} << "Free money inside" << true;
    QTest::newRow("set-of-words-one-missing") << QStringList{"money, free"} << "Money back" << false;
    QTest::newRow("dollars-match") << QStringList{"$$$"} << "Earn $$$ now" << true;
    QTest::newRow("dollars-no-match") << QStringList{"$$$"} << "Price $5" << false;
    QTest::newRow("no-word-boundaries-freedom") << QStringList{"free"} << "Freedom for all" << true;
    QTest::newRow("case-ignored") << QStringList{"VIAGRA"} << "cheap viagra" << true;
    QTest::newRow("phrase-trimmed") << QStringList{"  win big  "} << "You could win big today" << true;
    QTest::newRow("blank-phrase-matches-all") << QStringList{"   "} << "Lunch on Friday?" << true;
    QTest::newRow("comma-matches-all") << QStringList{","} << "Lunch on Friday?" << true;
    QTest::newRow("empty-list") << QStringList{} << "Earn $$$ now" << false;
    QTest::newRow("second-phrase-matches") << QStringList{"casino", "prize"} << "Claim your prize" << true;
    QTest::newRow("parts-trimmed") << QStringList{" cheap ,  pills "} << "Pills that are cheap" << true;
}

void TstAntiSpam::isSpam()
{
    QFETCH(QStringList, phrases);
    QFETCH(QString, text);
    QFETCH(bool, spam);
    QCOMPARE(Announcer::Matches(phrases, text), spam);
    // The same through the stored list.
    OptionsFixture f(false);
    QVERIFY(f.isValid());
    AntiSpam::SavePhrases(f.settings(), phrases);
    QCOMPARE(Announcer::Phrases(f.settings()), phrases);
    QCOMPARE(Announcer::IsSpam(f.settings(), text), spam);
}

void TstAntiSpam::bodyCountsWhenDownloaded()
{
    OptionsFixture f(false);
    QVERIFY(f.isValid());
    AntiSpam::SavePhrases(f.settings(), {"lottery"});
    Record msg;
    msg.Add("Subject", "Hello");
    QVERIFY(!Announcer::IsSpam(f.settings(), Announcer::SpamText(msg)));
    msg.Add("Content", "You have won the LOTTERY.");
    QCOMPARE(Announcer::SpamText(msg), QString("Hello You have won the LOTTERY."));
    QVERIFY(Announcer::IsSpam(f.settings(), Announcer::SpamText(msg)));
}

void TstAntiSpam::defaultsActUntilChanged_data()
{
    QTest::addColumn<QVariant>("stored");   // invalid: nothing stored
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("spam");
    QTest::newRow("nothing-stored-dollars") << QVariant() << "Earn $$$ now" << true;
    QTest::newRow("nothing-stored-prize-mail")
        << QVariant() << "You have WON a FREE cruise!!! Claim your prize money now" << true;
    QTest::newRow("nothing-stored-plain-mail") << QVariant() << "Lunch on Friday?" << false;
    QTest::newRow("emptied-by-the-user") << QVariant(QVariantList()) << "Earn $$$ now" << false;
    QTest::newRow("user-list-replaces-defaults") << QVariant(QVariantList{"lottery"}) << "Earn $$$ now" << false;
    // A value of another kind under the key is no list: nothing is spam.
    QTest::newRow("other-kind-stored") << QVariant("$$$") << "Earn $$$ now" << false;
}

void TstAntiSpam::defaultsActUntilChanged()
{
    QFETCH(QVariant, stored);
    QFETCH(QString, text);
    QFETCH(bool, spam);
    OptionsFixture f(false);
    QVERIFY(f.isValid());
    if (stored.isValid())
        f.settings()->SaveSetting(Announcer::KeyPhrases, stored);
    QCOMPARE(Announcer::IsSpam(f.settings(), text), spam);
    QVERIFY(!Announcer::IsSpam(nullptr, text));
}

void TstAntiSpam::pageShowsDefaultsAndSavesThem()
{
    OptionsFixture f(false);
    QVERIFY(f.isValid());
    Page p(f);
    p.init(f);
    QCOMPARE(p.page.phrases(), QStringList({"$$$", "money, free"}));
    QVERIFY(p.page.findChild<QCheckBox *>("chkNotifyAboutSpam")->isChecked());
    QCOMPARE(p.page.findChild<QLineEdit *>("txtSpamSay")->text(), QString("Spam message has arrived"));
    QVERIFY(!p.apply.isEnabled());
    p.page.Update();
    QCOMPARE(Announcer::Phrases(f.settings()), QStringList({"$$$", "money, free"}));
    QVERIFY(Announcer::IsSpam(f.settings(), "Earn $$$ now"));
    QCOMPARE(f.settings()->GetSetting(Announcer::KeySpamNotice).toString(), QString("Spam message has arrived"));
}

void TstAntiSpam::addAndRemove()
{
    OptionsFixture f(false);
    QVERIFY(f.isValid());
    AntiSpam::SavePhrases(f.settings(), {"alpha", "beta", "gamma"});
    Page p(f);
    p.init(f);
    auto *words = p.page.findChild<QLineEdit *>("txtWords");
    auto *add = p.page.findChild<QPushButton *>("cmdAdd");
    auto *list = p.page.findChild<QListWidget *>("lstWords");
    QVERIFY(!add->isEnabled());
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
}

void TstAntiSpam::duplicatePhraseIsRefused()
{
    OptionsFixture f(false);
    QVERIFY(f.isValid());
    Page p(f);
    p.init(f);
    auto *words = p.page.findChild<QLineEdit *>("txtWords");
    words->setText("Money, Free ");
    p.page.cmdAdd_Click();
    QCOMPARE(f.boxes.size(), 1);
    QCOMPARE(f.boxes.at(0).prompt, MessageTable::Text(129));
    QCOMPARE(f.boxes.at(0).style, 48);
    QCOMPARE(p.page.phrases(), QStringList({"$$$", "money, free"}));
    QCOMPARE(words->text(), QString("Money, Free "));   // kept for editing
    QVERIFY(!p.apply.isEnabled());
}

void TstAntiSpam::notifyBoxSwitchesNotice()
{
    OptionsFixture f(false);
    QVERIFY(f.isValid());
    Page p(f);
    p.init(f);
    auto *notify = p.page.findChild<QCheckBox *>("chkNotifyAboutSpam");
    notify->click();
    QVERIFY(!p.page.findChild<QLineEdit *>("txtSpamSay")->isEnabled());
    QVERIFY(!p.page.findChild<QLabel *>("lblSpamSay")->isEnabled());
    QVERIFY(p.apply.isEnabled());
    p.page.Update();
    QCOMPARE(Utility::ToBool(f.settings()->GetSetting(Announcer::KeyAnnounceSpam), true), false);
}

QTEST_MAIN(TstAntiSpam)
#include "tst_antispam.moc"
