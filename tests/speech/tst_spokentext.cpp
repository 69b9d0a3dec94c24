// The text rules of speaking mail, tested directly: one row per case.
#include "speech/SpokenText.h"

#include <QTest>

using namespace Qt::StringLiterals;

using namespace SpokenText;

class TestSpokenText : public QObject
{
    Q_OBJECT
    enum Rule { Spoken, Unwrap, Strip, Collapse };

private Q_SLOTS:
    void rules_data()
    {
        QTest::addColumn<int>("rule");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        auto row = [](const char *name, Rule rule, const QString &text, const QString &expected) {
            QTest::newRow(name) << int(rule) << text << expected;
        };
        row("spoken: pipe becomes blank", Spoken, "yes|no", "yes no");
        row("spoken: speed tag in subject is text", Spoken, "\\Spd=600\\", "\\\\Spd=600\\\\");
        row("spoken: long backslash run as two", Spoken, "a\\\\\\\\b", "a\\\\\\\\b");

        const QString l1 = "We are meeting at the station on Friday at nine, and then we";   // 61 characters
        const QString l2 = "take the slow train up the valley to the lake where the boats";
        row("unwrap: wrapped paragraph read as one", Unwrap, l1 + "\r\n" + l2 + "\r\nare.\r\n", l1 + " " + l2 + " are.\r\n");
        // A long line that ends a sentence keeps its pause (blocks of HTML text end that way).
        row("unwrap: sentence end keeps the break", Unwrap, l1 + ".\r\nNext block", l1 + ".\r\nNext block");
        row("unwrap: blank line parts paragraphs", Unwrap, l1 + "\nend.\n\n" + l2 + "\nend.",
            l1 + " end.\r\n\r\n" + l2 + " end.");
        row("unwrap: short lines kept", Unwrap, "Cheers,\r\nAnna\r\nMain Street 1", "Cheers,\r\nAnna\r\nMain Street 1");
        row("unwrap: flowed soft break joined", Unwrap, "See you \r\nsoon", "See you soon");
        row("unwrap: signature separator kept", Unwrap, "Bye \r\n-- \r\nAnna", "Bye \r\n-- \r\nAnna");
        row("unwrap: list items kept", Unwrap, l1 + "\n- tent\n- stove\n1. map\n2) food",
            l1 + "\r\n- tent\r\n- stove\r\n1. map\r\n2) food");
        row("unwrap: quoted lines never joined", Unwrap, l1 + "\n> " + l2 + "\n> more\nReply",
            l1 + "\r\n> " + l2 + "\r\n> more\r\nReply");
        row("unwrap: marker after long line stays alone", Unwrap, l1 + "\r\n-----Original Message-----\r\nold",
            l1 + "\r\n-----Original Message-----\r\nold");

        row("strip: quoted lines and original message", Strip,
            "Hi Bob\r\n> old line\r\n>> older\r\nThanks\r\n-----Original Message-----\r\nFrom: x\r\nbody",
            "Hi Bob\r\nThanks\r\n");
        row("strip: spaced marker", Strip, "Top\n-- Original Message --\nrest", "Top\r\n");
        row("strip: gt within five dropped", Strip, "Re: >\nkeep", "keep\r\n");
        row("strip: gt after five kept", Strip, "Reply: >\nkeep", "Reply: >\r\nkeep\r\n");
        row("strip: three line feeds become two", Strip, "a\n\n\nb", "a\r\n\r\nb\r\n");
        row("strip: cr only lines", Strip, "a\rb", "a\r\nb\r\n");
        row("strip: marker is case sensitive", Strip, "x\n--original message--\ny", "x\r\n--original message--\r\ny\r\n");

        row("collapse: exclamations and equals", Collapse, "Wait!!!!!! ====== Done", "Wait!! == Done");
        row("collapse: two stay", Collapse, "aa bb", "aa bb");
        row("collapse: short unchanged", Collapse, "zz", "zz");
        row("collapse: run at start", Collapse, "-----x", "--x");
        row("collapse: backslashes stay whole around tags", Collapse, "a\\\\\\Pau=100\\", "a\\\\\\Pau=100\\");
        row("collapse: crlf pairs survive", Collapse, "a\r\n\r\n\r\nb", "a\r\n\r\n\r\nb");
    }
    void rules()
    {
        QFETCH(int, rule);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        switch (Rule(rule)) {
        case Spoken: QCOMPARE(AsSpokenText(text), expected); break;
        case Unwrap: QCOMPARE(UnwrapLines(text), expected); break;
        case Strip:
            QCOMPARE(StripQuotedLines(text, 5, "--Original Message--", "-- Original Message --"), expected);
            break;
        case Collapse: QCOMPARE(CollapseRepeats(text), expected); break;
        }
    }

    void chunks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        const QString a200(200, QLatin1Char('a'));
        QTest::newRow("empty text one empty chunk") << QString() << QStringList{QString()};
        QTest::newRow("no blank one chunk") << QString(450, 'x') << QStringList{QString(450, 'x')};
        QTest::newRow("blank right at 200 is dropped") << a200 + " tail" << QStringList{a200, "tail"};
        QTest::newRow("cut at first blank after 200") << "ab " + a200 + " cd ef" << QStringList{"ab " + a200, "cd ef"};
        QTest::newRow("three chunks") << a200 + " " + a200 + " end" << QStringList{a200, a200, "end"};
        QTest::newRow("trailing blank after 200") << a200 + " " << QStringList{a200};
    }
    void chunks()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QCOMPARE(Chunks(text), expected);
    }
};

QTEST_GUILESS_MAIN(TestSpokenText)
#include "tst_spokentext.moc"
