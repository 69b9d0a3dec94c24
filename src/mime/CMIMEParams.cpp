#include "mime/CMIMEParams.h"

#include <stdexcept>

namespace {

bool isAsciiLetter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
}

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

QString trimmedBlanks(const QString &text)
{
    qsizetype b = 0;
    qsizetype e = text.size();
    while (b < e && isBlank(text[b]))
        ++b;
    while (e > b && isBlank(text[e - 1]))
        --e;
    return text.sliced(b, e - b);
}

} // namespace

// A character state machine: a line that starts with a letter starts a new field, any
// other line continues the value. Unfolding removes the line break and keeps the blank
// that starts the continuation (RFC 5322 2.2.3); a continuation without a blank (a
// broken fold) gets one. The legacy form of each value is built alongside (see
// CMIMEParam::LegacyValue).
void CMIMEParams::Init(const QString &header)
{
    enum class State { Name, Value, LineEnd };

    m_items.clear();
    State state = State::Name;
    QString name;
    QString value;
    QString legacy;
    bool firstAfterColon = false;

    auto addField = [&] { m_items.append(CMIMEParam(name, trimmedBlanks(value), legacy)); };

    for (const QChar c : header) {
        const bool lineBreak = c == u'\r' || c == u'\n';
        switch (state) {
        case State::Name:
            if (c == u':') {
                state = State::Value;
                firstAfterColon = true;
            } else {
                name += c;
            }
            break;
        case State::Value:
            if (lineBreak) {
                state = State::LineEnd;
            } else {
                if (!firstAfterColon)
                    legacy += c;
                value += c;
            }
            firstAfterColon = false;
            break;
        case State::LineEnd:
            if (lineBreak)
                break;
            if (isAsciiLetter(c)) {
                addField();
                name = c;
                value.clear();
                legacy.clear();
                state = State::Name;
            } else {
                legacy += QLatin1String("\r\n");
                if (!isBlank(c))
                    value += u' ';
                value += c;
                state = State::Value;
            }
            break;
        }
    }
    // The field being read when the text ends is always added (an empty header gives one empty field).
    addField();
}

CMIMEParam &CMIMEParams::add(const QString &name, const QString &value)
{
    m_items.append(CMIMEParam(name, value));
    return m_items.last();
}

const CMIMEParam *CMIMEParams::ItemByName(QStringView name) const
{
    for (const CMIMEParam &item : m_items) {
        if (QStringView(item.Name()).compare(name, Qt::CaseInsensitive) == 0)
            return &item;
    }
    return nullptr;
}

const CMIMEParam &CMIMEParams::Item(qsizetype index) const
{
    if (index < 1 || index > m_items.size())
        throw std::out_of_range("CMIMEParams::Item: index out of range");
    return m_items.at(index - 1);
}
