#include "mime/MHeaderText.h"

#include "mime/MBase64.h"

#include <QList>
#include <QStringDecoder>

namespace {

// 0x80..0x9F of Windows-1252; the rest of the code page equals Latin-1.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool isHeaderSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

QStringView trimHeaderSpace(QStringView s)
{
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && isHeaderSpace(s[b]))
        ++b;
    while (e > b && isHeaderSpace(s[e - 1]))
        --e;
    return s.sliced(b, e - b);
}

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

void appendByteOf(QByteArray &out, QChar c)
{
    if (c.unicode() < 256)
        out.append(static_cast<char>(c.unicode()));
    else
        out.append(QString(c).toUtf8());
}

// RFC 2047 4.2: "=XX" is a byte (an invalid pair gives 0), "_" is a space.
QByteArray decodeQ(QStringView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'=' && i + 2 < text.size()) {
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            out.append(static_cast<char>(hi >= 0 && lo >= 0 ? hi * 16 + lo : 0));
            i += 2;
        } else if (c == u'_') {
            out.append(' ');
        } else {
            appendByteOf(out, c);
        }
    }
    return out;
}

bool isAscii(QStringView s)
{
    for (const QChar c : s) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

bool isValidUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString ignored = decoder.decode(bytes);
    return !decoder.hasError();
}

// A charset label as a decoder name: lower case, without an RFC 2231 language
// ("utf-8*en"); empty when it cannot be a charset name at all.
QByteArray charsetName(QByteArrayView label)
{
    QByteArray name = label.toByteArray().trimmed().toLower();
    const qsizetype star = name.indexOf('*');
    if (star >= 0)
        name.truncate(star);
    if (name.size() > 64)
        return {};
    for (const char c : std::as_const(name)) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'
            || c == '.' || c == ':' || c == '+';
        if (!ok)
            return {};
    }
    return name;
}

struct Token
{
    bool encoded = false;
    QString text;        // literal text (raw)
    QByteArray charset;  // encoded word: charset label
    QByteArray bytes;    // encoded word: decoded bytes
};

constexpr qsizetype kNotAWord = -1;
constexpr qsizetype kNoMoreWords = -2;

// Parses an encoded word starting at `from` ("=?"); on success fills `token` and
// returns the index just past its closing "?=". kNotAWord when this "=?" starts none;
// kNoMoreWords when no later "=?" can start one either (keeps the scan linear).
qsizetype parseEncodedWord(const QString &raw, qsizetype from, Token &token)
{
    const qsizetype q1 = raw.indexOf(u'?', from + 2);
    if (q1 < 0)
        return kNoMoreWords;
    const QStringView charset = QStringView(raw).sliced(from + 2, q1 - from - 2);
    const qsizetype q2 = raw.indexOf(u'?', q1 + 1);
    if (q2 < 0)
        return kNoMoreWords;
    const QStringView encoding = QStringView(raw).sliced(q1 + 1, q2 - q1 - 1);
    for (const QChar c : charset) {
        if (isHeaderSpace(c))
            return kNotAWord;
    }
    for (const QChar c : encoding) {
        if (isHeaderSpace(c))
            return kNotAWord;
    }
    // The closing "?=" is looked for only after the encoding, so a Q text that
    // itself begins with "=" ("?q?=E9t=E9?=") stays whole.
    const qsizetype close = raw.indexOf(QLatin1String("?="), q2 + 1);
    if (close < 0)
        return kNoMoreWords;
    QStringView text = QStringView(raw).sliced(q2 + 1, close - q2 - 1);
    const qsizetype stray = text.indexOf(u'?');
    if (stray >= 0)
        text.truncate(stray);

    token.encoded = true;
    token.charset = charset.toLatin1();
    if (encoding.compare(u"q", Qt::CaseInsensitive) == 0)
        token.bytes = decodeQ(text);
    else
        token.bytes = MBase64::Decode(text);
    return close + 2;
}

QList<Token> tokenize(const QString &raw)
{
    QList<Token> tokens;
    QString literal;
    qsizetype pos = 0;
    while (pos < raw.size()) {
        const qsizetype start = raw.indexOf(QLatin1String("=?"), pos);
        if (start < 0)
            break;
        Token word;
        const qsizetype next = parseEncodedWord(raw, start, word);
        if (next == kNoMoreWords)
            break;
        if (next == kNotAWord) {
            literal += QStringView(raw).sliced(pos, start + 1 - pos);
            pos = start + 1;
            continue;
        }
        literal += QStringView(raw).sliced(pos, start - pos);
        if (!literal.isEmpty()) {
            Token t;
            t.text = literal;
            tokens.append(t);
            literal.clear();
        }
        tokens.append(word);
        pos = next;
    }
    literal += QStringView(raw).sliced(pos);
    if (!literal.isEmpty()) {
        Token t;
        t.text = literal;
        tokens.append(t);
    }
    return tokens;
}

} // namespace

QString MHeaderText::DisplayName(const QString &value)
{
    // The name part ends at the first "<" outside a quoted string.
    QString name;
    qsizetype lt = -1;
    bool quoted = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (quoted) {
            if (c == u'\\' && i + 1 < value.size())
                name += value[++i];
            else if (c == u'"')
                quoted = false;
            else
                name += c;
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u'<') {
            lt = i;
            break;
        } else {
            name += c;
        }
    }
    if (lt < 0 && quoted) {
        // A quote that never closes: read the value as if it had no quotes.
        lt = value.indexOf(u'<');
        if (lt >= 0)
            name = value.first(lt).remove(u'"');
    }
    if (lt < 0)
        return trimHeaderSpace(value).toString();
    const QStringView trimmed = trimHeaderSpace(name);
    if (!trimmed.isEmpty())
        return trimmed.toString();
    // No name ("<addr>" or "" <addr>): the address stands for it.
    QStringView address = QStringView(value).sliced(lt + 1);
    const qsizetype gt = address.indexOf(u'>');
    if (gt >= 0)
        address.truncate(gt);
    return trimHeaderSpace(address).toString();
}

QString MHeaderText::DecodeEncodedWords(const QString &raw, QByteArrayView charset)
{
    const QList<Token> tokens = tokenize(raw);
    QString out;
    QByteArray pendingBytes;
    QByteArray pendingCharset;
    bool pending = false;

    auto flush = [&] {
        if (pending)
            out += DecodeCharset(pendingBytes, pendingCharset);
        pending = false;
        pendingBytes.clear();
        pendingCharset.clear();
    };

    for (qsizetype i = 0; i < tokens.size(); ++i) {
        const Token &t = tokens.at(i);
        if (t.encoded) {
            // Adjacent words of one charset are decoded together: encoders split
            // multi-byte characters across words.
            if (pending && pendingCharset.compare(t.charset, Qt::CaseInsensitive) != 0)
                flush();
            if (!pending)
                pendingCharset = t.charset;
            pendingBytes += t.bytes;
            pending = true;
            continue;
        }
        const bool betweenWords = i > 0 && i + 1 < tokens.size() && tokens.at(i - 1).encoded
            && tokens.at(i + 1).encoded && trimHeaderSpace(t.text).isEmpty();
        if (betweenWords)
            continue; // RFC 2047 6.2: white space between adjacent encoded words is ignored
        flush();
        out += RawToText(t.text, charset);
    }
    flush();
    return out;
}

QString MHeaderText::RawToText(const QString &raw, QByteArrayView charset)
{
    if (isAscii(raw))
        return raw;
    for (const QChar c : raw) {
        if (c.unicode() > 0xFF)
            return raw;
    }
    const QByteArray bytes = raw.toLatin1();
    if (isValidUtf8(bytes))
        return QString::fromUtf8(bytes);
    // Mail that puts raw 8-bit text in its header writes it in the charset of its text.
    const QByteArray name = charsetName(charset);
    if (!name.isEmpty() && !name.startsWith("utf-16") && !name.startsWith("utf-32") && !name.startsWith("ucs"))
        return DecodeCharset(bytes, name);
    return FromWindows1252(bytes);
}

QString MHeaderText::MediaType(QStringView contentType)
{
    const qsizetype semicolon = contentType.indexOf(u';');
    return trimHeaderSpace(semicolon < 0 ? contentType : contentType.first(semicolon)).toString().toLower();
}

QString MHeaderText::ContentTypeParameter(QStringView contentType, QStringView name)
{
    // parameter = name "=" (token / quoted-string), separated by ";".
    qsizetype i = contentType.indexOf(u';');
    while (i >= 0 && i < contentType.size()) {
        ++i;
        const qsizetype eq = contentType.indexOf(u'=', i);
        if (eq < 0)
            return {};
        const QStringView key = trimHeaderSpace(contentType.sliced(i, eq - i));
        i = eq + 1;
        while (i < contentType.size() && isHeaderSpace(contentType[i]))
            ++i;
        QString value;
        if (i < contentType.size() && contentType[i] == u'"') {
            for (++i; i < contentType.size() && contentType[i] != u'"'; ++i) {
                if (contentType[i] == u'\\' && i + 1 < contentType.size())
                    ++i;
                value += contentType[i];
            }
            i = contentType.indexOf(u';', i);
        } else {
            const qsizetype end = contentType.indexOf(u';', i);
            value = trimHeaderSpace(contentType.sliced(i, (end < 0 ? contentType.size() : end) - i)).toString();
            i = end;
        }
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QString MHeaderText::DecodeCharset(const QByteArray &bytes, QByteArrayView charset)
{
    const QByteArray name = charsetName(charset);
    // Mail labelled Latin-1 or ASCII is in practice Windows-1252 (as browsers treat it).
    if (name.isEmpty() || name == "us-ascii" || name == "ascii" || name == "iso-8859-1"
        || name == "iso_8859-1" || name == "latin1" || name == "windows-1252" || name == "cp1252")
        return FromWindows1252(bytes);
    if (name == "utf-8" || name == "utf8") {
        if (isValidUtf8(bytes))
            return QString::fromUtf8(bytes);
        return FromWindows1252(bytes);
    }
    // Mail labelled with a Chinese or Korean national charset uses its Windows superset.
    QByteArray decoderName = name;
    if (name == "gb2312" || name == "gbk" || name == "x-gbk" || name == "cp936" || name == "euc-cn")
        decoderName = "gb18030";
    else if (name == "ks_c_5601-1987" || name == "euc-kr" || name == "ks_c_5601")
        decoderName = "cp949";
    QStringDecoder decoder(decoderName.constData());
    if (!decoder.isValid())
        return FromWindows1252(bytes);
    return decoder.decode(bytes);
}

QString MHeaderText::FromWindows1252(QByteArrayView bytes)
{
    QString out;
    out.resize(bytes.size());
    QChar *dst = out.data();
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        *dst++ = QChar(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : char16_t(b));
    }
    return out;
}
