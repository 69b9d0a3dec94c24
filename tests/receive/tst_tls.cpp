#include "DovecotFixture.h"
#include "FakePop3Server.h"
#include "TestCertificates.h"
#include "receive/CArriveShell.h"
#include "trellis/MUError.h"
#include "trellis/MetaTypes.h"
#include <QFile>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>

using Security = CArriveShell::Security;

namespace {
/// A POP3 greeter over TLS from the first byte, with a chosen certificate; records what
/// the client sends after the handshake.
class TlsGreeter : public QTcpServer
{
public:
    QSslCertificate cert;
    QSslKey key;
    QList<QByteArray> lines;

    bool load(const QString &certFile, const QString &keyFile)
    {
        cert = QSslCertificate::fromPath(certFile).value(0);
        QFile f(keyFile);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        key = QSslKey(&f, QSsl::Rsa);
        return !cert.isNull() && !key.isNull() && listen(QHostAddress::LocalHost, 0);
    }

protected:
    void incomingConnection(qintptr fd) override
    {
        auto *s = new QSslSocket(this);
        s->setSocketDescriptor(fd);
        s->setLocalCertificate(cert);
        s->setPrivateKey(key);
        connect(s, &QSslSocket::encrypted, s, [s] { s->write("+OK TLS greeter\r\n"); });
        connect(s, &QSslSocket::readyRead, s, [this, s] {
            while (s->canReadLine()) {
                const QByteArray line = s->readLine();
                lines << line;
                s->write("+OK\r\n");
            }
        });
        connect(s, &QSslSocket::sslErrors, s, [s] { s->ignoreSslErrors(); });
        s->startServerEncryption();
    }
};

QList<QSslCertificate> caOf(const TestCertificates &certs)
{
    return QSslCertificate::fromPath(certs.caCert());
}
}

/// Secured POP3 connections: verified certificates, pinning, STLS, and no password
/// ever sent over a connection that could not be secured.
class TstTls : public QObject
{
    Q_OBJECT
    TestCertificates m_certs;
    DovecotFixture m_dovecot;
    bool m_dovecotUp = false;
    QString m_whyNot;

    void login(CArriveShell &shell, const QString &user, const QString &pwd)
    {
        QString reply;
        shell.Connect();
        shell.SendData("USER " + user + "\r\n", false, reply);
        shell.SendData("PASS " + pwd + "\r\n", false, reply);
        shell.SendData("STAT\r\n", false, reply);
        QVERIFY2(reply.startsWith("0 "), qPrintable(reply));
        shell.SendData("QUIT\r\n", false, reply);
    }

    MUError failureOf(CArriveShell &shell)
    {
        try {
            shell.Connect();
            QString reply;
            shell.SendData("USER u\r\n", false, reply);
        } catch (const MUError &e) {
            return e;
        }
        return MUError();
    }

private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
        if (!QSslSocket::supportsSsl())
            QSKIP("No TLS support in this Qt");
        QString why;
        QVERIFY2(m_certs.make(&why), qPrintable(why));
        m_dovecot.enableTls(m_certs.serverCert(), m_certs.serverKey());
        m_dovecotUp = m_dovecot.start(&m_whyNot);
    }

    void dovecot_data()
    {
        QTest::addColumn<int>("security");
        QTest::addColumn<bool>("trustCa");
        QTest::newRow("tls-trusted-through-test-ca") << int(Security::Tls) << true;
        QTest::newRow("tls-with-pinned-certificate") << int(Security::Tls) << false;
        QTest::newRow("starttls-trusted-through-test-ca") << int(Security::StartTls) << true;
        QTest::newRow("starttls-with-pinned-certificate") << int(Security::StartTls) << false;
    }
    void dovecot()
    {
        if (!m_dovecotUp)
            QSKIP(qPrintable("Dovecot cannot start here: " + m_whyNot));
        QFETCH(int, security);
        QFETCH(bool, trustCa);
        CArriveShell shell;
        shell.Init(nullptr, nullptr);
        shell.setRemote(m_dovecot.host(), Security(security) == Security::Tls ? m_dovecot.tlsPort() : m_dovecot.port());
        const QString pin = CArriveShell::Fingerprint(QSslCertificate::fromPath(m_certs.serverCert()).value(0));
        shell.setSecurity(Security(security), trustCa ? QString() : pin);
        if (trustCa)
            shell.setExtraCaCertificates(caOf(m_certs));
        login(shell, m_dovecot.user(), m_dovecot.password());
        QCOMPARE(CArriveShell::Fingerprint(shell.peerCertificate()), pin);
    }

    void refusedCertificates_data()
    {
        QTest::addColumn<QString>("cert");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("trustCa");
        QTest::addColumn<QString>("pinOf");
        QTest::addColumn<QString>("reason");
        QTest::newRow("self-signed-not-pinned") << m_certs.selfSignedCert() << m_certs.selfSignedKey() << true << QString()
                                                << "self-signed";
        QTest::newRow("wrong-host-name") << m_certs.wrongHostCert() << m_certs.wrongHostKey() << true << QString()
                                         << "host name";
        QTest::newRow("unknown-authority") << m_certs.serverCert() << m_certs.serverKey() << false << QString()
                                           << "issuer";
        QTest::newRow("valid-but-not-the-pinned-one") << m_certs.serverCert() << m_certs.serverKey() << true
                                                      << m_certs.selfSignedCert() << "pinned";
    }
    void refusedCertificates()
    {
        QFETCH(QString, cert);
        QFETCH(QString, key);
        QFETCH(bool, trustCa);
        QFETCH(QString, pinOf);
        QFETCH(QString, reason);
        TlsGreeter server;
        QVERIFY(server.load(cert, key));
        CArriveShell shell;
        shell.Init(nullptr, nullptr);
        shell.setRemote("127.0.0.1", server.serverPort());
        shell.setSecurity(Security::Tls,
                          pinOf.isEmpty() ? QString()
                                          : CArriveShell::Fingerprint(QSslCertificate::fromPath(pinOf).value(0)));
        if (trustCa)
            shell.setExtraCaCertificates(caOf(m_certs));
        const MUError e = failureOf(shell);
        QCOMPARE(e.number(), CArriveShell::CertificateNotTrusted);
        QVERIFY2(e.description().contains(reason, Qt::CaseInsensitive), qPrintable(e.description()));
        QVERIFY(server.lines.isEmpty());   // nothing at all was sent: no USER, no PASS
        QVERIFY(!shell.peerCertificate().isNull());   // shown to the user who may want to pin it
    }

    void selfSignedButPinnedIsAccepted()
    {
        TlsGreeter server;
        QVERIFY(server.load(m_certs.selfSignedCert(), m_certs.selfSignedKey()));
        CArriveShell shell;
        shell.Init(nullptr, nullptr);
        shell.setRemote("127.0.0.1", server.serverPort());
        shell.setSecurity(Security::Tls,
                          CArriveShell::Fingerprint(QSslCertificate::fromPath(m_certs.selfSignedCert()).value(0)));
        shell.Connect();
        QString reply;
        shell.SendData("USER ann\r\n", false, reply);
        QCOMPARE(server.lines, QList<QByteArray>{"USER ann\r\n"});
    }

    void starttlsNotOfferedSendsNoCredentials()
    {
        FakePop3Server pop;
        QVERIFY(pop.listen());
        pop.setAction("STLS", FakePop3Server::Action::Error, "unknown command");
        CArriveShell shell;
        shell.Init(nullptr, nullptr);
        shell.setRemote(pop.host(), pop.port());
        shell.setSecurity(Security::StartTls);
        const MUError e = failureOf(shell);
        QCOMPARE(e.number(), CArriveShell::StartTlsRefused);
        QVERIFY2(e.description().contains("STARTTLS"), qPrintable(e.description()));
        QCOMPARE(pop.commands(), QList<QByteArray>{"STLS"});
    }

    void plainServerOnTlsPortFailsCleanly()
    {
        FakePop3Server pop;   // speaks plain text where TLS is expected
        QVERIFY(pop.listen());
        CArriveShell shell;
        shell.Init(nullptr, nullptr);
        shell.setInactivityLimit(3000);
        shell.setRemote(pop.host(), pop.port());
        shell.setSecurity(Security::Tls);
        const MUError e = failureOf(shell);
        QVERIFY(e.number() != 0);
        QVERIFY(pop.commands().isEmpty());
    }
};

QTEST_MAIN(TstTls)
#include "tst_tls.moc"
