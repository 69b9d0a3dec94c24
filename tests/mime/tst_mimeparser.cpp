#include "mime/CMIMEPart.h"
#include "mime/MBase64.h"
#include "mime/MHeaderText.h"

#include <QTest>

#include <stdexcept>

using namespace Qt::StringLiterals;

namespace {

// Header bytes as the receiver hands them over: one character per byte.
QString raw(const char *bytes)
{
    return QString::fromLatin1(bytes);
}

QString rawUtf8(const QString &text)
{
    return QString::fromLatin1(text.toUtf8());
}

QString message(const QString &headerLines, const QString &body = u"Body\r\n"_s)
{
    return headerLines + u"\r\n\r\n"_s + body;
}

} // namespace

class TestMimeParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // One header field read as the list and the announcement show it: the subject, the sender's
    // and recipient's names (From rows: the same value in both), the identity, the date.
    void headerField_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        QString field = u"Subject"_s;
        auto row = [&field](const char *name, const QString &value, const QString &expected) {
            QTest::newRow(qPrintable(field + u": "_s + QLatin1String(name))) << field << value << expected;
        };
        row("no-space-after-colon", raw("Subject:Hello"), u"Hello"_s);
        row("blanks-around-value-dropped", raw("Subject: \t Hello \t"), u"Hello"_s);
        row("fold-before-tab-keeps-tab",
            raw("Subject: first line\r\n\tsecond line"), u"first line\tsecond line"_s);
        row("continuation-without-blank-gets-one", raw("Subject: part\r\n2 follows"), u"part 2 follows"_s);
        row("field-name-case-ignored", raw("SUBJECT: upper"), u"upper"_s);
        row("no-subject-field", raw("X-Other: x"), QString());
        row("q-word-iso-8859-1", raw("Subject: =?iso-8859-1?q?Caf=E9?="), u"Caf\u00e9"_s);
        row("reply-prefix-before-b-word-is-decoded",
            raw("Subject: Re:=?iso-8859-1?B?SGVsbG8=?="), u"Re:Hello"_s);
        row("text-between-words-kept", raw("Subject: =?utf-8?q?a?= and =?utf-8?q?b?="), u"a and b"_s);
        row("q-text-beginning-with-equals-not-cut",
            raw("Subject: =?iso-8859-1?q?=E9t=E9?="), u"\u00e9t\u00e9"_s);
        row("underscore-outside-word-kept", raw("Subject: snake_case =?utf-8?q?a_b?="), u"snake_case a b"_s);
        row("b-word-underscore-kept", raw("Subject: =?utf-8?b?YV9i?="), u"a_b"_s);
        row("adjacent-words-space-dropped",
            raw("Subject: =?utf-8?q?Hello?= =?utf-8?q?World?="), u"HelloWorld"_s);
        row("adjacent-words-tabs-and-spaces-dropped",
            raw("Subject: =?utf-8?q?Hello?= \t =?utf-8?q?_World?="), u"Hello World"_s);
        row("text-fold-then-encoded-word",
            raw("Subject: Re:\r\n =?utf-8?q?Gr=C3=BC=C3=9Fe?="), u"Re: Gr\u00fc\u00dfe"_s);
        row("gb2312-b-word", raw("Subject: =?gb2312?B?xOO6w8rAvec=?="), u"\u4f60\u597d\u4e16\u754c"_s);
        row("utf8-character-split-across-words",
            raw("Subject: =?UTF-8?Q?Caf=C3?= =?UTF-8?Q?=A9?="), u"Caf\u00e9"_s);
        row("adjacent-words-of-different-charsets",
            raw("Subject: =?iso-8859-2?q?=B1?= =?koi8-r?q?=F0?="), u"\u0105\u041f"_s);
        row("rfc2231-language-suffix", raw("Subject: =?utf-8*en?q?hi?="), u"hi"_s);
        row("unterminated-word-kept", raw("Subject: =?utf-8?q?unterminated"), u"=?utf-8?q?unterminated"_s);
        row("short-piece-kept", raw("Subject: =?\?="), u"=?\?="_s);
        row("space-in-charset-is-no-word", raw("Subject: =?ut f?q?x?="), u"=?ut f?q?x?="_s);
        row("q-invalid-hex-pair-gives-nul", raw("Subject: =?iso-8859-1?q?a=ZZb?="), u"a"_s + QChar(0) + u"b"_s);
        row("q-equals-at-end-kept", raw("Subject: =?iso-8859-1?q?a=?="), u"a="_s);
        row("empty-q-word", raw("Subject: =?utf-8?q?\?="), QString());
        row("raw-8bit-utf8-before-encoded-word",
            rawUtf8(u"Subject: \u00c4W: =?utf-8?q?=C3=BC?="_s), u"\u00c4W: \u00fc"_s);

        field = u"From"_s;
        row("bare-address-trimmed", raw("  anna@example.org  "), u"anna@example.org"_s);
        row("list-of-named-addresses-gives-first-name",
            raw("Anna <a@example.org>, Bob <b@example.org>"), u"Anna"_s);
        row("quoted-encoded-display-name", raw("\"=?iso-8859-1?q?Jos=E9?=\" <j@example.es>"), u"Jos\u00e9"_s);
        row("empty-angle-brackets", raw("<>"), QString());
        row("blank-name-gives-address", raw("\" \" \t<a@b.c>"), u"a@b.c"_s);
        row("angle-bracket-inside-quotes", raw("\"Support <help>\" <s@example.com>"), u"Support <help>"_s);
        row("quote-never-closed", raw("\"Anna <a@example.org>"), u"Anna"_s);
        row("quoted-and-plain-words", raw("\"Anna\" Schmidt <a@example.org>"), u"Anna Schmidt"_s);

        field = u"Id"_s;
        row("message-id-name-case-ignored", raw("MESSAGE-id: <m2@x>"), raw("<m2@x>"));
        row("neither-uses-first-received", raw("Received: r1\r\nReceived: r2\r\nSubject: s"), raw("r1"));
        row("none-of-the-three-empty", raw("Subject: s"), QString());
        // Identities keep the form earlier versions stored, so known messages stay known.
        row("message-id-without-space-keeps-stored-form", raw("Message-ID:<m4@x>"), raw("m4@x>"));
        row("folded-received-keeps-stored-form",
            raw("Received: from a\r\n\tby b\r\nSubject: s"), raw("from a\r\nby b"));

        field = u"Date"_s;   // expected: the date read, in UTC
        const QString jan6 = u"2004-01-06T10:20:30Z"_s;
        row("rfc822-with-weekday", raw("Tue, 06 Jan 2004 10:20:30 +0100"), jan6);
        row("two-spaces-after-comma", raw("Tue,  06 Jan 2004 10:20:30 +0100"), jan6);
        row("zone-ignored", raw("Tue, 06 Jan 2004 10:20:30 -0800 (PST)"), jan6);
        row("single-digit-day", raw("Tue, 6 Jan 2004 10:20:30 +0100"), jan6);
        row("two-digit-year", raw("Tue, 6 Jan 04 10:20:30 +0100"), jan6);
        row("seconds-left-out", raw("Tue, 06 Jan 2004 10:20 +0100"), u"2004-01-06T10:20:00Z"_s);
        row("lower-case-month-rolls-back-to-december", raw("Tue, 06 jan 2004 10:20:30 +0100"), u"2003-12-06T10:20:30Z"_s);
        row("day-past-month-end-rolls-over", raw("Sat, 31 Feb 2004 00:00:00 +0000"), u"2004-03-02T00:00:00Z"_s);
        row("unreadable-time-keeps-date", raw("Tue, 06 Jan 2004 noon +0100"), u"2004-01-06T00:00:00Z"_s);
        row("no-weekday-read-wrongly", raw("06 Jan 2004 10:20:30 +0100"), QString());
        row("empty", QString(), QString());
        row("garbage", raw("yesterday at noon"), QString());
        row("huge-numbers", raw("Tue, 99999999999 Jan 2004 99999999999:1:1 +0100"), QString());
    }
    void headerField()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, expected);
        CMIMEPart part;
        if (field == QLatin1String("Date")) {
            part.Init(message(raw("Date: ") + value));
            QCOMPARE(part.SentDate(), value);
            QCOMPARE(part.SentDateAsDate().toString(Qt::ISODate), expected);
            return;
        }
        if (field == QLatin1String("From")) {
            part.Init(message(raw("From: ") + value + raw("\r\nTo: ") + value + raw("\r\nSubject: s")));
            QCOMPARE(part.from(), expected);
            QCOMPARE(part.MsgTo(), expected);
            return;
        }
        part.Init(message(raw("From: a@example.org\r\n") + value));
        QCOMPARE(field == QLatin1String("Id") ? part.Id() : part.Subject(), expected);
    }

    void params()
    {
        CMIMEPart part;
        part.Init(message(raw("Received: one\r\n\tcontinued\r\nreceived: two\r\nX-Empty:\r\nSubject: s")));
        const CMIMEParams &p = part.Params();
        QStringList names;
        for (const CMIMEParam &f : p)
            names << f.Name();
        QCOMPARE(names, (QStringList{"Received", "received", "X-Empty", "Subject"}));
        QCOMPARE(p.Item(1).Value(), u"one\tcontinued"_s);
        QCOMPARE(p.Item(1).LegacyValue(), u"one\r\ncontinued"_s);
        QCOMPARE(p.Item(2).Value(), u"two"_s);
        QCOMPARE(p.Item(3).Value(), QString());
        QVERIFY(p.ItemByName(u"RECEIVED") == &p.Item(1));
        QVERIFY(p.ItemByName(u"absent") == nullptr);
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, p.Item(0));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, p.Item(5));
        part.Params().add(u"X-Added"_s, u"v"_s);
        QCOMPARE(part.Params().Item(5).Value(), u"v"_s);

        // Without a header there is one field without a name, and every property is empty; without
        // the blank line after the header, everything is body. (The text of whole samples, and
        // further blank lines of their bodies: tst_mimesamples.)
        part.Init(raw("just a body, no header"), true);
        QCOMPARE(part.Params().Count(), 1);
        QCOMPARE(part.Params().Item(1).Name(), QString());
        QCOMPARE(part.Id() + part.from() + part.MsgTo() + part.SentDate() + part.Subject(), QString());
        QCOMPARE(part.TextPlain(), raw("just a body, no header"));
    }

    void rawHeaderCharset_data()
    {
        QTest::addColumn<QByteArray>("fields");     // header fields after Subject and From
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("rawText");    // the 8-bit bytes in Subject and in From's name
        QTest::addColumn<QString>("expected");

        const QByteArray gb = "\xc4\xe3\xba\xc3\xca\xc0\xbd\xe7"; // GB2312
        const QString hello = u"\u4f60\u597d\u4e16\u754c"_s;
        const QByteArray big5 = "\xa4\xa4\xa4\xe5";
        const QString chinese = u"\u4e2d\u6587"_s;
        const QByteArray koi8 = "\xf0\xd2\xc9\xd7\xc5\xd4";
        const QString privet = u"\u041f\u0440\u0438\u0432\u0435\u0442"_s;
        const QByteArray alternative = "--b1\r\nContent-Type: text/plain; charset=big5\r\n\r\nx\r\n"
                                       "--b1\r\nContent-Type: text/html; charset=utf-8\r\n\r\ny\r\n--b1--\r\n";

        QTest::newRow("gb2312-declared-by-message")
            << QByteArray("Content-Type: text/html;\r\n\tcharset=\"gb2312\"") << QByteArray("x") << gb << hello;
        QTest::newRow("first-text-part-after-an-image")
            << QByteArray("Content-Type: multipart/mixed; boundary=\"=_m\"")
            << QByteArray("preamble\r\n--=_m\r\nContent-Type: image/png\r\n\r\nPNG\r\n"
                          "--=_m\r\nContent-Type: text/plain; charset=koi8-r\r\n\r\nx\r\n--=_m--\r\n")
            << koi8 << privet;
        QTest::newRow("first-text-part-of-nested-multipart")
            << QByteArray("Content-Type: multipart/mixed; boundary=outer")
            << QByteArray("--outer\r\nContent-Type: multipart/alternative; boundary=b1\r\n\r\n") + alternative
                   + "--outer--\r\n"
            << big5 << chinese;
        QTest::newRow("valid-utf8-wins-over-declared-charset")
            << QByteArray("Content-Type: text/plain; charset=gb2312") << QByteArray("x")
            << u"\u00c5sa"_s.toUtf8() << u"\u00c5sa"_s;
        QTest::newRow("no-charset-windows-1252") << QByteArray("X-Mailer: m") << QByteArray("x")
                                                << QByteArray("Caf\xe9 \x80") << u"Caf\u00e9 \u20ac"_s;
        QTest::newRow("unknown-charset-windows-1252")
            << QByteArray("Content-Type: text/plain; charset=x-unheard-of") << QByteArray("x")
            << QByteArray("Caf\xe9") << u"Caf\u00e9"_s;
        QTest::newRow("text-part-without-charset-windows-1252")
            << QByteArray("Content-Type: multipart/mixed; boundary=b2")
            << QByteArray("--b2\r\nContent-Type: text/plain\r\n\r\nx\r\n--b2\r\nContent-Type: text/plain; "
                          "charset=big5\r\n\r\ny\r\n--b2--\r\n")
            << QByteArray("Caf\xe9") << u"Caf\u00e9"_s;
    }
    void rawHeaderCharset()
    {
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, rawText);
        QFETCH(QString, expected);
        const QByteArray bytes = "Subject: Re: " + rawText + "\r\nFrom: \"" + rawText + "\" <a@example.org>\r\n" + fields
            + "\r\n\r\n" + body;
        for (const bool headerOnly : {false, true}) {
            CMIMEPart part;
            part.Init(QString::fromLatin1(bytes), headerOnly);
            QCOMPARE(part.Subject(), u"Re: "_s + expected);
            QCOMPARE(part.from(), expected);
        }
    }

    void base64_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("padded") << u"SGVsbG8="_s << QByteArray("Hello");
        QTest::newRow("double-padded") << u"SGVsbA=="_s << QByteArray("Hell");
        QTest::newRow("unpadded-three-char-tail") << u"SGVsbG8"_s << QByteArray("Hello");
        QTest::newRow("empty") << QString() << QByteArray();
        QTest::newRow("two-chars-too-short") << u"QQ"_s << QByteArray();
        QTest::newRow("outside-alphabet-counts-as-zero") << u"!!!!"_s << QByteArray("\0\0\0", 3);
        QTest::newRow("high-bytes") << u"/+8="_s << QByteArray("\xff\xef");
    }
    void base64()
    {
        QFETCH(QString, input);
        QFETCH(QByteArray, expected);
        QCOMPARE(MBase64::Decode(input), expected);
    }

    void charsets_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("charset");
        QTest::addColumn<QString>("expected");

        QTest::newRow("utf-8") << QByteArray("\xc3\xa9") << QByteArray("UTF-8") << u"\u00e9"_s;
        QTest::newRow("utf-8-label-latin1-bytes") << QByteArray("Caf\xe9") << QByteArray("utf-8") << u"Caf\u00e9"_s;
        QTest::newRow("iso-8859-1-as-windows-1252") << QByteArray("\x80\xe9") << QByteArray("ISO-8859-1") << u"\u20ac\u00e9"_s;
        QTest::newRow("iso-8859-2") << QByteArray("\xb1\xe6") << QByteArray("iso-8859-2") << u"\u0105\u0107"_s;
        QTest::newRow("iso-8859-15-euro") << QByteArray("\xa4") << QByteArray("iso-8859-15") << u"\u20ac"_s;
        QTest::newRow("windows-1250") << QByteArray("\x9c") << QByteArray("windows-1250") << u"\u015b"_s;
        QTest::newRow("windows-1251") << QByteArray("\xcf") << QByteArray("Windows-1251") << u"\u041f"_s;
        QTest::newRow("koi8-r") << QByteArray("\xf0\xd2\xc9\xd7\xc5\xd4") << QByteArray("koi8-r")
                                << u"\u041f\u0440\u0438\u0432\u0435\u0442"_s;
        QTest::newRow("unknown-falls-back-to-windows-1252") << QByteArray("\x80") << QByteArray("x-bogus") << u"\u20ac"_s;
        QTest::newRow("empty-label-windows-1252") << QByteArray("\x93q\x94") << QByteArray() << u"\u201cq\u201d"_s;
        QTest::newRow("garbage-label-windows-1252") << QByteArray("\x80") << QByteArray("utf-8\"><") << u"\u20ac"_s;
        QTest::newRow("windows-1252-unassigned-code") << QByteArray("\x81") << QByteArray("windows-1252") << QString(QChar(0x81));
    }
    void charsets()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, charset);
        QFETCH(QString, expected);
        QCOMPARE(MHeaderText::DecodeCharset(bytes, charset), expected);
    }

    void hostileInputDoesNotCrash_data()
    {
        QTest::addColumn<QString>("input");

        QTest::newRow("empty") << QString();
        QTest::newRow("only-blank-line") << raw("\r\n\r\n");
        QTest::newRow("colon-at-end") << raw("Subject:\r\n\r\n");
        QTest::newRow("lone-cr-lf-mix") << raw("\r\r\n\n\r\n\r\r\r");
        QTest::newRow("many-unterminated-words") << raw("Subject: ") + raw("=?a?b?").repeated(50000) + raw("\r\n\r\nx");
        QTest::newRow("many-open-markers") << raw("Subject: ") + raw("=?").repeated(50000) + raw("\r\n\r\nx");
        QTest::newRow("many-short-words") << raw("Subject: ") + raw("=?x?q?=?=").repeated(20000) + raw("\r\n\r\nx");
        QTest::newRow("nul-and-high-bytes") << raw("From: ") + QChar(0) + raw("\xff<\x80\r\nSubject: \xff\xfe\r\n\r\n");
        QTest::newRow("unicode-above-latin1") << u"Subject: \u263a =?utf-8?q?=E2=98=BA?=\r\n\r\n"_s;
        QTest::newRow("base64-with-odd-tail") << raw("Subject: =?utf-8?b?QQ?= =?utf-8?b?Q?= =?utf-8?b?QUJD=?=\r\n\r\n");
        QTest::newRow("from-only-quotes") << raw("From: \"\r\nTo: \"\"<\r\n\r\n");
    }
    void hostileInputDoesNotCrash()
    {
        QFETCH(QString, input);
        for (const bool headerOnly : {false, true}) {
            CMIMEPart part;
            part.Init(input, headerOnly);
            (void)part.SentDateAsDate();
            QVERIFY(part.Params().Count() >= 1);
            if (!headerOnly)
                QCOMPARE(part.TextPlain(), input);
        }
    }
};

QTEST_GUILESS_MAIN(TestMimeParser)
#include "tst_mimeparser.moc"
