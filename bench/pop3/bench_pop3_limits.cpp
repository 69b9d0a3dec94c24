// What one hostile or huge mailbox costs a POP3 check: a server that sends one byte a second
// (seconds until the check ends), a message of many megabytes (peak memory, size of the content
// that would be stored) and a UIDL listing of millions of lines (peak memory). The server runs
// on a thread of its own and makes its replies as they are sent, so its own memory stays small
// and the process's peak (VmHWM) is the receiver's.
//
//   bench-pop3-limits dribble [--observe S] [--limit S]
//   bench-pop3-limits message [--mb N] [--count N]   (N messages of that size, pipelined)
//   bench-pop3-limits uidl [--lines N]
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "trellis/CancelEvent.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>

namespace {

/// The process's peak and current resident size in kB (Linux).
qint64 statusKb(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

/// Makes a reply piece by piece: each call gives the next bytes, empty when done.
using Producer = std::function<QByteArray()>;

/// A POP3 server whose long replies are made while they are sent, never held whole.
class StreamingServer : public QObject
{
public:
    QString mode;
    qint64 messageBytes = 0;
    qint64 listingLines = 0;
    qint64 messages = 1;

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }

    StreamingServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection())
                accept(s);
        });
    }

private:
    /// Replies leave strictly in order (the client may pipeline): one producer at a time.
    struct Outbox {
        std::deque<Producer> queue;
    };

    void accept(QTcpSocket *socket)
    {
        auto *pending = new QByteArray;
        auto *outbox = new Outbox;
        m_outboxes.insert(socket, outbox);
        connect(socket, &QObject::destroyed, this, [this, socket, pending, outbox] {
            m_outboxes.remove(socket);
            delete pending;
            delete outbox;
        });
        connect(socket, &QTcpSocket::bytesWritten, socket, [this, socket] { pump(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, pending] {
            pending->append(socket->readAll());
            qsizetype end;
            while ((end = pending->indexOf("\r\n")) >= 0) {
                const QByteArray line = pending->left(end);
                pending->remove(0, end + 2);
                answer(socket, line);
            }
        });
        socket->write("+OK streaming server\r\n");
    }

    void reply(QTcpSocket *socket, const QByteArray &bytes)
    {
        auto done = std::make_shared<bool>(false);
        stream(socket, [bytes, done]() -> QByteArray {
            if (*done)
                return {};
            *done = true;
            return bytes;
        });
    }

    void pump(QTcpSocket *socket)
    {
        Outbox *outbox = m_outboxes.value(socket);
        while (outbox && !outbox->queue.empty() && socket->bytesToWrite() < 1024 * 1024) {
            const QByteArray bytes = outbox->queue.front()();
            if (bytes.isEmpty())
                outbox->queue.pop_front();
            else
                socket->write(bytes);
        }
    }

    void answer(QTcpSocket *socket, const QByteArray &line)
    {
        const QByteArray verb = line.split(' ').value(0).toUpper();
        const QList<QByteArray> args = line.split(' ');
        if (verb == "CAPA") {
            reply(socket, "+OK\r\nTOP\r\nUIDL\r\nUSER\r\nPIPELINING\r\n.\r\n");
        } else if (verb == "USER" || verb == "PASS" || verb == "NOOP") {
            reply(socket, "+OK\r\n");
        } else if (verb == "QUIT") {
            reply(socket, "+OK bye\r\n");
        } else if (verb == "STAT") {
            reply(socket, "+OK " + QByteArray::number(count()) + " 1000\r\n");
        } else if (verb == "UIDL") {
            if (mode == QLatin1String("dribble")) {
                dribble(socket, "+OK\r\n1 dribble-1\r\n2 dribble-2\r\n3 dribble-3\r\n");
                return;
            }
            auto n = std::make_shared<qint64>(0);
            const qint64 total = count();
            stream(socket, [n, total]() -> QByteArray {
                if (*n > total)
                    return {};
                QByteArray out;
                if (*n == 0) {
                    out = "+OK\r\n";
                    ++*n;
                }
                for (int k = 0; k < 4096 && *n <= total; ++k, ++*n)
                    out += QByteArray::number(*n) + " uid-" + QByteArray::number(*n * 7919, 16) + "-x\r\n";
                if (*n > total)
                    out += ".\r\n";
                return out;
            });
        } else if (verb == "TOP") {
            const qint64 number = args.value(1).toLongLong();
            const int lines = args.value(2).toInt();
            sendMessage(socket, number, lines);
        } else {
            reply(socket, "-ERR unknown command\r\n");
        }
    }

    qint64 count() const { return mode == QLatin1String("uidl") ? listingLines : messages; }

    void sendMessage(QTcpSocket *socket, qint64 number, int lines)
    {
        const QByteArray header = "Message-ID: <m" + QByteArray::number(number) + "@bench>\r\nFrom: Bench <b@bench>\r\n"
                                  "Subject: message " + QByteArray::number(number) + "\r\n\r\n";
        if (mode != QLatin1String("message")) {
            reply(socket, "+OK\r\n" + header + "Short body.\r\n.\r\n");
            return;
        }
        // The whole size within TOP's line count: long lines, as single-line HTML makes them.
        const qint64 bodyLines = qMin<qint64>(lines, 9000);
        const qint64 lineBytes = qMax<qint64>(1, messageBytes / 9000);
        QByteArray line(lineBytes, 'x');
        line += "\r\n";
        auto sent = std::make_shared<qint64>(-1);
        stream(socket, [=]() -> QByteArray {
            if (*sent == -1) {
                *sent = 0;
                return "+OK\r\n" + header;
            }
            if (*sent > bodyLines)
                return {};
            if (*sent == bodyLines) {
                ++*sent;
                return ".\r\n";
            }
            ++*sent;
            return line;
        });
    }

    /// Queues a reply made piece by piece as the client reads.
    void stream(QTcpSocket *socket, const Producer &next)
    {
        if (Outbox *outbox = m_outboxes.value(socket))
            outbox->queue.push_back(next);
        pump(socket);
    }

    /// One byte a second, for ever.
    void dribble(QTcpSocket *socket, const QByteArray &start)
    {
        auto *timer = new QTimer(socket);
        auto pos = std::make_shared<qint64>(0);
        connect(timer, &QTimer::timeout, socket, [socket, start, pos] {
            const qint64 i = (*pos)++;
            socket->write(i < start.size() ? start.mid(i, 1) : QByteArray(1, 'z'));
        });
        timer->start(1000);
    }

    QTcpServer m_server{this}; // a child: it moves to the server's thread with it
    QHash<QTcpSocket *, Outbox *> m_outboxes;
};

struct Outcome {
    int endMsg = 0;
    QString error;
    qint64 contentChars = -1;
    int arrived = 0;
    qint64 seconds = 0;
};

}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("mode"), QStringLiteral("dribble, message or uidl"));
    parser.addOption({QStringLiteral("observe"), QStringLiteral("Give up watching after S seconds."), QStringLiteral("S"),
                      QStringLiteral("60")});
    parser.addOption({QStringLiteral("limit"), QStringLiteral("checkTimeLimitSeconds for the run."), QStringLiteral("S")});
    parser.addOption({QStringLiteral("mb"), QStringLiteral("Message size in MB."), QStringLiteral("N"), QStringLiteral("250")});
    parser.addOption({QStringLiteral("count"), QStringLiteral("Number of messages."), QStringLiteral("N"),
                      QStringLiteral("1")});
    parser.addOption({QStringLiteral("lines"), QStringLiteral("UIDL listing lines."), QStringLiteral("N"),
                      QStringLiteral("5000000")});
    parser.addHelpOption();
    parser.process(app);
    const QString mode = parser.positionalArguments().value(0, QStringLiteral("dribble"));

    RegisterTrellisMetaTypes();
    RegisterReceiveWorkers();
    QTemporaryDir home;
    Paths::SetHome(home.path());
    if (parser.isSet(QStringLiteral("limit"))) {
        QFile f(home.filePath(QStringLiteral("services.json")));
        if (f.open(QIODevice::WriteOnly))
            f.write(QJsonDocument(QJsonObject{{QStringLiteral("checkTimeLimitSeconds"),
                                               parser.value(QStringLiteral("limit")).toDouble()}})
                        .toJson());
    }

    QThread serverThread;
    auto *server = new StreamingServer;
    server->mode = mode;
    server->messageBytes = parser.value(QStringLiteral("mb")).toLongLong() * 1024 * 1024;
    server->listingLines = parser.value(QStringLiteral("lines")).toLongLong();
    server->messages = parser.value(QStringLiteral("count")).toLongLong();
    if (!server->listen()) {
        std::fprintf(stderr, "cannot listen\n");
        return 1;
    }
    const quint16 port = server->port();
    server->moveToThread(&serverThread);
    QObject::connect(&serverThread, &QThread::finished, server, &QObject::deleteLater);
    serverThread.start();

    const qint64 baseKb = statusKb("VmRSS:");
    Record account;
    account.setId(QStringLiteral("{B3C4D5E6-0000-4000-8000-00000000BE01}"));
    account.Add(QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
    account.Add(QStringLiteral("Port"), int(port));
    account.Add(QStringLiteral("User"), QStringLiteral("bench"));
    account.Add(QStringLiteral("Pwd"), QStringLiteral("bench"));
    const QString cancelName = account.Id() + QStringLiteral("RC");
    auto cancel = CancelEvent::Create(cancelName);
    cancel->Reset();

    Messanger messanger;
    Outcome out;
    QEventLoop loop;
    QObject::connect(&messanger, &Messanger::MsgArrived, &loop, [&](int msg, const QVariant &data) {
        if (msg == ReceiverMessages::MsgArrived) {
            out.contentChars = data.value<Record>().text(QStringLiteral("Content")).size();
            ++out.arrived;
        } else if (msg == ReceiverMessages::ReceiveComplete || msg == ReceiverMessages::ErrorOccured) {
            out.endMsg = msg;
            if (msg == ReceiverMessages::ErrorOccured)
                out.error = data.value<DataBag>().Item(QStringLiteral("ErrDescription")).toString();
            loop.quit();
        }
    });
    DataBag data;
    data.Add(QVariant::fromValue<QObject *>(&messanger), QStringLiteral("Messanger"));
    data.Add(QVariant::fromValue(account), QStringLiteral("Account"));
    data.Add(QVariant::fromValue(DataBag()), QStringLiteral("ReceivedMsgIds"));
    data.Add(QVariant::fromValue(std::make_shared<Log>()), QStringLiteral("Log"));
    data.Add(false, QStringLiteral("DontReceiveContent"));
    data.Add(cancelName, QStringLiteral("CancelEvent"));

    QElapsedTimer clock;
    clock.start();
    QTimer observe;
    observe.setSingleShot(true);
    bool gaveUp = false;
    QObject::connect(&observe, &QTimer::timeout, &loop, [&] {
        gaveUp = true;
        loop.quit();
    });
    observe.start(int(parser.value(QStringLiteral("observe")).toDouble() * 1000));
    ThreadRunner().Start(QStringLiteral("MUCustom.CReceiver"), QStringLiteral("Run"), data);
    loop.exec();
    out.seconds = clock.elapsed() / 1000;
    if (gaveUp)
        cancel->Signal();
    ThreadRunner::WaitForAll(30000);
    serverThread.quit();
    serverThread.wait();

    std::printf("mode: %s\n", qPrintable(mode));
    if (gaveUp)
        std::printf("check still running after %lld s (observation ended, check cancelled)\n",
                    static_cast<long long>(out.seconds));
    else
        std::printf("check ended after %lld s: %s%s\n", static_cast<long long>(out.seconds),
                    out.endMsg == ReceiverMessages::ReceiveComplete ? "complete" : "error",
                    out.error.isEmpty() ? "" : qPrintable(QStringLiteral(" (") + out.error + QLatin1Char(')')));
    if (out.contentChars >= 0)
        std::printf("messages arrived: %d; content of the last: %lld characters\n", out.arrived,
                    static_cast<long long>(out.contentChars));
    std::printf("resident before the check: %lld kB; peak (VmHWM): %lld kB\n", static_cast<long long>(baseKb),
                static_cast<long long>(statusKb("VmHWM:")));
    return 0;
}
