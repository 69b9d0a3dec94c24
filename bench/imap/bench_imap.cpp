// IMAP figures against a local Dovecot, through a relay that delays each direction:
//  (a) push latency: for an account in IDLE, the time from Dovecot's EXISTS (as the relay
//      forwards it) to MsgArrived, and from delivery into the Maildir to MsgArrived, median and
//      worst of N deliveries; beside it one POP3 check's duration through the same relay (a
//      poll every minute adds on average half a minute of waiting to that);
//  (b) the dialogue of a first check of a large mailbox and of a check with nothing new:
//      commands, round trips (the client's turns after the server has spoken; the connection
//      and greeting are not one) and bytes received;
//  (c) with --watch-seconds S: CPU time and wake-ups (context switches of all its threads) of
//      `murmelo-cli watch` with 10 IDLE accounts and no mail, measured after the first checks.
#include "DovecotFixture.h"
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "trellis/CancelEvent.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <unistd.h>

namespace {

/// Forwards each client connection to the server, holding every chunk back for a fixed
/// one-way delay; counts command lines, round trips and bytes down, and notes when the
/// server's last EXISTS passed through. Thread: the main thread.
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
    void reset()
    {
        m_commands = 0;
        m_roundTrips = 0;
        m_bytesDown = 0;
        m_lastWasDown = true;
    }
    /// Nanoseconds of the shared clock when an EXISTS was last forwarded to the client.
    qint64 existsAt() const { return m_existsAt; }
    const QElapsedTimer &clock() const { return m_clock; }

private:
    struct Lane
    {
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
            if (lane.to) {
                if (lane.queue.front().second.contains(" EXISTS\r\n"))
                    m_existsAt = m_clock.nsecsElapsed();
                lane.to->write(lane.queue.front().second);
            }
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
    qint64 m_existsAt = 0;
    bool m_lastWasDown = true;
};

QByteArray makeMessage(int n, int sizeKb)
{
    QByteArray m = "Message-ID: <bench-imap-" + QByteArray::number(n) + "@example.org>\r\n"
                 + "From: Bench Sender <bench@example.org>\r\nTo: Bob <bob@example.org>\r\n"
                 + "Date: Sun, 6 Dec 2026 20:00:00 +0000\r\n"
                 + "Subject: Benchmark message " + QByteArray::number(n) + "\r\n\r\n";
    const QByteArray line = "The quick brown fox jumps over the lazy dog; a line of benchmark text.\r\n";
    while (m.size() < sizeKb * 1024)
        m += line;
    return m;
}

Record account(const DovecotFixture &dovecot, quint16 port, const QString &protocol)
{
    Record a;
    a.setId(QStringLiteral("{BE4C0000-0000-4000-8000-00000000000%1}").arg(protocol == QLatin1String("IMAP") ? 2 : 3));
    a.Add(QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
    a.Add(QStringLiteral("Port"), port);
    a.Add(QStringLiteral("User"), dovecot.user());
    a.Add(QStringLiteral("Pwd"), dovecot.password());
    a.Add(QStringLiteral("Security"), QStringLiteral("None"));
    a.Add(QStringLiteral("Protocol"), protocol);
    return a;
}

DataBag bag(Messanger &messanger, const Record &a, const LogPtr &log, const QVariantMap &state = {})
{
    DataBag data;
    data.Add(QVariant::fromValue<QObject *>(&messanger), QStringLiteral("Messanger"));
    data.Add(QVariant::fromValue(a), QStringLiteral("Account"));
    data.Add(QVariant::fromValue(DataBag()), QStringLiteral("ReceivedMsgIds"));
    data.Add(QVariant::fromValue(log), QStringLiteral("Log"));
    data.Add(false, QStringLiteral("DontReceiveContent"));
    data.Add(state, QStringLiteral("ImapState"));
    return data;
}

struct Check
{
    bool complete = false;
    int arrived = 0;
    QVariantMap state;
    qint64 wallMs = 0;
    QString error;
};

Check runCheck(const QString &progId, const DataBag &data)
{
    Check out;
    Messanger *messanger = qobject_cast<Messanger *>(data.Item(QStringLiteral("Messanger")).value<QObject *>());
    QEventLoop loop;
    QObject guard;
    QObject::connect(messanger, &Messanger::MsgArrived, &guard, [&](int msg, const QVariant &v) {
        if (msg == ReceiverMessages::MsgArrived) {
            ++out.arrived;
        } else if (msg == ReceiverMessages::ImapStateSeen) {
            const DataBag b = v.value<DataBag>();
            out.state = {{QStringLiteral("UidValidity"), b.Item(QStringLiteral("UidValidity"))},
                         {QStringLiteral("HighestUid"), b.Item(QStringLiteral("HighestUid"))}};
        } else if (msg == ReceiverMessages::ReceiveComplete || msg == ReceiverMessages::ErrorOccured) {
            out.complete = msg == ReceiverMessages::ReceiveComplete;
            if (!out.complete)
                out.error = v.value<DataBag>().Item(QStringLiteral("ErrDescription")).toString();
            loop.quit();
        }
    });
    QElapsedTimer wall;
    wall.start();
    ThreadRunner().Start(progId, QStringLiteral("Run"), data);
    loop.exec();
    out.wallMs = wall.elapsed();
    ThreadRunner::WaitForAll(10000);
    return out;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : (v.size() % 2 ? v.at(v.size() / 2) : (v.at(v.size() / 2 - 1) + v.at(v.size() / 2)) / 2);
}

/// utime + stime (clock ticks) and context switches of every thread of `pid`.
std::pair<qint64, qint64> usage(qint64 pid)
{
    qint64 ticks = 0;
    qint64 switches = 0;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        ticks = fields.value(11).toLongLong() + fields.value(12).toLongLong();
    }
    const QStringList tasks = QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &t : tasks) {
        QFile status(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(t));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches") || line.startsWith("nonvoluntary_ctxt_switches"))
                switches += line.split(':').value(1).trimmed().toLongLong();
        }
    }
    return {ticks, switches};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("IMAP push latency, dialogue cost and idle cost against Dovecot."));
    parser.addHelpOption();
    QCommandLineOption delayOption(QStringLiteral("delay-ms"), QStringLiteral("One-way delay of the relay."),
                                   QStringLiteral("MS"), QStringLiteral("25"));
    QCommandLineOption deliveriesOption(QStringLiteral("deliveries"), QStringLiteral("Deliveries timed while idling."),
                                        QStringLiteral("N"), QStringLiteral("20"));
    QCommandLineOption largeOption(QStringLiteral("large"), QStringLiteral("Messages of the large mailbox."),
                                   QStringLiteral("N"), QStringLiteral("1000"));
    QCommandLineOption watchOption(QStringLiteral("watch-seconds"),
                                   QStringLiteral("Measure murmelo-cli watch with 10 IDLE accounts this long (0: skip)."),
                                   QStringLiteral("S"), QStringLiteral("0"));
    QCommandLineOption cliOption(QStringLiteral("cli"), QStringLiteral("The murmelo-cli to measure."),
                                 QStringLiteral("PATH"), QCoreApplication::applicationDirPath() + QStringLiteral("/murmelo-cli"));
    parser.addOptions({delayOption, deliveriesOption, largeOption, watchOption, cliOption});
    parser.process(app);
    const int delayMs = parser.value(delayOption).toInt();
    const int deliveries = parser.value(deliveriesOption).toInt();
    const int largeCount = parser.value(largeOption).toInt();
    const int watchSeconds = parser.value(watchOption).toInt();

    RegisterTrellisMetaTypes();
    RegisterReceiveWorkers();
    QTemporaryDir logDir;
    auto log = std::make_shared<Log>();
    log->OpenFiles(logDir.filePath(QStringLiteral("mu.log")), logDir.filePath(QStringLiteral("short.log")));

    DovecotFixture dovecot;
    dovecot.enableImap();
    QString whyNot;
    if (!dovecot.start(&whyNot)) {
        std::fprintf(stderr, "bench-imap: Dovecot cannot start: %s\n", qPrintable(whyNot));
        return 2;
    }
    bool allRight = true;

    // (b) the dialogue of a first check of a large mailbox, then of a check with nothing new.
    for (int n = 1; n <= largeCount; ++n)
        dovecot.addMessage(makeMessage(n, 2));
    {
        DelayRelay relay(dovecot.imapPort(), delayMs);
        relay.listen();
        Messanger messanger;
        const Record a = account(dovecot, relay.port(), QStringLiteral("IMAP"));
        const Check first = runCheck(QStringLiteral("MUCustom.CImapReceiver"), bag(messanger, a, log));
        std::printf("imap dialogue through a relay delaying each direction by %d ms\n", delayMs);
        std::printf("(round trips: the client's turns after the server has spoken; the login is the first)\n");
        std::printf("%-26s  %8s  %8s  %11s  %10s  %s\n", "check", "wall_ms", "commands", "round_trips", "bytes_down",
                    "result");
        std::printf("%-26s  %8lld  %8d  %11d  %10lld  %s\n", qPrintable(QStringLiteral("first, %1 messages").arg(largeCount)),
                    first.wallMs, relay.commands(), relay.roundTrips(), relay.bytesDown(),
                    first.complete ? qPrintable(QStringLiteral("%1 arrived").arg(first.arrived)) : qPrintable(first.error));
        allRight = allRight && first.complete && first.arrived == qMin(largeCount, 30);
        relay.reset();
        const Check again = runCheck(QStringLiteral("MUCustom.CImapReceiver"), bag(messanger, a, log, first.state));
        std::printf("%-26s  %8lld  %8d  %11d  %10lld  %s\n", "nothing new", again.wallMs, relay.commands(),
                    relay.roundTrips(), relay.bytesDown(),
                    again.complete ? qPrintable(QStringLiteral("%1 arrived").arg(again.arrived)) : qPrintable(again.error));
        allRight = allRight && again.complete && again.arrived == 0;
    }

    // (a) push latency.
    {
        DelayRelay relay(dovecot.imapPort(), delayMs);
        relay.listen();
        Messanger messanger;
        const Record a = account(dovecot, relay.port(), QStringLiteral("IMAP"));
        const CancelEventPtr cancel = CancelEvent::Create(QStringLiteral("bench-imap-push"));
        cancel->Reset();
        DataBag data = bag(messanger, a, log);
        data.Add(true, QStringLiteral("Push"));
        data.Add(cancel->name(), QStringLiteral("CancelEvent"));
        QEventLoop loop;
        bool idle = false;
        qint64 arrivedAt = 0;
        QObject guard;
        QObject::connect(&messanger, &Messanger::MsgArrived, &guard, [&](int msg, const QVariant &v) {
            if (msg == ReceiverMessages::PushMode) {
                idle = v.toBool();
                loop.quit();
            } else if (msg == ReceiverMessages::MsgArrived && idle) {
                arrivedAt = relay.clock().nsecsElapsed();
                loop.quit();
            }
        });
        ThreadRunner().Start(QStringLiteral("MUCustom.CImapReceiver"), QStringLiteral("Run"), data);
        loop.exec();
        QList<double> fromExists;
        QList<double> fromDelivery;
        for (int k = 0; idle && k < deliveries; ++k) {
            // Let the client settle in IDLE first.
            QTimer::singleShot(300, &loop, &QEventLoop::quit);
            loop.exec();
            arrivedAt = 0;
            const qint64 delivered = relay.clock().nsecsElapsed();
            dovecot.addMessage(makeMessage(largeCount + 1 + k, 2));
            QTimer limit;
            limit.setSingleShot(true);
            QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
            limit.start(10000);
            while (arrivedAt == 0 && limit.isActive())
                loop.exec();
            if (arrivedAt == 0) {
                allRight = false;
                break;
            }
            fromExists << (arrivedAt - relay.existsAt()) / 1e6;
            fromDelivery << (arrivedAt - delivered) / 1e6;
        }
        cancel->Signal();
        ThreadRunner::WaitForAll(5000);
        std::printf("\nimap push, %d deliveries, relay %d ms each way (one round trip = %d ms)\n", int(fromExists.size()),
                    delayMs, 2 * delayMs);
        std::printf("%-32s  %9s  %9s\n", "interval", "median_ms", "worst_ms");
        std::printf("%-32s  %9.1f  %9.1f\n", "EXISTS forwarded -> MsgArrived", median(fromExists),
                    fromExists.isEmpty() ? 0.0 : *std::max_element(fromExists.begin(), fromExists.end()));
        std::printf("%-32s  %9.1f  %9.1f\n", "delivery -> MsgArrived", median(fromDelivery),
                    fromDelivery.isEmpty() ? 0.0 : *std::max_element(fromDelivery.begin(), fromDelivery.end()));
        allRight = allRight && idle && fromExists.size() == deliveries;
    }

    // For comparison: one POP3 check of a mailbox with one new message, through the same relay.
    {
        DelayRelay relay(dovecot.port(), delayMs);
        relay.listen();
        Messanger messanger;
        const Record a = account(dovecot, relay.port(), QStringLiteral("POP3"));
        DataBag data = bag(messanger, a, log);
        DataBag known;
        for (int n = 1; n < largeCount + deliveries; ++n) {
            const QString id = QStringLiteral("<bench-imap-%1@example.org>").arg(n);
            known.Add(id, id);
        }
        data.Add(QVariant::fromValue(known), QStringLiteral("ReceivedMsgIds"));
        const Check pop = runCheck(QStringLiteral("MUCustom.CReceiver"), data);
        std::printf("%-32s  %9lld  %9s  (a poll every minute waits 30 000 ms on average, 60 000 at worst, before it)\n",
                    "pop3 check of one new message", pop.wallMs, "");
    }

    // (c) murmelo-cli watch with 10 IDLE accounts and no mail.
    if (watchSeconds > 0) {
        QTemporaryDir home;
        const QString cli = parser.value(cliOption);
        for (int k = 0; k < 10; ++k) {
            QProcess add;
            add.start(cli, {QStringLiteral("--home"), home.path(), QStringLiteral("accounts"), QStringLiteral("add"),
                            QStringLiteral("--server"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                            QString::number(dovecot.imapPort()), QStringLiteral("--security"), QStringLiteral("none"),
                            QStringLiteral("--protocol"), QStringLiteral("imap"), QStringLiteral("--user"), dovecot.user(),
                            QStringLiteral("--password"), dovecot.password()});
            add.waitForFinished(30000);
        }
        QProcess watch;
        watch.start(cli, {QStringLiteral("--home"), home.path(), QStringLiteral("watch")});
        QByteArray out;
        QEventLoop loop;
        QObject::connect(&watch, &QProcess::readyReadStandardOutput, &loop, [&] {
            out += watch.readAllStandardOutput();
            if (out.count(" push") >= 10)
                loop.quit();
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
        const qint64 pid = watch.processId();
        const auto before = usage(pid);
        QTimer::singleShot(watchSeconds * 1000, &loop, &QEventLoop::quit);
        loop.exec();
        const auto after = usage(pid);
        watch.terminate();
        watch.waitForFinished(10000);
        const double cpu = double(after.first - before.first) / double(::sysconf(_SC_CLK_TCK));
        std::printf("\nmurmelo-cli watch, 10 IDLE accounts (%d pushed), no mail, %d s after the first checks\n",
                    int(out.count(" push")), watchSeconds);
        std::printf("cpu_s %.2f  wakeups %lld  (Dovecot's default \"still here\" every 2 minutes per connection wakes it)\n",
                    cpu, after.second - before.second);
        allRight = allRight && out.count(" push") >= 10;
    }
    return allRight ? 0 : 1;
}
