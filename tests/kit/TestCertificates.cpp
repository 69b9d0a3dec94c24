#include "TestCertificates.h"
#include <QFile>
#include <QProcess>

bool TestCertificates::run(const QStringList &args, QString *whyNot) const
{
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (whyNot)
            *whyNot = QStringLiteral("openssl %1 failed: %2")
                          .arg(args.value(0), QString::fromLocal8Bit(p.readAllStandardError()).trimmed());
        return false;
    }
    return true;
}

bool TestCertificates::make(QString *whyNot)
{
    if (!m_dir.isValid()) {
        if (whyNot)
            *whyNot = QStringLiteral("no temporary folder");
        return false;
    }
    // Readable by the mail server's own users when the tests run as root.
    QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                            | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    const QStringList days{QStringLiteral("-days"), QStringLiteral("2")};
    auto leaf = [&](const QString &name, const QString &cn, const QString &san, bool selfSigned) {
        const QString key = name + QStringLiteral(".key"), pem = name + QStringLiteral(".pem");
        QFile ext(m_dir.filePath(name + QStringLiteral(".ext")));
        if (!ext.open(QIODevice::WriteOnly))
            return false;
        ext.write(QStringLiteral("subjectAltName=%1\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                                 "extendedKeyUsage=serverAuth\n").arg(san).toLatin1());
        ext.close();
        if (selfSigned)
            return run(QStringList{"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", pem,
                                   "-subj", "/CN=" + cn, "-addext", "subjectAltName=" + san} + days, whyNot);
        return run({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", name + ".csr", "-subj", "/CN=" + cn},
                   whyNot)
            && run(QStringList{"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                               "-CAcreateserial", "-out", pem, "-extfile", name + ".ext"} + days, whyNot);
    };
    const bool ok = run(QStringList{"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
                                    "ca.pem", "-subj", "/CN=Murmelo Test CA", "-addext",
                                    "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"}
                        + days, whyNot)
        && leaf(QStringLiteral("server"), QStringLiteral("localhost"), QStringLiteral("DNS:localhost,IP:127.0.0.1"), false)
        && leaf(QStringLiteral("wronghost"), QStringLiteral("other.example"), QStringLiteral("DNS:other.example"), false)
        && leaf(QStringLiteral("self"), QStringLiteral("localhost"), QStringLiteral("DNS:localhost,IP:127.0.0.1"), true);
    if (ok) {
        for (const char *f : {"server.key", "self.key", "wronghost.key", "server.pem", "self.pem", "wronghost.pem"})
            QFile::setPermissions(path(f), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }
    return ok;
}
