#include "Record.h"

void Record::Add(const QString &name, const QVariant &value)
{
    const qsizetype i = m_names.indexOf(name);
    if (i >= 0) {
        m_values[i] = value;   // replaced in place: the property keeps its position
        return;
    }
    m_names.append(name);
    m_values.append(value);
}

QVariant Record::Item(const QString &name) const
{
    const qsizetype i = m_names.indexOf(name);
    return i >= 0 ? m_values.at(i) : QVariant();
}

void Record::RemoveAll()
{
    m_names.clear();
    m_values.clear();
}
