#include "FakePop3Server.h"
#include "receive/CReceiver.h"
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "receive/SocketErrorNumbers.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include <QTemporaryDir>
#include <QTest>

using Action = FakePop3Server::Action;

namespace {
const QString kAccountId = QStringLiteral("{6F1C2A4B-0000-4000-8000-00000000A001}");

QByteArray mail(int n, const QByteArray &extraHeaders = {})
{
    return "Return-Path: <sender" + QByteArray::number(n) + "@example.org>\r\n"
         + "Message-ID: <msg" + QByteArray::number(n) + "@example.org>\r\n"
         + "From: \"Sender " + QByteArray::number(n) + "\" <sender" + QByteArray::number(n) + "@example.org>\r\n"
         + "To: Bob <bob@example.org>\r\n"
         + "Date: Sun, 6 Dec 2026 20:" + QByteArray::number(10 + n % 50) + ":00 +0000\r\n"
         + "Subject: Message " + QByteArray::number(n) + "\r\n" + extraHeaders + "\r\n"
         + "Hello number " + QByteArray::number(n) + ".\r\n..a stuffed line\r\nBye.\r\n";
}

QString idOf(int n)
{
    return QStringLiteral("<msg%1@example.org>").arg(n);
}
}

/// The POP3 receiver on a worker thread against the fake server on the test's thread.
class TestCReceiver : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void emptyMailbox();
    void threeNewMessagesInServerOrder();
    void newestWindowFindsMessage41();
    void headersOnlyWhenContentIsNotWanted();
    void messageWithoutMessageIdUsesFallbacks();
    void headerWithoutAnyIdFailsWith529();
    void wrongPassword();
    void unknownHostGives515();
    void connectionRefused();
    void silentServerTimesOut();
    void cancelBeforeLogin();
    void cancelDuringTheLoop();
    void passwordNeverLogged();

private:
    void run(const DataBag &known = {}, bool dontReceiveContent = false);
    Record account(const QString &server, int port) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    LogPtr m_log;
    std::unique_ptr<FakePop3Server> m_server;
    std::unique_ptr<Messanger> m_messanger;
    Record m_account;
    QString m_cancelName;
    int m_limitMs = 10000;
    // What the receiver posted.
    QList<Record> m_arrived;
    QList<int> m_order;
    int m_endMsg = 0;
    QVariant m_endData;
};

void TestCReceiver::initTestCase()
{
    RegisterTrellisMetaTypes();
    RegisterReceiveWorkers();
    QVERIFY(ThreadRunner::IsRegistered(QStringLiteral("MUCustom.CReceiver")));
}

void TestCReceiver::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_log = std::make_shared<Log>();
    QVERIFY(m_log->OpenFiles(m_dir->filePath(QStringLiteral("mu.log")), m_dir->filePath(QStringLiteral("short.log"))));
    m_server = std::make_unique<FakePop3Server>();
    m_server->setCredentials("bob", "secret");
    QVERIFY(m_server->listen());
    m_account = account(m_server->host(), m_server->port());
    m_cancelName.clear();
    m_limitMs = 10000;
    m_arrived.clear();
    m_order.clear();
    m_endMsg = 0;
    m_endData = QVariant();
    m_messanger = std::make_unique<Messanger>();
    connect(m_messanger.get(), &Messanger::MsgArrived, this, [this](int msg, const QVariant &data) {
        m_order.append(msg);
        if (msg == ReceiverMessages::MsgArrived) {
            m_arrived.append(data.value<Record>());
        } else {
            m_endMsg = msg;
            m_endData = data;
        }
    });
}

void TestCReceiver::cleanup()
{
    QVERIFY(ThreadRunner::WaitForAll(20000));
    m_messanger.reset();
    m_server.reset();
    m_log.reset();
    m_dir.reset();
}

Record TestCReceiver::account(const QString &server, int port) const
{
    Record a;
    a.setId(kAccountId);
    a.Add(QStringLiteral("Server"), server);
    a.Add(QStringLiteral("Port"), port);
    a.Add(QStringLiteral("User"), QStringLiteral("bob"));
    a.Add(QStringLiteral("Pwd"), QStringLiteral("secret"));
    return a;
}

void TestCReceiver::run(const DataBag &known, bool dontReceiveContent)
{
    DataBag data;
    data.Add(QVariant::fromValue<QObject *>(m_messanger.get()), QStringLiteral("Messanger"));
    data.Add(QVariant::fromValue(m_account), QStringLiteral("Account"));
    data.Add(QVariant::fromValue(known), QStringLiteral("ReceivedMsgIds"));
    data.Add(QVariant::fromValue(m_log), QStringLiteral("Log"));
    data.Add(dontReceiveContent, QStringLiteral("DontReceiveContent"));
    if (!m_cancelName.isEmpty())
        data.Add(m_cancelName, QStringLiteral("CancelEvent"));
    data.Add(m_limitMs, QStringLiteral("InactivityLimitMs"));
    ThreadRunner runner;
    runner.Start(QStringLiteral("MUCustom.CReceiver"), QStringLiteral("Run"), data);
    QTRY_VERIFY_WITH_TIMEOUT(m_endMsg != 0, 30000);
    QVERIFY(ThreadRunner::WaitForAll(20000));
    QCoreApplication::processEvents(); // nothing may follow the last message
    QCOMPARE(m_order.last(), m_endMsg);
}

void TestCReceiver::emptyMailbox()
{
    run();
    QCOMPARE(m_endMsg, ReceiverMessages::ReceiveComplete);
    QCOMPARE(m_endData.toString(), kAccountId);
    QVERIFY(m_arrived.isEmpty());
    QCOMPARE(m_server->commands(), (QList<QByteArray>{"USER bob", "PASS secret", "STAT", "QUIT"}));
}

void TestCReceiver::threeNewMessagesInServerOrder()
{
    for (int n = 1; n <= 3; ++n)
        m_server->addMessage(mail(n));
    run();
    QCOMPARE(m_endMsg, ReceiverMessages::ReceiveComplete);
    QCOMPARE(m_order, (QList<int>{1, 1, 1, 2}));
    QCOMPARE(m_server->commands(),
             (QList<QByteArray>{"USER bob", "PASS secret",
                                "STAT", "TOP 1 1", "TOP 1 10000",
                                "STAT", "TOP 1 1", "TOP 2 1", "TOP 2 10000",
                                "STAT", "TOP 1 1", "TOP 2 1", "TOP 3 1", "TOP 3 10000",
                                "STAT", "TOP 1 1", "TOP 2 1", "TOP 3 1", "QUIT"}));
    for (int n = 1; n <= 3; ++n) {
        const Record &msg = m_arrived.at(n - 1);
        QCOMPARE(msg.names(), (QList<QString>{"Server", "User", "POP3Id", "From", "To", "Date", "Subject", "Content"}));
        QCOMPARE(msg.text(QStringLiteral("Server")), QStringLiteral("127.0.0.1"));
        QCOMPARE(msg.text(QStringLiteral("User")), QStringLiteral("bob"));
        QCOMPARE(msg.text(QStringLiteral("POP3Id")), idOf(n));
        QCOMPARE(msg.text(QStringLiteral("From")), QStringLiteral("Sender %1").arg(n));
        QCOMPARE(msg.text(QStringLiteral("To")), QStringLiteral("Bob"));
        QCOMPARE(msg.text(QStringLiteral("Subject")), QStringLiteral("Message %1").arg(n));
        QVERIFY(msg.text(QStringLiteral("Date")).startsWith(QLatin1String("Sun, 6 Dec 2026")));
        // The content is the message byte for byte, stuffing undone, without the final line end.
        QCOMPARE(msg.text(QStringLiteral("Content")).toLatin1(), mail(n).chopped(2));
    }
}

void TestCReceiver::newestWindowFindsMessage41()
{
    DataBag known;
    for (int n = 1; n <= 41; ++n) {
        m_server->addMessage(mail(n));
        if (n <= 40)
            known.Add(idOf(n), idOf(n));
    }
    run(known);
    QCOMPARE(m_endMsg, ReceiverMessages::ReceiveComplete);
    QCOMPARE(m_arrived.size(), 1);
    QCOMPARE(m_arrived.first().text(QStringLiteral("POP3Id")), idOf(41));
    const QList<QByteArray> commands = m_server->commands();
    QVERIFY(commands.contains("TOP 41 10000"));
    QCOMPARE(m_server->countOf("TOP"), 2 * 30 + 1);
    // The newest 30 are walked oldest first.
    QCOMPARE(commands.at(3), QByteArray("TOP 12 1"));
    QVERIFY(!commands.contains("TOP 11 1"));
    QCOMPARE(commands.last(), QByteArray("QUIT"));
}

void TestCReceiver::headersOnlyWhenContentIsNotWanted()
{
    m_server->addMessage(mail(1));
    m_server->addMessage(mail(2));
    run({}, true);
    QCOMPARE(m_endMsg, ReceiverMessages::ReceiveComplete);
    QCOMPARE(m_arrived.size(), 2);
    for (const QByteArray &line : m_server->commands())
        QVERIFY2(!line.endsWith(" 10000"), line.constData());
    QCOMPARE(m_arrived.at(1).names(), (QList<QString>{"Server", "User", "POP3Id", "From", "To", "Date", "Subject"}));
    QCOMPARE(m_arrived.at(1).text(QStringLiteral("Subject")), QStringLiteral("Message 2"));
}

void TestCReceiver::messageWithoutMessageIdUsesFallbacks()
{
    m_server->addMessage("Date: Mon, 7 Dec 2026 08:00:00 +0000\r\nFrom: Dated <d@example.org>\r\nSubject: dated\r\n\r\nx\r\n");
    m_server->addMessage("Received: from relay.example.org by mx\r\nFrom: R <r@example.org>\r\n\r\ny\r\n");
    m_server->addMessage("From: Only From <f@example.org>\r\nSubject: bare\r\n\r\nz\r\n");
    run();
    QCOMPARE(m_endMsg, ReceiverMessages::ReceiveComplete);
    QCOMPARE(m_arrived.size(), 3);
    QCOMPARE(m_arrived.at(0).text(QStringLiteral("POP3Id")), QStringLiteral("Mon, 7 Dec 2026 08:00:00 +0000"));
    QCOMPARE(m_arrived.at(1).text(QStringLiteral("POP3Id")), QStringLiteral("from relay.example.org by mx"));
    QCOMPARE(m_arrived.at(2).text(QStringLiteral("POP3Id")), QStringLiteral("Only From"));

    // A second check that knows these ids fetches nothing.
    DataBag known;
    for (const Record &r : std::as_const(m_arrived))
        known.Add(r.text(QStringLiteral("POP3Id")), r.text(QStringLiteral("POP3Id")));
    m_arrived.clear();
    m_order.clear();
    m_endMsg = 0;
    m_server->clearReceived();
    run(known);
    QCOMPARE(m_endMsg, ReceiverMessages::ReceiveComplete);
    QVERIFY(m_arrived.isEmpty());
    QCOMPARE(m_server->countOf("TOP"), 3);
}

void TestCReceiver::headerWithoutAnyIdFailsWith529()
{
    m_server->addMessage("Subject: nothing to know it by\r\n\r\nbody\r\n");
    run();
    QCOMPARE(m_endMsg, ReceiverMessages::ErrorOccured);
    const DataBag bag = m_endData.value<DataBag>();
    QCOMPARE(bag.Item(QStringLiteral("ErrNumber")).toInt(), MUError::engineNumber(529));
    QCOMPARE(bag.Item(QStringLiteral("ErrDescription")).toString(),
             MessageTable::Text(520).replace(QLatin1String("%1"), QLatin1String("127.0.0.1")) + MessageTable::Text(529));
    QCOMPARE(bag.Item(QStringLiteral("AccountId")).toString(), kAccountId);
    QCOMPARE(bag.Item(QStringLiteral("ErrSource")).toString(), QStringLiteral("CReceiver.GetFirstUnreceivedNumber"));
    QCOMPARE(m_server->commands(),
             (QList<QByteArray>{"USER bob", "PASS secret", "STAT", "TOP 1 1", "TOP 1 100", "QUIT"}));
}

void TestCReceiver::wrongPassword()
{
    m_account.Add(QStringLiteral("Pwd"), QStringLiteral("wrong"));
    run();
    QCOMPARE(m_endMsg, ReceiverMessages::ErrorOccured);
    const DataBag bag = m_endData.value<DataBag>();
    QCOMPARE(bag.Item(QStringLiteral("ErrNumber")).toInt(), MUError::engineNumber(525));
    QCOMPARE(bag.Item(QStringLiteral("ErrDescription")).toString(),
             QStringLiteral("Cannot get new messages from e-mail server '127.0.0.1'. [AUTH] Authentication failed."));
    QCOMPARE(m_server->commands(), (QList<QByteArray>{"USER bob", "PASS wrong", "QUIT"}));
}

void TestCReceiver::unknownHostGives515()
{
    m_account = account(QStringLiteral("no-such-host.invalid"), 110);
    run();
    QCOMPARE(m_endMsg, ReceiverMessages::ErrorOccured);
    const DataBag bag = m_endData.value<DataBag>();
    QCOMPARE(bag.Item(QStringLiteral("ErrNumber")).toInt(), MUError::engineNumber(515));
    QCOMPARE(bag.Item(QStringLiteral("ErrDescription")).toString(),
             QStringLiteral("E-mail server 'no-such-host.invalid' is not accessible. "));
}

void TestCReceiver::connectionRefused()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    m_account = account(QStringLiteral("127.0.0.1"), port);
    run();
    QCOMPARE(m_endMsg, ReceiverMessages::ErrorOccured);
    const DataBag bag = m_endData.value<DataBag>();
    QCOMPARE(bag.Item(QStringLiteral("ErrNumber")).toInt(), SocketErrorNumbers::ConnectionRefused);
    const QString description = bag.Item(QStringLiteral("ErrDescription")).toString();
    QVERIFY2(description.startsWith(QLatin1String("Cannot get new messages from e-mail server '127.0.0.1'. "))
                 && description.size() > 60,
             qPrintable(description));
}

void TestCReceiver::silentServerTimesOut()
{
    m_server->setSilentAfterGreeting(true);
    m_limitMs = 300;
    run();
    QCOMPARE(m_endMsg, ReceiverMessages::ErrorOccured);
    const DataBag bag = m_endData.value<DataBag>();
    QCOMPARE(bag.Item(QStringLiteral("ErrNumber")).toInt(), MUError::engineNumber(519));
    QCOMPARE(m_server->commands(), (QList<QByteArray>{"USER bob", "QUIT"}));
}

void TestCReceiver::cancelBeforeLogin()
{
    m_cancelName = kAccountId + QStringLiteral("RC1");
    auto cancel = CancelEvent::Create(m_cancelName);
    cancel->Reset();
    m_server->addMessage(mail(1));
    m_server->setAction("USER", Action::Silent);
    connect(m_server.get(), &FakePop3Server::commandReceived, this, [cancel](const QByteArray &line) {
        if (line.startsWith("USER"))
            cancel->Signal();
    });
    m_limitMs = 60000;
    run();
    QCOMPARE(m_endMsg, ReceiverMessages::ErrorOccured);
    const DataBag bag = m_endData.value<DataBag>();
    QCOMPARE(bag.Item(QStringLiteral("ErrNumber")).toInt(), MUError::Fail);
    QVERIFY(bag.Item(QStringLiteral("ErrDescription")).toString().endsWith(QLatin1String("Cancelled. ")));
    QVERIFY(m_arrived.isEmpty());
    QTRY_COMPARE(m_server->commands(), (QList<QByteArray>{"USER bob", "QUIT"}));
}

void TestCReceiver::cancelDuringTheLoop()
{
    m_cancelName = kAccountId + QStringLiteral("RC2");
    auto cancel = CancelEvent::Create(m_cancelName);
    cancel->Reset();
    for (int n = 1; n <= 3; ++n)
        m_server->addMessage(mail(n));
    m_server->setAction("TOP 2 10000", Action::Silent);
    connect(m_server.get(), &FakePop3Server::commandReceived, this, [cancel](const QByteArray &line) {
        if (line == "TOP 2 10000")
            cancel->Signal();
    });
    m_limitMs = 60000;
    run();
    QCOMPARE(m_endMsg, ReceiverMessages::ReceiveComplete);
    QCOMPARE(m_endData.toString(), kAccountId);
    QCOMPARE(m_arrived.size(), 1);
    QCOMPARE(m_arrived.first().text(QStringLiteral("POP3Id")), idOf(1));
    QTRY_COMPARE(m_server->commands().last(), QByteArray("QUIT"));
    QCOMPARE(m_server->countOf("QUIT"), 1);
}

void TestCReceiver::passwordNeverLogged()
{
    m_server->addMessage(mail(1));
    run();
    m_account.Add(QStringLiteral("Pwd"), QStringLiteral("secret-but-wrong"));
    m_endMsg = 0;
    run();
    QFile longLog(m_log->longLogPath());
    QVERIFY(longLog.open(QIODevice::ReadOnly));
    const QByteArray text = longLog.readAll();
    QVERIFY(text.contains("PASS ****"));
    QVERIFY(text.contains("Start Check account '127.0.0.1'/'bob', fDontReceiveContent=False"));
    QVERIFY(text.contains("QUIT Result = "));
    QVERIFY(!text.contains("PASS secret"));
    QVERIFY(!text.contains("secret"));
}

QTEST_GUILESS_MAIN(TestCReceiver)
#include "tst_creceiver.moc"
