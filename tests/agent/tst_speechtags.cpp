#include "CmuPronouncer.h"
#include "MouthShapes.h"
#include "SpeechTags.h"
#include <QtTest>

using namespace Qt::StringLiterals;

static QString body(const SpeechText &t)
{
    // The SSML without the wrapper elements: what is left is what gets spoken.
    QString s = t.ssml;
    s.remove(QRegularExpression(u"<(speak|/speak|prosody[^>]*|/prosody|voice[^>]*|/voice)>"_s));
    return s;
}

class TstSpeechTags : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mouthShapes()
    {
        const QList<QPair<QString, QString>> shapes{
            {"m", "closed"}, {"_:", "closed"}, {"u:", "round"}, {"i:", "wide"}, {"'a", "open"}, {"s", "small"}};
        for (const auto &[phoneme, shape] : shapes)
            QCOMPARE(MouthShapes::forPhoneme(phoneme), shape);
    }

    void translate_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("spoken");     // the SSML body without wrappers
        QTest::addColumn<QString>("balloon");

        QTest::newRow("plain-text") << "Hello world" << "Hello world" << "Hello world";
        QTest::newRow("markup-in-mail-is-escaped")
            << "<b>bold</b> & \"quotes\"" << " less than b greater than bold less than /b greater than  &amp; &quot;quotes&quot;"
            << "<b>bold</b> & \"quotes\"";
        // A pause parts words, in the balloon too; the line ends of an announcement stay for the balloon's lines.
        QTest::newRow("pause-tag") << "a\\Pau=500\\b" << "a<mark name=\"pause:500\"/> b" << "a b";
        QTest::newRow("announcement-line-ends-stay-for-the-balloon")
            << "\\Ctx=Email\\From Anna\\Pau=100\\\r\n welcome\\Pau=100\\\r\nHello!\r\n"
            << "From Anna<mark name=\"pause:100\"/> \r\n welcome<mark name=\"pause:100\"/> \r\nHello!\r\n"
            << "From Anna \r\n welcome \r\nHello!\r\n";
        QTest::newRow("tags-are-case-insensitive") << "a\\pAU=20\\b" << "a<mark name=\"pause:20\"/> b" << "a b";
        QTest::newRow("pause-after-blank-adds-none") << "a \\Pau=20\\b" << "a <mark name=\"pause:20\"/> b" << "a b";
        QTest::newRow("double-backslash-is-literal") << "C:\\\\temp" << "C:\\temp" << "C:\\temp";
        QTest::newRow("unknown-tag-skipped") << "one \\Foo=bar\\two" << "one two" << "one two";
        QTest::newRow("unterminated-backslash-dropped") << "one \\two" << "one two" << "one two";
        QTest::newRow("mark-tag") << "a\\Mrk=7\\b" << "a<mark name=\"7\"/>b" << "ab";
        QTest::newRow("mark-with-junk-ignored") << "a\\Mrk=\"x\"/>\\b" << "ab" << "ab";
        QTest::newRow("map-tag") << "\\Map=\"doctor\"=\"Dr.\"\\ Who" << "doctor Who" << "Dr. Who";
        QTest::newRow("emphasis-next-word") << "\\Emp\\very good" << "<emphasis>very</emphasis> good" << "very good";
        QTest::newRow("email-context-address")
            << "\\Ctx=Email\\From Ann <ann.lee@example.com>" << "From Ann  ann dot lee at example dot com "
            << "From Ann <ann.lee@example.com>";
        QTest::newRow("email-context-link")
            << "\\Ctx=Email\\see https://www.example.com/a?b=1 now" << "see  a link to example dot com  now"
            << "see https://www.example.com/a?b=1 now";
        QTest::newRow("no-email-context-keeps-address") << "ann@example.com" << "ann@example.com" << "ann@example.com";
        QTest::newRow("control-characters-blank") << QString("a") + QChar(1) + "b" << "a b" << QString("a") + QChar(1) + "b";
    }
    void translate()
    {
        QFETCH(QString, text);
        QFETCH(QString, spoken);
        QFETCH(QString, balloon);
        const SpeechText t = SpeechTags::translate(text, {});
        QCOMPARE(body(t), spoken);
        QCOMPARE(t.balloon, balloon);
        QCOMPARE(t.balloonAt.size(), t.ssml.size());
        QVERIFY(t.ssml.startsWith("<speak>"));
        QVERIFY(t.ssml.endsWith("</speak>"));
    }

    void alternativesPickOne()
    {
        for (int pick = 0; pick < 3; ++pick) {
            int asked = 0;
            const SpeechText t = SpeechTags::translate("Hi|Hello|Howdy", {}, [&](int n) {
                asked = n;
                return pick;
            });
            QCOMPARE(asked, 3);
            QCOMPARE(body(t), QStringList({"Hi", "Hello", "Howdy"}).at(pick));
        }
        // No "|": the random source is not consulted.
        bool called = false;
        SpeechTags::translate("plain", {}, [&](int) { called = true; return 0; });
        QVERIFY(!called);
    }

    void prefixTagsApplyToEveryAlternative()
    {
        const SpeechText t = SpeechTags::translate("\\Pit=50\\\\Spd=350\\\\chr=\"Whisper\"\\Hi|Hello", {},
                                                   [](int) { return 1; });
        QVERIFY2(t.ssml.contains("rate=\"200%\""), qPrintable(t.ssml));
        QVERIFY2(t.ssml.contains("<voice name=\"en-us+whisper\">"), qPrintable(t.ssml));
        QCOMPARE(body(t), QString("Hello"));

        const SpeechText mono = SpeechTags::translate("\\chr=\"monotone\"\\flat", {});
        QVERIFY2(mono.ssml.contains("range=\"0\""), qPrintable(mono.ssml));
        const SpeechText reset = SpeechTags::translate("\\Spd=350\\a \\Rst\\b", {});
        QVERIFY2(reset.ssml.contains("rate=\"200%\"") && reset.ssml.contains("rate=\"100%\""), qPrintable(reset.ssml));
        const SpeechText vol = SpeechTags::translate("\\Vol=32768\\half", {});
        QVERIFY2(vol.ssml.contains("volume=\"50\""), qPrintable(vol.ssml));
    }

    void balloonFollowsWords()
    {
        const SpeechText t = SpeechTags::translate("Say \\Map=\"doctor\"=\"Dr.\"\\ a<b", {});
        const int doctor = int(t.ssml.indexOf("doctor"));
        QCOMPARE(t.balloonUpTo(doctor, 6), QString("Say Dr."));
        QCOMPARE(t.spokenAt(doctor, 6), QString("doctor"));
        const int say = int(t.ssml.indexOf("Say"));
        QCOMPARE(t.balloonUpTo(say, 3), QString("Say"));
        const int less = int(t.ssml.indexOf("less"));
        QCOMPARE(t.balloonUpTo(less, 4), QString("Say Dr. a<b"));
    }

    void pitchMapping()
    {
        QCOMPARE(SpeechTags::espeakPitch(50), 50);
        QVERIFY(SpeechTags::espeakPitch(0) >= 15);
        QVERIFY(SpeechTags::espeakPitch(100) <= 85);
        QVERIFY(SpeechTags::espeakPitch(70) > SpeechTags::espeakPitch(30));
        QCOMPARE(SpeechTags::clampRate(10), 80);
        QCOMPARE(SpeechTags::clampRate(9999), 450);
    }

    void cmuPhones()
    {
        // With and without separators, diphthongs and affricates, long vowels, unknown marks skipped.
        const QList<QPair<QString, QString>> phones{{"w|'a|v", "W AE V"},       {"w'av", "W AE V"},
                                                    {"tS'eIndZ", "CH EY N JH"}, {"s'i:", "S IY"},
                                                    {"h@l'oU#", "HH AH L OW"},  {"", ""}};
        for (const auto &[espeak, cmu] : phones)
            QCOMPARE(CmuPronouncer::fromEspeak(espeak), cmu);
    }
};

QTEST_GUILESS_MAIN(TstSpeechTags)
#include "tst_speechtags.moc"
