// bench-list-open [COUNT] [--old]: the desktop program's start with COUNT (100000) stored
// messages. A child run of this program fills a fresh home through MsgManager (so its
// memory is not counted); then the main window is initialised and shown offscreen over
// an engine on that home while a 10 ms timer measures the event loop. Prints the time
// Init takes, the longest stall of the event loop (worst lateness of the timer, Init
// included), the stall of scrolling to the end of the list and of sorting by each column,
// and VmRSS before and after. --old: the database is made as before the list sorted and
// marked what was read, so the engine's Init converts it first (timed).
#include "FMain.h"
#include "MessageListModel.h"
#include "ShellServices.h"

#include "engine/MUScripting.h"
#include "storage/Database.h"
#include "storage/MsgManager.h"
#include "trellis/Log.h"
#include "trellis/Paths.h"
#include "trellis/Record.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {
double rssMiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

int fill(const QString &home, int count, bool old)
{
    Paths::SetHome(home);
    Database db(home, Paths::FindShared(Database::templateName()));
    MsgManager msgs;
    msgs.Init(&db, nullptr);
    db.run(QStringLiteral("PRAGMA synchronous=OFF"), {}, QStringLiteral("bench")).finish();
    const QString body = QString(2000, QLatin1Char('b'));
    static const char *const zones[] = {"+0000", "-0800", "+0530", "+0100"};
    for (int i = 0; i < count; ++i) {
        Record msg;
        msg.Add(QStringLiteral("Server"), QStringLiteral("pop.example.com"));
        msg.Add(QStringLiteral("User"), QStringLiteral("user%1").arg(i % 4));
        msg.Add(QStringLiteral("POP3Id"), QStringLiteral("uidl-%1").arg(i));
        msg.Add(QStringLiteral("From"), QStringLiteral("Sender %1").arg(i));
        msg.Add(QStringLiteral("To"), QStringLiteral("User"));
        msg.Add(QStringLiteral("Date"), QStringLiteral("Sat, %1 Dec 2026 %2:15:00 %3")
                                            .arg(1 + i % 28).arg(i % 24, 2, 10, QLatin1Char('0'))
                                            .arg(QLatin1String(zones[i % 4])));
        msg.Add(QStringLiteral("Subject"), QStringLiteral("Message number %1 about the weather").arg(i));
        msg.Add(QStringLiteral("Content"), QStringLiteral("From: Sender %1 <s%1@example.org>\r\nSubject: x\r\n\r\n").arg(i) + body);
        if (!msgs.add(msg)) {
            std::fprintf(stderr, "add %d failed\n", i);
            return 1;
        }
    }
    if (old) {
        // As a database made before the list sorted and knew what was read.
        for (const char *sql : {"DROP INDEX MsgDateKey", "DROP INDEX MsgFromSort", "DROP INDEX MsgSubjectOrder",
                                "DROP INDEX MsgToSort", "ALTER TABLE Msg DROP COLUMN IsRead",
                                "ALTER TABLE Msg DROP COLUMN DateKey"})
            db.run(QString::fromLatin1(sql), {}, QStringLiteral("bench")).finish();
    }
    return 0;
}

/// Runs the event loop for `ms` and returns the worst lateness of a 10 ms timer in it.
qint64 worstStall(int ms, const std::function<void()> &during = {})
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, worst = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QEventLoop loop;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        const qint64 now = clock.elapsed();
        worst = std::max(worst, now - last - 10);
        last = now;
        if (now >= ms)
            loop.quit();
    });
    tick.start(10);
    if (during)
        QTimer::singleShot(0, &loop, during);
    loop.exec();
    return worst;
}
}

int main(int argc, char **argv)
{
    if (argc > 3 && qstrcmp(argv[1], "--fill") == 0) {
        QCoreApplication app(argc, argv);
        return fill(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]), argc > 4);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("MURMELO_AUDIO", "null");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const bool old = argc > 2 && qstrcmp(argv[2], "--old") == 0;
    QTemporaryDir home;
    QElapsedTimer timer;
    timer.start();
    QStringList fillArgs{QStringLiteral("--fill"), home.path(), QString::number(count)};
    if (old)
        fillArgs << QStringLiteral("old");
    if (QProcess::execute(QCoreApplication::applicationFilePath(), fillArgs) != 0)
        return 1;
    std::printf("filled %d messages in %.1f s\n", count, timer.elapsed() / 1000.0);

    Paths::SetHome(home.path());
    MUScripting engine;
    timer.restart();
    engine.Init(std::make_shared<Log>(), nullptr);
    std::printf("%-40s %8lld ms%s\n", "engine Init", static_cast<long long>(timer.elapsed()),
                old ? " (converting an older database once)" : "");
    const double rssBefore = rssMiB();
    qint64 initMs = 0;
    ShellServices services;
    FMain w(services);
    const qint64 stall = worstStall(1500, [&] {
        QElapsedTimer t;
        t.start();
        w.Init(engine.log(), &engine, nullptr, nullptr);
        w.show();
        initMs = t.elapsed();
    });
    const double rssOpen = rssMiB();
    const qint64 scrollStall = worstStall(1000, [&] {
        QScrollBar *bar = w.messageList()->verticalScrollBar();
        bar->setValue(bar->maximum());
    });
    const int rowsAfterScroll = w.model()->rowCount();
    qint64 sortStall[MessageListModel::ColumnCount] = {};
    for (int column = 0; column < MessageListModel::ColumnCount; ++column) {
        sortStall[column] = worstStall(500, [&w, column] {
            w.messageList()->sortByColumn(column, Qt::DescendingOrder);
        });
    }
    const double rssSorted = rssMiB();
    // Scrolled far down: a page near the end of the store's order.
    QElapsedTimer deep;
    deep.start();
    const int deepRows = int(engine.msgManager()->GetMsgPage(MsgManager::SortKey::Added, true,
                                                              std::max(0, count - MessageListModel::PageSize),
                                                              MessageListModel::PageSize).size());
    const qint64 deepMs = deep.elapsed();
    std::printf("rows %d, %s\n", rowsAfterScroll, qPrintable(w.TotalText()));
    std::printf("%-40s %8lld ms\n", "Init and show", static_cast<long long>(initMs));
    std::printf("%-40s %8lld ms (target 100 ms: %s)\n", "worst event-loop stall at open",
                static_cast<long long>(stall), stall <= 100 ? "met" : "missed");
    std::printf("%-40s %8lld ms\n", "worst stall scrolling to the end", static_cast<long long>(scrollStall));
    std::printf("%-40s %8.1f MiB before the window, %.1f MiB after (+%.1f; target under 100 MiB: %s)\n",
                "VmRSS", rssBefore, rssOpen, rssOpen - rssBefore, rssOpen < 100 ? "met" : "missed");
    for (int column = 0; column < MessageListModel::ColumnCount; ++column)
        std::printf("worst stall sorting by %-17s %8lld ms\n",
                    qPrintable(w.model()->headerData(column, Qt::Horizontal).toString()),
                    static_cast<long long>(sortStall[column]));
    std::printf("%-40s %8.1f MiB\n", "VmRSS after sorting", rssSorted);
    std::printf("%-40s %8lld ms (%d rows)\n", "reading the last page", static_cast<long long>(deepMs), deepRows);
    w.Finalize();
    engine.Finalize();
    return 0;
}
