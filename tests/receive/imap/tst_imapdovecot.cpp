// IMAP accounts end to end through the engine against a real Dovecot: checked, stored once,
// nothing changed on the server, pushed within a second, secured by TLS and STARTTLS.
#include "DovecotFixture.h"
#include "ReceiverRun.h"
#include "TestCertificates.h"
#include "engine/MUScripting.h"
#include "receive/CArriveShell.h"
#include "receive/ReceiverManager.h"
#include "receive/ServerCertificate.h"
#include "storage/MsgManager.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"
#include "trellis/ThreadRunner.h"
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
QByteArray mail(int n)
{
    return "Message-ID: <dove-imap-" + QByteArray::number(n) + "@example.org>\r\n"
         + "From: =?ISO-8859-1?Q?J=F6rg_" + QByteArray::number(n) + "?= <joerg@example.org>\r\n"
         + "To: Bob <bob@example.org>\r\n"
         + "Date: Sun, 6 Dec 2026 22:0" + QByteArray::number(n % 10) + ":00 +0000\r\n"
         + "Subject: IMAP " + QByteArray::number(n) + "\r\n\r\n"
         + "Body of " + QByteArray::number(n) + "\r\n";
}
}

class TestImapDovecot : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
        QString whyNot;
        if (!m_certs.make(&whyNot))
            QSKIP(qPrintable(QStringLiteral("No certificates: ") + whyNot));
        m_dovecot.enableTls(m_certs.serverCert(), m_certs.serverKey());
        m_dovecot.enableImap();
        if (!m_dovecot.start(&whyNot))
            QSKIP(qPrintable(QStringLiteral("Dovecot cannot start here: ") + whyNot));
    }

    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        Paths::SetHome(m_home->path());
        m_log = std::make_shared<Log>();
        QVERIFY(m_log->OpenFiles(m_home->filePath("mu.log"), m_home->filePath("short.log")));
        if (qEnvironmentVariableIsSet("IMAPTEST_ECHO"))
            m_log->setEchoLevel(5);
        startEngine();
    }

    void cleanup()
    {
        if (m_engine)
            m_engine->Finalize();
        m_engine.reset();
        QVERIFY(ThreadRunner::WaitForAll(10000));
        Paths::SetHome(QString());
    }

    void cleanupTestCase()
    {
        m_dovecot.stop();
    }

    void checkStoresOnceAndSetsNoFlag()
    {
        for (int k = 0; k < 3; ++k)
            QVERIFY(m_dovecot.addMessage(mail(m_next++)));
        Record a = imapAccount(m_dovecot.imapPort(), QStringLiteral("STARTTLS"));
        m_engine->AddAccount(a);
        QSignalSpy arrived(m_engine.get(), &MUScripting::MsgArrived);
        QSignalSpy complete(m_engine->receiverManager(), &ReceiverManager::ReceiveComplete);
        QSignalSpy failed(m_engine->receiverManager(), &ReceiverManager::ErrorOccured);
        m_engine->CheckForNewMessagesNow(&a);
        QVERIFY2(complete.wait(30000), qPrintable(failed.isEmpty() ? m_dovecot.logText()
                                                                   : failed.first().at(1).toString()));
        const int first = int(arrived.count());
        QVERIFY(first >= 3);
        const Record last = arrived.last().first().value<Record>();
        QCOMPARE(last.text("Subject"), QStringLiteral("IMAP %1").arg(m_next - 1));
        QCOMPARE(last.text("From"), QStringLiteral("J\u00f6rg %1").arg(m_next - 1));
        QCOMPARE(m_engine->msgManager()->GetImapState(a.Id()).value("HighestUid").toInt(), first);

        // Nothing new: nothing stored twice.
        m_engine->CheckForNewMessagesNow(&a);
        QVERIFY(complete.wait(30000));
        QCOMPARE(arrived.count(), first);
        QVERIFY(m_dovecot.addMessage(mail(m_next++)));
        m_engine->CheckForNewMessagesNow(&a);
        QVERIFY(complete.wait(30000));
        QCOMPARE(arrived.count(), first + 1);
        QCOMPARE(m_engine->msgManager()->GetMsgIds(a.Id())->Count(), first + 1);

        bool ok = false;
        const QByteArray flags = m_dovecot.doveadm({QStringLiteral("fetch"), QStringLiteral("uid flags"),
                                                    QStringLiteral("mailbox"), QStringLiteral("INBOX"),
                                                    QStringLiteral("all")},
                                                   &ok);
        QVERIFY2(ok, "doveadm fetch failed");
        QVERIFY2(flags.contains("uid: 1"), flags.constData());
        QVERIFY2(!flags.contains("\\Seen"), flags.constData());
    }

    void pushAnnouncesDeliveryWithinASecond()
    {
        Record a = imapAccount(m_dovecot.imapTlsPort(), QStringLiteral("TLS"));
        a.Add("Disabled", false);
        m_engine->AddAccount(a);
        QSignalSpy mode(m_engine->receiverManager(), &ReceiverManager::PushMode);
        QSignalSpy arrived(m_engine.get(), &MUScripting::MsgArrived);
        m_engine->StartDownload();
        QVERIFY(mode.wait(30000));
        QCOMPARE(mode.first().at(1).toBool(), true);
        QVERIFY(m_engine->receiverManager()->IsPushing(a.Id()));
        const int before = int(arrived.count());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(m_dovecot.addMessage(mail(m_next++)));
        QVERIFY(arrived.wait(5000));
        const qint64 ms = clock.elapsed();
        QCOMPARE(arrived.count(), before + 1);
        QCOMPARE(arrived.last().first().value<Record>().text("Subject"), QStringLiteral("IMAP %1").arg(m_next - 1));
        QVERIFY2(ms < 1000, qPrintable(QStringLiteral("announced after %1 ms").arg(ms)));

        // Finalize ends the IDLE connection cleanly (DONE, LOGOUT) and at once.
        const qsizetype loggedOut = m_dovecot.logText().count(QStringLiteral("Logged out"));
        clock.restart();
        m_engine->Finalize();
        QVERIFY(ThreadRunner::WaitForAll(1000));
        QVERIFY(clock.elapsed() < 1000);
        QTRY_COMPARE(m_dovecot.logText().count(QStringLiteral("Logged out")), loggedOut + 1);
    }

    void sameMailboxByPop3AndImapIsStoredOnce()
    {
        QVERIFY(m_dovecot.addMessage(mail(m_next++)));
        Record pop = imapAccount(m_dovecot.port(), QStringLiteral("None"));
        pop.Add("Protocol", QStringLiteral("POP3"));
        Record imap = imapAccount(m_dovecot.imapPort(), QStringLiteral("STARTTLS"));
        m_engine->AddAccount(pop);
        m_engine->AddAccount(imap);
        QSignalSpy arrived(m_engine.get(), &MUScripting::MsgArrived);
        QSignalSpy complete(m_engine->receiverManager(), &ReceiverManager::ReceiveComplete);
        m_engine->CheckForNewMessagesNow(&pop);
        QVERIFY(complete.wait(30000));
        const int stored = int(arrived.count());
        QVERIFY(stored >= 1);
        // The IMAP account of the same mailbox knows those messages by their identity.
        m_engine->CheckForNewMessagesNow(&imap);
        QVERIFY(complete.wait(30000));
        QCOMPARE(arrived.count(), stored);
        QCOMPARE(m_engine->msgManager()->GetMsgs().Count(), stored);
    }

    void mailWhileNotRunningIsAnnouncedAtStart()
    {
        Record a = imapAccount(m_dovecot.imapTlsPort(), QStringLiteral("TLS"));
        m_engine->AddAccount(a);
        QSignalSpy complete(m_engine->receiverManager(), &ReceiverManager::ReceiveComplete);
        m_engine->CheckForNewMessagesNow(&a);
        QVERIFY(complete.wait(30000));
        m_engine->Finalize();
        m_engine.reset();

        // Delivered while nothing ran; the next start's push connection announces it.
        QVERIFY(m_dovecot.addMessage(mail(m_next++)));
        startEngine();
        a.Add("Disabled", false);
        m_engine->UpdateAccount(a);
        QSignalSpy arrived(m_engine.get(), &MUScripting::MsgArrived);
        m_engine->StartDownload();
        QVERIFY(arrived.wait(30000));
        QCOMPARE(arrived.count(), 1);
        QCOMPARE(arrived.first().first().value<Record>().text("Subject"), QStringLiteral("IMAP %1").arg(m_next - 1));
    }

    void securedConnections_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("trustCa");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("imaps-trusted") << true << true << true;
        QTest::newRow("starttls-trusted") << false << true << true;
        QTest::newRow("imaps-untrusted-refused") << true << false << false;
        QTest::newRow("starttls-untrusted-refused") << false << false << false;
    }

    void securedConnections()
    {
        QFETCH(bool, tls);
        QFETCH(bool, trustCa);
        QFETCH(bool, succeeds);
        if (!trustCa)
            m_engine->receiverManager()->setExtraWorkerData({});
        Record a = imapAccount(tls ? m_dovecot.imapTlsPort() : m_dovecot.imapPort(),
                               tls ? QStringLiteral("TLS") : QStringLiteral("STARTTLS"));
        m_engine->AddAccount(a);
        QSignalSpy complete(m_engine->receiverManager(), &ReceiverManager::ReceiveComplete);
        QSignalSpy failed(m_engine->receiverManager(), &ReceiverManager::ErrorOccured);
        m_engine->CheckForNewMessagesNow(&a);
        QTRY_VERIFY_WITH_TIMEOUT(complete.count() + failed.count() == 1, 30000);
        QCOMPARE(complete.count(), succeeds ? 1 : 0);
        if (!succeeds) {
            QVERIFY2(failed.first().at(1).toString().contains(QStringLiteral("certificate")),
                     qPrintable(failed.first().at(1).toString()));
            // The user may trust the certificate the server shows; pinned, it is accepted.
            QString why;
            const QSslCertificate shown = FetchServerCertificate(a.text("Server"), quint16(a.Item("Port").toInt()),
                                                                 a.text("Security"), &why, 10000, QStringLiteral("IMAP"));
            QVERIFY2(!shown.isNull(), qPrintable(why));
            QCOMPARE(shown, QSslCertificate::fromPath(m_certs.serverCert()).value(0));
            a.Add("CertPin", CArriveShell::Fingerprint(shown));
            m_engine->UpdateAccount(a);
            m_engine->CheckForNewMessagesNow(&a);
            QVERIFY(complete.wait(30000));
        }
        // Whatever happened, the password never went out in plain text and never into the log.
        QFile log(m_home->filePath("mu.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(!log.readAll().contains(m_dovecot.password().toUtf8()));
    }

private:
    Record imapAccount(quint16 port, const QString &security) const;
    void startEngine()
    {
        m_engine = std::make_unique<MUScripting>();
        m_engine->Init(m_log, nullptr);
        // The test's own authority, as a private CA would be.
        DataBag extra;
        extra.Add(m_certs.caCert(), QStringLiteral("CaCertificatesFile"));
        extra.Add(20000, QStringLiteral("InactivityLimitMs"));
        m_engine->receiverManager()->setExtraWorkerData(extra);
    }

    TestCertificates m_certs;
    DovecotFixture m_dovecot;
    std::unique_ptr<QTemporaryDir> m_home;
    LogPtr m_log;
    std::unique_ptr<MUScripting> m_engine;
    int m_next = 1;
};

Record TestImapDovecot::imapAccount(quint16 port, const QString &security) const
{
    // Disabled: checked by hand only.
    Record a = TestAccounts::engine(m_dovecot.host(), port, m_dovecot.user(), m_dovecot.password(), true);
    a.Add("Security", security);
    a.Add("Protocol", QStringLiteral("IMAP"));
    return a;
}

QTEST_GUILESS_MAIN(TestImapDovecot)

#include "tst_imapdovecot.moc"
