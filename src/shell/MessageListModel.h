#pragma once
#include "storage/MsgManager.h"
#include "trellis/Record.h"

#include <QAbstractTableModel>
#include <QFont>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QSet>
#include <functional>

/// The main window's message list: one row per stored message, read from the message
/// store a page at a time as the view scrolls to it (fetchMore), header columns only.
/// Until a column is sorted the newest stored is on top and a new message is inserted
/// there. Unread messages (not shown nor read aloud yet) are bold. Main thread.
class MessageListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { ColFrom = 0, ColSubject = 1, ColDate = 2, ColTo = 3, ColumnCount = 4 };
    /// The message id of a row.
    static constexpr int KeyRole = Qt::UserRole + 1;
    /// Rows read from the store at a time.
    static constexpr int PageSize = 200;

    explicit MessageListModel(QObject *parent = nullptr);

    /// Lists the messages of `store` (null: none) from the top, in the current order.
    void setStore(const MsgManager *store);
    /// Reads the store again from the top (the loaded pages are dropped).
    void reload();
    /// Inserts one row at the top for `msg` (its Id is the row's key), unread.
    void AddMsg(const Record &msg);
    /// Removes the rows with these keys.
    void RemoveKeys(const QStringList &keys);
    /// Shows the row of `key` as read (not bold).
    void setRead(const QString &key);
    void clear();
    /// The messages listed, the rows not yet read from the store included.
    int totalCount() const { return m_total; }
    /// Where the sender's address comes from for the tool tip (looked up once per key).
    void setAddressLookup(std::function<QString(const QString &key)> lookup) { m_addressOf = std::move(lookup); }

    QString key(int row) const;
    /// The row of `key` among the rows read so far, or -1.
    int rowOf(const QString &key) const;
    QString text(int row, int column) const;
    bool isRead(int row) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;
    /// Orders by `column` (-1: as stored, newest first) and reads from the top again.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    /// The "Date" header value in the system's date-and-time form (as given when it
    /// is not an Internet date).
    static QString DisplayDate(const QString &headerDate);
    /// The address in the From field of a raw message; empty when it has none.
    static QString SenderAddress(const QString &rawMessage);

private:
    struct Row
    {
        QString key, from, subject, date, shownDate, to;
        bool read = false;
    };
    static Row rowFor(const Record &msg);

    const MsgManager *m_store = nullptr;
    QList<Row> m_rows;        // display order: row 0 is the top
    QSet<QString> m_keys;     // of m_rows: a page read after an insertion may repeat a row
    int m_offset = 0;         // rows of the store's order read so far
    int m_total = 0;
    bool m_more = false;
    MsgManager::SortKey m_sortKey = MsgManager::SortKey::Added;
    bool m_descending = true;
    std::function<QString(const QString &)> m_addressOf;
    mutable QHash<QString, QString> m_addresses;
    QIcon m_icon;
    QFont m_bold;
};
