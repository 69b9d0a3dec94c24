// Times one check of a POP3 account holding new messages against a local Dovecot,
// through a relay that delays every byte in each direction, and prints the wall time,
// the commands sent and the round trips the dialogue needed.
#include "DovecotFixture.h"
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <deque>

namespace {

/// Forwards one client connection to the server, holding every chunk back for a fixed
/// one-way delay, and counts command lines and round trips (turns of the client).
/// Thread: the main thread.
class DelayRelay : public QObject
{
public:
    DelayRelay(quint16 upstreamPort, int delayMs) : m_upstreamPort(upstreamPort), m_delayMs(delayMs)
    {
        m_clock.start();
        connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
    }
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    int commands() const { return m_commands; }
    int roundTrips() const { return m_roundTrips; }
    qint64 bytesDown() const { return m_bytesDown; }

private:
    /// One direction: chunks wait in order until their time has come.
    struct Lane {
        QPointer<QTcpSocket> to;
        std::deque<std::pair<qint64, QByteArray>> queue;
        QTimer timer;
        bool closeWhenDrained = false;
    };

    void accept()
    {
        QTcpSocket *client = m_server.nextPendingConnection();
        auto *server = new QTcpSocket(client);
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        server->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto *up = new Lane;
        auto *down = new Lane;
        up->to = server;
        down->to = client;
        for (Lane *lane : {up, down}) {
            lane->timer.setSingleShot(true);
            lane->timer.setTimerType(Qt::PreciseTimer);
            connect(&lane->timer, &QTimer::timeout, this, [this, lane] { release(*lane); });
        }
        connect(client, &QObject::destroyed, this, [up, down] {
            delete up;
            delete down;
        });
        ++m_roundTrips; // the connection and its greeting
        connect(client, &QTcpSocket::readyRead, this, [this, client, up] {
            const QByteArray bytes = client->readAll();
            if (m_lastWasDown) {
                ++m_roundTrips;
                m_lastWasDown = false;
            }
            m_commands += int(bytes.count("\r\n"));
            queue(*up, bytes);
        });
        connect(server, &QTcpSocket::readyRead, this, [this, server, down] {
            const QByteArray bytes = server->readAll();
            m_lastWasDown = true;
            m_bytesDown += bytes.size();
            queue(*down, bytes);
        });
        // A hang-up travels with the same delay, after the bytes sent before it.
        connect(server, &QTcpSocket::disconnected, client, [this, down] {
            down->closeWhenDrained = true;
            if (down->queue.empty() && !down->timer.isActive())
                release(*down);
        });
        connect(client, &QTcpSocket::disconnected, server, [server] { server->disconnectFromHost(); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        server->connectToHost(QHostAddress::LocalHost, m_upstreamPort);
    }

    void queue(Lane &lane, const QByteArray &bytes)
    {
        lane.queue.emplace_back(m_clock.elapsed() + m_delayMs, bytes);
        if (!lane.timer.isActive())
            lane.timer.start(int(qMax<qint64>(0, lane.queue.front().first - m_clock.elapsed())));
    }

    void release(Lane &lane)
    {
        const qint64 now = m_clock.elapsed();
        while (!lane.queue.empty() && lane.queue.front().first <= now) {
            if (lane.to)
                lane.to->write(lane.queue.front().second);
            lane.queue.pop_front();
        }
        if (!lane.queue.empty())
            lane.timer.start(int(lane.queue.front().first - now));
        else if (lane.closeWhenDrained && lane.to)
            lane.to->disconnectFromHost();
    }

    QTcpServer m_server;
    QElapsedTimer m_clock;
    quint16 m_upstreamPort;
    int m_delayMs;
    int m_commands = 0;
    int m_roundTrips = 0;
    qint64 m_bytesDown = 0;
    bool m_lastWasDown = true;
};

QByteArray makeMessage(int n, int sizeKb)
{
    QByteArray m = "Message-ID: <bench-" + QByteArray::number(n) + "@example.org>\r\n"
                 + "From: Bench Sender <bench@example.org>\r\nTo: Bob <bob@example.org>\r\n"
                 + "Date: Sun, 6 Dec 2026 20:00:00 +0000\r\n"
                 + "Subject: Benchmark message " + QByteArray::number(n) + "\r\n\r\n";
    const QByteArray line = "The quick brown fox jumps over the lazy dog; a line of benchmark text.\r\n";
    while (m.size() < sizeKb * 1024)
        m += line;
    return m;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times one POP3 check against a local Dovecot."));
    parser.addHelpOption();
    QCommandLineOption delayOption(QStringLiteral("delay-ms"), QStringLiteral("One-way delay of the relay."),
                                   QStringLiteral("N"), QStringLiteral("10"));
    QCommandLineOption countOption(QStringLiteral("messages"), QStringLiteral("New messages in the mailbox."),
                                   QStringLiteral("N"), QStringLiteral("30"));
    QCommandLineOption sizeOption(QStringLiteral("size-kb"), QStringLiteral("Size of each message."),
                                  QStringLiteral("N"), QStringLiteral("20"));
    parser.addOptions({delayOption, countOption, sizeOption});
    parser.process(app);
    const int delayMs = parser.value(delayOption).toInt();
    const int count = parser.value(countOption).toInt();
    const int sizeKb = parser.value(sizeOption).toInt();

    RegisterTrellisMetaTypes();
    RegisterReceiveWorkers();

    DovecotFixture dovecot;
    QString whyNot;
    if (!dovecot.start(&whyNot)) {
        std::fprintf(stderr, "bench-pop3: Dovecot cannot start: %s\n", qPrintable(whyNot));
        return 2;
    }
    for (int n = 1; n <= count; ++n) {
        if (!dovecot.addMessage(makeMessage(n, sizeKb))) {
            std::fprintf(stderr, "bench-pop3: cannot fill the Maildir\n");
            return 2;
        }
    }
    DelayRelay relay(dovecot.port(), delayMs);
    if (!relay.listen()) {
        std::fprintf(stderr, "bench-pop3: the relay cannot listen\n");
        return 2;
    }

    QTemporaryDir logDir;
    auto log = std::make_shared<Log>();
    log->OpenFiles(logDir.filePath(QStringLiteral("mu.log")), logDir.filePath(QStringLiteral("short.log")));
    Messanger messanger;
    int arrived = 0;
    int endMsg = 0;
    QString error;
    QObject::connect(&messanger, &Messanger::MsgArrived, &app, [&](int msg, const QVariant &data) {
        if (msg == ReceiverMessages::MsgArrived) {
            ++arrived;
            return;
        }
        endMsg = msg;
        if (msg == ReceiverMessages::ErrorOccured)
            error = data.value<DataBag>().Item(QStringLiteral("ErrDescription")).toString();
        app.quit();
    });

    Record account;
    account.setId(QStringLiteral("{BE4C0000-0000-4000-8000-000000000001}"));
    account.Add(QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
    account.Add(QStringLiteral("Port"), relay.port());
    account.Add(QStringLiteral("User"), dovecot.user());
    account.Add(QStringLiteral("Pwd"), dovecot.password());
    DataBag data;
    data.Add(QVariant::fromValue<QObject *>(&messanger), QStringLiteral("Messanger"));
    data.Add(QVariant::fromValue(account), QStringLiteral("Account"));
    data.Add(QVariant::fromValue(DataBag()), QStringLiteral("ReceivedMsgIds"));
    data.Add(QVariant::fromValue(log), QStringLiteral("Log"));
    data.Add(false, QStringLiteral("DontReceiveContent"));

    QElapsedTimer wall;
    wall.start();
    ThreadRunner().Start(QStringLiteral("MUCustom.CReceiver"), QStringLiteral("Run"), data);
    app.exec();
    const qint64 elapsed = wall.elapsed();
    ThreadRunner::WaitForAll(10000);

    std::printf("pop3 check: %d new messages of %d KB, one-way delay %d ms\n", count, sizeKb, delayMs);
    std::printf("  result:       %s\n", endMsg == ReceiverMessages::ReceiveComplete ? "complete" : qPrintable(error));
    std::printf("  downloaded:   %d messages, %lld bytes from the server\n", arrived, relay.bytesDown());
    std::printf("  wall time:    %lld ms\n", elapsed);
    std::printf("  commands:     %d\n", relay.commands());
    std::printf("  round trips:  %d\n", relay.roundTrips());
    return endMsg == ReceiverMessages::ReceiveComplete && arrived == count ? 0 : 1;
}
