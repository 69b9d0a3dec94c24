#include "SpokenText.h"
#include "MessageText.h"

#include <QRegularExpression>

namespace {
const QString CrLf = QStringLiteral("\r\n");
}

namespace SpokenText {

QString AsSpokenText(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    int run = 0;
    for (QChar c : text) {
        if (c == QLatin1Char('\\')) {
            // A long run would be cut to two when spoken anyway; two stay two, written doubled.
            if (++run <= 2)
                out += QStringLiteral("\\\\");
            continue;
        }
        run = 0;
        out += c == QLatin1Char('|') ? QLatin1Char(' ') : c;
    }
    return out;
}

QString UnwrapLines(const QString &text)
{
    QString t = MessageText::UnixLines(text);
    const QStringList lines = t.split(QLatin1Char('\n'));
    auto quoted = [](const QString &line) { return line.left(5).contains(QLatin1Char('>')); };
    // A line that ends a sentence keeps its pause: joining it would gain nothing, and text
    // made from HTML puts each block on a line of its own.
    auto endsSentence = [](const QString &line) {
        const QString t = line.trimmed();
        return !t.isEmpty() && QStringLiteral(".!?:;").contains(t.back());
    };
    // List items, rules and separators ("-----Original Message-----", "-- ") start a line of their own.
    static const QRegularExpression ownLine(QStringLiteral(R"(^\s*([-*+#=_~•|]|\d{1,3}[.)]\s))"));
    QString out;
    QString previous;   // the last physical line appended to `out`
    bool first = true;
    for (const QString &line : lines) {
        const bool join = !first && !previous.trimmed().isEmpty() && !line.trimmed().isEmpty() && !quoted(previous)
                          && !quoted(line) && !ownLine.match(line).hasMatch() && !ownLine.match(previous).hasMatch()
                          && (previous.endsWith(QLatin1Char(' '))
                              || (previous.trimmed().size() >= WrappedLineLength && !endsSentence(previous)));
        if (join) {
            while (out.endsWith(QLatin1Char(' ')))
                out.chop(1);
            out += QLatin1Char(' ') + line.trimmed();
        } else {
            if (!first)
                out += CrLf;
            out += line;
        }
        previous = line;
        first = false;
    }
    return out;
}

QString StripQuotedLines(const QString &text, int quoteZone, const QString &marker1,
                                  const QString &marker2)
{
    QString t = MessageText::UnixLines(text);
    t.replace(QStringLiteral("\n\n"), QStringLiteral("\n"));   // one pass: three become two
    QString result;
    for (const QString &line : t.split(QLatin1Char('\n'))) {
        if ((!marker1.isEmpty() && line.contains(marker1)) || (!marker2.isEmpty() && line.contains(marker2)))
            break;
        if (!line.left(qMax(0, quoteZone)).contains(QLatin1Char('>')))
            result += line + CrLf;
    }
    return result;
}

QString CollapseRepeats(const QString &text)
{
    if (text.size() < 3)
        return text;
    QString out = text.left(2);
    for (qsizetype i = 2; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const qsizetype n = out.size();
        if (c != QLatin1Char('\\') && out.at(n - 1) == c && out.at(n - 2) == c)
            continue;
        out += c;
    }
    return out;
}

QStringList Chunks(const QString &text)
{
    QStringList chunks;
    qsizetype pos = 0;
    do {
        const qsizetype blank = text.indexOf(QLatin1Char(' '), pos + ChunkSize);
        const qsizetype end = blank < 0 ? text.size() : blank;
        chunks.append(text.mid(pos, end - pos));
        pos = end + 1;   // the blank at the cut is not spoken
    } while (pos < text.size());
    return chunks;
}

}
