#pragma once
#include "mime/CMIMEParam.h"

#include <QList>
#include <QStringView>

/// The header fields of one message in header order, duplicates kept. A value type.
class CMIMEParams
{
public:
    /// Replaces the list with the fields of `header` (raw text, CR LF line ends).
    /// Never fails: any text yields some list.
    void Init(const QString &header);

    /// Appends a field and returns it.
    CMIMEParam &add(const QString &name, const QString &value);
    /// The first field named `name`, ignoring case; nullptr when there is none.
    const CMIMEParam *ItemByName(QStringView name) const;
    /// The field at the 1-based `index`; throws std::out_of_range outside 1..Count().
    const CMIMEParam &Item(qsizetype index) const;
    qsizetype Count() const { return m_items.size(); }

    auto begin() const { return m_items.cbegin(); }
    auto end() const { return m_items.cend(); }

private:
    QList<CMIMEParam> m_items;
};
