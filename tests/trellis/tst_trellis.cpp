#include "trellis/CancelEvent.h"
#include "trellis/DataBag.h"
#include "trellis/Log.h"
#include "trellis/MUError.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include "trellis/Utility.h"
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <thread>

class TstTrellis : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { RegisterTrellisMetaTypes(); }

    void formatText_data()
    {
        QTest::addColumn<QString>("templ");
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<QString>("expected");
        QTest::newRow("two-placeholders") << "Server '%1' user '%2'" << QStringList{"pop", "ann"} << "Server 'pop' user 'ann'";
        QTest::newRow("tenth-not-first-then-zero") << "%10-%1" << QStringList{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"} << "j-a";
        QTest::newRow("missing-value-stays") << "%1 and %3" << QStringList{"x"} << "x and %3";
        QTest::newRow("value-with-placeholder-not-expanded") << "%1%2" << QStringList{"%2", "y"} << "%2y";
        QTest::newRow("percent-alone") << "100% sure %1" << QStringList{"!"} << "100% sure !";
    }
    void formatText()
    {
        QFETCH(QString, templ);
        QFETCH(QStringList, values);
        QFETCH(QString, expected);
        QCOMPARE(Utility::FormatText(templ, values), expected);
    }

    void dataBag()
    {
        DataBag bag;
        QVERIFY(bag.Add(1, "a"));
        QVERIFY(bag.Add(2, "b"));
        QVERIFY(bag.Add(3));            // no key
        QVERIFY(!bag.Add(9, "a"));      // existing key fails, bag unchanged
        QCOMPARE(bag.Count(), 3);
        QCOMPARE(bag.Item(1).toInt(), 1);
        QCOMPARE(bag.Item("b").toInt(), 2);
        QVERIFY(!bag.Item(0).isValid());
        QVERIFY(!bag.Item(4).isValid());
        QVERIFY(bag.Remove(1));
        QCOMPARE(bag.Item("b").toInt(), 2);   // index rebuilt after removal
        QCOMPARE(bag.Item(1).toInt(), 2);
        QVERIFY(!bag.Exists("a"));
        QVERIFY(bag.Add(4, "a"));             // key free again
        QCOMPARE(bag.keys(), (QList<QString>{"b", "", "a"}));
        DataBag copy = bag;
        copy.Add(5, "z");
        QVERIFY(!bag.Exists("z"));            // copies are independent
    }

    void recordKeepsOrderOnReplace()
    {
        Record r;
        r.Add("Server", "pop");
        r.Add("Port", 110);
        r.Add("Server", "pop2");
        QCOMPARE(r.names(), (QList<QString>{"Server", "Port"}));
        QCOMPARE(r.text("Server"), QString("pop2"));
        QVERIFY(!r.Item("User").isValid());
    }

    void messangerDeliversOnOwnerThreadInOrder()
    {
        Messanger m;
        QList<int> got;
        QList<QThread *> threads;
        connect(&m, &Messanger::MsgArrived, this, [&](int msg, const QVariant &) {
            QCOMPARE(QThread::currentThread(), thread());
            got << msg;
        });
        std::thread poster([&] {
            for (int i = 0; i < 200; ++i)
                m.Post(i, QVariant::fromValue(Record()));
        });
        poster.join();
        QTRY_COMPARE(got.size(), 200);
        for (int i = 0; i < 200; ++i)
            QCOMPARE(got.at(i), i);
    }

    void cancelEventByName()
    {
        auto a = CancelEvent::Create("acc1RC");
        auto b = CancelEvent::Open("acc1RC");
        QVERIFY(a && b && a == b);
        QVERIFY(!CancelEvent::Open("nobodyRC"));
        QVERIFY(!a->IsSignalled());
        std::thread t([b] { QThread::msleep(20); b->Signal(); });
        QVERIFY(a->Wait(5000));                // woken by another thread, not by the time limit
        t.join();
        a->Reset();
        QVERIFY(!a->IsSignalled());
        QVERIFY(!a->Wait(10));
        a.reset();
        b.reset();
        QVERIFY(!CancelEvent::Open("acc1RC"));  // last handle closed: the name is free
        auto c = CancelEvent::Create("acc1RC");
        QVERIFY(!c->IsSignalled());
    }

    void cancelWatcherWakesEventLoop()
    {
        auto ev = CancelEvent::Create("watchTC");
        CancelWatcher watcher(ev);
        QSignalSpy spy(&watcher, &CancelWatcher::signalled);
        std::thread t([ev] { QThread::msleep(30); ev->Signal(); });
        QVERIFY(spy.wait(5000));
        t.join();
        CancelWatcher late(ev);   // already signalled: reports it once, asynchronously
        QSignalSpy spy2(&late, &CancelWatcher::signalled);
        QVERIFY(spy2.wait(5000));
        QCOMPARE(spy2.count(), 1);
    }

    // That a worker runs on a thread of its own every receiver suite relies on (their fake
    // servers answer on the test's thread).
    void unknownWorkerIsRefused()
    {
        QVERIFY_THROWS_EXCEPTION(MUError, ThreadRunner().Start("Test.Unknown", "Run", DataBag()));
    }

    void logWritesWholeLinesAndErrorsToShortLog()
    {
        QTemporaryDir dir;
        Log log;
        QVERIFY(log.OpenFiles(dir.filePath("mu.log"), dir.filePath("short.log")));
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([&log, t] {
                for (int i = 0; i < 100; ++i)
                    log.Write(t == 0 ? 42 : 0, QString("line %1 of %2\nwith break").arg(i).arg(t), t == 0 ? 4 : 5, "Test.Log");
            });
        for (auto &w : writers)
            w.join();
        QFile longFile(dir.filePath("mu.log")), shortFile(dir.filePath("short.log"));
        QVERIFY(longFile.open(QIODevice::ReadOnly) && shortFile.open(QIODevice::ReadOnly));
        const auto longLines = longFile.readAll().split('\n');
        const auto shortLines = shortFile.readAll().split('\n');
        QCOMPARE(longLines.size(), 401);   // 400 lines and the empty rest after the last newline
        QCOMPARE(shortLines.size(), 101);
        for (const QByteArray &l : shortLines.mid(0, 100))
            QVERIFY2(l.contains(" L4 42 Test.Log line "), l.constData());
        QCOMPARE(QFile::permissions(dir.filePath("mu.log")) & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
    }
};

QTEST_MAIN(TstTrellis)
#include "tst_trellis.moc"
