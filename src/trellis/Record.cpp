#include "Record.h"

void Record::Add(const QString &name, const QVariant &value)
{
    if (m_props.Exists(name)) {
        // Replace in place so the property keeps its position.
        DataBag copy;
        for (qsizetype i = 1; i <= m_props.Count(); ++i) {
            const QString key = m_props.Key(i);
            copy.Add(key == name ? value : m_props.Item(i), key);
        }
        m_props = copy;
        return;
    }
    m_props.Add(value, name);
}
