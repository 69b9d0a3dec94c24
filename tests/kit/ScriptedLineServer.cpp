#include "ScriptedLineServer.h"
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <utility>

ScriptedLineServer::ScriptedLineServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_connections;
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            m_out.insert(socket, Outbox());
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_out.remove(socket);
                closed(socket);
                socket->deleteLater();
                Q_EMIT clientDisconnected();
            });
            opened(socket);
        }
    });
}

ScriptedLineServer::~ScriptedLineServer()
{
    // Aborting emits disconnected, whose handler reaches the subclass, already gone: take
    // the sockets out and disconnect them first.
    const QList<QTcpSocket *> sockets = m_out.keys();
    m_out.clear();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
    }
}

void ScriptedLineServer::setStreamChunks(const QList<int> &sizes, int gapMs)
{
    m_streamChunks.clear();
    for (int size : sizes)
        if (size > 0)
            m_streamChunks.append(size);
    m_streamGapMs = gapMs;
}

void ScriptedLineServer::dropAll()
{
    const QList<QTcpSocket *> sockets = m_out.keys();
    for (QTcpSocket *socket : sockets)
        socket->abort();
}

QList<QByteArray> ScriptedLineServer::commands() const
{
    QList<QByteArray> out;
    for (const QByteArray &line : m_received)
        out << commandOf(line);
    return out;
}

int ScriptedLineServer::countOf(const QByteArray &verb) const
{
    int n = 0;
    for (const QByteArray &command : commands())
        n += command.trimmed().split(' ').first().toUpper() == verb.toUpper() ? 1 : 0;
    return n;
}

void ScriptedLineServer::enqueue(QTcpSocket *socket, Piece piece)
{
    auto it = m_out.find(socket);
    if (it == m_out.end())
        return;
    if (!m_streamChunks.isEmpty()) {
        // Re-cut the whole stream: the pieces ignore where one reply ends.
        for (qsizetype pos = 0; pos < piece.bytes.size();) {
            const int size = m_streamChunks.at(it->streamChunk++ % m_streamChunks.size());
            const bool last = pos + size >= piece.bytes.size();
            it->pieces.push_back(Piece{piece.bytes.mid(pos, size), m_streamGapMs, last && piece.closeAfter});
            pos += size;
        }
    } else {
        it->pieces.push_back(std::move(piece));
    }
    if (!it->draining)
        drain(socket);
}

void ScriptedLineServer::drain(QTcpSocket *socket)
{
    auto it = m_out.find(socket);
    if (it == m_out.end())
        return;
    it->draining = true;
    while (!it->pieces.empty()) {
        Piece &next = it->pieces.front();
        if (next.delayMs > 0) {
            const int delay = std::exchange(next.delayMs, 0);
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(delay, this, [this, guard] {
                if (guard)
                    drain(guard);
            });
            return; // still draining: later replies wait behind this piece
        }
        const Piece piece = std::move(next);
        it->pieces.pop_front();
        if (socket->state() != QAbstractSocket::ConnectedState) {
            it->pieces.clear();
            break;
        }
        socket->write(piece.bytes);
        socket->flush();
        it = m_out.find(socket); // a failed write may already have ended the session
        if (it == m_out.end())
            return;
        if (piece.closeAfter) {
            it->pieces.clear();
            it->draining = false;
            socket->disconnectFromHost();
            return;
        }
    }
    it->draining = false;
}
