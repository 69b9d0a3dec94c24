// Helper process of the storage tests.
//   storage-child fill DIR TEMPLATE   adds messages for ever, printing each stored count
//   storage-child open DIR TEMPLATE [UID]
//                                     opens the database (as UID when given); prints
//                                     "opened" or "error NUMBER DESCRIPTION"
//   storage-child convert DIR TEMPLATE BATCH
//                                     opens the database and converts older message texts,
//                                     BATCH rows a transaction, printing "PHASE DONE TOTAL"
//                                     after each step and "converted" at the end
#include "storage/Database.h"
#include "storage/MsgManager.h"
#include "trellis/MUError.h"
#include "trellis/Record.h"
#include <QCoreApplication>
#include <cstdio>
#include <unistd.h>

namespace {
int fill(const QString &dir, const QString &templ)
{
    Database db(dir, templ);
    MsgManager msgs;
    msgs.Init(&db, nullptr);
    // A large body makes each commit span several pages, so a kill lands inside writes.
    const QString body = QString(40000, QLatin1Char('x'));
    for (qint64 n = 1;; ++n) {
        const QString values[] = {QStringLiteral("pop.example.com"), QStringLiteral("ann"),
                                  QStringLiteral("uid-%1-%2").arg(getpid()).arg(n), QStringLiteral("Sender %1").arg(n),
                                  QStringLiteral("Ann"), QStringLiteral("Sat, 6 Dec 2026 20:00:00 +0000"),
                                  QStringLiteral("Subject %1").arg(n), body + QString::number(n)};
        Record msg;
        int i = 0;
        for (const char *name : {"Server", "User", "POP3Id", "From", "To", "Date", "Subject", "Content"})
            msg.Add(QLatin1String(name), values[i++]);
        if (!msgs.add(msg)) {
            std::fprintf(stderr, "add failed at %lld\n", n);
            return 1;
        }
        std::printf("%lld\n", n);
        std::fflush(stdout);
    }
}

int convert(const QString &dir, const QString &templ, int batch)
{
    try {
        Database db(dir, templ);
        MsgManager::SetConversionProgress([](const QString &phase, qint64 done, qint64 total) {
            std::printf("%s %lld %lld\n", qPrintable(phase), static_cast<long long>(done), static_cast<long long>(total));
            std::fflush(stdout);
        });
        MsgManager msgs;
        msgs.Init(&db, nullptr, batch);
        std::printf("converted\n");
        return 0;
    } catch (const MUError &error) {
        std::printf("error %d %s\n", error.number(), qPrintable(error.description()));
        return 3;
    }
}

int open(const QString &dir, const QString &templ, const QString &uid)
{
    if (!uid.isEmpty()) {
        const uid_t id = uid.toUInt();
        if (setgid(id) != 0 || setuid(id) != 0) {
            std::perror("setuid");
            return 2;
        }
    }
    try {
        Database db(dir, templ);
        std::printf("opened\n");
        return 0;
    } catch (const MUError &error) {
        std::printf("error %d %s\n", error.number(), qPrintable(error.description()));
        return 3;
    }
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 4 && args.at(1) == QLatin1String("fill"))
        return fill(args.at(2), args.at(3));
    if (args.size() >= 5 && args.at(1) == QLatin1String("convert"))
        return convert(args.at(2), args.at(3), args.at(4).toInt());
    if (args.size() >= 4 && args.at(1) == QLatin1String("open"))
        return open(args.at(2), args.at(3), args.value(4));
    std::fprintf(stderr, "usage: storage-child fill|open|convert DIR TEMPLATE [UID|BATCH]\n");
    return 64;
}
