#include "FakeImapServer.h"
#include <QRegularExpression>
#include <QTcpSocket>

namespace {
/// Reads one astring of a command line (atom, quoted string or literal) from `pos`.
QByteArray readAstring(const QByteArray &line, qsizetype &pos)
{
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    QByteArray out;
    if (pos < line.size() && line[pos] == '"') {
        ++pos;
        while (pos < line.size() && line[pos] != '"') {
            if (line[pos] == '\\' && pos + 1 < line.size())
                ++pos;
            out += line[pos++];
        }
        ++pos;
        return out;
    }
    if (pos < line.size() && line[pos] == '{') {
        const qsizetype close = line.indexOf('}', pos);
        const qsizetype n = line.mid(pos + 1, close - pos - 1).replace("+", "").toLongLong();
        pos = line.indexOf('\n', close) + 1;
        out = line.mid(pos, n);
        pos += n;
        return out;
    }
    while (pos < line.size() && line[pos] != ' ')
        out += line[pos++];
    return out;
}

/// Fields `from` to `to` (-1: the last) of `text` split at `sep`, joined again.
QByteArray section(const QByteArray &text, char sep, int from, int to = -1)
{
    const QList<QByteArray> parts = text.split(sep);
    if (to < 0)
        to = int(parts.size()) - 1;
    QByteArrayList out;
    for (int i = from; i <= to && i < parts.size(); ++i)
        out << parts.at(i);
    return out.join(sep);
}

QByteArray headerOf(const QByteArray &raw)
{
    const qsizetype end = raw.indexOf("\r\n\r\n");
    return end < 0 ? raw : raw.left(end + 4);
}
}

void FakeImapServer::renumber(quint32 firstUid)
{
    m_nextUid = firstUid;
    for (Message &m : m_messages)
        m.uid = m_nextUid++;
}

quint32 FakeImapServer::addMessage(const QByteArray &raw)
{
    QByteArray text = raw;
    if (!text.endsWith("\r\n"))
        text += "\r\n";
    m_messages.append({m_nextUid++, text});
    const QByteArray exists = "* " + QByteArray::number(m_messages.size()) + " EXISTS\r\n";
    for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
        if (!it->idleTag.isEmpty())
            send(it.key(), exists);
    }
    return m_messages.last().uid;
}

void FakeImapServer::setAction(const QByteArray &verb, Action action, const QByteArray &text)
{
    m_rules.insert(verb.toUpper(), {action, text});
}

QByteArray FakeImapServer::commandOf(const QByteArray &line) const
{
    const QByteArray trimmed = line.trimmed();
    const qsizetype space = trimmed.indexOf(' ');
    return space < 0 ? trimmed : trimmed.mid(space + 1);
}

void FakeImapServer::opened(QTcpSocket *socket)
{
    m_sessions.insert(socket, Session());
    const QByteArray greeting =
        m_greeting.isEmpty() ? "* OK [CAPABILITY " + m_capabilities + "] Fake IMAP ready" : m_greeting;
    socket->write(greeting + "\r\n");
}

void FakeImapServer::readFrom(QTcpSocket *socket)
{
    if (!m_sessions.contains(socket))
        return;
    QByteArray buffer = socket->readAll();
    static const QRegularExpression literal(QStringLiteral("\\{(\\d+)(\\+?)\\}\\r?\\n$"));
    while (!buffer.isEmpty() && m_sessions.contains(socket)) {
        Session &s = m_sessions[socket];
        if (s.literalLeft > 0) {
            const QByteArray part = buffer.left(s.literalLeft);
            buffer.remove(0, part.size());
            s.literalLeft -= part.size();
            s.pending += part;
            m_received.append(part);
            continue;
        }
        const qsizetype nl = buffer.indexOf('\n');
        if (nl < 0) {
            s.pending += buffer; // kept until its line end arrives
            m_received.append(buffer);
            break;
        }
        const QByteArray line = buffer.left(nl + 1);
        buffer.remove(0, nl + 1);
        m_received.append(line);
        if (!s.idleTag.isEmpty()) {
            if (line.trimmed().toUpper() == "DONE") {
                send(socket, s.idleTag + " OK Idle completed\r\n");
                s.idleTag.clear();
            }
            continue;
        }
        if (!s.authTag.isEmpty()) {
            // Without the capabilities in the answer: the client asks for them again.
            send(socket, loggedIn(s, std::exchange(s.authTag, QByteArray()), plain(line.trimmed()), false));
            continue;
        }
        s.pending += line;
        const QRegularExpressionMatch m = literal.match(QString::fromLatin1(s.pending.right(40)));
        if (m.hasMatch()) {
            s.literalLeft = m.captured(1).toLongLong();
            if (m.captured(2).isEmpty())
                send(socket, "+ Ready for literal data\r\n");
            continue;
        }
        QByteArray command = std::exchange(s.pending, QByteArray());
        while (command.endsWith('\n') || command.endsWith('\r'))
            command.chop(1);
        handleCommand(socket, command);
    }
}

void FakeImapServer::handleCommand(QTcpSocket *socket, const QByteArray &command)
{
    const qsizetype space = command.indexOf(' ');
    const QByteArray tag = space < 0 ? command : command.left(space);
    const QByteArray rest = space < 0 ? QByteArray() : command.mid(space + 1);
    const QByteArray verb = section(rest, ' ', 0, 0).toUpper();
    Q_EMIT commandReceived(rest);
    if (!m_sessions.contains(socket))
        return;
    const Rule rule = m_rules.value(verb);
    switch (rule.action) {
    case Action::Answer:
        answer(socket, tag, verb, rest);
        return;
    case Action::No:
        send(socket, tag + " NO " + (rule.text.isEmpty() ? QByteArray("Refused") : rule.text) + "\r\n");
        return;
    case Action::Bye:
        send(socket, "* BYE " + (rule.text.isEmpty() ? QByteArray("Server shutting down") : rule.text) + "\r\n", true);
        return;
    case Action::Silent:
        return;
    case Action::Raw:
        send(socket, rule.text);
        return;
    }
}

void FakeImapServer::answer(QTcpSocket *socket, const QByteArray &tag, const QByteArray &verb, const QByteArray &command)
{
    Session &s = m_sessions[socket];
    qsizetype pos = verb.size();
    if (verb == "CAPABILITY") {
        send(socket, "* CAPABILITY " + m_capabilities + "\r\n" + tag + " OK Capability completed\r\n");
    } else if (verb == "NOOP") {
        send(socket, tag + " OK NOOP completed\r\n");
    } else if (verb == "LOGIN") {
        const QByteArray user = readAstring(command, pos);
        const QByteArray password = readAstring(command, pos);
        send(socket, loggedIn(s, tag, user == m_user && password == m_password));
    } else if (verb == "AUTHENTICATE") {
        const QByteArray mechanism = readAstring(command, pos).toUpper();
        const QByteArray initial = readAstring(command, pos);
        if (mechanism != "PLAIN") {
            send(socket, tag + " NO Unsupported mechanism\r\n");
        } else if (initial.isEmpty()) {
            s.authTag = tag;
            send(socket, "+ \r\n");
        } else {
            send(socket, loggedIn(s, tag, plain(initial)));
        }
    } else if (!s.authenticated) {
        send(socket, tag + " BAD Not authenticated\r\n");
    } else if (verb == "EXAMINE" || verb == "SELECT") {
        const QByteArray folder = readAstring(command, pos);
        if (folder.toUpper() != "INBOX") {
            send(socket, tag + " NO [NONEXISTENT] Mailbox doesn't exist: " + folder + "\r\n");
            return;
        }
        if (verb == "SELECT")
            m_seenRisk = true;
        const quint32 next = m_messages.isEmpty() ? m_nextUid : qMax(m_nextUid, m_messages.last().uid + 1);
        send(socket, "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n"
                     "* OK [PERMANENTFLAGS ()] Read-only mailbox.\r\n* "
                         + QByteArray::number(m_messages.size()) + " EXISTS\r\n* 0 RECENT\r\n"
                         + "* OK [UIDVALIDITY " + QByteArray::number(m_uidValidity) + "] UIDs valid\r\n"
                         + "* OK [UIDNEXT " + QByteArray::number(next) + "] Predicted next UID\r\n" + tag
                         + (verb == "EXAMINE" ? " OK [READ-ONLY] Examine completed\r\n" : " OK [READ-WRITE] Select completed\r\n"));
    } else if (verb == "UID") {
        const QByteArray sub = section(command, ' ', 1, 1).toUpper();
        const QByteArray args = section(command, ' ', 2);
        if (sub == "SEARCH") {
            const QList<int> found = resolve(section(args, ' ', 1, 1), true);
            QByteArray line = "* SEARCH";
            for (const int i : found)
                line += ' ' + QByteArray::number(m_messages.at(i).uid);
            send(socket, line + "\r\n" + tag + " OK Search completed\r\n");
        } else if (sub == "FETCH") {
            send(socket, fetch(args, true) + tag + " OK Fetch completed\r\n");
        } else {
            send(socket, tag + " BAD Unknown UID command\r\n");
        }
    } else if (verb == "FETCH") {
        send(socket, fetch(section(command, ' ', 1), false) + tag + " OK Fetch completed\r\n");
    } else if (verb == "IDLE") {
        s.idleTag = tag;
        send(socket, "+ idling\r\n");
        Q_EMIT idling();
    } else if (verb == "LOGOUT") {
        send(socket, "* BYE Logging out\r\n" + tag + " OK Logout completed\r\n", true);
    } else {
        send(socket, tag + " BAD Unknown command\r\n");
    }
}

bool FakeImapServer::plain(const QByteArray &base64) const
{
    const QList<QByteArray> parts = QByteArray::fromBase64(base64).split('\0');
    return parts.size() == 3 && parts.at(1) == m_user && parts.at(2) == m_password;
}

QByteArray FakeImapServer::loggedIn(Session &s, const QByteArray &tag, bool ok, bool withCapabilities) const
{
    s.authenticated = ok;
    if (!ok)
        return tag + " NO [AUTHENTICATIONFAILED] Authentication failed.\r\n";
    return tag + (withCapabilities ? " OK [CAPABILITY " + m_capabilities + "] Logged in\r\n" : " OK Logged in\r\n");
}

QList<int> FakeImapServer::resolve(const QByteArray &set, bool byUid) const
{
    QList<int> out;
    if (m_messages.isEmpty())
        return out;
    const quint32 max = byUid ? m_messages.last().uid : quint32(m_messages.size());
    for (const QByteArray &range : set.split(',')) {
        const QByteArray a = section(range, ':', 0, 0);
        const QByteArray b = range.contains(':') ? section(range, ':', 1, 1) : a;
        quint32 lo = a == "*" ? max : a.toUInt();
        quint32 hi = b == "*" ? max : b.toUInt();
        if (lo > hi)
            std::swap(lo, hi); // RFC 9051: "n:*" with n above the largest names the largest
        for (int i = 0; i < m_messages.size(); ++i) {
            const quint32 key = byUid ? m_messages.at(i).uid : quint32(i + 1);
            if (key >= lo && key <= hi && !out.contains(i))
                out.append(i);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

QByteArray FakeImapServer::fetch(const QByteArray &args, bool byUid)
{
    const QByteArray set = section(args, ' ', 0, 0);
    const QByteArray items = section(args, ' ', 1).toUpper();
    if (items.contains("BODY[") || items.contains("RFC822)") || items.contains("RFC822 "))
        m_seenRisk = true;
    const bool header = items.contains("[HEADER]");
    qsizetype limit = -1;
    const qsizetype lt = items.indexOf("]<0.");
    if (lt >= 0)
        limit = items.mid(lt + 4, items.indexOf('>', lt) - lt - 4).toLongLong();
    QByteArray out;
    bool first = true;
    for (const int i : resolve(set, byUid)) {
        const Message &m = m_messages.at(i);
        QByteArray body = header ? headerOf(m.raw) : m.raw;
        QByteArray name = header ? "BODY[HEADER]" : "BODY[]";
        if (limit >= 0) {
            body = body.left(limit);
            name += "<0>";
        }
        out += "* " + QByteArray::number(i + 1) + " FETCH (UID " + QByteArray::number(m.uid) + ' ' + name + " {"
             + QByteArray::number(body.size()) + "}\r\n" + body + ")\r\n";
        if (first && !m_inject.isEmpty())
            out += std::exchange(m_inject, QByteArray());
        first = false;
    }
    return out;
}

void FakeImapServer::send(QTcpSocket *socket, const QByteArray &bytes, bool closeAfter)
{
    if (!m_sessions.contains(socket))
        return;
    if (streaming())
        return enqueue(socket, Piece{bytes, 0, closeAfter});
    // Written without flushing, unlike POP3: the push suite's timing of a hang-up depends on it.
    socket->write(bytes);
    if (closeAfter)
        socket->disconnectFromHost();
}
