#pragma once
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariant>

/// A keyed collection of values in insertion order. Indexes count from 1; keys
/// are compared exactly. Adding an existing key fails (returns false). A value type:
/// copies are independent, so a bag can be handed to a worker thread.
class DataBag
{
public:
    qsizetype Count() const { return m_items.size(); }
    bool isEmpty() const { return m_items.isEmpty(); }

    /// Appends `item` under `key` (an empty key adds it without a key). False if the key exists.
    bool Add(const QVariant &item, const QString &key = {});
    bool Exists(const QString &key) const { return m_index.contains(key); }
    /// Item by key; an invalid QVariant when absent.
    QVariant Item(const QString &key) const;
    /// Item by 1-based index.
    QVariant Item(qsizetype index) const;
    QString Key(qsizetype index) const;
    bool Remove(const QString &key);
    bool Remove(qsizetype index);
    void Clear();

    const QList<QVariant> &items() const { return m_items; }
    QList<QString> keys() const;
    auto begin() const { return m_items.cbegin(); }
    auto end() const { return m_items.cend(); }

private:
    void reindexFrom(qsizetype pos);

    QList<QVariant> m_items;
    QList<QString> m_keys;
    QHash<QString, qsizetype> m_index; // key -> 0-based position
};
Q_DECLARE_METATYPE(DataBag)
