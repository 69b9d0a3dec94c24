#include "DesktopEntry.h"
#include "trellis/Utility.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>

bool DesktopEntry::load(const QString &file)
{
    m_file = file;
    m_values.clear();
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    bool inGroup = false;
    bool seenGroup = false;
    // Desktop files are small; a hostile huge one is cut rather than read whole.
    const QByteArray bytes = f.read(1 << 20);
    const QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString t = line.trimmed();
        if (t.isEmpty() || t.startsWith(QLatin1Char('#')))
            continue;
        if (t.startsWith(QLatin1Char('['))) {
            inGroup = t == QLatin1String("[Desktop Entry]");
            seenGroup = seenGroup || inGroup;
            continue;
        }
        if (!inGroup)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        if (!m_values.contains(key))   // the first of a repeated key counts
            m_values.insert(key, Unescape(line.mid(eq + 1).trimmed()));
    }
    return seenGroup;
}

QString DesktopEntry::value(const QString &key) const
{
    return m_values.value(key);
}

QStringList DesktopEntry::listValue(const QString &key) const
{
    QStringList out;
    for (const QString &item : value(key).split(QLatin1Char(';'))) {
        if (!item.trimmed().isEmpty())
            out << item.trimmed();
    }
    return out;
}

QString DesktopEntry::Unescape(const QString &raw)
{
    QString out;
    out.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c != QLatin1Char('\\') || i + 1 >= raw.size()) {
            out += c;
            continue;
        }
        const QChar n = raw.at(++i);
        switch (n.unicode()) {
        case 's': out += QLatin1Char(' '); break;
        case 'n': out += QLatin1Char('\n'); break;
        case 't': out += QLatin1Char('\t'); break;
        case 'r': out += QLatin1Char('\r'); break;
        case '\\': out += QLatin1Char('\\'); break;
        default: out += c; out += n; break;   // not an escape: kept as written
        }
    }
    return out;
}

QString DesktopEntry::Escape(const QString &value)
{
    QString out;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\': out += QLatin1String("\\\\"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\t': out += QLatin1String("\\t"); break;
        case '\r': out += QLatin1String("\\r"); break;
        default: out += c; break;
        }
    }
    return out;
}

QStringList DesktopEntry::SplitExec(const QString &exec)
{
    QStringList out;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (quoted) {
            if (c == QLatin1Char('"')) {
                quoted = false;
            } else if (c == QLatin1Char('\\') && i + 1 < exec.size() &&
                       QStringLiteral("\"`$\\").contains(exec.at(i + 1))) {
                current += exec.at(++i);
            } else {
                current += c;
            }
            continue;
        }
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')) {
            if (inArgument)
                out << current;
            current.clear();
            inArgument = false;
        } else if (c == QLatin1Char('"')) {
            quoted = true;
            inArgument = true;
        } else {
            current += c;
            inArgument = true;
        }
    }
    // An unclosed quote ends at the end of the line: the text is kept, not dropped.
    if (inArgument)
        out << current;
    return out;
}

QStringList DesktopEntry::ExpandArguments(const QStringList &arguments, const QString &name, const QString &icon,
                                          const QString &file)
{
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QStringList out;
    for (const QString &arg : arguments) {
        if (arg == QLatin1String("%i")) {
            if (!icon.isEmpty())
                out << QStringLiteral("--icon") << icon;
            continue;
        }
        QString expanded;
        bool removedCode = false;
        for (qsizetype i = 0; i < arg.size(); ++i) {
            const QChar c = arg.at(i);
            if (c != QLatin1Char('%') || i + 1 >= arg.size()) {
                expanded += c;
                continue;
            }
            // %NAME% from the environment first: %USERPROFILE% is not the field code %U.
            // An unknown %NAME% stays as written rather than losing its first letter to
            // a field code.
            const qsizetype close = arg.indexOf(QLatin1Char('%'), i + 1);
            if (close > i + 2) {
                const QString var = arg.mid(i + 1, close - i - 1);
                static const QRegularExpression name(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]+$"));
                if (name.match(var).hasMatch()) {
                    expanded += env.contains(var) ? Utility::ExpandVariables(arg.mid(i, close - i + 1))
                                                  : arg.mid(i, close - i + 1);
                    i = close;
                    continue;
                }
            }
            const QChar code = arg.at(i + 1);
            switch (code.unicode()) {
            case '%': expanded += QLatin1Char('%'); break;
            case 'f': case 'F': case 'u': case 'U': case 'd': case 'D': case 'n': case 'N': case 'v': case 'm':
                removedCode = true;
                break;
            case 'i': removedCode = true; break;   // only meaningful as an argument of its own
            case 'c': expanded += name; break;
            case 'k': expanded += file; break;
            default: expanded += c; expanded += code; break;   // not a field code: as written
            }
            ++i;
        }
        if (removedCode && expanded.isEmpty())
            continue;
        out << expanded;
    }
    return out;
}

QString DesktopEntry::QuoteArgument(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = argument.isEmpty();
    for (const QChar c : argument)
        needsQuotes = needsQuotes || reserved.contains(c);
    QString body;
    for (const QChar c : argument) {
        if (c == QLatin1Char('%'))
            body += QLatin1String("%%");
        else if (needsQuotes && QStringLiteral("\"`$\\").contains(c))
            body += QLatin1Char('\\') + QString(c);
        else
            body += c;
    }
    return needsQuotes ? QLatin1Char('"') + body + QLatin1Char('"') : body;
}
