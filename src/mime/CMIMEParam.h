#pragma once
#include <QString>

/// One header field: its name as written (case kept) and its unfolded value.
/// The value is the raw header text, one character per byte (Latin-1 mapping). A value type.
class CMIMEParam
{
public:
    CMIMEParam() = default;
    CMIMEParam(const QString &name, const QString &value) : m_name(name), m_value(value) {}

    QString Name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }
    QString Value() const { return m_value; }
    void setValue(const QString &value) { m_value = value; }

private:
    QString m_name;
    QString m_value;
};
