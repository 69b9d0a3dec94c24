#include "ImapProtocol.h"
#include <limits>

namespace Imap {
namespace {
/// Deeper nesting than this is refused: no real response comes near it, and the parser's
/// recursion must stay bounded.
constexpr int MaxDepth = 64;
/// More values than this in one response are refused (a 5,000-message SEARCH has 5,000).
constexpr qsizetype MaxValues = 200000;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

QByteArray upperCase(QByteArrayView text)
{
    QByteArray out(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        out[i] = upper(text[i]);
    return out;
}

/// The literal announced at the end of `line` ("{12}", "{12+}", "~{12}"), if any.
std::optional<quint64> literalAtEnd(QByteArrayView line)
{
    qsizetype i = line.size();
    if (i > 0 && line[i - 1] == '\r')
        --i;
    if (i < 3 || line[i - 1] != '}')
        return std::nullopt;
    --i;
    if (line[i - 1] == '+')
        --i;
    const qsizetype digitsEnd = i;
    while (i > 0 && isDigit(line[i - 1]))
        --i;
    if (i == digitsEnd || i == 0 || line[i - 1] != '{')
        return std::nullopt;
    // More digits than 64 bits hold: a length no limit admits.
    if (digitsEnd - i > 19)
        return std::numeric_limits<quint64>::max();
    quint64 n = 0;
    for (qsizetype k = i; k < digitsEnd; ++k)
        n = n * 10 + quint64(line[k] - '0');
    return n;
}

/// Reads values from one response.
class Reader
{
public:
    explicit Reader(QByteArrayView text) : m_text(text) {}

    qsizetype pos = 0;
    QByteArray error;
    qsizetype count = 0;

    bool atEnd() const { return pos >= m_text.size() || m_text[pos] == '\r' || m_text[pos] == '\n'; }
    char peek() const { return pos < m_text.size() ? m_text[pos] : '\0'; }
    void skipSpaces()
    {
        while (pos < m_text.size() && m_text[pos] == ' ')
            ++pos;
    }
    /// Bytes up to the next space or line end.
    QByteArrayView word()
    {
        const qsizetype start = pos;
        while (pos < m_text.size() && m_text[pos] != ' ' && m_text[pos] != '\r' && m_text[pos] != '\n')
            ++pos;
        return m_text.sliced(start, pos - start);
    }
    /// The rest of the line without its line end.
    QByteArray rest()
    {
        qsizetype end = m_text.size();
        while (end > pos && (m_text[end - 1] == '\n' || m_text[end - 1] == '\r'))
            --end;
        const QByteArray out = pos < end ? m_text.sliced(pos, end - pos).toByteArray() : QByteArray();
        pos = m_text.size();
        return out;
    }

    /// Values until the line end, or until `stop` at the top level.
    bool values(QList<Value> &out, char stop = '\0')
    {
        for (;;) {
            skipSpaces();
            if (atEnd() || (stop && peek() == stop))
                return true;
            Value v;
            if (!value(v, 0))
                return false;
            out.append(std::move(v));
        }
    }

    bool value(Value &v, int depth)
    {
        if (++count > MaxValues)
            return fail("too many values");
        const char c = peek();
        if (c == '(') {
            if (depth >= MaxDepth)
                return fail("lists nested too deeply");
            ++pos;
            v.kind = Value::Kind::List;
            for (;;) {
                skipSpaces();
                if (atEnd())
                    return fail("unclosed list");
                if (peek() == ')') {
                    ++pos;
                    return true;
                }
                Value item;
                if (!value(item, depth + 1))
                    return false;
                v.items.append(std::move(item));
            }
        }
        if (c == '"')
            return quoted(v);
        if (c == '{' || (c == '~' && pos + 1 < m_text.size() && m_text[pos + 1] == '{'))
            return literal(v);
        if (c == ')')
            return fail("unexpected ')'");
        return atom(v);
    }

private:
    bool fail(const char *why)
    {
        if (error.isEmpty())
            error = why;
        return false;
    }

    bool quoted(Value &v)
    {
        ++pos;
        v.kind = Value::Kind::String;
        while (pos < m_text.size()) {
            const char c = m_text[pos++];
            if (c == '"')
                return true;
            if (c == '\r' || c == '\n')
                break;
            if (c == '\\') {
                if (pos >= m_text.size())
                    break;
                v.text.append(m_text[pos++]);
            } else {
                v.text.append(c);
            }
        }
        return fail("unterminated quoted string");
    }

    bool literal(Value &v)
    {
        if (peek() == '~')
            ++pos;
        ++pos; // '{'
        quint64 n = 0;
        qsizetype digits = 0;
        while (pos < m_text.size() && isDigit(m_text[pos]) && digits < 19) {
            n = n * 10 + quint64(m_text[pos++] - '0');
            ++digits;
        }
        if (digits == 0)
            return fail("literal without a length");
        if (peek() == '+')
            ++pos;
        if (peek() != '}')
            return fail("malformed literal");
        ++pos;
        if (peek() == '\r')
            ++pos;
        if (peek() != '\n')
            return fail("literal not at the end of a line");
        ++pos;
        if (n > quint64(m_text.size() - pos))
            return fail("literal longer than the response");
        v.kind = Value::Kind::String;
        v.text = m_text.sliced(pos, qsizetype(n)).toByteArray();
        pos += qsizetype(n);
        return true;
    }

    bool atom(Value &v)
    {
        const qsizetype start = pos;
        while (pos < m_text.size()) {
            const char c = m_text[pos];
            if (c == ' ' || c == '(' || c == ')' || c == '\r' || c == '\n' || c == '"' || c == ']')
                break;
            if (c == '[') {
                // "BODY[HEADER.FIELDS (FROM DATE)]<0>": the section belongs to the atom.
                const qsizetype close = m_text.indexOf(']', pos);
                const qsizetype lineEnd = m_text.indexOf('\n', pos);
                if (close < 0 || (lineEnd >= 0 && lineEnd < close))
                    return fail("unclosed '['");
                pos = close + 1;
                if (peek() == '<') {
                    const qsizetype gt = m_text.indexOf('>', pos);
                    if (gt < 0)
                        return fail("unclosed '<'");
                    pos = gt + 1;
                }
                continue;
            }
            ++pos;
        }
        if (pos == start)
            return fail("unexpected character");
        v.text = m_text.sliced(start, pos - start).toByteArray();
        if (SameWord(v.text, "NIL")) {
            v.kind = Value::Kind::Nil;
            v.text.clear();
            return true;
        }
        bool allDigits = v.text.size() <= 19;
        for (const char c : std::as_const(v.text))
            allDigits = allDigits && isDigit(c);
        if (allDigits) {
            v.kind = Value::Kind::Number;
            v.number = v.text.toULongLong();
        } else {
            v.kind = Value::Kind::Atom;
        }
        return true;
    }

    QByteArrayView m_text;
};

bool isStatusWord(QByteArrayView word)
{
    return word == "OK" || word == "NO" || word == "BAD" || word == "BYE" || word == "PREAUTH";
}
}

bool SameWord(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i]))
            return false;
    }
    return true;
}

bool Value::isAtom(QByteArrayView name) const
{
    return (kind == Kind::Atom || kind == Kind::Number) && SameWord(text, name);
}

bool Response::isStatus() const
{
    return (type == Type::Tagged || type == Type::Untagged) && !number && isStatusWord(keyword);
}

Response Parse(QByteArrayView text)
{
    Response r;
    Reader reader(text);
    auto invalid = [&](const QByteArray &why) {
        r.type = Response::Type::Invalid;
        r.error = why;
        return r;
    };
    if (text.startsWith('+')) {
        r.type = Response::Type::Continuation;
        reader.pos = 1;
        reader.skipSpaces();
        r.text = reader.rest();
        return r;
    }
    const QByteArrayView tag = reader.word();
    if (tag.isEmpty())
        return invalid("no tag");
    for (const char c : tag) {
        if (c < 0x21 || c > 0x7e || c == '(' || c == ')' || c == '{' || c == '"' || c == '%')
            return invalid("malformed tag");
    }
    r.type = tag == "*" ? Response::Type::Untagged : Response::Type::Tagged;
    if (r.type == Response::Type::Tagged)
        r.tag = tag.toByteArray();
    reader.skipSpaces();
    QByteArrayView word = reader.word();
    if (!word.isEmpty() && isDigit(word[0])) {
        bool ok = false;
        const quint64 n = word.toByteArray().toULongLong(&ok);
        if (!ok)
            return invalid("malformed number");
        r.number = n;
        reader.skipSpaces();
        word = reader.word();
    }
    if (word.isEmpty())
        return invalid("no keyword");
    r.keyword = upperCase(word);
    if (r.isStatus()) {
        reader.skipSpaces();
        if (reader.peek() == '[') {
            ++reader.pos;
            const qsizetype start = reader.pos;
            while (!reader.atEnd() && reader.peek() != ' ' && reader.peek() != ']')
                ++reader.pos;
            r.code = upperCase(text.sliced(start, reader.pos - start));
            // A code whose arguments are not values (some servers put free text there) keeps its name.
            Reader args(text);
            args.pos = reader.pos;
            if (args.values(r.codeArgs, ']') && args.peek() == ']') {
                reader.pos = args.pos + 1;
            } else {
                r.codeArgs.clear();
                const qsizetype close = text.indexOf(']', reader.pos);
                const qsizetype lineEnd = text.indexOf('\n', reader.pos);
                if (close >= 0 && (lineEnd < 0 || close < lineEnd))
                    reader.pos = close + 1;
                else
                    reader.pos = text.size();
            }
            reader.skipSpaces();
        }
        r.text = reader.rest();
        return r;
    }
    if (r.type == Response::Type::Tagged)
        return invalid("tagged response without a status");
    if (!reader.values(r.values))
        return invalid(reader.error);
    return r;
}

void Framer::feed(QByteArrayView chunk)
{
    if (m_failed || chunk.isEmpty())
        return;
    // Drop what earlier responses used once it is worth the copy.
    if (m_start > 0 && (m_start >= 65536 || m_start * 2 >= m_buffer.size())) {
        m_buffer.remove(0, m_start);
        m_scan -= m_start;
        m_segment -= m_start;
        if (m_literalEnd >= 0)
            m_literalEnd -= m_start;
        m_start = 0;
    }
    m_buffer.append(chunk);
    if (m_buffer.size() - m_start > m_max && scan() < 0)
        m_failed = true;
}

qsizetype Framer::scan()
{
    for (;;) {
        if (m_literalEnd >= 0) {
            if (m_buffer.size() < m_literalEnd)
                return -1;
            m_scan = m_literalEnd;
            m_segment = m_literalEnd;
            m_literalEnd = -1;
        }
        // The literal test looks at the whole line piece since the response or the last
        // literal began, however the chunks cut it.
        const qsizetype segment = m_segment;
        const qsizetype nl = m_buffer.indexOf('\n', m_scan);
        if (nl < 0) {
            m_scan = m_buffer.size();
            if (m_buffer.size() - m_start > m_max)
                m_failed = true;
            return -1;
        }
        const std::optional<quint64> n = literalAtEnd(QByteArrayView(m_buffer).sliced(segment, nl - segment));
        if (!n)
            return nl + 1;
        const quint64 room = quint64(m_max) - quint64(qMin(m_max, nl + 1 - m_start));
        if (*n > room) {
            m_failed = true;
            return -1;
        }
        m_literalEnd = nl + 1 + qsizetype(*n);
        m_scan = nl + 1;
        m_segment = nl + 1;
    }
}

std::optional<QByteArray> Framer::next()
{
    if (m_failed)
        return std::nullopt;
    const qsizetype end = scan();
    if (end < 0)
        return std::nullopt;
    QByteArray response = m_buffer.mid(m_start, end - m_start);
    m_start = end;
    m_scan = end;
    m_segment = end;
    return response;
}

void Framer::reset()
{
    m_buffer.clear();
    m_start = 0;
    m_scan = 0;
    m_segment = 0;
    m_literalEnd = -1;
    m_failed = false;
}

CommandBuilder::CommandBuilder(QByteArray tag) : m_tag(std::move(tag)) {}

CommandBuilder &CommandBuilder::atom(QByteArrayView text)
{
    m_pieces.append({text.toByteArray(), false, false});
    return *this;
}

CommandBuilder &CommandBuilder::string(QByteArrayView text)
{
    return add(text, false, true);
}

CommandBuilder &CommandBuilder::secret(QByteArrayView text)
{
    return add(text, true, true);
}

CommandBuilder &CommandBuilder::add(QByteArrayView text, bool secret, bool mayBeAtom)
{
    bool atomOk = mayBeAtom && !text.isEmpty();
    bool quotable = text.size() <= 1000;
    for (const char ch : text) {
        const auto c = uchar(ch);
        if (c < 0x21 || c > 0x7e || ch == '(' || ch == ')' || ch == '{' || ch == '%' || ch == '*' || ch == '"'
            || ch == '\\' || ch == ']' || ch == '[')
            atomOk = false;
        if (c == 0 || c == '\r' || c == '\n' || c > 0x7f)
            quotable = false;
    }
    Piece piece;
    piece.secret = secret;
    if (atomOk) {
        piece.bytes = text.toByteArray();
    } else if (quotable) {
        piece.bytes = "\"";
        for (const char c : text) {
            if (c == '"' || c == '\\')
                piece.bytes.append('\\');
            piece.bytes.append(c);
        }
        piece.bytes.append('"');
    } else {
        piece.bytes = text.toByteArray();
        piece.literal = true;
    }
    m_pieces.append(piece);
    return *this;
}

Command CommandBuilder::build(bool literalPlus) const
{
    Command command;
    command.tag = m_tag;
    QByteArray current = m_tag;
    command.loggable = m_tag;
    for (const Piece &piece : m_pieces) {
        current += ' ';
        command.loggable += ' ';
        if (piece.literal) {
            const QByteArray size = QByteArray::number(piece.bytes.size());
            current += '{' + size + (literalPlus ? "+}\r\n" : "}\r\n");
            command.loggable += '{' + size + "} " + (piece.secret ? QByteArray("****") : piece.bytes);
            if (!literalPlus) {
                command.parts.append(current);
                current.clear();
            }
            current += piece.bytes;
        } else {
            current += piece.bytes;
            command.loggable += piece.secret ? QByteArray("****") : piece.bytes;
        }
    }
    current += "\r\n";
    command.parts.append(current);
    return command;
}

QByteArray EncodeMailboxName(const QString &name)
{
    QByteArray out;
    QByteArray wide; // UTF-16BE of the run being encoded
    auto flush = [&] {
        if (wide.isEmpty())
            return;
        QByteArray b64 = wide.toBase64(QByteArray::OmitTrailingEquals);
        b64.replace('/', ',');
        out += '&' + b64 + '-';
        wide.clear();
    };
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u <= 0x7e) {
            flush();
            out += u == '&' ? QByteArray("&-") : QByteArray(1, char(u));
        } else {
            wide += char(u >> 8);
            wide += char(u & 0xff);
        }
    }
    flush();
    return out;
}
}
