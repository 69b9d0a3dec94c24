#include "DovecotFixture.h"
#include "ReceiverRun.h"
#include "TestHome.h"
#include "receive/ReceiveWorkers.h"
#include "trellis/MetaTypes.h"
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

/// The POP3 receiver against a real Dovecot server: that a real server's capabilities,
/// stuffing and unique-ids are understood. The dialogues themselves are tst_creceiver's;
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

    void newMessagesArriveOnce()
    {
        for (int n = 1; n <= 3; ++n)
            QVERIFY(m_dovecot.addMessage(mail(n)));
        check();
        QCOMPARE(m_run->arrivedIds(), (QStringList{idOf(1), idOf(2), idOf(3)}));
        // Byte for byte, a stuffed line included; the fields are tst_creceiver's.
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(m_run->arrived.at(n - 1).text(QStringLiteral("Content")).toLatin1(), mail(n).chopped(2));
        QVERIFY(m_home->logText().contains("Capabilities: PIPELINING=True, UIDL=True"));
        const QVariantMap remembered = m_run->seenUidls;
        QCOMPARE(remembered.size(), 3);

        // Nothing new, whether the check walks the mailbox or trusts the unique-ids.
        check();
        QVERIFY(m_run->arrived.isEmpty());
        check(remembered);
        QVERIFY(m_run->arrived.isEmpty());
        QVERIFY(m_run->seenUidls.isEmpty());
        // A new one is fetched and its unique-id reported; the known ones cost nothing.
        QVERIFY(m_dovecot.addMessage(mail(4)));
        check(remembered);
        QCOMPARE(m_run->arrivedIds(), QStringList{idOf(4)});
        QCOMPARE(m_run->arrived.first().text(QStringLiteral("Content")).toLatin1(), mail(4).chopped(2));
        QCOMPARE(m_run->seenUidls.values(), QVariantList{idOf(4)});
    }

private:
    /// Runs one check that remembers `knownUidls`; what arrived is stored.
    void check(const QVariantMap &knownUidls = {});

    DovecotFixture m_dovecot;
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ReceiverRun> m_run;
    DataBag m_known;
};

void TestCReceiverDovecot::check(const QVariantMap &knownUidls)
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
