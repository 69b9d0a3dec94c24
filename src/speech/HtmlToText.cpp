#include "HtmlToText.h"
#include <QHash>
#include <QSet>

namespace {

const QHash<QString, char32_t> &namedEntities()
{
    static const QHash<QString, char32_t> table{
        {"amp", U'&'}, {"lt", U'<'}, {"gt", U'>'}, {"quot", U'"'}, {"apos", U'\''}, {"nbsp", 0xA0},
        {"copy", 0xA9}, {"reg", 0xAE}, {"trade", 0x2122}, {"euro", 0x20AC}, {"pound", 0xA3}, {"yen", 0xA5},
        {"cent", 0xA2}, {"sect", 0xA7}, {"deg", 0xB0}, {"plusmn", 0xB1}, {"times", 0xD7}, {"divide", 0xF7},
        {"middot", 0xB7}, {"bull", 0x2022}, {"hellip", 0x2026}, {"ndash", 0x2013}, {"mdash", 0x2014},
        {"lsquo", 0x2018}, {"rsquo", 0x2019}, {"sbquo", 0x201A}, {"ldquo", 0x201C}, {"rdquo", 0x201D},
        {"bdquo", 0x201E}, {"laquo", 0xAB}, {"raquo", 0xBB}, {"iexcl", 0xA1}, {"iquest", 0xBF},
        {"shy", 0xAD}, {"ensp", 0x2002}, {"emsp", 0x2003}, {"thinsp", 0x2009}, {"zwnj", 0x200C},
        {"zwj", 0x200D}, {"para", 0xB6}, {"frac12", 0xBD}, {"frac14", 0xBC}, {"frac34", 0xBE},
        {"Auml", 0xC4}, {"Ouml", 0xD6}, {"Uuml", 0xDC}, {"auml", 0xE4}, {"ouml", 0xF6}, {"uuml", 0xFC},
        {"szlig", 0xDF}, {"Agrave", 0xC0}, {"Aacute", 0xC1}, {"Acirc", 0xC2}, {"Atilde", 0xC3},
        {"Aring", 0xC5}, {"AElig", 0xC6}, {"Ccedil", 0xC7}, {"Egrave", 0xC8}, {"Eacute", 0xC9},
        {"Ecirc", 0xCA}, {"Euml", 0xCB}, {"Igrave", 0xCC}, {"Iacute", 0xCD}, {"Icirc", 0xCE},
        {"Iuml", 0xCF}, {"Ntilde", 0xD1}, {"Ograve", 0xD2}, {"Oacute", 0xD3}, {"Ocirc", 0xD4},
        {"Otilde", 0xD5}, {"Oslash", 0xD8}, {"Ugrave", 0xD9}, {"Uacute", 0xDA}, {"Ucirc", 0xDB},
        {"Yacute", 0xDD}, {"agrave", 0xE0}, {"aacute", 0xE1}, {"acirc", 0xE2}, {"atilde", 0xE3},
        {"aring", 0xE5}, {"aelig", 0xE6}, {"ccedil", 0xE7}, {"egrave", 0xE8}, {"eacute", 0xE9},
        {"ecirc", 0xEA}, {"euml", 0xEB}, {"igrave", 0xEC}, {"iacute", 0xED}, {"icirc", 0xEE},
        {"iuml", 0xEF}, {"ntilde", 0xF1}, {"ograve", 0xF2}, {"oacute", 0xF3}, {"ocirc", 0xF4},
        {"otilde", 0xF5}, {"oslash", 0xF8}, {"ugrave", 0xF9}, {"uacute", 0xFA}, {"ucirc", 0xFB},
        {"yacute", 0xFD}, {"yuml", 0xFF}, {"scaron", 0x161}, {"Scaron", 0x160}, {"zcaron", 0x17E},
        {"Zcaron", 0x17D}, {"oelig", 0x153}, {"OElig", 0x152}, {"larr", 0x2190}, {"rarr", 0x2192},
        {"uarr", 0x2191}, {"darr", 0x2193}, {"hearts", 0x2665}, {"check", 0x2713},
    };
    return table;
}

// Elements whose start and end break the line (what a browser lays out as blocks).
const QSet<QString> &blockElements()
{
    static const QSet<QString> set{"p", "div", "br", "li", "ul", "ol", "dl", "dt", "dd", "tr", "table",
                                   "h1", "h2", "h3", "h4", "h5", "h6", "blockquote", "pre", "hr",
                                   "section", "article", "header", "footer", "address", "form",
                                   "fieldset", "center", "body", "html", "title", "caption", "nav",
                                   "aside", "main", "figure", "figcaption"};
    return set;
}

QString fromCodePoint(char32_t cp)
{
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return QString(QChar(0xFFFD));
    return QString::fromUcs4(&cp, 1);
}

struct Builder
{
    QString out;
    bool pendingBlank = false;

    void text(const QString &t, bool pre)
    {
        for (QChar c : t) {
            if (c == QChar(0xA0))
                c = QLatin1Char(' ');
            if (!pre && c.isSpace()) {
                pendingBlank = true;
                continue;
            }
            if (pendingBlank && !out.isEmpty() && !out.endsWith(QLatin1Char('\n')))
                out += QLatin1Char(' ');
            pendingBlank = false;
            out += c;
        }
    }
    void lineBreak(bool paragraph)
    {
        pendingBlank = false;
        while (out.endsWith(QLatin1Char(' ')))
            out.chop(1);
        if (out.isEmpty())
            return;
        if (!out.endsWith(QLatin1Char('\n')))
            out += QLatin1Char('\n');
        if (paragraph && !out.endsWith(QLatin1String("\n\n")))
            out += QLatin1Char('\n');
    }
};

QString decodeEntities(const QString &text)
{
    if (!text.contains(QLatin1Char('&')))
        return text;
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != QLatin1Char('&')) {
            out += text.at(i);
            continue;
        }
        qsizetype j = i + 1;
        while (j < text.size() && j - i <= 32 && (text.at(j).isLetterOrNumber() || text.at(j) == QLatin1Char('#')))
            ++j;
        const QString name = text.mid(i + 1, j - i - 1);
        const QString decoded = name.isEmpty() ? QString() : HtmlToText::DecodeEntity(name);
        if (decoded.isEmpty()) {
            out += QLatin1Char('&');
            continue;
        }
        out += decoded;
        i = (j < text.size() && text.at(j) == QLatin1Char(';')) ? j : j - 1;
    }
    return out;
}

} // namespace

QString HtmlToText::DecodeEntity(const QString &entity)
{
    if (entity.startsWith(QLatin1Char('#'))) {
        bool ok = false;
        const bool hex = entity.size() > 1 && (entity.at(1) == QLatin1Char('x') || entity.at(1) == QLatin1Char('X'));
        const uint cp = hex ? entity.mid(2).toUInt(&ok, 16) : entity.mid(1).toUInt(&ok, 10);
        if (!ok)
            return {};
        return fromCodePoint(char32_t(cp));
    }
    const auto &table = namedEntities();
    auto it = table.constFind(entity);
    if (it == table.constEnd())
        return {};
    return fromCodePoint(it.value());
}

QString HtmlToText::Convert(const QString &html)
{
    Builder b;
    int preDepth = 0;
    qsizetype i = 0;
    const qsizetype n = html.size();
    while (i < n) {
        const QChar c = html.at(i);
        if (c != QLatin1Char('<')) {
            const qsizetype next = html.indexOf(QLatin1Char('<'), i);
            const qsizetype end = next < 0 ? n : next;
            b.text(decodeEntities(html.mid(i, end - i)), preDepth > 0);
            i = end;
            continue;
        }
        // Comments, doctype and processing instructions say nothing.
        if (html.mid(i, 4) == QLatin1String("<!--")) {
            const qsizetype end = html.indexOf(QLatin1String("-->"), i + 4);
            i = end < 0 ? n : end + 3;
            continue;
        }
        if (i + 1 < n && (html.at(i + 1) == QLatin1Char('!') || html.at(i + 1) == QLatin1Char('?'))) {
            const qsizetype end = html.indexOf(QLatin1Char('>'), i);
            i = end < 0 ? n : end + 1;
            continue;
        }
        qsizetype j = i + 1;
        const bool closing = j < n && html.at(j) == QLatin1Char('/');
        if (closing)
            ++j;
        const qsizetype nameStart = j;
        while (j < n && (html.at(j).isLetterOrNumber() || html.at(j) == QLatin1Char('-') || html.at(j) == QLatin1Char(':')))
            ++j;
        if (j == nameStart) {
            // A lone "<" is text.
            b.text(QStringLiteral("<"), preDepth > 0);
            ++i;
            continue;
        }
        const QString name = html.mid(nameStart, j - nameStart).toLower();
        // The tag ends at the first ">" outside quoted attribute values.
        QChar quote;
        while (j < n) {
            const QChar d = html.at(j);
            if (!quote.isNull()) {
                if (d == quote)
                    quote = QChar();
            } else if (d == QLatin1Char('"') || d == QLatin1Char('\'')) {
                quote = d;
            } else if (d == QLatin1Char('>')) {
                break;
            }
            ++j;
        }
        i = j < n ? j + 1 : n;
        if (!closing && (name == QLatin1String("script") || name == QLatin1String("style") ||
                         name == QLatin1String("head") || name == QLatin1String("title") ||
                         name == QLatin1String("noscript") || name == QLatin1String("template"))) {
            // Everything up to the matching end tag is invisible.
            const qsizetype end = html.indexOf(QStringLiteral("</") + name, i, Qt::CaseInsensitive);
            if (end < 0) {
                i = n;
            } else {
                const qsizetype close = html.indexOf(QLatin1Char('>'), end);
                i = close < 0 ? n : close + 1;
            }
            continue;
        }
        if (name == QLatin1String("pre"))
            preDepth = closing ? qMax(0, preDepth - 1) : preDepth + 1;
        if (name == QLatin1String("br")) {
            b.lineBreak(false);
            if (b.out.isEmpty() || !b.out.endsWith(QLatin1Char('\n')))
                b.out += QLatin1Char('\n');
        } else if (name == QLatin1String("td") || name == QLatin1String("th")) {
            if (!closing)
                b.pendingBlank = true;
        } else if (name == QLatin1String("li") && !closing) {
            b.lineBreak(false);
            b.out += QStringLiteral("- ");
        } else if (name == QLatin1String("img") && !closing) {
            // An image says its alt text, if it has one.
            static const QString altKey = QStringLiteral("alt=");
            const QString tag = html.mid(nameStart, j - nameStart);
            const qsizetype a = tag.indexOf(altKey, 0, Qt::CaseInsensitive);
            if (a >= 0 && a + 4 < tag.size()) {
                const QChar q = tag.at(a + 4);
                qsizetype s = a + 4, e;
                if (q == QLatin1Char('"') || q == QLatin1Char('\'')) {
                    ++s;
                    e = tag.indexOf(q, s);
                } else {
                    e = tag.indexOf(QLatin1Char(' '), s);
                }
                if (e < 0)
                    e = tag.size();
                b.text(decodeEntities(tag.mid(s, e - s)), false);
            }
        } else if (blockElements().contains(name)) {
            const bool paragraph = name == QLatin1String("p") ||
                                   (name.size() == 2 && name.at(0) == QLatin1Char('h') && name.at(1).isDigit());
            b.lineBreak(paragraph || name == QLatin1String("blockquote") || name == QLatin1String("table"));
        }
    }
    QString out = b.out;
    while (out.endsWith(QLatin1Char('\n')) || out.endsWith(QLatin1Char(' ')))
        out.chop(1);
    return out;
}
