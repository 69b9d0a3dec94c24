#include "DovecotFixture.h"
#include "ReceiverRun.h"
#include "TestHome.h"
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include <QTest>

namespace {
QByteArray mail(int n)
{
    return "Message-ID: <dovecot-" + QByteArray::number(n) + "@example.org>\r\n"
         + "From: =?ISO-8859-1?Q?J=F6rg_" + QByteArray::number(n) + "?= <joerg@example.org>\r\n"
         + "To: Bob <bob@example.org>\r\n"
         + "Date: Sun, 6 Dec 2026 21:0" + QByteArray::number(n % 10) + ":00 +0000\r\n"
         + "Subject: Dovecot " + QByteArray::number(n) + "\r\n\r\n"
         + "Line one of " + QByteArray::number(n) + "\r\n.starts with a dot\r\n\r\nLast line\r\n";
}

QString idOf(int n)
{
    return QStringLiteral("<dovecot-%1@example.org>").arg(n);
}
}

/// The POP3 receiver against a real Dovecot server. The tests run in order on one mailbox;
/// what arrived is stored in m_known, as the engine would.
class TestCReceiverDovecot : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
        RegisterReceiveWorkers();
        QString whyNot;
        if (!m_dovecot.start(&whyNot))
            QSKIP(qPrintable(QStringLiteral("Dovecot cannot start here: ") + whyNot));
        m_home = std::make_unique<TestHome>();
        QVERIFY(m_home->isValid());
        m_run = std::make_unique<ReceiverRun>(m_home->log());
    }

    void cleanupTestCase()
    {
        ThreadRunner::WaitForAll(20000);
        QVERIFY(!m_home->logText().contains(m_dovecot.password()));
        m_run.reset();
        m_home.reset();
        m_dovecot.stop();
    }

    void downloadsExactlyTheNewMessages()
    {
        for (int n = 1; n <= 3; ++n)
            QVERIFY(m_dovecot.addMessage(mail(n)));
        check();
        QCOMPARE(m_run->arrived.size(), 3);
        // Nothing stored: one request per message, and the server answered the QUIT sent with them.
        const QString text = m_home->logText();
        QCOMPARE(text.count("SendData(TOP "), 3);
        QVERIFY(text.contains("SendData(TOP 3 1048576)"));
        QVERIFY(text.contains("QUIT Result = Logging out."));
        for (int n = 1; n <= 3; ++n) {
            const Record &msg = m_run->arrived.at(n - 1);
            QCOMPARE(msg.text(QStringLiteral("POP3Id")), idOf(n));
            QCOMPARE(msg.text(QStringLiteral("From")), QStringLiteral("J\u00f6rg %1").arg(n));
            QCOMPARE(msg.text(QStringLiteral("To")), QStringLiteral("Bob"));
            QCOMPARE(msg.text(QStringLiteral("Subject")), QStringLiteral("Dovecot %1").arg(n));
            QCOMPARE(msg.text(QStringLiteral("Date")), QStringLiteral("Sun, 6 Dec 2026 21:0%1:00 +0000").arg(n));
            QCOMPARE(msg.text(QStringLiteral("Content")).toLatin1(), mail(n).chopped(2));
        }
        // A second check finds nothing new; two more arrive: exactly those, in server order.
        check();
        QVERIFY(m_run->arrived.isEmpty());
        QVERIFY(m_dovecot.addMessage(mail(4)));
        QVERIFY(m_dovecot.addMessage(mail(5)));
        check();
        QCOMPARE(m_run->arrivedIds(), (QStringList{idOf(4), idOf(5)}));
    }

    void knownUniqueIdsAreSkipped()
    {
        check();
        QVERIFY(m_run->arrived.isEmpty());
        QCOMPARE(m_run->seenUidls.size(), 5);
        const QVariantMap remembered = m_run->seenUidls;
        // Dovecot offers PIPELINING and UIDL, and nothing is walked again.
        check(remembered);
        QVERIFY(m_run->arrived.isEmpty());
        QVERIFY(m_run->seenUidls.isEmpty());
        QVERIFY(m_home->logText().contains("Capabilities: PIPELINING=True, UIDL=True"));
        // A new one is fetched and its unique-id reported; the known ones cost nothing.
        QVERIFY(m_dovecot.addMessage(mail(6)));
        check(remembered);
        QCOMPARE(m_run->arrivedIds(), QStringList{idOf(6)});
        QCOMPARE(m_run->arrived.first().text(QStringLiteral("Content")).toLatin1(), mail(6).chopped(2));
        QCOMPARE(m_run->seenUidls.size(), 1);
        QCOMPARE(m_run->seenUidls.first().toString(), idOf(6));
    }

    void messagesWithoutIdentifierDoNotBlock()
    {
        // A subject-only note (no empty line: TOP gives the header as it is), one with nothing
        // to know it by, then an ordinary message that must not wait behind them.
        QVERIFY(m_dovecot.addMessage("Subject: a note to self\r\nTo: Bob <bob@example.org>\r\n"));
        QVERIFY(m_dovecot.addMessage("Subject: no identifier\r\n\r\nbody\r\n"));
        QVERIFY(m_dovecot.addMessage(mail(9)));
        check();
        QCOMPARE(m_run->arrived.size(), 3);
        QCOMPARE(m_run->arrived.at(0).text(QStringLiteral("Subject")), QStringLiteral("a note to self"));
        QCOMPARE(m_run->arrived.at(0).text(QStringLiteral("To")), QStringLiteral("Bob"));
        QCOMPARE(m_run->arrived.at(1).text(QStringLiteral("Subject")), QStringLiteral("no identifier"));
        QCOMPARE(m_run->arrived.at(2).text(QStringLiteral("POP3Id")), idOf(9));
        for (int k = 0; k < 2; ++k)
            QVERIFY2(m_run->arrivedIds().at(k).startsWith(QLatin1String("uidl:")), qPrintable(m_run->arrivedIds().at(k)));
        // Stored once: the next checks, walking or trusting the unique-ids, find nothing new.
        check();
        QVERIFY(m_run->arrived.isEmpty());
        check(m_run->seenUidls);
        QVERIFY(m_run->arrived.isEmpty());
    }

private:
    /// Runs one check that remembers `knownUidls`; what arrived is stored.
    void check(QVariantMap knownUidls = {});

    DovecotFixture m_dovecot;
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ReceiverRun> m_run;
    DataBag m_known;
};

void TestCReceiverDovecot::check(QVariantMap knownUidls)
{
    DataBag data;
    data.Add(QVariant::fromValue(m_known), QStringLiteral("ReceivedMsgIds"));
    data.Add(20000, QStringLiteral("InactivityLimitMs"));
    data.Add(knownUidls, QStringLiteral("KnownUidls"));
    m_run->clear();
    m_run->start(m_dovecot.account(), data);
    QVERIFY(m_run->finish(60000));
    QVERIFY2(m_run->completed(), qPrintable(m_run->error().description + " / " + m_dovecot.logText()));
    for (const QString &id : m_run->arrivedIds())
        m_known.Add(id, id);
}

QTEST_GUILESS_MAIN(TestCReceiverDovecot)

#include "tst_creceiverdovecot.moc"
