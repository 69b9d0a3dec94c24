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
    bool Exists(const QString &name) const { return m_props.Exists(name); }
    /// The property's value; an invalid QVariant when absent.
    QVariant Item(const QString &name) const { return m_props.Item(name); }
    QString text(const QString &name) const { return Item(name).toString(); }
    void RemoveAll() { m_props.Clear(); }
    QList<QString> names() const { return m_props.keys(); }
    qsizetype Count() const { return m_props.Count(); }

private:
    QString m_id;
    DataBag m_props;
};
Q_DECLARE_METATYPE(Record)
