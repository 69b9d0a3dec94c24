#include "FakePop3Server.h"
#include "TestHome.h"
#include "receive/CArriveShell.h"
#include "receive/SocketErrorNumbers.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include <QElapsedTimer>
#include <QTest>

using Action = FakePop3Server::Action;

namespace {
const QByteArray kDotted = "From: a@example.org\r\nSubject: dots\r\n\r\n.leading dot\r\nmiddle\r\n..two dots\r\n.\r\n"
                           "x.\r\nend\r\n";

struct Outcome {
    bool thrown = false;
    qint32 number = 0;
    QString description;
};

/// Runs `call` and catches the shell's error.
template<typename F>
Outcome attempt(F call)
{
    Outcome outcome;
    try {
        call();
    } catch (const MUError &e) {
        outcome.thrown = true;
        outcome.number = e.number();
        outcome.description = e.description();
    }
    return outcome;
}

/// A socket that never gets as far as a connection.
class UnconnectableSocket : public QTcpSocket
{
public:
    void connectToHost(const QString &, quint16, OpenMode, NetworkLayerProtocol) override {}
};
class UnconnectableShell : public CArriveShell
{
protected:
    QTcpSocket *createSocket() override { return new UnconnectableSocket; }
};
}

/// The socket shell against the scripted fake server. Both live on the test's thread:
/// the shell's nested event loop also runs the server.
class TestCArriveShell : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        QVERIFY(m_home->isValid());
        m_log = m_home->log();
        m_server = std::make_unique<FakePop3Server>();
        m_server->setCredentials("bob", "secret");
        m_server->addMessage("From: one@example.org\r\nSubject: one\r\n\r\nbody one\r\n");
        m_server->addMessage(kDotted);
        QVERIFY(m_server->listen());
    }

    void cleanup()
    {
        m_server.reset();
        m_log.reset();
        m_home.reset();
    }

    void sendData_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("multiLine");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<int>("action");
        QTest::addColumn<QByteArray>("actionText");
        QTest::addColumn<QList<int>>("chunks");
        QTest::addColumn<QString>("result");
        QTest::addColumn<qint32>("errNumber");
        QTest::addColumn<QString>("errDescription");

        FakePop3Server sample;
        sample.addMessage("From: one@example.org\r\nSubject: one\r\n\r\nbody one\r\n");
        sample.addMessage(kDotted);
        const QString body2 = QString::fromLatin1(kDotted.chopped(2));
        const qint32 custom = MUError::engineNumber(525);
        const QString stat = QString::fromLatin1(sample.answerFor("STAT").mid(4).chopped(2));
        const int answer = int(Action::Answer);

        QTest::newRow("stat-single-line") << "STAT\r\n" << false << true << answer << QByteArray() << QList<int>{}
                                          << stat << 0
                                          << QString();
        // The framing itself is tst_pop3replyframer's; one row shows the shell feeds it every read.
        QTest::newRow("stuffed-dots-at-chunk-starts") << "TOP 2 10\r\n" << true << true << answer << QByteArray()
                                                      << QList<int>{5, 38, 14, 8, 12} << body2 << 0 << QString();
        QTest::newRow("err-text-to-pass") << "PASS wrong\r\n" << false << false << answer << QByteArray()
                                          << QList<int>{} << QString() << custom
                                          << QStringLiteral("[AUTH] Authentication failed.");
        QTest::newRow("err-without-text-to-pass") << "PASS wrong\r\n" << false << false << int(Action::Error)
                                                  << QByteArray() << QList<int>{} << QString() << custom
                                                  << QStringLiteral("Invalid password");
        QTest::newRow("err-without-text-to-user") << "USER nobody\r\n" << false << false << int(Action::Error)
                                                  << QByteArray() << QList<int>{} << QString() << custom
                                                  << QStringLiteral("Invalid logon name");
        QTest::newRow("err-without-text-to-other") << "STAT\r\n" << false << true << int(Action::Error)
                                                   << QByteArray() << QList<int>{} << QString() << custom << QString();
        QTest::newRow("err-text-to-top") << "TOP 9 1\r\n" << true << true << answer << QByteArray() << QList<int>{}
                                         << QString() << custom << QStringLiteral("There's no message 9.");
        QTest::newRow("err-to-quit-is-no-error") << "QUIT\r\n" << false << true << int(Action::Error)
                                                 << QByteArray("busy") << QList<int>{} << QString() << 0 << QString();
        QTest::newRow("hang-up-on-quit-is-no-error") << "QUIT\r\n" << false << true << int(Action::DropMidReply)
                                                     << QByteArray() << QList<int>{} << QString() << 0 << QString();
        QTest::newRow("received-from-instead-of-status")
            << "TOP 1 0\r\n" << true << true << int(Action::Raw)
            << QByteArray("Received: from relay\r\nSubject: raw\r\n\r\n.\r\n") << QList<int>{}
            << QStringLiteral("Received: from relay\r\nSubject: raw\r\n") << 0 << QString();
        QTest::newRow("drop-mid-reply") << "TOP 2 10\r\n" << true << true << int(Action::DropMidReply) << QByteArray()
                                        << QList<int>{} << QString() << SocketErrorNumbers::ConnectionReset << QString();
    }

    void sendData()
    {
        QFETCH(QString, command);
        QFETCH(bool, multiLine);
        QFETCH(bool, loggedIn);
        QFETCH(int, action);
        QFETCH(QByteArray, actionText);
        QFETCH(QList<int>, chunks);
        QFETCH(QString, result);
        QFETCH(qint32, errNumber);
        QFETCH(QString, errDescription);

        const QByteArray line = command.toLatin1().chopped(2);
        m_server->setAction(line, Action(action), actionText);
        if (!chunks.isEmpty())
            m_server->setChunks(line, chunks, 30);
        auto shell = makeShell();
        shell->Connect();
        if (loggedIn)
            login(*shell);
        else if (!command.startsWith(QLatin1String("USER"))) {
            QString ignored;
            shell->SendData(QStringLiteral("USER bob\r\n"), false, ignored);
        }

        QString reply = QStringLiteral("stale");
        const Outcome outcome = attempt([&] { shell->SendData(command, multiLine, reply); });
        QCOMPARE(outcome.number, errNumber);
        QCOMPARE(outcome.thrown, errNumber != 0);
        if (errNumber == MUError::engineNumber(525))
            QCOMPARE(outcome.description, errDescription);
        if (errNumber == 0)
            QCOMPARE(reply, result);
        else
            QVERIFY(reply.isEmpty());
        QCOMPARE(m_server->received().last(), command.toLatin1());
    }

    void quitAfterNegativeReplyIsNoError()
    {
        auto shell = makeShell();
        shell->Connect();
        QString reply;
        shell->SendData(QStringLiteral("USER bob\r\n"), false, reply);
        const Outcome refused = attempt([&] { shell->SendData(QStringLiteral("PASS nope\r\n"), false, reply); });
        QVERIFY(refused.thrown);
        reply = QStringLiteral("stale");
        shell->SendData(QStringLiteral("QUIT\r\n"), false, reply);
        QCOMPARE(reply, QStringLiteral("Logging out."));
        QCOMPARE(m_server->commands(), (QList<QByteArray>{"USER bob", "PASS nope", "QUIT"}));
    }

    void bytesSurviveOneCharacterPerByte()
    {
        QByteArray raw = "From: x@example.org\r\nSubject: bytes\r\n\r\n";
        for (int c = 1; c < 256; ++c)
            if (c != '\r' && c != '\n')
                raw.append(char(c));
        raw.append("\r\n");
        m_server->addMessage(raw);
        auto shell = makeShell();
        shell->Connect();
        login(*shell);
        QString reply;
        shell->SendData(QStringLiteral("TOP 3 5\r\n"), true, reply);
        QCOMPARE(reply.toLatin1(), raw.chopped(2));
    }

    void longReplyIsCutAndTheConnectionGoesOn()
    {
        const QByteArray head = "Subject: big\r\n\r\n";
        m_server->addMessage(head + QByteArray(3000, 'x') + "\r\n" + QByteArray(5000, 'y') + "\r\nlast\r\n");
        m_server->setChunks("TOP 3 100", {100, 100, 100}, 1);
        auto shell = makeShell();
        shell->setKeptBytes(4096);
        shell->Connect();
        login(*shell);
        QString reply;
        shell->SendData(QStringLiteral("TOP 3 100\r\n"), true, reply);
        // Whole lines up to the limit; the rest was read and dropped, so the next reply is STAT's own.
        QCOMPARE(reply.toLatin1(), head + QByteArray(3000, 'x'));
        QVERIFY(shell->LastReplyTruncated());
        shell->SendData(QStringLiteral("STAT\r\n"), false, reply);
        QVERIFY(reply.startsWith(QLatin1String("3 ")));
        QVERIFY(!shell->LastReplyTruncated());
    }

    void silenceIsNamed_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("messageId");
        // Only a connection that was never made is "Cannot connect".
        QTest::newRow("connection-never-made") << QStringLiteral("unconnectable") << 519;
        QTest::newRow("connected-but-never-greets") << QStringLiteral("never-greets") << 532;
        QTest::newRow("greets-then-goes-silent") << QStringLiteral("silent") << 533;
    }

    void silenceIsNamed()
    {
        QFETCH(QString, situation);
        QFETCH(int, messageId);
        std::unique_ptr<CArriveShell> shell;
        if (situation == QLatin1String("unconnectable")) {
            shell = std::make_unique<UnconnectableShell>();
            shell->Init(m_log, {});
            shell->setRemote(m_server->host(), m_server->port());
        } else {
            shell = makeShell();
        }
        m_server->setNeverGreet(situation == QLatin1String("never-greets"));
        m_server->setSilentAfterGreeting(situation == QLatin1String("silent"));
        shell->setInactivityLimit(300);
        QElapsedTimer clock;
        clock.start();
        QString reply;
        const Outcome outcome = attempt([&] {
            shell->Connect();
            shell->SendData(QStringLiteral("USER bob\r\n"), false, reply);
        });
        QCOMPARE(outcome.number, MUError::engineNumber(messageId));
        QCOMPARE(outcome.description, MessageTable::Text(messageId).replace(QLatin1String("%1"), QLatin1String("0.3")));
        QVERIFY(clock.elapsed() >= 250); // a coarse timer may fire a little early
        QVERIFY(reply.isEmpty());
    }

    void timeLimitEndsADribblingReply()
    {
        // One byte a second keeps every inactivity limit at bay; the time limit still ends it.
        m_server->setChunks("TOP 1 0", QList<int>(200, 1), 1000);
        auto shell = makeShell();
        shell->setInactivityLimit(1500);
        shell->Connect();
        login(*shell);
        shell->setTimeLimit(2500);
        QElapsedTimer clock;
        clock.start();
        QString reply;
        const Outcome outcome = attempt([&] { shell->SendData(QStringLiteral("TOP 1 0\r\n"), true, reply); });
        QCOMPARE(outcome.number, MUError::engineNumber(531));
        QCOMPARE(outcome.description, QStringLiteral("The server is too slow: the check was stopped after 2.5 seconds. "));
        QVERIFY2(clock.elapsed() >= 2400 && clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));
        // Past the limit no wait starts at all.
        const Outcome again = attempt([&] { shell->SendData(QStringLiteral("NOOP\r\n"), false, reply); });
        QCOMPARE(again.number, MUError::engineNumber(531));
    }

    void negativeGreetingGives525()
    {
        m_server->setGreeting("-ERR too many connections");
        auto shell = makeShell();
        const Outcome outcome = attempt([&] { shell->Connect(); });
        QCOMPARE(outcome.number, MUError::engineNumber(525));
        QCOMPARE(outcome.description, QStringLiteral("too many connections"));
    }

    void cancelBeforeConnectReturnsAtOnce()
    {
        auto cancel = CancelEvent::Create(QStringLiteral("shell-test-cancel-before-connect"));
        cancel->Signal();
        m_server->setNeverGreet(true);
        auto shell = makeShell(cancel);
        shell->setInactivityLimit(60000);
        QElapsedTimer clock;
        clock.start();
        const Outcome outcome = attempt([&] { shell->Connect(); });
        QVERIFY(!outcome.thrown);
        QVERIFY(clock.elapsed() < 10000);
    }

    void sendPipelined_data()
    {
        QTest::addColumn<QList<int>>("pieces");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<int>("answered"); // replies before the first refusal
        QTest::addColumn<QString>("refusal");
        const QStringList tops{"TOP 1 1\r\n", "TOP 2 10\r\n", "TOP 1 0\r\n", "TOP 2 10\r\n"};
        QTest::newRow("whole-replies") << QList<int>{} << tops << 4 << QString();
        QTest::newRow("stream-in-pieces-of-one-byte") << QList<int>{1} << tops << 4 << QString();
        QTest::newRow("stream-in-odd-pieces-across-replies") << QList<int>{3, 17, 2, 40} << tops << 4 << QString();
        QTest::newRow("closing-line-and-next-status-in-one-piece") << QList<int>{200} << tops << 4 << QString();
        QTest::newRow("refusal-mid-batch")
            << QList<int>{5, 9} << QStringList{"TOP 1 1\r\n", "TOP 9 1\r\n", "TOP 2 10\r\n", "TOP 8 1\r\n"} << 1
            << QStringLiteral("There's no message 9.");
    }

    void sendPipelined()
    {
        QFETCH(QList<int>, pieces);
        QFETCH(QStringList, commands);
        QFETCH(int, answered);
        QFETCH(QString, refusal);
        auto shell = makeShell();
        shell->Connect();
        login(*shell);
        // What each command gives on its own.
        QStringList expected;
        for (int i = 0; i < answered; ++i) {
            QString one;
            shell->SendData(commands.at(i), true, one);
            expected << one;
        }
        m_server->clearReceived();
        m_server->setStreamChunks(pieces, 0);

        QStringList results;
        QList<qsizetype> seen;
        const Outcome outcome = attempt([&] {
            shell->SendPipelined(commands, true, results, [&](qsizetype index, const QString &payload) {
                seen << index;
                QCOMPARE(payload, expected.value(index));
            });
        });
        QCOMPARE(outcome.thrown, !refusal.isEmpty());
        QCOMPARE(outcome.description, refusal);
        QCOMPARE(results, expected);
        QCOMPARE(seen.size(), answered);
        QCOMPARE(m_server->maxBurst(), int(commands.size()));
        // Every reply of the batch was read: the next command gets its own answer.
        QString stat;
        shell->SendData(QStringLiteral("STAT\r\n"), false, stat);
        QCOMPARE(stat, QString::fromLatin1(m_server->answerFor("STAT").mid(4).chopped(2)));
    }

private:
    std::unique_ptr<CArriveShell> makeShell(const CancelEventPtr &cancel = {});
    void login(CArriveShell &shell);

    std::unique_ptr<TestHome> m_home;
    LogPtr m_log;
    std::unique_ptr<FakePop3Server> m_server;
};

std::unique_ptr<CArriveShell> TestCArriveShell::makeShell(const CancelEventPtr &cancel)
{
    auto shell = std::make_unique<CArriveShell>();
    shell->Init(m_log, cancel);
    shell->setRemote(m_server->host(), m_server->port());
    shell->setInactivityLimit(10000);
    return shell;
}

void TestCArriveShell::login(CArriveShell &shell)
{
    QString reply;
    shell.SendData(QStringLiteral("USER bob\r\n"), false, reply);
    shell.SendData(QStringLiteral("PASS secret\r\n"), false, reply);
}

QTEST_GUILESS_MAIN(TestCArriveShell)

#include "tst_carriveshell.moc"
