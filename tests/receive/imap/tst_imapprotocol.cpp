#include "receive/imap/ImapProtocol.h"
#include <QTest>

using Imap::Response;
using Imap::Value;

namespace {
/// The responses a framer fed with `chunks` gives, in order.
QList<QByteArray> frame(const QList<QByteArray> &chunks, bool *failed = nullptr, qsizetype max = 1 << 20)
{
    Imap::Framer framer(max);
    QList<QByteArray> out;
    for (const QByteArray &chunk : chunks) {
        framer.feed(chunk);
        while (auto r = framer.next())
            out.append(*r);
    }
    if (failed)
        *failed = framer.failed();
    return out;
}

/// A value as compact text, so one column can describe a whole tree.
QByteArray show(const Value &v)
{
    switch (v.kind) {
    case Value::Kind::Nil:
        return "NIL";
    case Value::Kind::Number:
        return "#" + v.text;
    case Value::Kind::String:
        return "\"" + v.text + "\"";
    case Value::Kind::Atom:
        return v.text;
    case Value::Kind::List: {
        QByteArrayList items;
        for (const Value &item : v.items)
            items << show(item);
        return "(" + items.join(' ') + ")";
    }
    }
    return {};
}

QByteArray show(const QList<Value> &values)
{
    QByteArrayList items;
    for (const Value &v : values)
        items << show(v);
    return items.join(' ');
}
}

/// The IMAP wire format without sockets: framing across chunks, parsing, command writing.
class TestImapProtocol : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void framing_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QList<QByteArray>>("responses");
        auto row = [](const char *name, const QList<QByteArray> &chunks, const QList<QByteArray> &responses) {
            QTest::newRow(name) << chunks << responses;
        };
        auto whole = [&](const char *name, const QByteArray &response) { row(name, {response}, {response}); };

        row("two-responses-one-chunk", {"* 3 EXISTS\r\na1 OK done\r\n"}, {"* 3 EXISTS\r\n", "a1 OK done\r\n"});
        whole("literal-holding-crlf", "* 1 FETCH (UID 7 BODY[] {14}\r\nA: b\r\n\r\nbody\r\n)\r\n");
        row("two-literals-in-one-response", {"* 1 FETCH (BODY[1] {2}\r\nab BODY[2] ~{3}\r\n", "c\r\n)\r\n"},
            {"* 1 FETCH (BODY[1] {2}\r\nab BODY[2] ~{3}\r\nc\r\n)\r\n"});
        whole("empty-literal", "* 1 FETCH (BODY[] {0}\r\n)\r\n");
        row("exists-between-two-fetches", {"* 1 FETCH (BODY[] {1}\r\nx)\r\n* 5 EXISTS\r\n* 2 FETCH (BODY[] {1}\r\ny)\r\n"},
            {"* 1 FETCH (BODY[] {1}\r\nx)\r\n", "* 5 EXISTS\r\n", "* 2 FETCH (BODY[] {1}\r\ny)\r\n"});
        row("incomplete-literal-waits", {"* 1 FETCH (BODY[] {10}\r\nabc"}, {});
        whole("bare-lf-line-end", "* OK hi\n");
    }

    void framing()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QList<QByteArray>, responses);
        bool failed = true;
        QCOMPARE(frame(chunks, &failed), responses);
        QVERIFY(!failed);
    }

    // Responses split in their lines, their literals' announcements and bytes, and in a
    // literal's text that looks like an announcement.
    void everySplitPointFramesTheSame()
    {
        const QByteArray stream = "* OK [CAPABILITY IMAP4rev1 IDLE] hi\r\n"
                                  "* 2 FETCH (UID 9 BODY[]<0> {19}\r\nSubject: {3}\r\n\r\nx\r\n FLAGS ())\r\n"
                                  "* 3 EXISTS\r\na7 OK FETCH done\r\n";
        const QList<QByteArray> whole = frame({stream});
        QCOMPARE(whole.size(), 4);
        for (qsizetype a = 1; a < stream.size(); ++a) {
            for (qsizetype b = a; b < stream.size(); b += 7) {
                const QList<QByteArray> split = frame({stream.left(a), stream.mid(a, b - a), stream.mid(b)});
                QVERIFY2(split == whole, qPrintable(QStringLiteral("split at %1 and %2").arg(a).arg(b)));
            }
        }
    }

    void hostileStreamsFailBounded_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::newRow("huge-literal-announced") << QByteArray("* 1 FETCH (BODY[] {99999999999}\r\n");
        QTest::newRow("literal-size-overflowing-64-bits") << QByteArray("* 1 FETCH (BODY[] {184467440737095516160}\r\nx");
        QTest::newRow("endless-line") << QByteArray(5000, 'a');
        QTest::newRow("literal-just-over-the-limit") << QByteArray("* 1 FETCH (BODY[] {4071}\r\n");
    }

    void hostileStreamsFailBounded()
    {
        QFETCH(QByteArray, stream);
        Imap::Framer framer(4096);
        framer.feed(stream);
        QVERIFY(!framer.next());
        // A stream that can no longer be trusted stays failed and holds no more than it had.
        framer.feed(QByteArray(100000, 'x') + "\r\n");
        QVERIFY(!framer.next());
        QVERIFY(framer.failed());
        QVERIFY(framer.pendingBytes() <= stream.size() + 4096);
    }

    void parsing_data()
    {
        QTest::addColumn<QByteArray>("response");
        // type|tag|keyword|number|code|code arguments|text|values; "invalid" alone for a refusal.
        QTest::addColumn<QByteArray>("parsed");
        auto row = [](const char *name, const QByteArray &response, const QByteArray &parsed) {
            QTest::newRow(name) << response << parsed;
        };
        row("greeting-with-capabilities", "* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN IDLE] Dovecot ready.\r\n",
            "untagged||OK||CAPABILITY|IMAP4rev1 SASL-IR AUTH=PLAIN IDLE|Dovecot ready.|");
        row("tagged-ok-lower-case", "a12 ok [READ-ONLY] Examine completed\r\n", "tagged|a12|OK||READ-ONLY||Examine completed|");
        row("uidvalidity-code", "* OK [UIDVALIDITY 3857529045] UIDs valid\r\n",
            "untagged||OK||UIDVALIDITY|#3857529045|UIDs valid|");
        row("code-with-list", "* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Limited\r\n",
            "untagged||OK||PERMANENTFLAGS|(\\Deleted \\Seen \\*)|Limited|");
        row("code-with-free-text", "a1 NO [ALERT \"unclosed] Go away\r\n", "tagged|a1|NO||ALERT||Go away|");
        row("bye", "* BYE Autologout; idle for too long\r\n", "untagged||BYE||||Autologout; idle for too long|");
        row("exists", "* 23 EXISTS\r\n", "untagged||EXISTS|23||||");
        row("search", "* SEARCH 4 17 9000\r\n", "untagged||SEARCH|||||#4 #17 #9000");
        row("empty-search", "* SEARCH\r\n", "untagged||SEARCH|||||");
        row("fetch-with-literal-quoted-nil",
            "* 2 FETCH (UID 9 FLAGS (\\Recent) BODY[]<0> {14}\r\nSubject: \"x\"\r\n X \"a\\\"b\" NIL)\r\n",
            "untagged||FETCH|2||||(UID #9 FLAGS (\\Recent) BODY[]<0> \"Subject: \"x\"\r\n\" X \"a\"b\" NIL)");
        row("fetch-section-with-spaces", "* 1 FETCH (BODY[HEADER.FIELDS (FROM DATE)] {2}\r\nab)\r\n",
            "untagged||FETCH|1||||(BODY[HEADER.FIELDS (FROM DATE)] \"ab\")");
        row("literal8", QByteArray("* 1 FETCH (BINARY[] ~{3}\r\n\0\1\2)\r\n", 30),
            "untagged||FETCH|1||||(BINARY[] \"" + QByteArray("\0\1\2", 3) + "\")");
        row("continuation", "+ idling\r\n", "continuation||||||idling|");
        row("bare-continuation", "+\r\n", "continuation|||||||");
        row("unbalanced-list", "* 1 FETCH (UID 4\r\n", "invalid");
        row("stray-close", "* FLAGS )\r\n", "invalid");
        row("literal-longer-than-response", "* 1 FETCH (BODY[] {50}\r\nab)\r\n", "invalid");
        row("tagged-without-status", "a1 FETCH\r\n", "invalid");
        row("empty-line", "\r\n", "invalid");
        row("deep-nesting", QByteArray("* X ") + QByteArray(5000, '(') + "\r\n", "invalid");
    }

    void parsing()
    {
        QFETCH(QByteArray, response);
        const Response r = Imap::Parse(response);
        if (r.type == Response::Type::Invalid) {
            QVERIFY(!r.error.isEmpty());
            QTEST(QByteArray("invalid"), "parsed");
            return;
        }
        const char *types[] = {"invalid", "tagged", "untagged", "continuation"};
        const QByteArrayList fields{types[int(r.type)], r.tag, r.keyword, r.number ? QByteArray::number(*r.number) : QByteArray(),
                                    r.code, show(r.codeArgs), r.text, show(r.values)};
        QTEST(fields.join('|'), "parsed");
    }

    void commands_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<bool>("literalPlus");
        QTest::addColumn<QList<QByteArray>>("parts");
        QTest::addColumn<QByteArray>("loggable");
        auto row = [](const char *name, const QByteArray &user, const QByteArray &password, bool literalPlus,
                      const QList<QByteArray> &parts, const QByteArray &loggable) {
            QTest::newRow(name) << user << password << literalPlus << parts << loggable;
        };
        row("atoms", "alice", "s3cret", false, {"a1 LOGIN alice s3cret\r\n"}, "a1 LOGIN alice ****");
        row("quoted-with-escapes", "alice smith", "a\"b\\c", false, {"a1 LOGIN \"alice smith\" \"a\\\"b\\\\c\"\r\n"},
            "a1 LOGIN \"alice smith\" ****");
        row("empty-password", "bob", "", false, {"a1 LOGIN bob \"\"\r\n"}, "a1 LOGIN bob ****");
        row("eight-bit-password-synchronising-literal", "bob", "p\xc3\xa4ss", false,
            {"a1 LOGIN bob {5}\r\n", "p\xc3\xa4ss\r\n"}, "a1 LOGIN bob {5} ****");
        row("eight-bit-password-literal-plus", "bob", "p\xc3\xa4ss", true, {"a1 LOGIN bob {5+}\r\np\xc3\xa4ss\r\n"},
            "a1 LOGIN bob {5} ****");
        row("crlf-in-password-is-a-literal", "bob", "a\r\nb", false, {"a1 LOGIN bob {4}\r\n", "a\r\nb\r\n"},
            "a1 LOGIN bob {4} ****");
        row("brace-in-user-is-quoted", "x{1}", "p", false, {"a1 LOGIN \"x{1}\" p\r\n"}, "a1 LOGIN \"x{1}\" ****");
        // Found by the fuzzer: an unquoted '[' opens a section the reader looks for the end of.
        row("bracket-in-user-is-quoted", "[[O", "p", false, {"a1 LOGIN \"[[O\" p\r\n"}, "a1 LOGIN \"[[O\" ****");
    }

    void commands()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, password);
        QFETCH(bool, literalPlus);
        const Imap::Command c = Imap::CommandBuilder("a1").atom("LOGIN").string(user).secret(password).build(literalPlus);
        QTEST(c.parts, "parts");
        QTEST(c.loggable, "loggable");
        QVERIFY(!c.loggable.contains(password) || password.isEmpty() || password == "p");
    }

    void mailboxNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("ampersand") << QStringLiteral("Tom & Jerry") << QByteArray("Tom &- Jerry");
        // RFC 3501 section 5.1.3's own example.
        QTest::newRow("rfc-example") << QStringLiteral("~peter/mail/\u53f0\u5317/\u65e5\u672c\u8a9e")
                                     << QByteArray("~peter/mail/&U,BTFw-/&ZeVnLIqe-");
        QTest::newRow("umlaut") << QStringLiteral("Entw\u00fcrfe") << QByteArray("Entw&APw-rfe");
    }

    void mailboxNames()
    {
        QFETCH(QString, name);
        QTEST(Imap::EncodeMailboxName(name), "encoded");
    }

};

QTEST_GUILESS_MAIN(TestImapProtocol)

#include "tst_imapprotocol.moc"
