// Times the POP3 check of an account holding new messages against a local Dovecot, through
// a relay that delays every byte in each direction, and prints the wall time, the commands
// sent and the round trips the dialogue needed: the former algorithm (a STAT and a walk per
// new message) beside the current one, with PIPELINING offered and hidden by the relay; then
// the cost of one poll of a large mailbox in which nothing is new. Each new check is run
// several times and its median run reported. Then one line per target of the 25 ms
// configurations (figure, target, met or not), and one summary per configuration, the
// 25 ms one with PIPELINING last.
#include "DovecotFixture.h"
#include "LegacyPop3Check.h"
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <algorithm>
#include <deque>
#include <utility>

namespace {

/// Forwards one client connection to the server, holding every chunk back for a fixed
/// one-way delay, and counts command lines and round trips: the client's turns, each time it
/// sends after the server has spoken. The connection and its greeting are not one of them (on
/// the wire they cost the handshake and one one-way delay).
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
    /// Removes PIPELINING from the server's CAPA listing, as a server without it would answer.
    void setHidePipelining(bool on) { m_hidePipelining = on; }
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
        connect(client, &QTcpSocket::readyRead, this, [this, client, up] {
            const QByteArray bytes = client->readAll();
            if (m_lastWasDown) {
                ++m_roundTrips;
                m_lastWasDown = false;
            }
            m_commands += int(bytes.count("\r\n"));
            if (m_hidePipelining && (bytes.startsWith("CAPA\r\n") || bytes.contains("\nCAPA\r\n")))
                m_capaPending = true;
            queue(*up, bytes);
        });
        connect(server, &QTcpSocket::readyRead, this, [this, server, down] {
            QByteArray bytes = server->readAll();
            m_lastWasDown = true;
            m_bytesDown += bytes.size();
            if (m_capaPending) {
                m_capaBuffer += bytes;
                if (!filterCapa())
                    return; // the listing is not complete yet
                bytes = std::exchange(m_capaBuffer, QByteArray());
            }
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

    /// Once the CAPA reply is complete in m_capaBuffer: drops its PIPELINING line. False while incomplete.
    bool filterCapa()
    {
        qsizetype end = -1;
        if (m_capaBuffer.startsWith('-'))
            end = m_capaBuffer.indexOf("\r\n") + 2;
        else if (const qsizetype dot = m_capaBuffer.indexOf("\r\n.\r\n"); dot >= 0)
            end = dot + 5;
        if (end < 2)
            return false;
        QList<QByteArray> lines = m_capaBuffer.left(end).split('\n');
        QByteArray reply;
        for (const QByteArray &line : lines) {
            if (line.trimmed().toUpper() != "PIPELINING")
                reply += line + '\n';
        }
        reply.chop(1); // split() left one empty piece after the last LF
        m_capaBuffer = reply + m_capaBuffer.mid(end);
        m_capaPending = false;
        return true;
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
    bool m_hidePipelining = false;
    bool m_capaPending = false;
    QByteArray m_capaBuffer;
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

/// What one check cost.
struct Outcome {
    bool complete = false;
    int arrived = 0;
    qint64 wallMs = 0;
    int commands = 0;
    int roundTrips = 0;
    qint64 bytesDown = 0;
    QString error;
    QVariantMap seenUidls;
};

/// Runs one check of `dovecot`'s mailbox through a fresh relay and waits for its end.
Outcome runCheck(const QString &progId, const DovecotFixture &dovecot, int delayMs, bool hidePipelining,
                 const DataBag &received, const QVariantMap &knownUidls, const LogPtr &log)
{
    Outcome out;
    DelayRelay relay(dovecot.port(), delayMs);
    relay.setHidePipelining(hidePipelining);
    if (!relay.listen()) {
        out.error = QStringLiteral("the relay cannot listen");
        return out;
    }
    Messanger messanger;
    QEventLoop loop;
    QObject::connect(&messanger, &Messanger::MsgArrived, &loop, [&](int msg, const QVariant &data) {
        if (msg == ReceiverMessages::MsgArrived) {
            ++out.arrived;
            return;
        }
        if (msg == ReceiverMessages::UidlsSeen) {
            out.seenUidls.insert(data.value<DataBag>().Item(QStringLiteral("Uidls")).toMap());
            return;
        }
        out.complete = msg == ReceiverMessages::ReceiveComplete;
        if (msg == ReceiverMessages::ErrorOccured)
            out.error = data.value<DataBag>().Item(QStringLiteral("ErrDescription")).toString();
        loop.quit();
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
    data.Add(QVariant::fromValue(received), QStringLiteral("ReceivedMsgIds"));
    data.Add(QVariant::fromValue(log), QStringLiteral("Log"));
    data.Add(false, QStringLiteral("DontReceiveContent"));
    data.Add(knownUidls, QStringLiteral("KnownUidls"));

    QElapsedTimer wall;
    wall.start();
    ThreadRunner().Start(progId, QStringLiteral("Run"), data);
    loop.exec();
    out.wallMs = wall.elapsed();
    ThreadRunner::WaitForAll(10000);
    out.commands = relay.commands();
    out.roundTrips = relay.roundTrips();
    out.bytesDown = relay.bytesDown();
    return out;
}

const QString kLegacy = QStringLiteral("Bench.LegacyPop3Check");
const QString kCurrent = QStringLiteral("MUCustom.CReceiver");

void printRow(int delayMs, const char *pipelining, const char *algorithm, const Outcome &o)
{
    std::printf("%8d  %-10s  %-9s  %8lld  %8d  %11d  %10lld  %s\n", delayMs, pipelining, algorithm, o.wallMs, o.commands,
                o.roundTrips, o.bytesDown,
                o.complete ? qPrintable(QStringLiteral("%1 arrived").arg(o.arrived)) : qPrintable(o.error));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times POP3 checks against a local Dovecot, old and new algorithm."));
    parser.addHelpOption();
    QCommandLineOption delaysOption(QStringLiteral("delays-ms"), QStringLiteral("One-way delays of the relay, comma-separated."),
                                    QStringLiteral("LIST"), QStringLiteral("0,10,25"));
    QCommandLineOption countOption(QStringLiteral("messages"), QStringLiteral("New messages in the mailbox."),
                                   QStringLiteral("N"), QStringLiteral("30"));
    QCommandLineOption sizeOption(QStringLiteral("size-kb"), QStringLiteral("Size of each message."),
                                  QStringLiteral("N"), QStringLiteral("20"));
    QCommandLineOption knownOption(QStringLiteral("known"), QStringLiteral("Messages of the mailbox polled with nothing new."),
                                   QStringLiteral("N"), QStringLiteral("1000"));
    QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Runs of each new check; the median is reported."),
                                  QStringLiteral("N"), QStringLiteral("3"));
    parser.addOptions({delaysOption, countOption, sizeOption, knownOption, runsOption});
    parser.process(app);
    QList<int> delays;
    for (const QString &d : parser.value(delaysOption).split(QLatin1Char(','), Qt::SkipEmptyParts))
        delays << d.trimmed().toInt();
    std::sort(delays.begin(), delays.end());
    const int count = parser.value(countOption).toInt();
    const int sizeKb = parser.value(sizeOption).toInt();
    const int knownCount = parser.value(knownOption).toInt();
    const int runs = qMax(1, parser.value(runsOption).toInt());

    RegisterTrellisMetaTypes();
    RegisterReceiveWorkers();
    LegacyPop3Check::Register();

    DovecotFixture fresh;
    DovecotFixture large;
    QString whyNot;
    if (!fresh.start(&whyNot) || !large.start(&whyNot)) {
        std::fprintf(stderr, "bench-pop3: Dovecot cannot start: %s\n", qPrintable(whyNot));
        return 2;
    }
    for (int n = 1; n <= count; ++n) {
        if (!fresh.addMessage(makeMessage(n, sizeKb))) {
            std::fprintf(stderr, "bench-pop3: cannot fill the Maildir\n");
            return 2;
        }
    }
    DataBag allKnown;
    for (int n = 1; n <= knownCount; ++n) {
        if (!large.addMessage(makeMessage(n, 1))) {
            std::fprintf(stderr, "bench-pop3: cannot fill the Maildir\n");
            return 2;
        }
        const QString id = QStringLiteral("<bench-%1@example.org>").arg(n);
        allKnown.Add(id, id);
    }

    QTemporaryDir logDir;
    auto log = std::make_shared<Log>();
    log->OpenFiles(logDir.filePath(QStringLiteral("mu.log")), logDir.filePath(QStringLiteral("short.log")));
    bool allRight = true;
    auto check = [&](const Outcome &o, int expected) {
        if (!o.complete || o.arrived != expected)
            allRight = false;
    };

    std::printf("pop3 check: %d new messages of %d KB, Dovecot through a relay delaying each direction\n", count, sizeKb);
    std::printf("(the old algorithm never asks CAPA: PIPELINING offered or hidden is the same run for it)\n");
    std::printf("(round trips: the client's turns, each time it sends after the server has spoken; the\n"
                " connection and its greeting are not one)\n");
    std::printf("%8s  %-10s  %-9s  %8s  %8s  %11s  %10s  %s\n", "delay_ms", "pipelining", "algorithm", "wall_ms",
                "commands", "round_trips", "bytes_down", "result");
    struct Summary {
        int delayMs;
        bool pipelining;
        Outcome old, current;
    };
    QList<Summary> summaries;
    for (int delayMs : std::as_const(delays)) {
        const Outcome old = runCheck(kLegacy, fresh, delayMs, false, {}, {}, log);
        check(old, count);
        printRow(delayMs, "-", "old", old);
        for (bool pipelining : {false, true}) {
            QList<Outcome> tries;
            for (int r = 0; r < runs; ++r) {
                tries.append(runCheck(kCurrent, fresh, delayMs, !pipelining, {}, {}, log));
                check(tries.last(), count);
            }
            std::sort(tries.begin(), tries.end(), [](const Outcome &a, const Outcome &b) { return a.wallMs < b.wallMs; });
            const Outcome current = tries.at(tries.size() / 2);
            printRow(delayMs, pipelining ? "yes" : "no", "new", current);
            summaries.append({delayMs, pipelining, old, current});
        }
    }

    // A large mailbox in which nothing is new: one poll primes the unique-ids, the next is measured.
    const int pollDelay = delays.isEmpty() ? 25 : delays.last();
    std::printf("\npoll of a mailbox of %d known messages, nothing new, one-way delay %d ms\n", knownCount, pollDelay);
    std::printf("%-10s  %-9s  %8s  %8s  %11s\n", "pipelining", "algorithm", "wall_ms", "commands", "round_trips");
    const Outcome oldPoll = runCheck(kLegacy, large, pollDelay, false, allKnown, {}, log);
    check(oldPoll, 0);
    std::printf("%-10s  %-9s  %8lld  %8d  %11d\n", "-", "old", oldPoll.wallMs, oldPoll.commands, oldPoll.roundTrips);
    const Outcome prime = runCheck(kCurrent, large, 0, false, allKnown, {}, log);
    check(prime, 0);
    std::printf("%-10s  %-9s  %8lld  %8d  %11d  (first poll: learns %lld unique-ids)\n", "yes", "new", prime.wallMs,
                prime.commands, prime.roundTrips, qint64(prime.seenUidls.size()));
    Outcome pollYes;
    for (bool pipelining : {false, true}) {
        const Outcome poll = runCheck(kCurrent, large, pollDelay, !pipelining, allKnown, prime.seenUidls, log);
        check(poll, 0);
        std::printf("%-10s  %-9s  %8lld  %8d  %11d\n", pipelining ? "yes" : "no", "new", poll.wallMs, poll.commands,
                    poll.roundTrips);
        if (pipelining)
            pollYes = poll;
    }

    // The targets of the 25 ms configurations: what the peers reach on the same relay.
    constexpr int targetDelayMs = 25;
    constexpr qint64 wallTargetMs = 1900;
    auto verdict = [](bool met) { return met ? "met" : "not met"; };
    std::printf("\ntargets (one-way delay %d ms, median of %d runs): figure, target, met or not\n", targetDelayMs, runs);
    bool measured = false;
    for (const Summary &s : std::as_const(summaries)) {
        if (s.delayMs != targetDelayMs)
            continue;
        measured = true;
        const Outcome &o = s.current;
        if (s.pipelining) {
            std::printf("  %d new messages with PIPELINING, round trips: %d, target <= 4: %s\n", count, o.roundTrips,
                        verdict(o.complete && o.roundTrips <= 4));
        } else {
            std::printf("  %d new messages without PIPELINING, round trips: %d, target <= n + 5 = %d: %s\n", count,
                        o.roundTrips, count + 5, verdict(o.complete && o.roundTrips <= count + 5));
            // The round trips alone take this long on the relay: the floor of any wall time.
            std::printf("  %d new messages without PIPELINING, wall time: %lld ms (its %d round trips alone: %d ms), "
                        "target < %lld ms: %s\n",
                        count, o.wallMs, o.roundTrips, o.roundTrips * 2 * targetDelayMs, wallTargetMs,
                        verdict(o.complete && o.wallMs < wallTargetMs));
        }
    }
    if (!measured)
        std::printf("  not measured: add %d to --delays-ms\n", targetDelayMs);
    std::printf("  poll of %d known with nothing new, commands: %d, target <= 6: %s\n", knownCount, pollYes.commands,
                verdict(pollYes.commands <= 6));
    std::printf("  poll of %d known with nothing new, round trips with PIPELINING: %d, target <= 4: %s\n", knownCount,
                pollYes.roundTrips, verdict(pollYes.roundTrips <= 4));

    std::printf("\n");
    for (const Summary &s : std::as_const(summaries)) {
        const double ratio = s.current.wallMs > 0 ? double(s.old.wallMs) / double(s.current.wallMs) : 0.0;
        std::printf("delay_ms=%d pipelining=%s old_round_trips=%d new_round_trips=%d old_wall_ms=%lld new_wall_ms=%lld "
                    "ratio=%.1f\n",
                    s.delayMs, s.pipelining ? "yes" : "no", s.old.roundTrips, s.current.roundTrips, s.old.wallMs,
                    s.current.wallMs, ratio);
    }
    return allRight ? 0 : 1;
}
