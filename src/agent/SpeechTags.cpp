#include "SpeechTags.h"

#include <QRandomGenerator>
#include <QRegularExpression>

namespace {

struct Token
{
    enum Type { Text, Tag, Bar } type = Text;
    QString text;    ///< the text, or the tag's name
    QString value;   ///< the tag's value (after "=")
};

QList<Token> tokenize(const QString &in)
{
    QList<Token> tokens;
    QString text;
    auto flush = [&] {
        if (!text.isEmpty()) {
            tokens.append({Token::Text, text, {}});
            text.clear();
        }
    };
    for (int i = 0; i < in.size(); ++i) {
        const QChar c = in.at(i);
        if (c == QLatin1Char('|')) {
            flush();
            tokens.append({Token::Bar, {}, {}});
        } else if (c == QLatin1Char('\\')) {
            if (i + 1 < in.size() && in.at(i + 1) == QLatin1Char('\\')) {
                text += QLatin1Char('\\');
                ++i;
                continue;
            }
            // A tag runs to the next backslash outside double quotes.
            int j = i + 1;
            bool quoted = false;
            for (; j < in.size(); ++j) {
                const QChar d = in.at(j);
                if (d == QLatin1Char('"'))
                    quoted = !quoted;
                else if (d == QLatin1Char('\\') && !quoted)
                    break;
            }
            if (j >= in.size())
                continue;   // unterminated: drop the lone backslash, keep the text after it
            const QString body = in.mid(i + 1, j - i - 1);
            const int eq = body.indexOf(QLatin1Char('='));
            flush();
            tokens.append({Token::Tag, (eq < 0 ? body : body.left(eq)).trimmed().toLower(),
                           eq < 0 ? QString() : body.mid(eq + 1).trimmed()});
            i = j;
        } else {
            text += c;
        }
    }
    flush();
    return tokens;
}

/// The quoted strings of a tag value: "a"="b" -> [a, b]; an unquoted value is one string.
QStringList quotedParts(const QString &value)
{
    QStringList parts;
    static const QRegularExpression re(QStringLiteral("\"([^\"]*)\""));
    auto it = re.globalMatch(value);
    while (it.hasNext())
        parts.append(it.next().captured(1));
    if (parts.isEmpty() && !value.isEmpty())
        parts.append(value);
    return parts;
}

QString escapeChar(QChar c)
{
    switch (c.unicode()) {
    case '&': return QStringLiteral("&amp;");
    case '<': return QStringLiteral("&lt;");
    case '>': return QStringLiteral("&gt;");
    case '"': return QStringLiteral("&quot;");
    case '\'': return QStringLiteral("&apos;");
    default:
        // Control characters have no place in XML; they are spoken as a blank.
        if (c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            return QStringLiteral(" ");
        if (c.unicode() == 0xfffe || c.unicode() == 0xffff)
            return QStringLiteral(" ");
        return QString(c);
    }
}

QString dotted(QString s)
{
    s.replace(QLatin1Char('.'), QStringLiteral(" dot "));
    s.replace(QLatin1Char('_'), QStringLiteral(" underscore "));
    s.replace(QLatin1Char('-'), QStringLiteral(" dash "));
    return s;
}

struct State
{
    int rate = 175;
    int pitch = 50;
    int volume = 65535;
    QString chr = QStringLiteral("Normal");
    bool email = false;
    bool operator==(const State &o) const
    {
        return rate == o.rate && pitch == o.pitch && volume == o.volume && chr == o.chr;
    }
};

class Builder
{
public:
    explicit Builder(const SpeechTags::Defaults &d) : m_defaults(d) { reset(); }

    void reset()
    {
        m_state.rate = SpeechTags::clampRate(m_defaults.speedWpm);
        m_state.pitch = m_defaults.pitch;
        m_state.volume = m_defaults.volume;
        m_state.chr = QStringLiteral("Normal");
        m_state.email = false;
    }

    void tag(const Token &t)
    {
        bool ok = false;
        const int n = t.value.toInt(&ok);
        if (t.text == QLatin1String("pau")) {
            if (ok && n > 0) {
                // The synthesiser splits the text here, so each side stands alone.
                closeEmphasis();
                closeWrapper();
                // A pause parts words: the balloon shows a blank between them.
                if (!m_out.balloon.isEmpty() && !m_out.balloon.back().isSpace())
                    m_out.balloon += QLatin1Char(' ');
                markup(QStringLiteral("<mark name=\"%1%2\"/> ").arg(SpeechTags::PauseMarkPrefix).arg(qMin(n, 60000)));
            }
        } else if (t.text == QLatin1String("spd")) {
            if (ok)
                m_state.rate = SpeechTags::clampRate(n);
        } else if (t.text == QLatin1String("pit")) {
            if (ok)
                m_state.pitch = qBound(0, n, 1000);
        } else if (t.text == QLatin1String("vol")) {
            if (ok)
                m_state.volume = qBound(0, n, 65535);
        } else if (t.text == QLatin1String("chr")) {
            const QStringList p = quotedParts(t.value);
            const QString v = p.value(0).trimmed().toLower();
            if (v == QLatin1String("normal"))
                m_state.chr = QStringLiteral("Normal");
            else if (v == QLatin1String("monotone"))
                m_state.chr = QStringLiteral("Monotone");
            else if (v == QLatin1String("whisper"))
                m_state.chr = QStringLiteral("Whisper");
        } else if (t.text == QLatin1String("ctx")) {
            const QString v = quotedParts(t.value).value(0).trimmed().toLower();
            m_state.email = (v == QLatin1String("email") || v == QLatin1String("address"));
        } else if (t.text == QLatin1String("emp")) {
            m_emphasis = true;
        } else if (t.text == QLatin1String("mrk")) {
            if (ok && n >= 0)
                markup(QStringLiteral("<mark name=\"%1\"/>").arg(n));
        } else if (t.text == QLatin1String("map")) {
            const QStringList p = quotedParts(t.value);
            if (p.size() == 2)
                spoken(p.at(0), p.at(1));
        } else if (t.text == QLatin1String("rst")) {
            reset();
        }
        // Anything else is an unknown tag: dropped, never spoken.
    }

    void text(const QString &t)
    {
        if (!m_state.email) {
            plain(t);
            return;
        }
        // Links first (they may hold an "@"), then addresses with their angle brackets.
        static const QRegularExpression re(QStringLiteral(
            R"((?<url>\b(?:https?|ftp)://[^\s<>"]+|\bwww\.[^\s<>"]+)|<?(?<mail>[A-Za-z0-9._%+\-]+@[A-Za-z0-9\-]+(?:\.[A-Za-z0-9\-]+)+)>?)"),
            QRegularExpression::CaseInsensitiveOption);
        int at = 0;
        auto it = re.globalMatch(t);
        while (it.hasNext()) {
            const auto m = it.next();
            plain(t.mid(at, m.capturedStart() - at));
            if (m.hasCaptured(QStringLiteral("url")) && !m.captured(QStringLiteral("url")).isEmpty()) {
                QString host = m.captured(QStringLiteral("url"));
                host.remove(QRegularExpression(QStringLiteral("^[a-z]+://"), QRegularExpression::CaseInsensitiveOption));
                host = host.section(QRegularExpression(QStringLiteral("[/:?#]")), 0, 0);
                if (host.startsWith(QLatin1String("www."), Qt::CaseInsensitive))
                    host = host.mid(4);
                while (host.endsWith(QLatin1Char('.')))
                    host.chop(1);
                spoken(QStringLiteral(" a link to ") + dotted(host) + QLatin1Char(' '), m.captured(0));
            } else {
                const QString mail = m.captured(QStringLiteral("mail"));
                const QString local = mail.section(QLatin1Char('@'), 0, 0);
                const QString domain = mail.section(QLatin1Char('@'), 1);
                spoken(QLatin1Char(' ') + dotted(local) + QStringLiteral(" at ") + dotted(domain) + QLatin1Char(' '),
                       m.captured(0));
            }
            at = m.capturedEnd();
        }
        plain(t.mid(at));
    }

    SpeechText finish()
    {
        closeEmphasis();
        closeWrapper();
        markup(QStringLiteral("</speak>"));
        return std::move(m_out);
    }

    void start() { markup(QStringLiteral("<speak>")); }

private:
    void markup(const QString &s)
    {
        m_out.ssml += s;
        for (int i = 0; i < s.size(); ++i)
            m_out.balloonAt.append(int(m_out.balloon.size()));
    }

    void ensureWrapper()
    {
        if (m_wrapperOpen && m_open == m_state)
            return;
        closeEmphasis();
        closeWrapper();
        const QString voice = SpeechTags::voiceFor(m_defaults.voice, m_state.chr);
        m_voiceOpen = voice != m_defaults.voice;
        if (m_voiceOpen)
            markup(QStringLiteral("<voice name=\"%1\">").arg(voice));
        const int ratePercent = qRound(m_state.rate * 100.0 / SpeechTags::BaseRateWpm);
        const int range = m_state.chr == QLatin1String("Monotone") ? 0 : SpeechTags::BaseRange;
        const int volume = qRound(m_state.volume * 100.0 / 65535.0);
        markup(QStringLiteral("<prosody rate=\"%1%\" pitch=\"%2\" range=\"%3\" volume=\"%4\">")
                   .arg(ratePercent)
                   .arg(SpeechTags::espeakPitch(m_state.pitch))
                   .arg(range)
                   .arg(volume));
        m_wrapperOpen = true;
        m_open = m_state;
    }

    void closeWrapper()
    {
        if (!m_wrapperOpen)
            return;
        markup(QStringLiteral("</prosody>"));
        if (m_voiceOpen)
            markup(QStringLiteral("</voice>"));
        m_wrapperOpen = m_voiceOpen = false;
    }

    void closeEmphasis()
    {
        if (m_inEmphasis) {
            m_inEmphasis = false;
            markup(QStringLiteral("</emphasis>"));
        }
    }

    /// Text spoken as `spokenText` while the balloon shows `balloonText`.
    void spoken(const QString &spokenText, const QString &balloonText)
    {
        ensureWrapper();
        m_out.balloon += balloonText;
        const int shown = int(m_out.balloon.size());
        for (QChar c : spokenText) {
            const QString e = escapeChar(c);
            m_out.ssml += e;
            for (int i = 0; i < e.size(); ++i)
                m_out.balloonAt.append(shown);
        }
    }

    void plain(const QString &t)
    {
        for (QChar c : t) {
            if (c.isSpace()) {
                closeEmphasis();
            } else {
                ensureWrapper();
                if (m_emphasis) {
                    m_emphasis = false;
                    m_inEmphasis = true;
                    markup(QStringLiteral("<emphasis>"));
                }
            }
            if (c == QLatin1Char('<')) {
                spoken(QStringLiteral(" less than "), QStringLiteral("<"));
                continue;
            }
            if (c == QLatin1Char('>')) {
                spoken(QStringLiteral(" greater than "), QStringLiteral(">"));
                continue;
            }
            if (!m_wrapperOpen && c.isSpace()) {
                // Blanks before the first word need no wrapper.
                m_out.balloon += c;
                markupChar(escapeChar(c));
                continue;
            }
            ensureWrapper();
            m_out.balloon += c;
            markupChar(escapeChar(c));
        }
    }

    void markupChar(const QString &e)
    {
        m_out.ssml += e;
        for (int i = 0; i < e.size(); ++i)
            m_out.balloonAt.append(int(m_out.balloon.size()));
    }

    const SpeechTags::Defaults m_defaults;
    SpeechText m_out;
    State m_state;
    State m_open;
    bool m_wrapperOpen = false;
    bool m_voiceOpen = false;
    bool m_emphasis = false;
    bool m_inEmphasis = false;
};

bool isBlankText(const Token &t)
{
    return t.type == Token::Text && t.text.trimmed().isEmpty();
}

} // namespace

int SpeechTags::espeakPitch(int pit)
{
    // Softened around the voice's own pitch: 0..100 becomes 20..80.
    return qBound(0, qRound(BasePitch + (qBound(0, pit, 100) - 50) * 0.6), 100);
}

int SpeechTags::clampRate(int wpm)
{
    return qBound(80, wpm, 450);
}

QString SpeechTags::voiceFor(const QString &baseVoice, const QString &characterOfVoice)
{
    if (characterOfVoice == QLatin1String("Whisper"))
        return baseVoice.section(QLatin1Char('+'), 0, 0) + QStringLiteral("+whisper");
    return baseVoice;
}

SpeechText SpeechTags::translate(const QString &text, const Defaults &defaults, const Random &random)
{
    const QList<Token> tokens = tokenize(text);

    // Tags before the first word apply to every alternative.
    int prefixEnd = 0;
    while (prefixEnd < tokens.size()
           && (tokens.at(prefixEnd).type == Token::Tag || isBlankText(tokens.at(prefixEnd))))
        ++prefixEnd;
    QList<QList<Token>> alternatives(1);
    for (int i = prefixEnd; i < tokens.size(); ++i) {
        if (tokens.at(i).type == Token::Bar)
            alternatives.append(QList<Token>());
        else
            alternatives.last().append(tokens.at(i));
    }
    int chosen = 0;
    if (alternatives.size() > 1) {
        chosen = random ? random(int(alternatives.size()))
                        : int(QRandomGenerator::global()->bounded(int(alternatives.size())));
        chosen = qBound(0, chosen, int(alternatives.size()) - 1);
    }

    Builder b(defaults);
    b.start();
    for (int i = 0; i < prefixEnd; ++i) {
        if (tokens.at(i).type == Token::Tag)
            b.tag(tokens.at(i));
        else
            b.text(tokens.at(i).text);
    }
    for (const Token &t : alternatives.at(chosen)) {
        if (t.type == Token::Tag)
            b.tag(t);
        else
            b.text(t.text);
    }
    return b.finish();
}
