#include "FakePop3Server.h"
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

/// The fake server itself, spoken to over a plain socket: its answers must be real POP3.
class TestFakePop3Server : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_server = std::make_unique<FakePop3Server>();
        m_server->setCredentials("bob", "secret");
        m_server->addMessage("Subject: one\r\n\r\n.dot line\r\nsecond\r\nthird\r\n");
        m_server->addMessage("Subject: two\nbare lf kept"); // a final CR LF is added
        QVERIFY(m_server->listen());
        m_client = std::make_unique<QTcpSocket>();
        QSignalSpy greeted(m_client.get(), &QTcpSocket::readyRead);
        m_client->connectToHost(QHostAddress::LocalHost, m_server->port());
        QVERIFY(greeted.wait(5000));
        QCOMPARE(m_client->readAll(), QByteArray("+OK Fake POP3 ready\r\n"));
    }

    void cleanup()
    {
        m_client.reset();
        m_server.reset();
    }

    void answers_data()
    {
        QTest::addColumn<QList<QByteArray>>("before");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<bool>("multiLine");
        QTest::addColumn<QByteArray>("reply");

        const QList<QByteArray> login{"USER bob", "PASS secret"};
        QTest::newRow("stat-before-login") << QList<QByteArray>{} << QByteArray("STAT") << false
                                           << QByteArray("-ERR Unknown command: STAT\r\n");
        QTest::newRow("wrong-password") << QList<QByteArray>{"USER bob"} << QByteArray("PASS nope") << false
                                        << QByteArray("-ERR [AUTH] Authentication failed.\r\n");
        QTest::newRow("stat") << login << QByteArray("STAT") << false << QByteArray("+OK 2 69\r\n");
        QTest::newRow("list-one") << login << QByteArray("LIST 2") << false << QByteArray("+OK 2 27\r\n");
        QTest::newRow("list-all") << login << QByteArray("LIST") << true << QByteArray("+OK\r\n1 42\r\n2 27\r\n.\r\n");
        QTest::newRow("top-stuffs-dots") << login << QByteArray("TOP 1 1") << true
                                         << QByteArray("+OK\r\nSubject: one\r\n\r\n..dot line\r\n.\r\n");
        QTest::newRow("top-zero-lines") << login << QByteArray("TOP 1 0") << true
                                        << QByteArray("+OK\r\nSubject: one\r\n\r\n.\r\n");
        QTest::newRow("top-unknown-message") << login << QByteArray("TOP 3 1") << true
                                             << QByteArray("-ERR There's no message 3.\r\n");
        QTest::newRow("retr") << login << QByteArray("RETR 2") << true
                              << QByteArray("+OK 27 octets\r\nSubject: two\nbare lf kept\r\n.\r\n");
        QTest::newRow("capa") << QList<QByteArray>{} << QByteArray("CAPA") << true
                              << QByteArray("+OK\r\nCAPA\r\nTOP\r\nUIDL\r\nUSER\r\n.\r\n");
        QTest::newRow("dele-is-refused") << login << QByteArray("DELE 1") << false
                                         << QByteArray("-ERR Unknown command: DELE\r\n");
    }

    void answers()
    {
        QFETCH(QList<QByteArray>, before);
        QFETCH(QByteArray, command);
        QFETCH(bool, multiLine);
        QFETCH(QByteArray, reply);
        for (const QByteArray &line : before)
            QVERIFY(exchange(line, false).startsWith("+OK"));
        QCOMPARE(exchange(command, multiLine), reply);
    }

    void recordsExactBytes()
    {
        m_server->setAction("NOOP", FakePop3Server::Action::Error, "not now");
        QCOMPARE(exchange("NOOP", false), QByteArray("-ERR not now\r\n"));
        QCOMPARE(exchange("USER  spaced ", false), QByteArray("+OK\r\n"));
        QCOMPARE(m_server->received(), (QList<QByteArray>{"NOOP\r\n", "USER  spaced \r\n"}));
        QCOMPARE(m_server->countOf("user"), 1);
    }

private:
    /// Sends `line` and reads until `done` says the reply is whole.
    QByteArray exchange(const QByteArray &line, bool multiLine);

    std::unique_ptr<FakePop3Server> m_server;
    std::unique_ptr<QTcpSocket> m_client;
};

QByteArray TestFakePop3Server::exchange(const QByteArray &line, bool multiLine)
{
    m_client->write(line + "\r\n");
    QByteArray reply;
    auto whole = [&] {
        if (!reply.endsWith("\r\n"))
            return false;
        if (!multiLine || reply.startsWith("-"))
            return true;
        return reply.endsWith("\r\n.\r\n");
    };
    while (!whole()) {
        QSignalSpy more(m_client.get(), &QTcpSocket::readyRead);
        if (m_client->bytesAvailable() == 0 && !more.wait(5000))
            break;
        reply += m_client->readAll();
    }
    return reply;
}

QTEST_GUILESS_MAIN(TestFakePop3Server)

#include "tst_fakepop3server.moc"
