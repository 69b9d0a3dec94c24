#pragma once
#include <QByteArray>
#include <QByteArrayView>

/// Frames one POP3 reply (RFC 1939 section 3) out of the chunks a socket delivers.
/// Pure and socket-free: the shell feeds it, the fuzzer drives it directly.
///
/// A single-line reply ends at its first CR LF. A multi-line reply ends at the line
/// holding a lone "." (wherever the chunks split it); its lines are un-stuffed (one
/// leading "." dropped from every line that begins with "."). A multi-line command
/// answered negatively ("-ERR ...") gets a single line, so that reply ends there too.
/// Lines end with CR LF only: a bare LF is part of the line, so content stays byte for byte.
class Pop3ReplyFramer
{
public:
    /// Starts a new reply; everything of the previous one is dropped.
    void begin(bool multiLine);
    /// Adds a chunk. True once the reply is complete; bytes after its end go to surplus().
    bool feed(QByteArrayView chunk);

    bool isComplete() const { return m_complete; }
    bool isMultiLine() const { return m_multiLine; }
    /// The closing line was found in a later chunk than the first.
    bool endedLate() const { return m_endedLate; }
    /// Number of chunks fed since begin().
    int chunkCount() const { return m_chunks; }
    /// Bytes received so far for this reply (raw, as fed, up to its end).
    qsizetype receivedBytes() const { return m_received; }

    /// The first line without its CR LF (empty until it is complete).
    QByteArray statusLine() const { return m_status; }
    /// The status line begins with "+OK" (letter case ignored).
    bool isPositive() const;
    /// Single-line (and negative): the status line after its first word and one blank. Multi-line: the
    /// un-stuffed lines after the status line, joined by CR LF, without the
    /// terminating line and without the CR LF before it.
    QByteArray payload() const;
    /// The whole un-stuffed reply without its terminating line: status line, CR LF, payload.
    QByteArray content() const;
    /// Bytes that followed the end of the reply in the last chunk.
    QByteArray surplus() const { return m_surplus; }

private:
    void takeLine(QByteArrayView line);

    QByteArray m_pending; // bytes of lines not yet complete
    QByteArray m_status;
    QByteArray m_body;    // un-stuffed body lines, each followed by CR LF
    QByteArray m_surplus;
    qsizetype m_received = 0;
    int m_chunks = 0;
    bool m_multiLine = false;
    bool m_haveStatus = false;
    bool m_complete = false;
    bool m_endedLate = false;
};
