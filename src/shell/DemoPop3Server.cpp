#include "DemoPop3Server.h"

#include <QCryptographicHash>
#include <QTcpSocket>

namespace {
const QByteArray kCrLf = "\r\n";

/// The 1-based message number of `arg`, or 0 when it names none of `count`.
int messageNumber(const QByteArray &arg, qsizetype count)
{
    bool ok = false;
    const int n = arg.toInt(&ok);
    return ok && n >= 1 && n <= count ? n : 0;
}
}

DemoPop3Server::DemoPop3Server(QByteArray user, QByteArray password, QByteArrayList messages, QObject *parent)
    : QTcpServer(parent), m_user(std::move(user)), m_password(std::move(password)), m_messages(std::move(messages))
{
    connect(this, &QTcpServer::newConnection, this, &DemoPop3Server::onNewConnection);
}

bool DemoPop3Server::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

void DemoPop3Server::onNewConnection()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        m_sessions.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_sessions.remove(socket);
            socket->deleteLater();
        });
        socket->write("+OK Murmelo demo mailbox ready" + kCrLf);
    }
}

void DemoPop3Server::onReadyRead(QTcpSocket *socket)
{
    // Whole lines only; a pipelining client may send several at once.
    while (socket->canReadLine()) {
        QByteArray line = socket->readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        bool close = false;
        socket->write(answer(m_sessions[socket], line, close));
        if (close) {
            socket->disconnectFromHost();
            return;
        }
    }
}

QByteArray DemoPop3Server::multiLine(const QByteArray &text)
{
    QByteArray out;
    QByteArrayList lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray l : lines) {
        if (l.endsWith('\r'))
            l.chop(1);
        if (l.startsWith('.'))
            out += '.';
        out += l + kCrLf;
    }
    return out + '.' + kCrLf;
}

QByteArray DemoPop3Server::top(int index, int lines) const
{
    const QByteArray &raw = m_messages.at(index);
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return raw;
    QByteArray out = raw.left(end + 4);
    const QByteArrayList body = raw.mid(end + 4).split('\n');
    for (int i = 0; i < lines && i < body.size(); ++i)
        out += body.at(i) + (i + 1 < body.size() ? QByteArray("\n") : QByteArray());
    return out;
}

QByteArray DemoPop3Server::answer(Session &session, const QByteArray &line, bool &close) const
{
    const QByteArrayList words = line.split(' ');
    const QByteArray verb = words.first().toUpper();
    const QByteArray arg = words.size() > 1 ? words.at(1) : QByteArray();
    const qsizetype count = m_messages.size();

    if (verb == "QUIT") {
        close = true;
        return "+OK bye" + kCrLf;
    }
    if (verb == "CAPA")
        return "+OK capabilities follow" + kCrLf + multiLine("USER\nUIDL\nTOP\nPIPELINING\n");
    if (!session.authorised) {
        if (verb == "USER") {
            session.user = line.mid(5);
            return "+OK send the password" + kCrLf;
        }
        if (verb == "PASS") {
            session.authorised = !session.user.isEmpty() && session.user == m_user && line.mid(5) == m_password;
            if (session.authorised)
                return "+OK mailbox open" + kCrLf;
            session.user.clear();
            return "-ERR wrong user name or password" + kCrLf;
        }
        return "-ERR log in first" + kCrLf;
    }

    if (verb == "NOOP" || verb == "RSET")
        return "+OK" + kCrLf;
    if (verb == "STAT") {
        qsizetype size = 0;
        for (const QByteArray &m : m_messages)
            size += m.size();
        return "+OK " + QByteArray::number(count) + ' ' + QByteArray::number(size) + kCrLf;
    }
    if (verb == "LIST" || verb == "UIDL") {
        const auto item = [&](int n) {
            const QByteArray &m = m_messages.at(n - 1);
            const QByteArray value = verb == "LIST"
                ? QByteArray::number(m.size())
                : QCryptographicHash::hash(m, QCryptographicHash::Sha1).toHex().left(20);
            return QByteArray::number(n) + ' ' + value;
        };
        if (!arg.isEmpty()) {
            const int n = messageNumber(arg, count);
            return n ? "+OK " + item(n) + kCrLf : "-ERR no such message" + kCrLf;
        }
        QByteArray list;
        for (int n = 1; n <= count; ++n)
            list += item(n) + '\n';
        return "+OK" + kCrLf + multiLine(list);
    }
    if (verb == "RETR" || verb == "TOP") {
        const int n = messageNumber(arg, count);
        if (!n)
            return "-ERR no such message" + kCrLf;
        bool ok = verb == "RETR";
        const int lines = words.size() > 2 ? words.at(2).toInt(&ok) : 0;
        if (!ok || lines < 0)
            return "-ERR say how many lines" + kCrLf;
        return "+OK" + kCrLf + multiLine(verb == "RETR" ? m_messages.at(n - 1) : top(n - 1, lines));
    }
    if (verb == "DELE")
        return "-ERR the demo mailbox keeps its messages" + kCrLf;
    return "-ERR unknown command" + kCrLf;
}
