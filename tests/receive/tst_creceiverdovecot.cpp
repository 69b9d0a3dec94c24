#include "DovecotFixture.h"
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include <QProcess>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
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
}

/// The POP3 receiver against a real Dovecot server.
class TestCReceiverDovecot : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void downloadsExactlyTheNewMessages();
    void knownUniqueIdsAreSkipped();
    void messagesWithoutIdentifierDoNotBlock();
    void tlsListenerGreets();

private:
    /// Runs one check; fills m_arrived and m_endMsg.
    void check(const DataBag &known);

    DovecotFixture m_dovecot;
    QTemporaryDir m_logDir;
    LogPtr m_log;
    Messanger m_messanger;
    QList<Record> m_arrived;
    QVariantMap m_seenUidls;
    QVariantMap m_knownUidls; // given to each check
    int m_endMsg = 0;
    QVariant m_endData;
};

void TestCReceiverDovecot::initTestCase()
{
    RegisterTrellisMetaTypes();
    RegisterReceiveWorkers();
    QString whyNot;
    if (!m_dovecot.start(&whyNot))
        QSKIP(qPrintable(QStringLiteral("Dovecot cannot start here: ") + whyNot));
    m_log = std::make_shared<Log>();
    QVERIFY(m_log->OpenFiles(m_logDir.filePath(QStringLiteral("mu.log")), m_logDir.filePath(QStringLiteral("short.log"))));
    connect(&m_messanger, &Messanger::MsgArrived, this, [this](int msg, const QVariant &data) {
        if (msg == ReceiverMessages::MsgArrived) {
            m_arrived.append(data.value<Record>());
        } else if (msg == ReceiverMessages::UidlsSeen) {
            m_seenUidls.insert(data.value<DataBag>().Item(QStringLiteral("Uidls")).toMap());
        } else {
            m_endMsg = msg;
            m_endData = data;
        }
    });
}

void TestCReceiverDovecot::cleanupTestCase()
{
    ThreadRunner::WaitForAll(20000);
    m_dovecot.stop();
}

void TestCReceiverDovecot::check(const DataBag &known)
{
    m_arrived.clear();
    m_seenUidls.clear();
    m_endMsg = 0;
    Record account;
    account.setId(QStringLiteral("{0D0FEC07-0000-4000-8000-00000000D001}"));
    account.Add(QStringLiteral("Server"), m_dovecot.host());
    account.Add(QStringLiteral("Port"), m_dovecot.port());
    account.Add(QStringLiteral("User"), m_dovecot.user());
    account.Add(QStringLiteral("Pwd"), m_dovecot.password());
    DataBag data;
    data.Add(QVariant::fromValue<QObject *>(&m_messanger), QStringLiteral("Messanger"));
    data.Add(QVariant::fromValue(account), QStringLiteral("Account"));
    data.Add(QVariant::fromValue(known), QStringLiteral("ReceivedMsgIds"));
    data.Add(QVariant::fromValue(m_log), QStringLiteral("Log"));
    data.Add(false, QStringLiteral("DontReceiveContent"));
    data.Add(20000, QStringLiteral("InactivityLimitMs"));
    data.Add(m_knownUidls, QStringLiteral("KnownUidls"));
    ThreadRunner().Start(QStringLiteral("MUCustom.CReceiver"), QStringLiteral("Run"), data);
    QTRY_VERIFY_WITH_TIMEOUT(m_endMsg != 0, 60000);
    QVERIFY(ThreadRunner::WaitForAll(20000));
    QVERIFY2(m_endMsg == ReceiverMessages::ReceiveComplete,
             qPrintable(m_endData.value<DataBag>().Item(QStringLiteral("ErrDescription")).toString() + " / "
                        + m_dovecot.logText()));
}

void TestCReceiverDovecot::downloadsExactlyTheNewMessages()
{
    for (int n = 1; n <= 3; ++n)
        QVERIFY(m_dovecot.addMessage(mail(n)));
    DataBag known;
    check(known);
    QCOMPARE(m_arrived.size(), 3);
    {
        // Nothing stored: one request per message, and the server answered the QUIT sent with them.
        QFile log(m_log->longLogPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QCOMPARE(text.count("SendData(TOP "), 3);
        QVERIFY(text.contains("SendData(TOP 3 1048576)"));
        QVERIFY(text.contains("QUIT Result = Logging out."));
    }
    for (int n = 1; n <= 3; ++n) {
        const Record &msg = m_arrived.at(n - 1);
        QCOMPARE(msg.text(QStringLiteral("POP3Id")), QStringLiteral("<dovecot-%1@example.org>").arg(n));
        QCOMPARE(msg.text(QStringLiteral("From")), QStringLiteral("J\u00f6rg %1").arg(n));
        QCOMPARE(msg.text(QStringLiteral("To")), QStringLiteral("Bob"));
        QCOMPARE(msg.text(QStringLiteral("Subject")), QStringLiteral("Dovecot %1").arg(n));
        QCOMPARE(msg.text(QStringLiteral("Date")), QStringLiteral("Sun, 6 Dec 2026 21:0%1:00 +0000").arg(n));
        QCOMPARE(msg.text(QStringLiteral("Content")).toLatin1(), mail(n).chopped(2));
        known.Add(msg.text(QStringLiteral("POP3Id")), msg.text(QStringLiteral("POP3Id")));
    }

    // A second check finds nothing new.
    check(known);
    QVERIFY(m_arrived.isEmpty());

    // Two more arrive: exactly those, in server order.
    QVERIFY(m_dovecot.addMessage(mail(4)));
    QVERIFY(m_dovecot.addMessage(mail(5)));
    check(known);
    QCOMPARE(m_arrived.size(), 2);
    QCOMPARE(m_arrived.at(0).text(QStringLiteral("POP3Id")), QStringLiteral("<dovecot-4@example.org>"));
    QCOMPARE(m_arrived.at(1).text(QStringLiteral("POP3Id")), QStringLiteral("<dovecot-5@example.org>"));

    QFile log(m_log->longLogPath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(!log.readAll().contains(m_dovecot.password().toLatin1()));
}

void TestCReceiverDovecot::knownUniqueIdsAreSkipped()
{
    // Runs after downloadsExactlyTheNewMessages: messages 1 to 5 are in the mailbox.
    DataBag known;
    for (int n = 1; n <= 5; ++n)
        known.Add(QStringLiteral("<dovecot-%1@example.org>").arg(n), QStringLiteral("<dovecot-%1@example.org>").arg(n));
    m_knownUidls.clear();
    check(known);
    QVERIFY(m_arrived.isEmpty());
    QCOMPARE(m_seenUidls.size(), 5);
    m_knownUidls = m_seenUidls;

    // Dovecot offers PIPELINING and UIDL, and nothing is walked again.
    check(known);
    QVERIFY(m_arrived.isEmpty());
    QVERIFY(m_seenUidls.isEmpty());
    QFile log(m_log->longLogPath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains("Capabilities: PIPELINING=True, UIDL=True"));

    // A new one is fetched and its unique-id reported; the known ones cost nothing.
    QVERIFY(m_dovecot.addMessage(mail(6)));
    check(known);
    QCOMPARE(m_arrived.size(), 1);
    QCOMPARE(m_arrived.first().text(QStringLiteral("POP3Id")), QStringLiteral("<dovecot-6@example.org>"));
    QCOMPARE(m_arrived.first().text(QStringLiteral("Content")).toLatin1(), mail(6).chopped(2));
    QCOMPARE(m_seenUidls.size(), 1);
    QCOMPARE(m_seenUidls.first().toString(), QStringLiteral("<dovecot-6@example.org>"));
    m_knownUidls.clear();
}

void TestCReceiverDovecot::messagesWithoutIdentifierDoNotBlock()
{
    // Runs after knownUniqueIdsAreSkipped: messages 1 to 6 are in the mailbox and known.
    DataBag known;
    for (int n = 1; n <= 6; ++n)
        known.Add(QStringLiteral("<dovecot-%1@example.org>").arg(n), QStringLiteral("<dovecot-%1@example.org>").arg(n));
    // A subject-only note (no empty line: TOP gives the header as it is), one with nothing
    // to know it by, then an ordinary message that must not wait behind them.
    QVERIFY(m_dovecot.addMessage("Subject: a note to self\r\nTo: Bob <bob@example.org>\r\n"));
    QVERIFY(m_dovecot.addMessage("Subject: no identifier\r\n\r\nbody\r\n"));
    QVERIFY(m_dovecot.addMessage(mail(9)));
    check(known);
    QCOMPARE(m_arrived.size(), 3);
    QCOMPARE(m_arrived.at(0).text(QStringLiteral("Subject")), QStringLiteral("a note to self"));
    QCOMPARE(m_arrived.at(0).text(QStringLiteral("To")), QStringLiteral("Bob"));
    QCOMPARE(m_arrived.at(1).text(QStringLiteral("Subject")), QStringLiteral("no identifier"));
    QCOMPARE(m_arrived.at(2).text(QStringLiteral("POP3Id")), QStringLiteral("<dovecot-9@example.org>"));
    for (const Record &msg : std::as_const(m_arrived)) {
        if (msg.text(QStringLiteral("Subject")) != QLatin1String("Dovecot 9"))
            QVERIFY2(msg.text(QStringLiteral("POP3Id")).startsWith(QLatin1String("uidl:")),
                     qPrintable(msg.text(QStringLiteral("POP3Id"))));
        known.Add(msg.text(QStringLiteral("POP3Id")), msg.text(QStringLiteral("POP3Id")));
    }
    // Stored once: the next checks, walking or trusting the unique-ids, find nothing new.
    m_knownUidls.clear();
    check(known);
    QVERIFY(m_arrived.isEmpty());
    m_knownUidls = m_seenUidls;
    check(known);
    QVERIFY(m_arrived.isEmpty());
    m_knownUidls.clear();
}

void TestCReceiverDovecot::tlsListenerGreets()
{
    // The fixture's pop3s listener, ready for the shell's TLS mode.
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt has no TLS backend here");
    QTemporaryDir certDir;
    const QString cert = certDir.filePath(QStringLiteral("cert.pem"));
    const QString key = certDir.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert, QStringLiteral("-days"),
                   QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost")});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        QSKIP("openssl cannot make a test certificate");
    QFile::setPermissions(certDir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                              | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    QFile::setPermissions(cert, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);

    DovecotFixture tls;
    tls.enableTls(cert, key);
    QString whyNot;
    QVERIFY2(tls.start(&whyNot), qPrintable(whyNot));
    QVERIFY(tls.tlsPort() != 0);

    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    QSignalSpy greeted(&socket, &QSslSocket::readyRead);
    socket.connectToHostEncrypted(tls.host(), tls.tlsPort());
    QVERIFY2(greeted.wait(20000), qPrintable(socket.errorString() + " / " + tls.logText()));
    QVERIFY(socket.isEncrypted());
    QVERIFY(socket.readAll().startsWith("+OK"));
}

QTEST_GUILESS_MAIN(TestCReceiverDovecot)
#include "tst_creceiverdovecot.moc"
