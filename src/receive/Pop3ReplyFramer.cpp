#include "Pop3ReplyFramer.h"
#include <limits>
#include <utility>

namespace {
constexpr QByteArrayView kCrLf("\r\n");
}

void Pop3ReplyFramer::begin(bool multiLine)
{
    m_pending.clear();
    m_status.clear();
    m_body.clear();
    m_surplus.clear();
    m_skippedStart.clear();
    m_received = 0;
    m_chunks = 0;
    m_multiLine = multiLine;
    m_haveStatus = false;
    m_complete = false;
    m_endedLate = false;
    m_truncated = false;
    m_skipping = false;
    m_skippedCr = false;
}

bool Pop3ReplyFramer::feed(QByteArrayView chunk)
{
    if (m_complete) {
        m_surplus.append(chunk);
        return true;
    }
    ++m_chunks;
    const qsizetype size = chunk.size();
    qsizetype pos = 0;
    while (pos < size && !m_complete) {
        if (m_skipping) {
            // Inside an overlong line: nothing of it is held, only its end is looked for.
            if (m_skippedCr && chunk.at(pos) == '\n') {
                ++pos;
                endSkippedLine();
                continue;
            }
            const qsizetype end = chunk.indexOf(kCrLf, pos);
            if (end < 0) {
                m_skippedCr = chunk.back() == '\r';
                pos = size;
                break;
            }
            pos = end + 2;
            endSkippedLine();
            continue;
        }
        // A line split between its CR and its LF.
        if (m_pending.endsWith('\r') && chunk.at(pos) == '\n') {
            m_pending.chop(1);
            const QByteArray line = std::exchange(m_pending, QByteArray());
            ++pos;
            takeLine(line);
            continue;
        }
        const qsizetype end = chunk.indexOf(kCrLf, pos);
        if (end < 0) {
            m_pending.append(chunk.sliced(pos));
            pos = size;
            if (m_pending.size() > lineRoom()) {
                m_skipping = true;
                m_skippedCr = m_pending.endsWith('\r');
                // A sink's line may lose a stuffing "." yet: one byte more of it.
                m_skippedStart = m_pending.left(m_haveStatus ? MaxSinkLine + 1 : MaxStatusLine);
                m_pending.clear();
            }
            break;
        }
        if (m_pending.isEmpty()) {
            takeLine(chunk.sliced(pos, end - pos));
        } else {
            m_pending.append(chunk.sliced(pos, end - pos));
            const QByteArray line = std::exchange(m_pending, QByteArray());
            takeLine(line);
        }
        pos = end + 2;
    }
    if (m_complete) {
        m_received += pos;
        m_surplus = chunk.sliced(pos).toByteArray();
        m_pending.clear();
        if (m_chunks > 1)
            m_endedLate = true;
    } else {
        m_received += size;
    }
    return m_complete;
}

qsizetype Pop3ReplyFramer::lineRoom() const
{
    // One byte more than a line may hold: the CR of a CR LF still to come (and for a sink, a
    // stuffing "." that is not part of the line).
    if (!m_haveStatus)
        return MaxStatusLine + 1;
    if (m_sink)
        return MaxSinkLine + 2;
    // A line that cannot be kept is only looked at for being the closing ".".
    if (m_truncated)
        return 2;
    if (m_keptBytes > 0)
        return qMax<qsizetype>(2, m_keptBytes - m_body.size());
    return std::numeric_limits<qsizetype>::max();
}

void Pop3ReplyFramer::endSkippedLine()
{
    m_skipping = false;
    m_skippedCr = false;
    const QByteArray start = std::exchange(m_skippedStart, QByteArray());
    if (!m_haveStatus) {
        takeLine(start);
        return;
    }
    if (m_sink) {
        const QByteArrayView line = start.startsWith('.') ? QByteArrayView(start).sliced(1) : QByteArrayView(start);
        m_sink(line.first(qMin(line.size(), MaxSinkLine)), false);
        return;
    }
    // Too long to keep: neither it nor anything after it is kept (an overlong line is no ".").
    m_truncated = true;
}

void Pop3ReplyFramer::takeLine(QByteArrayView line)
{
    if (!m_haveStatus) {
        m_haveStatus = true;
        m_status = line.first(qMin(line.size(), MaxStatusLine)).toByteArray();
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
    if (m_sink) {
        m_sink(line.first(qMin(line.size(), MaxSinkLine)), line.size() <= MaxSinkLine);
        return;
    }
    if (m_truncated)
        return;
    if (m_keptBytes > 0 && m_body.size() + line.size() + 2 > m_keptBytes) {
        m_truncated = true;
        return;
    }
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
