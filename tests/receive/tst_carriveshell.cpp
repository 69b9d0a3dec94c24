#include "FakePop3Server.h"
#include "TestHome.h"
#include "receive/CArriveShell.h"
#include "receive/SocketErrorNumbers.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include <QElapsedTimer>
#include <QTest>

using Action = FakePop3Server::Action;
Q_DECLARE_METATYPE(FakePop3Server::Action)

namespace {
const QByteArray kDotted = "From: a@example.org\r\nSubject: dots\r\n\r\n.leading dot\r\nmiddle\r\n..two dots\r\n.\r\n"
                           "x.\r\nend\r\n";

/// Every byte but CR and LF once, in a message body.
QByteArray everyByte()
{
    QByteArray raw = "From: x@example.org\r\nSubject: bytes\r\n\r\n";
    for (int c = 1; c < 256; ++c)
        if (c != '\r' && c != '\n')
            raw.append(char(c));
    return raw + "\r\n";
}

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
/// the shell's nested event loop also runs the server. The reply framing itself (and cutting
/// long replies) is tst_pop3replyframer's; here the shell feeds it, maps refusals and bounds
/// the waits. Long messages and time limits are asserted through tst_creceiver's receiver.
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
        m_server->addMessage(everyByte());
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
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QByteArray>("actionText");
        QTest::addColumn<QString>("result");
        QTest::addColumn<qint32>("number");
        QTest::addColumn<QString>("description"); // compared for 525
        // The refusals with a text, and cut streams, are tst_creceiver's dialogues.
        QTest::newRow("every-byte-one-character") << QByteArray("TOP 3 5") << Action::Answer << QByteArray()
                                                  << QString::fromLatin1(everyByte().chopped(2)) << 0 << QString();
        QTest::newRow("err-without-text-to-pass") << QByteArray("PASS wrong") << Action::Error << QByteArray() << QString()
                                                  << MUError::engineNumber(525) << QStringLiteral("Invalid password");
        QTest::newRow("err-to-quit-is-no-error") << QByteArray("QUIT") << Action::Error << QByteArray("busy") << QString()
                                                 << 0 << QString();
        QTest::newRow("hang-up-on-quit-is-no-error") << QByteArray("QUIT") << Action::DropMidReply << QByteArray()
                                                     << QString() << 0 << QString();
        QTest::newRow("received-from-instead-of-status")
            << QByteArray("TOP 1 0") << Action::Raw << QByteArray("Received: from relay\r\nSubject: raw\r\n\r\n.\r\n")
            << QStringLiteral("Received: from relay\r\nSubject: raw\r\n") << 0 << QString();
        QTest::newRow("drop-mid-reply") << QByteArray("TOP 2 10") << Action::DropMidReply << QByteArray() << QString()
                                        << qint32(SocketErrorNumbers::ConnectionReset) << QString();
    }

    void sendData()
    {
        QFETCH(QByteArray, command);
        QFETCH(Action, action);
        QFETCH(QByteArray, actionText);
        QFETCH(QString, result);
        QFETCH(qint32, number);
        QFETCH(QString, description);
        m_server->setAction(command, action, actionText);
        auto shell = makeShell();
        shell->Connect();
        QString reply;
        if (command.startsWith("PASS"))
            shell->SendData(QStringLiteral("USER bob\r\n"), false, reply);
        else
            login(*shell);

        reply = QStringLiteral("stale");
        const bool multiLine = command.startsWith("TOP");
        const Outcome outcome = attempt([&] { shell->SendData(QString::fromLatin1(command + "\r\n"), multiLine, reply); });
        QCOMPARE(outcome.number, number);
        QCOMPARE(outcome.thrown, number != 0);
        if (number == MUError::engineNumber(525))
            QCOMPARE(outcome.description, description);
        QCOMPARE(reply, number ? QString() : result);
        QCOMPARE(m_server->received().last(), command + "\r\n");
    }

    void connectFailures_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<qint32>("number");
        QTest::addColumn<QString>("description");
        auto waited = [](int id) { return MessageTable::Text(id).replace(QLatin1String("%1"), QLatin1String("0.3")); };
        // Only a connection that was never made is "Cannot connect".
        QTest::newRow("connection-never-made") << "unconnectable" << MUError::engineNumber(519) << waited(519);
        QTest::newRow("connected-but-never-greets") << "never-greets" << MUError::engineNumber(532) << waited(532);
        QTest::newRow("greets-then-goes-silent") << "silent" << MUError::engineNumber(533) << waited(533);
        QTest::newRow("negative-greeting") << "refuses" << MUError::engineNumber(525) << "too many connections";
    }

    void connectFailures()
    {
        QFETCH(QString, situation);
        QFETCH(qint32, number);
        QFETCH(QString, description);
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
        if (situation == QLatin1String("refuses"))
            m_server->setGreeting("-ERR too many connections");
        shell->setInactivityLimit(300);
        QElapsedTimer clock;
        clock.start();
        QString reply;
        const Outcome outcome = attempt([&] {
            shell->Connect();
            shell->SendData(QStringLiteral("USER bob\r\n"), false, reply);
        });
        QCOMPARE(outcome.number, number);
        QCOMPARE(outcome.description, description);
        if (number != MUError::engineNumber(525))
            QVERIFY(clock.elapsed() >= 250); // a coarse timer may fire a little early
        QVERIFY(reply.isEmpty());
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
        QVERIFY(!attempt([&] { shell->Connect(); }).thrown);
        QVERIFY(clock.elapsed() < 10000);
    }

    /// A refusal mid-batch, the stream cut across replies: the replies before it are given,
    /// every later one is read. (Whole replies, and other cuts, are tst_creceiver's dialogues.)
    void sendPipelinedRefusedMidBatch()
    {
        const QStringList commands{"TOP 1 1\r\n", "TOP 9 1\r\n", "TOP 2 10\r\n", "TOP 8 1\r\n"};
        auto shell = makeShell();
        shell->Connect();
        login(*shell);
        QString first;
        shell->SendData(commands.first(), true, first);
        m_server->clearReceived();
        m_server->setStreamChunks({5, 9}, 0);

        QStringList results;
        QList<qsizetype> seen;
        const Outcome outcome = attempt([&] {
            shell->SendPipelined(commands, true, results, [&](qsizetype index, const QString &payload) {
                seen << index;
                QCOMPARE(payload, first);
            });
        });
        QVERIFY(outcome.thrown);
        QCOMPARE(outcome.description, QStringLiteral("There's no message 9."));
        QCOMPARE(results, QStringList{first});
        QCOMPARE(seen, QList<qsizetype>{0});
        QCOMPARE(m_server->maxBurst(), int(commands.size()));
        // Every reply of the batch was read: the next command gets its own answer.
        QString stat;
        shell->SendData(QStringLiteral("STAT\r\n"), false, stat);
        QVERIFY2(stat.startsWith(QLatin1String("3 ")), qPrintable(stat));
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
