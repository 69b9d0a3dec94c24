#include "ScriptedHttpServer.h"
#include <QSslConfiguration>
#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>

ScriptedHttpServer::ScriptedHttpServer(QObject *parent) : QObject(parent) {}

ScriptedHttpServer::~ScriptedHttpServer()
{
    // Open sockets would report their end into a half-destroyed server.
    const QList<QTcpSocket *> open = m_pending.keys();
    for (QTcpSocket *socket : open) {
        socket->disconnect(this);
        delete socket;
    }
}

bool ScriptedHttpServer::listen()
{
    m_server = std::make_unique<QTcpServer>();
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this, &ScriptedHttpServer::onNewConnection);
    return m_server->listen(QHostAddress::LocalHost, 0);
}

bool ScriptedHttpServer::listenTls(const QSslCertificate &certificate, const QSslKey &key)
{
    auto server = std::make_unique<QSslServer>();
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(certificate);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    server->setSslConfiguration(config);
    connect(server.get(), &QTcpServer::pendingConnectionAvailable, this, &ScriptedHttpServer::onNewConnection);
    m_server = std::move(server);
    m_tls = true;
    return m_server->listen(QHostAddress::LocalHost, 0);
}

QString ScriptedHttpServer::url(const QByteArray &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_tls ? QStringLiteral("https") : QStringLiteral("http")).arg(port())
         + QString::fromUtf8(path);
}

void ScriptedHttpServer::on(const QByteArray &method, const QByteArray &path, const Response &response)
{
    m_script.insert(method + ' ' + path, response);
}

void ScriptedHttpServer::requireCredentials(const QByteArray &user, const QByteArray &password)
{
    m_authorization = "Basic " + (user + ':' + password).toBase64();
}

int ScriptedHttpServer::countOf(const QByteArray &method, const QByteArray &path) const
{
    int n = 0;
    for (const Request &r : m_requests)
        n += r.method == method && (path.isEmpty() || r.path == path);
    return n;
}

void ScriptedHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        ++m_connections;
        socket->setParent(this);
        m_pending.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_pending.remove(socket);
            socket->deleteLater();
            Q_EMIT clientDisconnected();
        });
    }
}

void ScriptedHttpServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_pending[socket];
    buffer += socket->readAll();
    for (;;) {
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
        const qsizetype length = request.headers.value("content-length", "0").toLongLong();
        if (buffer.size() < headEnd + 4 + length)
            return;
        request.body = buffer.mid(headEnd + 4, length);
        buffer.remove(0, headEnd + 4 + length);
        m_requests.append(request);
        Q_EMIT requestReceived(request.method, request.path);
        answer(socket, request);
    }
}

void ScriptedHttpServer::answer(QTcpSocket *socket, const Request &request)
{
    Response response;
    if (!m_authorization.isEmpty() && request.headers.value("authorization") != m_authorization) {
        response.status = 401;
        response.reason = "Unauthorized";
        response.headers.append(qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Basic realm=\"murmelo-test\"")));
    } else {
        const auto it = m_script.constFind(request.method + ' ' + request.path);
        if (it == m_script.constEnd() && m_fallback) {
            response = *m_fallback;
        } else if (it == m_script.constEnd()) {
            response.status = 404;
            response.reason = "Not Found";
            response.body = "no script for " + request.method + ' ' + request.path;
        } else {
            response = *it;
        }
    }
    if (response.silent)
        return;
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + response.reason + "\r\n";
    for (const auto &[name, value] : std::as_const(response.headers))
        bytes += name + ": " + value + "\r\n";
    if (response.close)
        bytes += "Connection: close\r\n";
    bytes += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n";
    if (response.dribbleMs <= 0) {
        socket->write(bytes + response.body);
        if (response.close)
            socket->disconnectFromHost();
        return;
    }
    socket->write(bytes);
    auto *timer = new QTimer(socket);
    connect(timer, &QTimer::timeout, socket, [socket, timer, body = response.body, close = response.close, sent = qsizetype(0)]() mutable {
        if (sent < body.size()) {
            socket->write(body.mid(sent++, 1));
            return;
        }
        timer->stop();
        if (close)
            socket->disconnectFromHost();
    });
    timer->start(response.dribbleMs);
}
