#pragma once
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

class QSslSocket;

/// Connects to a POP3 (or, with `protocol` "IMAP", an IMAP) server the way the account would (TLS or STLS/STARTTLS) without trusting
/// anything, and returns the certificate the server shows, so the user can decide to pin
/// it. Null with `error` set when no certificate could be obtained. Blocks the calling
/// thread in a nested event loop for at most `limitMs`.
QSslCertificate FetchServerCertificate(const QString &host, quint16 port, const QString &security, QString *error,
                                       int limitMs = 30000, const QString &protocol = QStringLiteral("POP3"));

/// A socket for a mail server's TLS: verified against the system store, any `extraCa`, and
/// `host`'s name. The caller owns it.
QSslSocket *NewVerifyingSocket(const QString &host, const QList<QSslCertificate> &extraCa);

/// The error text of a certificate that is refused: the store's reasons, and whether a pin
/// (`pinned`) did not match either.
QString UntrustedCertificateText(const QList<QSslError> &errors, bool pinned);
