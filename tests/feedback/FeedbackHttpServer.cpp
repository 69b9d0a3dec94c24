#include "FeedbackHttpServer.h"
#include <QTcpSocket>

FeedbackHttpServer::FeedbackHttpServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FeedbackHttpServer::onNewConnection);
}

FeedbackHttpServer::~FeedbackHttpServer()
{
    // Open sockets would report their end into a half-destroyed server.
    const QList<QTcpSocket *> open = m_pending.keys();
    for (QTcpSocket *socket : open) {
        socket->disconnect(this);
        delete socket;
    }
}

bool FeedbackHttpServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QUrl FeedbackHttpServer::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/php/ic.php").arg(port()));
}

void FeedbackHttpServer::setStatus(int status, const QByteArray &reason)
{
    m_status = status;
    m_reason = reason;
}

void FeedbackHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_connections;
        socket->setParent(this);
        m_pending.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            ++m_disconnects;
            m_pending.remove(socket);
            socket->deleteLater();
            Q_EMIT clientDisconnected();
        });
    }
}

void FeedbackHttpServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_pending[socket];
    buffer += socket->readAll();
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    Request request;
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.path = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    const qsizetype length = request.headers.value("content-length").toLongLong();
    if (buffer.size() - (headEnd + 4) < length)
        return;
    request.body = buffer.mid(headEnd + 4, length);
    buffer.clear();
    m_requests.append(request);
    Q_EMIT requestReceived();
    if (m_silent)
        return;
    const QByteArray answer = "HTTP/1.1 " + QByteArray::number(m_status) + ' ' + m_reason
        + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    socket->write(answer);
    socket->disconnectFromHost();
}
