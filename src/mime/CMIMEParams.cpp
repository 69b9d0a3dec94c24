#include "mime/CMIMEParams.h"

#include <stdexcept>

namespace {

bool isAsciiLetter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
}

} // namespace

// A character state machine, kept deliberately simple: the character after the
// first colon is dropped unseen, a line that starts with a letter starts a new
// field, and any other line continues the value (CR LF kept, its first character dropped).
void CMIMEParams::Init(const QString &header)
{
    enum class State { Name, Value, LineEnd };

    m_items.clear();
    State state = State::Name;
    QString name;
    QString value;
    bool skipNext = false;

    for (const QChar c : header) {
        if (skipNext) {
            skipNext = false;
            continue;
        }
        const bool lineBreak = c == u'\r' || c == u'\n';
        switch (state) {
        case State::Name:
            if (c == u':') {
                state = State::Value;
                skipNext = true;
            } else {
                name += c;
            }
            break;
        case State::Value:
            if (lineBreak)
                state = State::LineEnd;
            else
                value += c;
            break;
        case State::LineEnd:
            if (lineBreak)
                break;
            if (isAsciiLetter(c)) {
                add(name, value);
                name = c;
                value.clear();
                state = State::Name;
            } else {
                value += QLatin1String("\r\n");
                state = State::Value;
            }
            break;
        }
    }
    // The field being read when the text ends is always added (an empty header gives one empty field).
    add(name, value);
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
