#include "speech/HtmlToText.h"
#include "speech/MessageText.h"
#include "mime/MessageLimits.h"

#include <QFile>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
/// A stored message: its bytes one character each, as the store keeps them.
QString stored(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll());
}

QString normalised(QString s)
{
    s.replace(u"\r\n"_s, u"\n"_s);
    return s.trimmed();
}
}

class TestMessageText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void plainText_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("absent");
        const QString d = QStringLiteral(SPEECH_TEST_DATA "/");
        QTest::newRow("utf8-8bit-body") << stored(d + "utf8-8bit.eml")
                                        << u"Grüße aus Köln — schöne Woche!\nZweite Zeile."_s << "";
        QTest::newRow("html-only-quoted-printable-latin1")
            << stored(d + "html-only-qp.eml")
            << u"Café & crème <today>\n\nSecond block\n- One\n- Two\nPrice: 5€ © shop\nLast line"_s
            << "Hidden title";
        QTest::newRow("base64-latin1-with-attachment")
            << stored(d + "base64-latin1-attachment.eml")
            << u"Sehr geehrte Frau Müller,\nIhr Kontoauszug liegt bei."_s << "ATTACHMENT";
        QTest::newRow("multipart-related-plain-preferred")
            << stored(d + "related-qp.eml") << u"Naïve café and a long soft-broken line here."_s << "<p>";
        QTest::newRow("multipart-alternative-sample")
            << stored(QStringLiteral(MAIL_TEST_DATA "/html-multipart.eml")) << u"Your order 99812 has shipped."_s
            << "<b>";
        QTest::newRow("headers-only-give-no-text") << u"Subject: x\r\nFrom: a@b\r\n\r\n"_s << QString() << "";
        QTest::newRow("unknown-charset-falls-back")
            << QString::fromLatin1("Content-Type: text/plain; charset=x-nothing\r\n\r\ncaf\xe9\r\n") << u"café"_s << "";
    }
    void plainText()
    {
        QFETCH(QString, content);
        QFETCH(QString, expected);
        QFETCH(QString, absent);
        QVERIFY(!content.isEmpty());
        const QString text = MessageText::PlainText(content);
        QCOMPARE(normalised(text), expected);
        if (!absent.isEmpty())
            QVERIFY(!text.contains(absent));
    }

    // Text that is no message comes back as it is; a broken message is read as far as it goes.
    void noMessageOrABrokenOne_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<bool>("asItIs");
        QTest::newRow("plain-words") << stored(QStringLiteral(SPEECH_TEST_DATA "/not-a-message.txt")) << true;
        QTest::newRow("empty") << QString() << true;
        QTest::newRow("colon-later-in-line") << u"Note this: it is text\nmore"_s << true;
        QTest::newRow("broken-boundary") << u"Content-Type: multipart/mixed; boundary=\"x\"\r\n\r\n--x\r\n"_s << false;
        QTest::newRow("bad-base64") << u"Content-Transfer-Encoding: base64\r\n\r\n!!!***\r\n"_s << false;
        QTest::newRow("nul-bytes") << QString::fromLatin1("Subject: a\r\n\r\nx\0y", 17) << false;
    }
    void noMessageOrABrokenOne()
    {
        QFETCH(QString, content);
        QFETCH(bool, asItIs);
        const QString text = MessageText::PlainText(content);
        if (asItIs)
            QCOMPARE(text, content);
        QVERIFY(!MessageText::Html(content).isEmpty());
    }

    void htmlForTheView()
    {
        const QString related = MessageText::Html(stored(QStringLiteral(SPEECH_TEST_DATA "/related-qp.eml")));
        QVERIFY2(related.contains(u"src=\"data:image/png;base64,iVBORw0KGgo=\""_s), qPrintable(related));
        QVERIFY(!related.contains(u"cid:"_s));
        QVERIFY(related.contains(u"Naïve café"_s));

        const QString plain = MessageText::Html(stored(QStringLiteral(SPEECH_TEST_DATA "/utf8-8bit.eml")));
        QVERIFY(plain.contains(u"<pre"_s));
        QVERIFY(plain.contains(u"Grüße aus Köln"_s));

        const QString raw = MessageText::Html(u"a <b> & c"_s);
        QVERIFY(raw.contains(u"a &lt;b&gt; &amp; c"_s));
    }

    void cutMessageSaysSo_data()
    {
        QTest::addColumn<QString>("content");
        const QString d = QStringLiteral(SPEECH_TEST_DATA "/");
        QTest::newRow("plain-text") << stored(d + "utf8-8bit.eml");
        QTest::newRow("html-only") << stored(d + "html-only-qp.eml");
        // Cut in the middle of a multipart body: no closing boundary.
        QTest::newRow("multipart-cut-midway") << stored(d + "related-qp.eml").left(400);
    }
    void cutMessageSaysSo()
    {
        QFETCH(QString, content);
        const QString notice = u"The rest of this message was not downloaded."_s;
        // A whole message says nothing of the kind.
        QVERIFY(!MessageText::IsCut(content));
        QVERIFY(!MessageText::PlainText(content).contains(notice));
        QVERIFY(!MessageText::Html(content).contains(notice));

        const QString cut = MessageLimits::MarkTruncated(content);
        QVERIFY(MessageText::IsCut(cut));
        const QString spoken = MessageText::PlainText(cut);
        QVERIFY2(spoken.endsWith(notice), qPrintable(spoken));
        // The text before the notice is the message's own, the mark is not read out.
        QCOMPARE(spoken.chopped(notice.size()).trimmed(), MessageText::PlainText(content).trimmed());
        const QString html = MessageText::Html(cut);
        QVERIFY(html.contains(notice));
        QVERIFY(!html.contains(MessageLimits::TruncatedField));
    }

    void htmlToText_data()
    {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QString>("expected");
        QTest::newRow("entities") << "a &amp; b &lt;c&gt; &#233; &#xE9; &eacute; &quot;q&quot;"
                                  << "a & b <c> é é é \"q\"";
        QTest::newRow("unknown-entity-kept") << "x &bogus; y & z" << "x &bogus; y & z";
        QTest::newRow("script-and-style-dropped")
            << "<style>p{}</style>one<script>if (a < b) x();</script> two" << "one two";
        QTest::newRow("blocks-break-lines") << "<div>a</div><div>b</div>" << "a\nb";
        QTest::newRow("paragraphs-blank-line") << "<p>a</p><p>b</p>" << "a\n\nb";
        QTest::newRow("br") << "a<br>b<br/>c" << "a\nb\nc";
        QTest::newRow("whitespace-collapses") << "a  \n\t b" << "a b";
        QTest::newRow("pre-keeps-layout") << "<pre>a  b\n c</pre>" << "a  b\n c";
        QTest::newRow("comment-dropped") << "a<!-- <p>x</p> -->b" << "ab";
        QTest::newRow("lone-less-than") << "1 < 2" << "1 < 2";
        QTest::newRow("attribute-with-gt") << "<a title=\"x>y\" href=\"u\">link</a>" << "link";
        QTest::newRow("inline-elements-no-break") << "<b>bold</b> and <i>it</i>" << "bold and it";
        QTest::newRow("image-alt") << "see <img src=\"x.png\" alt=\"the logo\"> here" << "see the logo here";
        QTest::newRow("table-cells") << "<table><tr><td>a</td><td>b</td></tr><tr><td>c</td></tr></table>"
                                     << "a b\nc";
        QTest::newRow("unterminated-tag") << "text <b" << "text";
    }
    void htmlToText()
    {
        QFETCH(QString, html);
        QFETCH(QString, expected);
        QCOMPARE(HtmlToText::Convert(html), expected);
    }
};

QTEST_GUILESS_MAIN(TestMessageText)
#include "tst_messagetext.moc"
