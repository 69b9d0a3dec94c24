// What a new message is announced as: the spam test over its subject and text, the notice
// said instead, the new-mail sound, and the body as a reader sees it. The window and
// say-message only hand the message over; the rules are checked here.
#include "kit/TestHome.h"
#include "speech/Announcer.h"
#include "storage/CSettings.h"

#include <QTest>

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
    void matches()
    {
        QFETCH(QStringList, phrases);
        QFETCH(QString, text);
        QFETCH(bool, spam);
        QCOMPARE(Announcer::Matches(phrases, text), spam);
    }

    void announcement_data()
    {
        // Stored options (an invalid value: never stored), the message, and what is said.
        QTest::addColumn<QVariant>("phrases");
        QTest::addColumn<QVariant>("announceSpam");
        QTest::addColumn<QVariant>("notice");
        QTest::addColumn<QVariant>("sound");
        QTest::addColumn<QString>("content");   // the raw message; null: not downloaded
        QTest::addColumn<bool>("spam");
        QTest::addColumn<QString>("saysNotice");
        QTest::addColumn<QString>("playsSound");
        QTest::addColumn<QString>("spokenBody");   // null: the message is read without a body

        const QString html = QStringLiteral(
            "From: Garden Club <news@garden.example>\r\nSubject: Spring\r\nMIME-Version: 1.0\r\n"
            "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
            "<html><body><p><b>Tulips are out</b> in the park.</p><p style=3D\"color:red\">See you!</p></body></html>\r\n");
        const QString blank = QStringLiteral("Subject: Spring\r\nContent-Type: text/html\r\n\r\n<html><body> </body></html>\r\n");
        const QVariant none;
        const QVariant gardenSpam = QVariantList{QStringLiteral("spring, tulips")};

        QTest::newRow("plain-mail-body-decoded") << none << none << none << none << html << false << QString()
                                                 << QString() << QStringLiteral("Tulips are out in the park.");
        QTest::newRow("not-downloaded-read-as-it-is") << none << none << none << none << QString() << false
                                                      << QString() << QString() << QString();
        QTest::newRow("blank-body-left-out") << none << none << none << none << blank << false << QString()
                                             << QString() << QString();
        QTest::newRow("sound-before-the-message") << none << none << none << QVariant(QStringLiteral("/s/new.wav"))
                                                  << html << false << QString() << QStringLiteral("/s/new.wav")
                                                  << QStringLiteral("Tulips are out");
        QTest::newRow("blank-sound-none") << none << none << none << QVariant(QStringLiteral("  ")) << html << false
                                          << QString() << QString() << QStringLiteral("Tulips are out");
        // Every part of the phrase must be found, the subject and the text taken together.
        QTest::newRow("spam-subject-and-text") << gardenSpam << none << none << QVariant(QStringLiteral("/s/new.wav"))
                                               << html << true << QStringLiteral("Spam message has arrived")
                                               << QString() << QString();
        QTest::newRow("one-part-missing-not-spam") << QVariant(QVariantList{QStringLiteral("spring, casino")}) << none
                                                   << none << none << html << false << QString() << QString()
                                                   << QStringLiteral("Tulips are out");
        QTest::newRow("text-not-downloaded-not-tested") << gardenSpam << none << none << none << QString() << false
                                                        << QString() << QString() << QString();
        QTest::newRow("spam-silent-when-switched-off") << gardenSpam << QVariant(false) << none << none << html << true
                                                       << QString() << QString() << QString();
        QTest::newRow("spam-notice-saved") << gardenSpam << QVariant(true) << QVariant(QStringLiteral("Junk again"))
                                           << none << html << true << QStringLiteral("Junk again") << QString()
                                           << QString();
        QTest::newRow("spam-notice-saved-empty") << gardenSpam << none << QVariant(QString()) << none << html << true
                                                 << QString() << QString() << QString();
        // Until a list is saved the default phrases act ("money, free" here).
        QTest::newRow("default-phrases-act") << none << none << none << none
                                             << QStringLiteral("Subject: Free money\r\n\r\nClaim it.\r\n") << true
                                             << QStringLiteral("Spam message has arrived") << QString() << QString();
        QTest::newRow("user-list-replaces-defaults") << QVariant(QVariantList{QStringLiteral("lottery")}) << none
                                                     << none << none
                                                     << QStringLiteral("Subject: Free money\r\n\r\nClaim it.\r\n")
                                                     << false << QString() << QString() << QStringLiteral("Claim it.");
        // A value of another kind under the key is no list: nothing is spam.
        QTest::newRow("other-kind-stored") << QVariant(QStringLiteral("$$$")) << none << none << none
                                           << QStringLiteral("Subject: Free money\r\n\r\nEarn $$$.\r\n") << false
                                           << QString() << QString() << QStringLiteral("Earn $$$.");
        QTest::newRow("emptied-list-matches-nothing") << QVariant(QVariantList()) << none << none << none
                                                      << QStringLiteral("Subject: Free money\r\n\r\nClaim it.\r\n")
                                                      << false << QString() << QString() << QStringLiteral("Claim it.");
    }
    void announcement()
    {
        QFETCH(QVariant, phrases);
        QFETCH(QVariant, announceSpam);
        QFETCH(QVariant, notice);
        QFETCH(QVariant, sound);
        QFETCH(QString, content);
        QFETCH(bool, spam);
        QFETCH(QString, saysNotice);
        QFETCH(QString, playsSound);
        QFETCH(QString, spokenBody);
        TestHome home;
        QVERIFY(home.isValid());
        CSettings *settings = home.settings();
        const QList<QPair<QString, QVariant>> stored = {{Announcer::KeyPhrases, phrases},
                                                        {Announcer::KeyAnnounceSpam, announceSpam},
                                                        {Announcer::KeySpamNotice, notice},
                                                        {Announcer::KeyNewMailSound, sound}};
        for (const auto &[key, value] : stored) {
            if (value.isValid())
                settings->SaveSetting(key, value);
        }
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
        QVERIFY2(body.contains(spokenBody), qPrintable(body));
        for (const char *raw : {"<b>", "Content-Type", "=3D", "Subject:"})
            QVERIFY2(!body.contains(QLatin1String(raw)), qPrintable(body));
        // Without a store nothing is spam.
        QVERIFY(!Announcer::Of(nullptr, msg).spam);
    }
};

QTEST_GUILESS_MAIN(TestAnnouncer)
#include "tst_announcer.moc"
