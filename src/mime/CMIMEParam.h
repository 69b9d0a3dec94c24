#pragma once
#include <QString>

/// One header field: its name as written (case kept) and its unfolded value.
/// The value is the raw header text, one character per byte (Latin-1 mapping). A value type.
class CMIMEParam
{
public:
    CMIMEParam() = default;
    CMIMEParam(const QString &name, const QString &value) : m_name(name), m_value(value), m_legacyValue(value) {}
    CMIMEParam(const QString &name, const QString &value, const QString &legacyValue)
        : m_name(name), m_value(value), m_legacyValue(legacyValue)
    {
    }

    QString Name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }
    /// The value unfolded (each line break before a blank removed, the blank kept),
    /// without the blanks around it.
    QString Value() const { return m_value; }
    void setValue(const QString &value) { m_value = value; }
    /// The value as the first versions read it: CR LF kept where it was folded, the first
    /// character after the colon and of each continuation line dropped. Message
    /// identities are taken from it, so that messages stored by those versions stay known.
    QString LegacyValue() const { return m_legacyValue; }

private:
    QString m_name;
    QString m_value;
    QString m_legacyValue;
};
