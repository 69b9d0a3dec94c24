// The engine's checks of a POP3 account remember the unique-ids they examined, so that a
// later check in which nothing is new sends only the commands it cannot do without.
#include "FakePop3Server.h"
#include "engine/MUScripting.h"
#include "receive/ReceiverManager.h"
#include "storage/MsgManager.h"
#include "trellis/Paths.h"
#include "trellis/ThreadRunner.h"
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
QByteArray mail(int n)
{
    return "Message-ID: <note" + QByteArray::number(n) + "@example.org>\r\nFrom: Bob <bob@example.org>\r\n"
         + "Date: Sun, 6 Dec 2026 09:00:00 +0000\r\nSubject: Note " + QByteArray::number(n) + "\r\n\r\nText "
         + QByteArray::number(n) + "\r\n";
}
}

class TestUidlCheck : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { MUScripting::ResetUsageReportDone(); }
    void cleanup() { QVERIFY(ThreadRunner::WaitForAll(10000)); }
    void laterChecksSkipKnownUniqueIds_data();
    void laterChecksSkipKnownUniqueIds();
};

void TestUidlCheck::laterChecksSkipKnownUniqueIds_data()
{
    QTest::addColumn<bool>("pipelining");
    QTest::newRow("one-at-a-time") << false;
    QTest::newRow("pipelined") << true;
}

void TestUidlCheck::laterChecksSkipKnownUniqueIds()
{
    QFETCH(bool, pipelining);
    FakePop3Server pop;
    QVERIFY(pop.listen());
    pop.setCredentials("ann", "pw");
    if (pipelining)
        pop.setCapabilities({"TOP", "UIDL", "USER", "PIPELINING"});
    for (int n = 1; n <= 40; ++n)
        pop.addMessage(mail(n));

    QTemporaryDir home;
    Paths::SetHome(home.path());
    auto log = std::make_shared<Log>();
    QVERIFY(log->OpenFiles(home.filePath("mu.log"), home.filePath("short.log")));
    {
        MUScripting e;
        e.Init(log, nullptr);
        Record a;
        a.Add("Server", pop.host());
        a.Add("Port", pop.port());
        a.Add("User", QStringLiteral("ann"));
        a.Add("Pwd", QStringLiteral("pw"));
        a.Add("CheckInterval", 10);
        a.Add("Disabled", true);
        a.Add("Email", QString());
        a.Add("Security", QStringLiteral("None"));
        e.AddAccount(a);
        QSignalSpy arrived(&e, &MUScripting::MsgArrived);
        QSignalSpy complete(e.receiverManager(), &ReceiverManager::ReceiveComplete);
        QSignalSpy counts(e.receiverManager(), &ReceiverManager::CurrentReceivesCount);

        e.CheckForNewMessagesNow(&a);
        QVERIFY(complete.wait(10000));
        QCOMPARE(arrived.count(), 30); // the newest 30
        QCOMPARE(e.msgManager()->GetKnownUidls(a.Id()).size(), 30);
        // Start, 30 arrivals, the end: the unique-ids change no count.
        QCOMPARE(counts.count(), 1 + 30 + 1);

        pop.clearReceived();
        e.CheckForNewMessagesNow(&a);
        QVERIFY(complete.wait(10000));
        QCOMPARE(arrived.count(), 30);
        QCOMPARE(pop.commands(), (QList<QByteArray>{"CAPA", "USER ann", "PASS pw", "UIDL", "QUIT"}));

        pop.addMessage(mail(41));
        pop.clearReceived();
        e.CheckForNewMessagesNow(&a);
        QVERIFY(complete.wait(10000));
        QCOMPARE(arrived.count(), 31);
        QCOMPARE(arrived.last().first().value<Record>().text("Subject"), QStringLiteral("Note 41"));
        QCOMPARE(pop.countOf("TOP"), 1);
        QCOMPARE(e.msgManager()->GetKnownUidls(a.Id()).size(), 31);
        e.Finalize();
    }
    Paths::SetHome(QString());
}

QTEST_GUILESS_MAIN(TestUidlCheck)
#include "tst_uidlcheck.moc"
