#include "FakePop3Server.h"
#include <QTcpSocket>
#include <utility>

namespace {
const QByteArray kCrLf("\r\n");

QByteArray verbOf(const QByteArray &line)
{
    const qsizetype blank = line.indexOf(' ');
    return (blank < 0 ? line : line.left(blank)).toUpper();
}
}

int FakePop3Server::addMessage(const QByteArray &raw)
{
    QByteArray message = raw;
    if (!message.endsWith(kCrLf))
        message.append(kCrLf);
    m_messages.append(message);
    return int(m_messages.size());
}

void FakePop3Server::setAction(const QByteArray &command, Action action, const QByteArray &text)
{
    Rule &rule = m_rules[command];
    rule.action = action;
    rule.text = text;
}

void FakePop3Server::clearReceived()
{
    m_received.clear();
    m_turns = 0;
    m_maxBurst = 0;
}

void FakePop3Server::opened(QTcpSocket *socket)
{
    m_sessions.insert(socket, Session());
    if (!m_neverGreet) {
        socket->write(m_greeting + kCrLf);
        socket->flush();
    }
}

void FakePop3Server::readFrom(QTcpSocket *socket)
{
    auto it = m_sessions.find(socket);
    if (it == m_sessions.end())
        return;
    it->pending.append(socket->readAll());
    if (it->pending.contains(kCrLf)) {
        if (it->sentSinceLastTurn) {
            ++m_turns;
            it->sentSinceLastTurn = false;
        }
        m_maxBurst = qMax(m_maxBurst, int(it->pending.count(kCrLf)));
    }
    for (;;) {
        it = m_sessions.find(socket);
        if (it == m_sessions.end())
            return;
        const qsizetype end = it->pending.indexOf(kCrLf);
        if (end < 0)
            return;
        const QByteArray raw = it->pending.left(end + 2);
        it->pending.remove(0, end + 2);
        m_received.append(raw);
        handleLine(socket, raw.chopped(2));
    }
}

FakePop3Server::Rule FakePop3Server::ruleFor(const QByteArray &line) const
{
    auto it = m_rules.find(line);
    if (it != m_rules.end())
        return *it;
    return m_rules.value(verbOf(line));
}

void FakePop3Server::handleLine(QTcpSocket *socket, const QByteArray &line)
{
    Q_EMIT commandReceived(line);
    if (m_silentAfterGreeting || !m_sessions.contains(socket))
        return;
    const Rule rule = ruleFor(line);
    bool closeAfter = false;
    switch (rule.action) {
    case Action::Silent:
        return;
    case Action::Error:
        out(socket, Piece{rule.text.isEmpty() ? QByteArray("-ERR\r\n") : "-ERR " + rule.text + kCrLf, 0,
                          verbOf(line) == "QUIT"});
        return;
    case Action::Raw:
        out(socket, Piece{rule.text});
        return;
    case Action::DropMidReply: {
        const QByteArray answer = normalAnswer(m_sessions[socket], line, closeAfter);
        out(socket, Piece{answer.left(qMax<qsizetype>(1, answer.size() / 2)), 0, true});
        return;
    }
    case Action::Answer:
        break;
    }
    const QByteArray answer = normalAnswer(m_sessions[socket], line, closeAfter);
    out(socket, Piece{answer, 0, closeAfter});
}

void FakePop3Server::out(QTcpSocket *socket, Piece piece)
{
    auto it = m_sessions.find(socket);
    if (it == m_sessions.end())
        return;
    it->sentSinceLastTurn = true;
    enqueue(socket, std::move(piece));
}

QByteArray FakePop3Server::normalAnswer(Session &session, const QByteArray &line, bool &closeAfter)
{
    const QByteArray verb = verbOf(line);
    const QList<QByteArray> args = line.mid(verb.size()).trimmed().split(' ');
    const QByteArray arg = line.mid(verb.size() + 1);
    const int n = args.value(0).toInt(); // 0 when missing or not a number
    const bool known = n >= 1 && n <= m_messages.size();
    const QByteArray noSuchMessage = "-ERR There's no message " + args.value(0) + ".\r\n";

    if (verb == "QUIT") {
        closeAfter = true;
        return "+OK Logging out.\r\n";
    }
    if (verb == "CAPA") {
        QByteArray reply = "+OK\r\n";
        const bool before = m_splitCapabilities && !session.authorised;
        for (const QByteArray &capability : before ? m_capabilitiesBeforeLogin : m_capabilities)
            reply += capability + kCrLf;
        return reply + ".\r\n";
    }
    if (verb == "NOOP")
        return "+OK\r\n";
    if (!session.authorised) {
        if (verb == "USER") {
            session.user = arg;
            return "+OK\r\n";
        }
        if (verb == "PASS") {
            if (session.user == m_user && arg == m_password) {
                session.authorised = true;
                return "+OK Logged in.\r\n";
            }
            return "-ERR [AUTH] Authentication failed.\r\n";
        }
        return "-ERR Unknown command: " + verb + "\r\n";
    }

    qsizetype total = 0;
    for (const QByteArray &m : m_messages)
        total += m.size();
    if (verb == "STAT")
        return "+OK " + QByteArray::number(m_messages.size()) + ' ' + QByteArray::number(total) + "\r\n";
    if (verb == "LIST" || verb == "UIDL") {
        auto item = [&](int k) {
            return QByteArray::number(k) + ' '
                + (verb == "LIST" ? QByteArray::number(m_messages.at(k - 1).size()) : uid(k));
        };
        if (!args.first().isEmpty())
            return known ? "+OK " + item(n) + "\r\n" : noSuchMessage;
        QByteArray reply = "+OK\r\n";
        for (int k = 1; k <= m_messages.size(); ++k)
            reply += item(k) + "\r\n";
        return reply + ".\r\n";
    }
    if (verb == "TOP" || verb == "RETR") {
        if (!known)
            return noSuchMessage;
        const QByteArray &m = m_messages.at(n - 1);
        if (verb == "RETR")
            return "+OK " + QByteArray::number(m.size()) + " octets\r\n" + stuffed(m) + ".\r\n";
        bool linesOk = false;
        const int lines = args.value(1).toInt(&linesOk);
        if (!linesOk || lines < 0)
            return "-ERR Invalid number of lines.\r\n";
        return "+OK\r\n" + stuffed(top(n, lines)) + ".\r\n";
    }
    if (verb == "USER" || verb == "PASS")
        return "-ERR Already logged in.\r\n";
    return "-ERR Unknown command: " + verb + "\r\n";
}

QByteArray FakePop3Server::top(int index, int lines) const
{
    const QByteArray &m = m_messages.at(index - 1);
    const qsizetype blank = m.indexOf("\r\n\r\n");
    if (blank < 0)
        return m;
    QByteArray out = m.left(blank + 4);
    qsizetype pos = blank + 4;
    for (int i = 0; i < lines && pos < m.size(); ++i) {
        qsizetype end = m.indexOf(kCrLf, pos);
        end = end < 0 ? m.size() : end + 2;
        out.append(m.mid(pos, end - pos));
        pos = end;
    }
    if (!out.endsWith(kCrLf))
        out.append(kCrLf);
    return out;
}

QByteArray FakePop3Server::stuffed(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size() + 16);
    bool lineStart = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (lineStart && c == '.')
            out.append('.');
        out.append(c);
        lineStart = c == '\n' && i > 0 && text.at(i - 1) == '\r';
    }
    return out;
}

QByteArray FakePop3Server::uid(int index) const
{
    return "fake-" + QByteArray::number(qHash(m_messages.at(index - 1)), 16) + '-' + QByteArray::number(index);
}
