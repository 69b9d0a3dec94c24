#include "receive/Pop3ReplyFramer.h"
#include <QTest>

/// The reply framing rules, chunk by chunk, without sockets.
class TestPop3ReplyFramer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void framing_data()
    {
        QTest::addColumn<bool>("multiLine");
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<bool>("positive");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("endedLate");
        QTest::addColumn<int>("completeAtChunk"); // 0: the reply stays open

        QTest::newRow("single-line-one-chunk")
            << false << QList<QByteArray>{"+OK 2 320\r\n"} << true << QByteArray("2 320") << false << 1;
        QTest::newRow("single-line-cr-and-lf-split")
            << false << QList<QByteArray>{"+OK 7 99\r", "\n"} << true << QByteArray("7 99") << true << 2;
        QTest::newRow("single-line-not-ended-before-crlf")
            << false << QList<QByteArray>{"+OK", " done", "\r\n"} << true << QByteArray("done") << true << 3;
        QTest::newRow("single-line-without-text")
            << false << QList<QByteArray>{"+OK\r\n"} << true << QByteArray() << false << 1;
        QTest::newRow("negative-single-line")
            << false << QList<QByteArray>{"-ERR [AUTH] Authentication failed.\r\n"} << false
            << QByteArray("[AUTH] Authentication failed.") << false << 1;
        QTest::newRow("negative-reply-to-multi-line-command-is-one-line")
            << true << QList<QByteArray>{"-ERR There's no message 9.\r\n"} << false
            << QByteArray("There's no message 9.") << false << 1;
        QTest::newRow("multi-line-one-chunk")
            << true << QList<QByteArray>{"+OK\r\nA: 1\r\n\r\nbody\r\n.\r\n"} << true
            << QByteArray("A: 1\r\n\r\nbody") << false << 1;
        QTest::newRow("multi-line-empty-body")
            << true << QList<QByteArray>{"+OK\r\n.\r\n"} << true << QByteArray() << false << 1;
        QTest::newRow("multi-line-ending-with-empty-line")
            << true << QList<QByteArray>{"+OK\r\nA\r\n\r\n.\r\n"} << true << QByteArray("A\r\n") << false << 1;
        // Multi-line replies cut anywhere: everySplitPointGivesTheSameReply.
        QTest::newRow("stuffed-dots-mid-chunk")
            << true << QList<QByteArray>{"+OK\r\nfirst\r\n..second\r\n...third\r\n.\r\n"} << true
            << QByteArray("first\r\n.second\r\n..third") << false << 1;
        QTest::newRow("dot-inside-a-line-is-kept")
            << true << QList<QByteArray>{"+OK\r\na.b\r\n .\r\n.\r\n"} << true << QByteArray("a.b\r\n .") << false << 1;
        QTest::newRow("bare-lf-is-part-of-a-line")
            << true << QList<QByteArray>{"+OK\r\na\n.\nb\r\n.\r\n"} << true << QByteArray("a\n.\nb") << false << 1;
        QTest::newRow("reply-without-status-line")
            << true << QList<QByteArray>{"Received: from a\r\nSubject: b\r\n.\r\n"} << false << QByteArray("Subject: b")
            << false << 1;
        // Nothing that could be a whole reply yet (every unfinished multi-line reply:
        // everySplitPointGivesTheSameReply).
        auto open = [](const char *name, bool multiLine, const QByteArray &bytes) {
            QTest::newRow(name) << multiLine << QList<QByteArray>{bytes} << false << QByteArray() << false << 0;
        };
        open("single-line-without-crlf", false, "+OK almost");
        open("single-line-only-cr", false, "+OK almost\r");
        open("empty", true, QByteArray());
    }

    void framing()
    {
        QFETCH(bool, multiLine);
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(bool, positive);
        QFETCH(QByteArray, payload);
        QFETCH(bool, endedLate);
        QFETCH(int, completeAtChunk);

        Pop3ReplyFramer framer;
        framer.begin(multiLine);
        int completeAt = 0;
        for (int i = 0; i < chunks.size(); ++i) {
            if (framer.feed(chunks.at(i)) && completeAt == 0)
                completeAt = i + 1;
        }
        QCOMPARE(completeAt, completeAtChunk);
        QCOMPARE(framer.isComplete(), completeAtChunk > 0);
        if (!completeAtChunk)
            return;
        QCOMPARE(framer.isPositive(), positive);
        QCOMPARE(framer.payload(), payload);
        QCOMPARE(framer.endedLate(), endedLate);
        QVERIFY(framer.surplus().isEmpty());
    }

    void everySplitPointGivesTheSameReply()
    {
        const QByteArray reply = "+OK 120 octets\r\nFrom: a@b\r\n..hidden\r\n\r\n..\r\n...\r\nend.\r\n.\r\n";
        const QByteArray expected = "From: a@b\r\n.hidden\r\n\r\n.\r\n..\r\nend.";
        for (int a = 1; a < reply.size(); ++a) {
            for (int b = a; b < reply.size(); ++b) {
                const QString where = QStringLiteral("split at %1/%2").arg(a).arg(b);
                Pop3ReplyFramer framer;
                framer.begin(true);
                QVERIFY2(!framer.feed(QByteArrayView(reply).first(a)), qPrintable(where));
                QVERIFY2(!framer.feed(QByteArrayView(reply).sliced(a, b - a)), qPrintable(where));
                QVERIFY2(framer.feed(QByteArrayView(reply).sliced(b)), qPrintable(where));
                QCOMPARE(framer.payload(), expected);
                QVERIFY(framer.endedLate());
            }
        }
    }

    void surplusAfterTheEndIsKept()
    {
        Pop3ReplyFramer framer;
        framer.begin(false);
        QVERIFY(framer.feed("+OK\r\n+OK extra\r\n"));
        QCOMPARE(framer.surplus(), QByteArray("+OK extra\r\n"));
        QVERIFY(framer.feed("more"));
        QCOMPARE(framer.surplus(), QByteArray("+OK extra\r\nmore"));
        QCOMPARE(framer.receivedBytes(), 5);
    }

    void boundedWhateverTheServerSends_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("kept");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("truncated");
        const QByteArray longLine(5000, 'x');
        QTest::newRow("under-the-limit")
            << QByteArray("+OK\r\naaaa\r\nbbbb\r\n.\r\n") << 12 << QByteArray("+OK") << QByteArray("aaaa\r\nbbbb") << false;
        QTest::newRow("cut-after-the-last-whole-line-that-fits")
            << QByteArray("+OK\r\naaaa\r\nbbbb\r\ncccc\r\n.\r\n") << 13 << QByteArray("+OK") << QByteArray("aaaa\r\nbbbb")
            << true;
        QTest::newRow("nothing-after-an-overlong-line-is-kept")
            << "+OK\r\nok\r\n" + longLine + "\r\nshort\r\n..\r\n.\r\n" << 100 << QByteArray("+OK") << QByteArray("ok")
            << true;
        QTest::newRow("overlong-last-line-then-closing-dot")
            << "+OK\r\n" + longLine + "\r\n.\r\n" << 100 << QByteArray("+OK") << QByteArray() << true;
        QTest::newRow("overlong-status-line-kept-to-its-start")
            << "+OK " + longLine + "\r\nbody\r\n.\r\n" << 100
            << "+OK " + longLine.left(Pop3ReplyFramer::MaxStatusLine - 4) << QByteArray("body") << false;
    }

    void boundedWhateverTheServerSends()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, kept);
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, payload);
        QFETCH(bool, truncated);
        // Whole, and in pieces small enough that every long line is skipped as it streams.
        for (const qsizetype piece : {reply.size(), qsizetype(7), qsizetype(1)}) {
            Pop3ReplyFramer framer;
            framer.setKeptBytes(kept);
            framer.begin(true);
            bool done = false;
            for (qsizetype pos = 0; pos < reply.size(); pos += piece)
                done = framer.feed(QByteArrayView(reply).sliced(pos, qMin(piece, reply.size() - pos)));
            QVERIFY2(done, qPrintable(QStringLiteral("pieces of %1").arg(piece)));
            QCOMPARE(framer.statusLine(), status);
            QCOMPARE(framer.payload(), payload);
            QCOMPARE(framer.truncated(), truncated);
            QCOMPARE(framer.receivedBytes(), reply.size());
        }
    }

    void lineSinkKeepsNothing()
    {
        const QByteArray longLine(3000, 'u');
        const QByteArray reply = "+OK\r\n1 aaa\r\n..2 dotted\r\n3 " + longLine + "\r\n4 d\r\n.\r\n";
        for (const qsizetype piece : {reply.size(), qsizetype(5)}) {
            QList<QByteArray> lines;
            QList<bool> whole;
            Pop3ReplyFramer framer;
            framer.setLineSink([&](QByteArrayView line, bool isWhole) {
                lines << line.toByteArray();
                whole << isWhole;
            });
            framer.begin(true);
            bool done = false;
            for (qsizetype pos = 0; pos < reply.size(); pos += piece)
                done = framer.feed(QByteArrayView(reply).sliced(pos, qMin(piece, reply.size() - pos)));
            QVERIFY(done);
            QCOMPARE(lines, (QList<QByteArray>{"1 aaa", ".2 dotted", "3 " + longLine.left(Pop3ReplyFramer::MaxSinkLine - 2),
                                               "4 d"}));
            QCOMPARE(whole, (QList<bool>{true, true, false, true}));
            QVERIFY(framer.payload().isEmpty());
        }
    }

};

QTEST_GUILESS_MAIN(TestPop3ReplyFramer)

#include "tst_pop3replyframer.moc"
