#pragma once
#include "DataBag.h"

/// An id plus named properties, each holding one value, in the order added.
/// Accounts and messages travel as Records. A value type.
class Record
{
public:
    QString Id() const { return m_id; }
    void setId(const QString &id) { m_id = id; }

    /// Adds or replaces the property `name`.
    void Add(const QString &name, const QVariant &value);
    bool Exists(const QString &name) const { return m_names.contains(name); }
    /// The property's value; an invalid QVariant when absent.
    QVariant Item(const QString &name) const;
    QString text(const QString &name) const { return Item(name).toString(); }
    void RemoveAll();
    QList<QString> names() const { return m_names; }
    qsizetype Count() const { return m_names.size(); }

private:
    // A record has a handful of properties: a linear search beats a hash here.
    QString m_id;
    QList<QString> m_names;
    QList<QVariant> m_values;
};
Q_DECLARE_METATYPE(Record)
