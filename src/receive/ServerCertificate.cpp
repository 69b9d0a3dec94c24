#include "ServerCertificate.h"
#include "CArriveShell.h"
#include "imap/ImapSession.h"
#include "trellis/MUError.h"

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
