#include "ServerCertificate.h"
#include "CArriveShell.h"
#include "imap/ImapSession.h"
#include "trellis/MUError.h"
#include <QSslConfiguration>
#include <QSslSocket>

QSslCertificate FetchServerCertificate(const QString &host, quint16 port, const QString &security, QString *error,
                                       int limitMs, const QString &protocol)
{
    const CArriveShell::Security mode = CArriveShell::SecurityFromText(security);
    if (mode == CArriveShell::Security::None) {
        if (error)
            *error = QStringLiteral("The account does not use TLS or STARTTLS, so there is no certificate to trust.");
        return QSslCertificate();
    }
    if (protocol.compare(QLatin1String("IMAP"), Qt::CaseInsensitive) == 0) {
        ImapSession session;
        session.Init(nullptr, nullptr);
        session.setInactivityLimit(limitMs);
        session.setRemote(host, port);
        session.setSecurity(mode);
        try {
            session.Connect();
            if (mode == CArriveShell::Security::StartTls)
                session.StartTls();
            session.Logout(limitMs);
        } catch (const MUError &e) {
            if (session.peerCertificate().isNull() && error)
                *error = e.description().trimmed();
        }
        session.Close();
        return session.peerCertificate();
    }
    CArriveShell shell;
    shell.Init(nullptr, nullptr);
    shell.setInactivityLimit(limitMs);
    shell.setRemote(host, port);
    shell.setSecurity(mode);
    try {
        shell.Connect();
        QString reply;
        shell.SendData(QStringLiteral("QUIT\r\n"), false, reply);
    } catch (const MUError &e) {
        // An untrusted certificate is exactly the case this is for; other failures are reported.
        if (shell.peerCertificate().isNull() && error)
            *error = e.description().trimmed();
    }
    return shell.peerCertificate();
}

QSslSocket *NewVerifyingSocket(const QString &host, const QList<QSslCertificate> &extraCa)
{
    auto *ssl = new QSslSocket;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::SecureProtocols);
    if (!extraCa.isEmpty())
        config.addCaCertificates(extraCa);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    ssl->setSslConfiguration(config);
    ssl->setPeerVerifyName(host);
    return ssl;
}

QString UntrustedCertificateText(const QList<QSslError> &errors, bool pinned)
{
    QStringList reasons;
    for (const QSslError &e : errors)
        reasons << e.errorString();
    reasons.removeDuplicates();
    QString text = QStringLiteral("The server's certificate is not trusted: %1. ").arg(reasons.join(QStringLiteral("; ")));
    if (pinned)
        text += QStringLiteral("It is not the certificate pinned for this account. ");
    return text;
}
