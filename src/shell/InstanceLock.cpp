#include "InstanceLock.h"
#include "trellis/Paths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace {
const QByteArray ShowRequest = "show\n";
}

InstanceLock::InstanceLock(const QString &folder, QObject *parent)
    : QObject(parent), m_path(QDir(folder).absoluteFilePath(QStringLiteral("MUWorking")))
{
}

InstanceLock::~InstanceLock()
{
    release();
}

QString InstanceLock::DefaultFolder()
{
    const QString home = Paths::Home();
    if (!home.isEmpty())
        return home;
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        runtime = QDir::tempPath();
    return runtime + QStringLiteral("/murmelo");
}

QString InstanceLock::serverName() const
{
    // Socket names are short; the hash keeps one per lock file.
    return QStringLiteral("murmelo-") +
           QString::fromLatin1(QCryptographicHash::hash(m_path.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
}

bool InstanceLock::tryLock()
{
    if (m_locked)
        return true;
    Paths::EnsureDir(QFileInfo(m_path).absolutePath());
    m_lock = std::make_unique<QLockFile>(m_path);
    m_lock->setStaleLockTime(0);   // only a dead holder makes it stale
    if (!m_lock->tryLock(0)) {
        m_lock.reset();
        return false;
    }
    m_locked = true;

    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(serverName());   // a crashed holder may have left its socket
    if (m_server->listen(serverName())) {
        connect(m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *socket = m_server->nextPendingConnection()) {
                connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                    if (socket->readAll().startsWith(ShowRequest.trimmed()))
                        Q_EMIT activationRequested();
                    socket->disconnectFromServer();
                });
            }
        });
    }
    return true;
}

bool InstanceLock::signalRunningInstance(int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(ShowRequest);
    const bool ok = socket.waitForBytesWritten(timeoutMs);
    socket.disconnectFromServer();
    return ok;
}

void InstanceLock::release()
{
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
    if (m_lock) {
        m_lock->unlock();
        m_lock.reset();
    }
    m_locked = false;
}
