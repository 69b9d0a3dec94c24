#include "DataBag.h"

bool DataBag::Add(const QVariant &item, const QString &key)
{
    if (!key.isEmpty()) {
        if (m_index.contains(key))
            return false;
        m_index.insert(key, m_items.size());
    }
    m_items.append(item);
    m_keys.append(key);
    return true;
}

QVariant DataBag::Item(const QString &key) const
{
    const auto it = m_index.constFind(key);
    return it == m_index.cend() ? QVariant() : m_items.at(*it);
}

QVariant DataBag::Item(qsizetype index) const
{
    if (index < 1 || index > m_items.size())
        return {};
    return m_items.at(index - 1);
}

QString DataBag::Key(qsizetype index) const
{
    if (index < 1 || index > m_keys.size())
        return {};
    return m_keys.at(index - 1);
}

bool DataBag::Remove(const QString &key)
{
    const auto it = m_index.constFind(key);
    if (it == m_index.cend())
        return false;
    return Remove(*it + 1);
}

bool DataBag::Remove(qsizetype index)
{
    if (index < 1 || index > m_items.size())
        return false;
    const qsizetype pos = index - 1;
    if (!m_keys.at(pos).isEmpty())
        m_index.remove(m_keys.at(pos));
    m_items.removeAt(pos);
    m_keys.removeAt(pos);
    reindexFrom(pos);
    return true;
}

void DataBag::Clear()
{
    m_items.clear();
    m_keys.clear();
    m_index.clear();
}

QList<QString> DataBag::keys() const
{
    return m_keys;
}

void DataBag::reindexFrom(qsizetype pos)
{
    for (qsizetype i = pos; i < m_keys.size(); ++i) {
        if (!m_keys.at(i).isEmpty())
            m_index[m_keys.at(i)] = i;
    }
}
