#include "Pop3ReplyFramer.h"

namespace {
constexpr QByteArrayView kCrLf("\r\n");
}

void Pop3ReplyFramer::begin(bool multiLine)
{
    m_pending.clear();
    m_status.clear();
    m_body.clear();
    m_surplus.clear();
    m_received = 0;
    m_chunks = 0;
    m_multiLine = multiLine;
    m_haveStatus = false;
    m_complete = false;
    m_endedLate = false;
}

bool Pop3ReplyFramer::feed(QByteArrayView chunk)
{
    if (m_complete) {
        m_surplus.append(chunk);
        return true;
    }
    ++m_chunks;
    // A line split across chunks may leave its CR at the end of m_pending: start the
    // search one byte back so the CR LF is still found.
    qsizetype scanFrom = qMax<qsizetype>(0, m_pending.size() - 1);
    m_pending.append(chunk);
    qsizetype pos = 0;
    while (!m_complete) {
        const qsizetype end = m_pending.indexOf(kCrLf, qMax(pos, scanFrom));
        if (end < 0)
            break;
        takeLine(QByteArrayView(m_pending).sliced(pos, end - pos));
        pos = end + 2;
    }
    if (m_complete) {
        m_received += pos - (m_pending.size() - chunk.size());
        m_surplus = m_pending.mid(pos);
        m_pending.clear();
        if (m_chunks > 1)
            m_endedLate = true;
    } else {
        m_received += chunk.size();
        m_pending.remove(0, pos);
    }
    return m_complete;
}

void Pop3ReplyFramer::takeLine(QByteArrayView line)
{
    if (!m_haveStatus) {
        m_haveStatus = true;
        m_status = line.toByteArray();
        // A negative reply is always one line, even to a multi-line command.
        if (!m_multiLine || line.startsWith('-'))
            m_complete = true;
        return;
    }
    if (line == QByteArrayView(".")) {
        m_complete = true;
        return;
    }
    if (line.startsWith('.'))
        line = line.sliced(1);
    m_body.append(line);
    m_body.append(kCrLf);
}

bool Pop3ReplyFramer::isPositive() const
{
    return m_status.left(3).toUpper() == "+OK";
}

QByteArray Pop3ReplyFramer::payload() const
{
    if (m_multiLine && !m_status.startsWith('-'))
        return m_body.isEmpty() ? QByteArray() : m_body.chopped(2);
    const qsizetype blank = m_status.indexOf(' ');
    return blank < 0 ? QByteArray() : m_status.mid(blank + 1);
}

QByteArray Pop3ReplyFramer::content() const
{
    if (!m_multiLine || m_status.startsWith('-'))
        return m_status;
    return m_status + QByteArray("\r\n") + payload();
}
