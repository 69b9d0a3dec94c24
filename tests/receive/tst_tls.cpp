#include "DovecotFixture.h"
#include "FakePop3Server.h"
#include "TestCertificates.h"
#include "receive/CArriveShell.h"
#include "receive/CCheckMB.h"
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

    void checkerOverTls_data()
    {
        QTest::addColumn<QString>("security");
        QTest::addColumn<bool>("trustCa");
        // One row per mode and outcome: the verification itself is the shell's (greeterCertificates).
        // The receiver over TLS and STARTTLS with a pinned certificate is tst_cli's check.
        QTest::newRow("tls-trusted-through-test-ca") << "TLS" << true;
        QTest::newRow("starttls-certificate-unknown-to-system-store") << "STARTTLS" << false;
    }
    /// The account checker's own shells, trusting the test's CA besides the system's or not.
    void checkerOverTls()
    {
        if (!m_dovecotUp)
            QSKIP(qPrintable("Dovecot cannot start here: " + m_whyNot));
        QFETCH(QString, security);
        QFETCH(bool, trustCa);
        CCheckMB checker;
        checker.Init(nullptr);
        if (trustCa) {
            checker.setShellFactory([ca = caOf(m_certs)](const QString &mode) {
                std::unique_ptr<CArriveShell> shell = CCheckMB::DefaultShell(mode);
                shell->setExtraCaCertificates(ca);
                return shell;
            });
        }
        const quint16 port = security == QLatin1String("TLS") ? m_dovecot.tlsPort() : m_dovecot.port();
        const qsizetype logBefore = m_dovecot.logText().size();
        QString why = QStringLiteral("stale");
        QCOMPARE(checker.CheckMB(m_dovecot.host(), m_dovecot.user(), m_dovecot.password(), port, &why, security), trustCa);
        if (trustCa) {
            QCOMPARE(why, QString());
            return;
        }
        QVERIFY2(why.contains(QStringLiteral("certificate"), Qt::CaseInsensitive), qPrintable(why));
        // Refused before the login: Dovecot saw no user name.
        const QString log = m_dovecot.logText().mid(logBefore);
        QVERIFY2(!log.contains(m_dovecot.user() + QStringLiteral(">")), qPrintable(log));
    }

    void greeterCertificates_data()
    {
        QTest::addColumn<QString>("cert");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("trustCa");
        QTest::addColumn<QString>("pinOf");
        QTest::addColumn<QString>("reason"); // empty: accepted
        const QString self = m_certs.selfSignedCert(), selfKey = m_certs.selfSignedKey();
        const QString server = m_certs.serverCert(), serverKey = m_certs.serverKey();
        QTest::newRow("self-signed-not-pinned") << self << selfKey << true << QString() << "self-signed";
        QTest::newRow("self-signed-but-pinned") << self << selfKey << false << self << QString();
        QTest::newRow("wrong-host-name") << m_certs.wrongHostCert() << m_certs.wrongHostKey() << true << QString() << "host name";
        QTest::newRow("valid-but-not-the-pinned-one") << server << serverKey << true << self << "pinned";
    }
    void greeterCertificates()
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
        if (reason.isEmpty()) {
            QCOMPARE(e.number(), 0);
            QCOMPARE(server.lines, QList<QByteArray>{"USER u\r\n"});
            return;
        }
        QCOMPARE(e.number(), CArriveShell::CertificateNotTrusted);
        QVERIFY2(e.description().contains(reason, Qt::CaseInsensitive), qPrintable(e.description()));
        QVERIFY(server.lines.isEmpty());   // nothing at all was sent: no USER, no PASS
        QVERIFY(!shell.peerCertificate().isNull());   // shown to the user who may want to pin it
    }

    void plainServerGetsNoCredentials_data()
    {
        QTest::addColumn<int>("security");
        QTest::newRow("starttls-not-offered") << int(Security::StartTls);
        QTest::newRow("plain-server-on-tls-port") << int(Security::Tls);
    }
    void plainServerGetsNoCredentials()
    {
        QFETCH(int, security);
        FakePop3Server pop;   // speaks plain text, and knows no STLS
        QVERIFY(pop.listen());
        pop.setAction("STLS", FakePop3Server::Action::Error, "unknown command");
        CArriveShell shell;
        shell.Init(nullptr, nullptr);
        shell.setInactivityLimit(3000);
        shell.setRemote(pop.host(), pop.port());
        shell.setSecurity(Security(security));
        const MUError e = failureOf(shell);
        if (Security(security) == Security::StartTls) {
            QCOMPARE(e.number(), CArriveShell::StartTlsRefused);
            QVERIFY2(e.description().contains("STARTTLS"), qPrintable(e.description()));
            QCOMPARE(pop.commands(), QList<QByteArray>{"STLS"});
        } else {
            QVERIFY(e.number() != 0);
            QVERIFY(pop.commands().isEmpty());
        }
    }
};

QTEST_MAIN(TstTls)
#include "tst_tls.moc"
