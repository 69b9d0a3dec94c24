// What a new message is announced as: the spam test over its subject and text, the notice
// said instead, the new-mail sound, and the body as a reader sees it. The window and
// say-message only hand the message over; the rules are checked here.
#include "kit/TestHome.h"
#include "speech/Announcer.h"
#include "storage/CSettings.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestAnnouncer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void matches_data()
    {
        QTest::addColumn<QStringList>("phrases");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("spam");
        QTest::newRow("set-of-words-any-order") << QStringList{"money, free"} << "Free money inside" << true;
        QTest::newRow("set-of-words-one-missing") << QStringList{"money, free"} << "Money back" << false;
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
    void matches()
    {
        QFETCH(QStringList, phrases);
        QFETCH(QString, text);
        QFETCH(bool, spam);
        QCOMPARE(Announcer::Matches(phrases, text), spam);
    }

    void announcement_data()
    {
        // Stored options (a key not in the map: never stored), the message, and what is said.
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QString>("content");   // the raw message; null: not downloaded
        QTest::addColumn<bool>("spam");
        QTest::addColumn<QString>("saysNotice");
        QTest::addColumn<QString>("playsSound");
        QTest::addColumn<QString>("spokenBody");   // null: the message is read without a body
        auto row = [](const char *name, const QVariantMap &stored, const QString &content, bool spam,
                      const QString &notice, const QString &sound, const QString &body) {
            QTest::newRow(name) << stored << content << spam << notice << sound << body;
        };
        const QString html = u"From: Garden Club <news@garden.example>\r\nSubject: Spring\r\nMIME-Version: 1.0\r\n"
                             "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                             "<html><body><p><b>Tulips are out</b> in the park.</p><p style=3D\"color:red\">See you!</p>"
                             "</body></html>\r\n"_s;
        const QString blank = u"Subject: Spring\r\nContent-Type: text/html\r\n\r\n<html><body> </body></html>\r\n"_s;
        const QString freeMoney = u"Subject: Free money\r\n\r\nClaim it.\r\n"_s;
        const QString tulips = u"Tulips are out"_s;
        const QString spamNotice = u"Spam message has arrived"_s;
        const QString sound = u"/s/new.wav"_s;
        const auto phrases = [](const QStringList &list) { return QVariant(QVariantList(list.cbegin(), list.cend())); };
        const QVariantMap gardenSpam{{Announcer::KeyPhrases, phrases({u"spring, tulips"_s})}};
        const auto with = [](QVariantMap map, const QString &key, const QVariant &value) {
            map.insert(key, value);
            return map;
        };

        row("plain-mail-body-decoded", {}, html, false, {}, {}, u"Tulips are out in the park."_s);
        row("not-downloaded-read-as-it-is", {}, QString(), false, {}, {}, QString());
        row("blank-body-left-out", {}, blank, false, {}, {}, QString());
        row("sound-before-the-message", {{Announcer::KeyNewMailSound, sound}}, html, false, {}, sound, tulips);
        row("blank-sound-none", {{Announcer::KeyNewMailSound, u"  "_s}}, html, false, {}, {}, tulips);
        // Every part of the phrase must be found, the subject and the text taken together.
        row("spam-subject-and-text", with(gardenSpam, Announcer::KeyNewMailSound, sound), html, true, spamNotice, {}, {});
        row("text-not-downloaded-not-tested", gardenSpam, QString(), false, {}, {}, QString());
        row("spam-silent-when-switched-off", with(gardenSpam, Announcer::KeyAnnounceSpam, false), html, true, {}, {}, {});
        row("spam-notice-saved",
            with(with(gardenSpam, Announcer::KeyAnnounceSpam, true), Announcer::KeySpamNotice, u"Junk again"_s), html,
            true, u"Junk again"_s, {}, {});
        row("spam-notice-saved-empty", with(gardenSpam, Announcer::KeySpamNotice, QString()), html, true, {}, {}, {});
        // Until a list is saved the default phrases act ("money, free" here).
        row("default-phrases-act", {}, freeMoney, true, spamNotice, {}, {});
        row("user-list-replaces-defaults", {{Announcer::KeyPhrases, phrases({u"lottery"_s})}}, freeMoney, false, {}, {},
            u"Claim it."_s);
        // A value of another kind under the key is no list: nothing is spam.
        row("other-kind-stored", {{Announcer::KeyPhrases, u"$$$"_s}}, u"Subject: Free money\r\n\r\nEarn $$$.\r\n"_s,
            false, {}, {}, u"Earn $$$."_s);
        row("emptied-list-matches-nothing", {{Announcer::KeyPhrases, QVariantList()}}, freeMoney, false, {}, {},
            u"Claim it."_s);
    }
    void announcement()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QString, content);
        QFETCH(bool, spam);
        QFETCH(QString, saysNotice);
        QFETCH(QString, playsSound);
        QFETCH(QString, spokenBody);
        TestHome home;
        QVERIFY(home.isValid());
        CSettings *settings = home.settings();
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            settings->SaveSetting(it.key(), it.value());
        Record msg;
        msg.setId(QStringLiteral("m1"));
        msg.Add(QStringLiteral("From"), QStringLiteral("Garden Club <news@garden.example>"));
        msg.Add(QStringLiteral("Subject"), content.contains(QLatin1String("Free money")) ? QStringLiteral("Free money")
                                                                                      : QStringLiteral("Spring"));
        if (!content.isNull())
            msg.Add(QStringLiteral("Content"), content);

        const Announcer::Announcement a = Announcer::Of(settings, msg);
        QCOMPARE(a.spam, spam);
        QCOMPARE(a.notice, saysNotice);
        QCOMPARE(a.sound, playsSound);
        QCOMPARE(Announcer::Text(a, nullptr), spam ? saysNotice : QString());
        if (spam)
            return;
        QCOMPARE(a.message.Id(), msg.Id());
        QCOMPARE(a.message.text(QStringLiteral("Subject")), msg.text(QStringLiteral("Subject")));
        QCOMPARE(a.message.Exists(QStringLiteral("Content")), !spokenBody.isNull());
        const QString body = a.message.text(QStringLiteral("Content"));
        QVERIFY2(body.contains(spokenBody), qPrintable(body));   // decoded: tst_messagetext
        // Without a store nothing is spam.
        QVERIFY(!Announcer::Of(nullptr, msg).spam);
    }
};

QTEST_GUILESS_MAIN(TestAnnouncer)
#include "tst_announcer.moc"
