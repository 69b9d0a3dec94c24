#include "ServerCertificate.h"
#include "CArriveShell.h"
#include "trellis/MUError.h"

QSslCertificate FetchServerCertificate(const QString &host, quint16 port, const QString &security, QString *error,
                                       int limitMs)
{
    const CArriveShell::Security mode = CArriveShell::SecurityFromText(security);
    if (mode == CArriveShell::Security::None) {
        if (error)
            *error = QStringLiteral("The account does not use TLS or STARTTLS, so there is no certificate to trust.");
        return QSslCertificate();
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
