#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>

/// The IMAP client's wire format (RFC 9051 / RFC 3501), free of sockets: a framer that cuts
/// whole responses out of the chunks a socket delivers, a parser that turns one response into
/// a record, and a writer that makes commands. All three are pure functions of their input,
/// never throw, and keep their memory bounded, so the fuzzer drives them directly.
namespace Imap {

/// One value of a response: an atom (flags, keywords, "BODY[]<0>"), a number, a string
/// (quoted, literal or literal8; `text` holds its bytes), NIL, or a parenthesised list.
struct Value
{
    enum class Kind { Atom, Number, String, Nil, List };
    Kind kind = Kind::Atom;
    QByteArray text;      ///< atom, number or string bytes
    quint64 number = 0;   ///< Kind::Number
    QList<Value> items;   ///< Kind::List

    bool isAtom(QByteArrayView name) const;
    /// An atom, number or string as bytes; empty for NIL and lists.
    QByteArray bytes() const { return kind == Kind::List || kind == Kind::Nil ? QByteArray() : text; }
};

/// One whole response.
struct Response
{
    enum class Type { Invalid, Tagged, Untagged, Continuation };
    Type type = Type::Invalid;
    QByteArray tag;       ///< Tagged: the command's tag
    /// Status responses: OK, NO, BAD, BYE, PREAUTH (upper case). Data: the keyword
    /// (CAPABILITY, FLAGS, SEARCH, EXISTS, FETCH ...), upper case.
    QByteArray keyword;
    /// "* 12 EXISTS", "* 3 FETCH (...)": the number before the keyword.
    std::optional<quint64> number;
    /// Status responses: the response code in brackets, its name upper case ("UIDVALIDITY",
    /// "CAPABILITY", "READ-ONLY") and its arguments as values.
    QByteArray code;
    QList<Value> codeArgs;
    /// Status responses and continuations: the human-readable text.
    QByteArray text;
    /// Data responses: the values after the keyword.
    QList<Value> values;
    /// Why the response could not be understood (Type::Invalid).
    QByteArray error;

    bool isStatus() const;
    bool isOk() const { return isStatus() && keyword == "OK"; }
};

/// Parses one complete response as the Framer delivers it (with its CR LF; literals inline).
Response Parse(QByteArrayView response);

/// Cuts complete responses out of a byte stream. A response ends at the CR LF of a line
/// that does not end with a literal announcement ("{n}", "{n+}", "~{n}"); a literal's bytes
/// (which may hold CR LF) belong to the response whatever the chunks. A response longer than
/// the limit (or announcing a longer literal) puts the framer into a failed state: the
/// stream cannot be trusted after that.
class Framer
{
public:
    explicit Framer(qsizetype maxResponseBytes = DefaultMaxResponseBytes) : m_max(maxResponseBytes) {}
    /// Room for a 2 MB body fetched in one literal, with its response line around it.
    static constexpr qsizetype DefaultMaxResponseBytes = qsizetype(3) * 1024 * 1024;

    /// Adds a chunk.
    void feed(QByteArrayView chunk);
    /// The next complete response, if one is there.
    std::optional<QByteArray> next();
    bool failed() const { return m_failed; }
    /// Bytes held that do not yet form a complete response.
    qsizetype pendingBytes() const { return m_buffer.size() - m_start; }
    void reset();

private:
    /// Finds the end of the response starting at m_start; -1 when incomplete.
    qsizetype scan();

    QByteArray m_buffer;
    qsizetype m_start = 0;  ///< the current response begins here
    qsizetype m_scan = 0;   ///< the search for a line end resumes here
    qsizetype m_segment = 0; ///< the line piece being read began here (response start or literal end)
    qsizetype m_literalEnd = -1; ///< end of the literal being received, -1: none
    qsizetype m_max;
    bool m_failed = false;
};

/// One command, ready to send: `parts` go out in order; after every part but the last the
/// client waits for a continuation ("+") because that part ends with a synchronising
/// literal. `loggable` is the command as it may appear in a log (secrets as "****").
struct Command
{
    QByteArray tag;
    QList<QByteArray> parts;
    QByteArray loggable;
};

/// Builds a command: `CommandBuilder("a1").atom("LOGIN").string(user).secret(pwd).build()`.
class CommandBuilder
{
public:
    explicit CommandBuilder(QByteArray tag);
    /// Sent as it is (verbs, sequence sets, fetch items such as "(UID BODY.PEEK[])").
    CommandBuilder &atom(QByteArrayView text);
    /// An astring: an atom when it can be one, else quoted, else a literal.
    CommandBuilder &string(QByteArrayView text);
    /// The same, shown as "****" in loggable.
    CommandBuilder &secret(QByteArrayView text);
    /// `literalPlus`: non-synchronising literals (RFC 7888) are allowed, so one part.
    Command build(bool literalPlus = false) const;

private:
    CommandBuilder &add(QByteArrayView text, bool secret, bool mayBeAtom);

    QByteArray m_tag;
    struct Piece
    {
        QByteArray bytes;
        bool literal = false;
        bool secret = false;
    };
    QList<Piece> m_pieces;
};

/// A mailbox name in the modified UTF-7 of RFC 3501 section 5.1.3 (ASCII stays as it is).
QByteArray EncodeMailboxName(const QString &name);
/// The flag, capability and keyword comparison of IMAP: ASCII, any letter case.
bool SameWord(QByteArrayView a, QByteArrayView b);
}
