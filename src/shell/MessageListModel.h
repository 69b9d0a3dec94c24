#pragma once
#include "trellis/Record.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QList>

/// The main window's message list: one row per message record, newest added on top,
/// never sorted otherwise. Holds only the header columns, so tens of thousands of
/// rows load at once. Main thread.
class MessageListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { ColFrom = 0, ColSubject = 1, ColDate = 2, ColTo = 3, ColumnCount = 4 };
    /// The message id of a row.
    static constexpr int KeyRole = Qt::UserRole + 1;

    explicit MessageListModel(QObject *parent = nullptr);

    /// Inserts one row at the top for `msg` (its Id is the row's key).
    void AddMsg(const Record &msg);
    /// As AddMsg for each record in order, in one reset (the last one ends up on top).
    void AddMsgs(const QList<Record> &msgs);
    /// Removes the rows with these keys.
    void RemoveKeys(const QStringList &keys);
    void clear();

    QString key(int row) const;
    /// The row of `key`, or -1.
    int rowOf(const QString &key) const;
    QString text(int row, int column) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    /// The "Date" header value in the system's date-and-time form (as given when it
    /// is not an Internet date).
    static QString DisplayDate(const QString &headerDate);

private:
    struct Row
    {
        QString key, from, subject, date, shownDate, to;
    };
    static Row rowFor(const Record &msg);

    QList<Row> m_rows;   // display order: row 0 is the top
    QIcon m_icon;
};
