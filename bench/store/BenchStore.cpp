// bench-store [COUNT]: stores COUNT (20000) messages one add at a time, lists them,
// soft-deletes a quarter with Remove and reads GetMsgIds for one account; prints each
// figure in operations per second and the peak memory. Works in a fresh temporary home.
#include "storage/AccountManager.h"
#include "storage/Database.h"
#include "storage/MsgManager.h"
#include "trellis/MUError.h"
#include "trellis/Paths.h"
#include "trellis/Record.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <sys/resource.h>

namespace {
/// CPU time of the process (user + system) in nanoseconds: on a shared machine the
/// wall-clock figure also counts the time other processes held the cores.
qint64 cpuNanoseconds()
{
    struct rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec
            + usage.ru_stime.tv_usec) * 1000;
}

qint64 g_cpuStart = 0;

void report(const char *what, qint64 operations, qint64 nanoseconds)
{
    const qint64 cpu = cpuNanoseconds() - g_cpuStart;
    std::printf("%-34s %8lld ops %9.1f ms wall %10.0f ops/s | %9.1f ms cpu %10.0f ops/s\n", what,
                static_cast<long long>(operations), double(nanoseconds) / 1e6, operations / (double(nanoseconds) / 1e9),
                double(cpu) / 1e6, operations / (double(cpu) / 1e9));
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    QTemporaryDir home;
    try {
        Database db(home.path(), Paths::FindShared(Database::templateName()));
        AccountManager accounts;
        accounts.Init(&db);
        MsgManager msgs;
        msgs.Init(&db, nullptr);

        Record account;
        account.Add(QStringLiteral("Server"), QStringLiteral("pop.example.com"));
        account.Add(QStringLiteral("Port"), 995);
        account.Add(QStringLiteral("User"), QStringLiteral("user0"));
        account.Add(QStringLiteral("Pwd"), QStringLiteral("secret"));
        account.Add(QStringLiteral("CheckInterval"), 10);
        account.Add(QStringLiteral("Disabled"), false);
        account.Add(QStringLiteral("Email"), QStringLiteral("user0@example.com"));
        accounts.add(account);

        const QString body = QString(2000, QLatin1Char('b'));
        QElapsedTimer timer;
        timer.start();
        g_cpuStart = cpuNanoseconds();
        for (int i = 0; i < count; ++i) {
            Record msg;
            msg.Add(QStringLiteral("Server"), QStringLiteral("pop.example.com"));
            msg.Add(QStringLiteral("User"), QStringLiteral("user%1").arg(i % 4));
            msg.Add(QStringLiteral("POP3Id"), QStringLiteral("uidl-%1").arg(i));
            msg.Add(QStringLiteral("From"), QStringLiteral("Sender %1 <s%1@example.org>").arg(i));
            msg.Add(QStringLiteral("To"), QStringLiteral("User"));
            msg.Add(QStringLiteral("Date"), QStringLiteral("Sat, 6 Dec 2026 20:15:00 +0000"));
            msg.Add(QStringLiteral("Subject"), QStringLiteral("Message number %1 about the weather").arg(i));
            msg.Add(QStringLiteral("Content"), body);
            if (!msgs.add(msg)) {
                std::fprintf(stderr, "add %d failed\n", i);
                return 1;
            }
        }
        report("add (one transaction each)", count, timer.nsecsElapsed());

        timer.restart();
        g_cpuStart = cpuNanoseconds();
        const DataBag list = msgs.GetMsgs();
        report("GetMsgs (rows read)", list.Count(), timer.nsecsElapsed());

        QStringList ids;
        for (qsizetype i = 1; i <= list.Count() && ids.size() < count / 4; ++i)
            ids << list.Key(i);
        timer.restart();
        g_cpuStart = cpuNanoseconds();
        msgs.Remove(ids);
        report("Remove (ids soft-deleted)", ids.size(), timer.nsecsElapsed());

        timer.restart();
        g_cpuStart = cpuNanoseconds();
        const std::optional<DataBag> received = msgs.GetMsgIds(account.Id());
        if (!received) {
            std::fprintf(stderr, "GetMsgIds failed\n");
            return 1;
        }
        report("GetMsgIds (ids of one account)", received->Count(), timer.nsecsElapsed());

        timer.restart();
        g_cpuStart = cpuNanoseconds();
        const DataBag rest = msgs.GetMsgs();
        report("GetMsgs after Remove (rows read)", rest.Count(), timer.nsecsElapsed());
    } catch (const MUError &error) {
        std::fprintf(stderr, "error %d: %s\n", error.number(), qPrintable(error.description()));
        return 1;
    }
    struct rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory (ru_maxrss)            %ld KiB\n", usage.ru_maxrss);
    return 0;
}
