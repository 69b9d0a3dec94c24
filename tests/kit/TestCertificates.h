#pragma once
#include <QString>
#include <QTemporaryDir>

/// Certificates made with openssl for TLS tests, in a temporary folder: a test CA, a
/// server certificate it signed for 127.0.0.1 and localhost, a self-signed one, and one
/// the CA signed for another host name. PEM files; keys unencrypted.
class TestCertificates
{
public:
    /// Makes every file; false with `whyNot` when openssl is missing or fails.
    bool make(QString *whyNot);

    QString caCert() const { return path("ca.pem"); }
    QString serverCert() const { return path("server.pem"); }
    QString serverKey() const { return path("server.key"); }
    QString selfSignedCert() const { return path("self.pem"); }
    QString selfSignedKey() const { return path("self.key"); }
    QString wrongHostCert() const { return path("wronghost.pem"); }
    QString wrongHostKey() const { return path("wronghost.key"); }

private:
    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }
    bool run(const QStringList &args, QString *whyNot) const;

    QTemporaryDir m_dir;
};
