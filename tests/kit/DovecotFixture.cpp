#include "DovecotFixture.h"
#include "ChildProcess.h"
#include "ReceiverRun.h"
#include <QDir>
#include <QEventLoop>
#include <QFileSystemWatcher>
#include <QTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTextStream>
#include <grp.h>
#include <pwd.h>
#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString findDovecot()
{
    return QStandardPaths::findExecutable(QStringLiteral("dovecot"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                           QStringLiteral("/usr/local/sbin")});
}

bool failWith(QString *whyNot, const QString &reason)
{
    if (whyNot)
        *whyNot = reason;
    return false;
}

QString userName(uid_t uid)
{
    const passwd *pw = ::getpwuid(uid);
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString();
}
}

DovecotFixture::~DovecotFixture()
{
    stop();
}

void DovecotFixture::enableTls(const QString &certFile, const QString &keyFile)
{
    m_certFile = certFile;
    m_keyFile = keyFile;
}

QString DovecotFixture::configPath() const
{
    return m_dir ? m_dir->filePath(QStringLiteral("dovecot.conf")) : QString();
}

QString DovecotFixture::logText() const
{
    if (!m_dir)
        return {};
    QFile f(m_dir->filePath(QStringLiteral("dovecot.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
}

quint16 DovecotFixture::freePort()
{
    // The system picks a free port; Dovecot binds it a moment later.
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool DovecotFixture::handToMailUser(const QString &path) const
{
    if (::geteuid() != 0)
        return true;
    return ::chown(QFile::encodeName(path).constData(), uid_t(m_mailUid), gid_t(m_mailGid)) == 0;
}

bool DovecotFixture::start(QString *whyNot)
{
    if (findDovecot().isEmpty())
        return failWith(whyNot, QStringLiteral("dovecot is not installed (package dovecot-pop3d)"));

    m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/murmelo-dovecot-XXXXXX"));
    if (!m_dir->isValid())
        return failWith(whyNot, QStringLiteral("cannot create a temporary folder"));
    // The mail and login users must be able to reach their files under it.
    ::chmod(QFile::encodeName(m_dir->path()).constData(), 0755);

    if (::geteuid() == 0) {
        const passwd *mail = ::getpwnam("dovecot");
        if (!mail || !::getpwnam("dovenull"))
            return failWith(whyNot, QStringLiteral("the users dovecot and dovenull are missing"));
        m_mailUid = int(mail->pw_uid);
        m_mailGid = int(mail->pw_gid);
    } else {
        m_mailUid = int(::getuid());
        m_mailGid = int(::getgid());
    }

    QDir root(m_dir->path());
    for (const char *sub : {"home", "home/Maildir", "home/Maildir/cur", "home/Maildir/new", "home/Maildir/tmp"}) {
        if (!root.mkpath(QString::fromLatin1(sub)) || !handToMailUser(root.filePath(QString::fromLatin1(sub))))
            return failWith(whyNot, QStringLiteral("cannot prepare the Maildir"));
    }
    root.mkpath(QStringLiteral("run"));
    root.mkpath(QStringLiteral("state"));

    m_port = freePort();
    m_tlsPort = m_certFile.isEmpty() ? 0 : freePort();
    m_imapPort = m_imap ? freePort() : 0;
    m_imapTlsPort = m_imap && !m_certFile.isEmpty() ? freePort() : 0;
    if (m_imap && !QFile::exists(QStringLiteral("/usr/lib/dovecot/imap")))
        return failWith(whyNot, QStringLiteral("dovecot's IMAP server is not installed (package dovecot-imapd)"));
    if (m_port == 0)
        return failWith(whyNot, QStringLiteral("no free loopback port"));
    if (!writeConfig(whyNot))
        return false;

    // In the foreground the master stays our child: it cannot outlive us unnoticed. It writes
    // master.pid once its listeners are bound.
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    // If the test dies without stop(), the server goes with it instead of lingering.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process->start(findDovecot(), {QStringLiteral("-F"), QStringLiteral("-c"), configPath()});
    if (!m_process->waitForStarted(10000))
        return failWith(whyNot, QStringLiteral("dovecot cannot be run: %1").arg(m_process->errorString()));
    const QString runDir = m_dir->filePath(QStringLiteral("run"));
    const QString pidPath = runDir + QStringLiteral("/master.pid");
    QEventLoop loop;
    QFileSystemWatcher watcher({runDir});
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, [&] {
        if (QFile::exists(pidPath))
            loop.quit();
    });
    QObject::connect(m_process.get(), &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(30000);
    if (!QFile::exists(pidPath) && m_process->state() == QProcess::Running)
        loop.exec();
    if (QFile::exists(pidPath) && m_process->state() == QProcess::Running)
        return true;
    failWith(whyNot, QStringLiteral("dovecot did not start: %1 %2")
                         .arg(QString::fromLocal8Bit(m_process->readAll()).trimmed(), logText()));
    stop();
    return false;
}

bool DovecotFixture::writeConfig(QString *whyNot)
{
    const bool root = ::geteuid() == 0;
    const QString self = userName(::getuid());
    const QString internalUser = root ? QStringLiteral("dovecot") : self;
    const QString loginUser = root ? QStringLiteral("dovenull") : self;
    const group *gr = ::getgrgid(gid_t(m_mailGid));
    const QString internalGroup = root ? QStringLiteral("dovecot")
                                       : (gr ? QString::fromLocal8Bit(gr->gr_name) : self);
    const QString dir = m_dir->path();

    QFile passwd(m_dir->filePath(QStringLiteral("passwd")));
    if (!passwd.open(QIODevice::WriteOnly))
        return failWith(whyNot, QStringLiteral("cannot write the passwd file"));
    passwd.write(QStringLiteral("%1:{PLAIN}%2:%3:%4::%5/home::\n")
                     .arg(user(), password())
                     .arg(m_mailUid)
                     .arg(m_mailGid)
                     .arg(dir)
                     .toLocal8Bit());
    passwd.close();
    passwd.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                          | QFileDevice::ReadOther);

    QFile conf(configPath());
    if (!conf.open(QIODevice::WriteOnly | QIODevice::Text))
        return failWith(whyNot, QStringLiteral("cannot write the configuration"));
    QTextStream out(&conf);
    out << "# Written by the test fixture; nothing outside this folder is used.\n"
        << "protocols = pop3" << (m_imap ? " imap" : "") << "\n"
        << "listen = 127.0.0.1\n"
        << "base_dir = " << dir << "/run\n"
        << "state_dir = " << dir << "/state\n"
        << "instance_name = murmelo-test-" << m_port << "\n"
        << "log_path = " << dir << "/dovecot.log\n"
        << "info_log_path = " << dir << "/dovecot.log\n"
        << "default_internal_user = " << internalUser << "\n"
        << "default_internal_group = " << internalGroup << "\n"
        << "default_login_user = " << loginUser << "\n"
        << "first_valid_uid = " << m_mailUid << "\n"
        << "last_valid_uid = 0\n"
        << "first_valid_gid = 0\n"
        << "disable_plaintext_auth = no\n"
        << "auth_mechanisms = plain login " << m_tokenMechanisms << "\n"
        << "mail_location = maildir:~/Maildir\n"
        << "pop3_uidl_format = %08Xu%08Xv\n";
    if (m_introspectionUrl.isEmpty()) {
        out << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << dir << "/passwd\n}\n";
    } else {
        out << "passdb {\n  driver = oauth2\n  mechanisms = " << m_tokenMechanisms << "\n  args = " << dir
            << "/oauth2.conf.ext\n}\n";
        QFile ext(m_dir->filePath(QStringLiteral("oauth2.conf.ext")));
        if (!ext.open(QIODevice::WriteOnly))
            return failWith(whyNot, QStringLiteral("cannot write the oauth2 settings"));
        ext.write("introspection_mode = get\nintrospection_url = " + m_introspectionUrl.toUtf8()
                  + "\nforce_introspection = yes\nusername_attribute = username\n"
                    "active_attribute = active\nactive_value = true\n");
    }
    out << "userdb {\n  driver = passwd-file\n  args = username_format=%u " << dir << "/passwd\n}\n";
    if (m_certFile.isEmpty()) {
        out << "ssl = no\n";
    } else {
        out << "ssl = yes\n"
            << "ssl_cert = <" << m_certFile << "\n"
            << "ssl_key = <" << m_keyFile << "\n";
    }
    const auto login = [&](const char *protocol, quint16 plain, quint16 tls) {
        out << "service " << protocol << "-login {\n"
            << "  inet_listener " << protocol << " {\n    address = 127.0.0.1\n    port = " << plain << "\n  }\n"
            << "  inet_listener " << protocol << "s {\n    address = 127.0.0.1\n    port = " << tls << "\n"
            << "    ssl = yes\n  }\n" << (root ? "" : "  chroot =\n") << "}\n";
    };
    login("pop3", m_port, m_tlsPort);
    if (m_imap) {
        login("imap", m_imapPort, m_imapTlsPort);
        // Benchmarks keep many accounts of the one test user connected at once.
        out << "protocol imap {\n  mail_max_userip_connections = 100\n}\n";
    }
    if (!root) {
        // Without root nothing can change users or chroot: run every process as ourselves.
        out << "service anvil {\n  chroot =\n}\n"
            << "service auth-worker {\n  user = $default_internal_user\n}\n";
    }
    out.flush();
    return conf.error() == QFileDevice::NoError;
}

bool DovecotFixture::addMessage(const QByteArray &raw)
{
    if (!m_dir)
        return false;
    QByteArray text = raw;
    text.replace("\r\n", "\n");
    ++m_nextMessage;
    // Dovecot numbers new messages by the time stamp at the start of their names.
    const QString name = QStringLiteral("%1.M%2P%3.murmelo")
                             .arg(1000000000 + m_nextMessage)
                             .arg(m_nextMessage)
                             .arg(::getpid());
    const QString tmpPath = m_dir->filePath(QStringLiteral("home/Maildir/tmp/") + name);
    const QString newPath = m_dir->filePath(QStringLiteral("home/Maildir/new/") + name);
    QFile f(tmpPath);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return false;
    f.close();
    if (!handToMailUser(tmpPath))
        return false;
    return QFile::rename(tmpPath, newPath);
}

void DovecotFixture::stop()
{
    if (m_process)
        stopProcess(*m_process, 15000);
    m_process.reset();
    m_dir.reset();
}

Record DovecotFixture::account(quint16 port, const QString &security, const QString &protocol) const
{
    Record a = TestAccounts::mailbox(host(), port ? port : m_port, user(), password(), protocol);
    if (!security.isEmpty())
        a.Add(QStringLiteral("Security"), security);
    return a;
}
