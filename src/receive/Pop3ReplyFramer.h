#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <functional>

/// Frames one POP3 reply (RFC 1939 section 3) out of the chunks a socket delivers.
/// Pure and socket-free: the shell feeds it, the fuzzer drives it directly.
///
/// A single-line reply ends at its first CR LF. A multi-line reply ends at the line
/// holding a lone "." (wherever the chunks split it); its lines are un-stuffed (one
/// leading "." dropped from every line that begins with "."). A multi-line command
/// answered negatively ("-ERR ...") gets a single line, so that reply ends there too.
/// Lines end with CR LF only: a bare LF is part of the line, so content stays byte for byte.
///
/// Memory stays bounded whatever the server sends: at most keptBytes() of a multi-line
/// payload are kept (whole lines; the rest is read and dropped, and truncated() tells),
/// the status line keeps its first MaxStatusLine bytes, and with a line sink the payload
/// lines are handed over one by one instead of being kept at all.
class Pop3ReplyFramer
{
public:
    /// Bytes kept of a status line; the rest of an overlong one is dropped.
    static constexpr qsizetype MaxStatusLine = 4096;
    /// Bytes of a line that a line sink is given at most.
    static constexpr qsizetype MaxSinkLine = 1024;
    /// Takes each un-stuffed payload line (without CR LF); `whole` is false when the line
    /// was longer than MaxSinkLine and this is only its beginning. Must not throw.
    using LineSink = std::function<void(QByteArrayView line, bool whole)>;

    /// Starts a new reply; everything of the previous one is dropped (not the settings below).
    void begin(bool multiLine);
    /// Adds a chunk. True once the reply is complete; bytes after its end go to surplus().
    bool feed(QByteArrayView chunk);

    /// The most payload bytes kept of a multi-line reply; 0: no limit.
    void setKeptBytes(qsizetype bytes) { m_keptBytes = bytes; }
    qsizetype keptBytes() const { return m_keptBytes; }
    /// Payload lines go to `sink` instead of payload() (null: kept as usual).
    void setLineSink(LineSink sink) { m_sink = std::move(sink); }

    bool isComplete() const { return m_complete; }
    bool isMultiLine() const { return m_multiLine; }
    /// The closing line was found in a later chunk than the first.
    bool endedLate() const { return m_endedLate; }
    /// Payload lines were dropped because keptBytes() was reached.
    bool truncated() const { return m_truncated; }
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
    /// The longest incomplete line worth holding: beyond it the line is skipped.
    qsizetype lineRoom() const;
    void endSkippedLine();

    QByteArray m_pending; // the start of a line not yet complete
    QByteArray m_status;
    QByteArray m_body;    // un-stuffed body lines, each followed by CR LF
    QByteArray m_surplus;
    QByteArray m_skippedStart; // what is kept of an overlong line being skipped
    LineSink m_sink;
    qsizetype m_keptBytes = 0;
    qsizetype m_received = 0;
    int m_chunks = 0;
    bool m_multiLine = false;
    bool m_haveStatus = false;
    bool m_complete = false;
    bool m_endedLate = false;
    bool m_truncated = false;
    bool m_skipping = false;  // inside an overlong line: its bytes are dropped up to its CR LF
    bool m_skippedCr = false; // the last byte dropped of it was a CR
};
