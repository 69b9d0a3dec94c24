#include "MessageListModel.h"
#include "ShellIcons.h"

#include <QDateTime>
#include <QLocale>
#include <QSet>
#include <algorithm>

MessageListModel::MessageListModel(QObject *parent) : QAbstractTableModel(parent), m_icon(ShellIcons::envelope()) {}

MessageListModel::Row MessageListModel::rowFor(const Record &msg)
{
    Row r;
    r.key = msg.Id();
    r.from = msg.text(QStringLiteral("From"));
    r.subject = msg.text(QStringLiteral("Subject"));
    r.date = msg.text(QStringLiteral("Date"));
    r.shownDate = DisplayDate(r.date);
    r.to = msg.text(QStringLiteral("To"));
    return r;
}

QString MessageListModel::DisplayDate(const QString &headerDate)
{
    QString d = headerDate.trimmed();
    // "(CET)" style comments after the zone are legal but unknown to the parser.
    const int paren = d.indexOf(QLatin1Char('('));
    if (paren > 0)
        d = d.left(paren).trimmed();
    QDateTime dt = QDateTime::fromString(d, Qt::RFC2822Date);
    if (!dt.isValid())
        return headerDate;
    return QLocale::system().toString(dt.toLocalTime(), QLocale::ShortFormat);
}

void MessageListModel::AddMsg(const Record &msg)
{
    beginInsertRows({}, 0, 0);
    m_rows.prepend(rowFor(msg));
    endInsertRows();
}

void MessageListModel::AddMsgs(const QList<Record> &msgs)
{
    if (msgs.isEmpty())
        return;
    beginResetModel();
    QList<Row> fresh;
    fresh.reserve(msgs.size() + m_rows.size());
    for (auto it = msgs.crbegin(); it != msgs.crend(); ++it)
        fresh.append(rowFor(*it));
    fresh.append(m_rows);
    m_rows = std::move(fresh);
    endResetModel();
}

void MessageListModel::RemoveKeys(const QStringList &keys)
{
    const QSet<QString> gone(keys.cbegin(), keys.cend());
    // Remove from the bottom up in contiguous runs so the views keep their places.
    for (int row = int(m_rows.size()) - 1; row >= 0;) {
        if (!gone.contains(m_rows.at(row).key)) {
            --row;
            continue;
        }
        int first = row;
        while (first > 0 && gone.contains(m_rows.at(first - 1).key))
            --first;
        beginRemoveRows({}, first, row);
        m_rows.remove(first, row - first + 1);
        endRemoveRows();
        row = first - 1;
    }
}

void MessageListModel::clear()
{
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

QString MessageListModel::key(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows.at(row).key : QString();
}

int MessageListModel::rowOf(const QString &key) const
{
    for (int i = 0; i < m_rows.size(); ++i) {
        if (m_rows.at(i).key == key)
            return i;
    }
    return -1;
}

QString MessageListModel::text(int row, int column) const
{
    if (row < 0 || row >= m_rows.size())
        return {};
    const Row &r = m_rows.at(row);
    switch (column) {
    case ColFrom: return r.from;
    case ColSubject: return r.subject;
    case ColDate: return r.shownDate;
    case ColTo: return r.to;
    default: return {};
    }
}

int MessageListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int MessageListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant MessageListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return text(index.row(), index.column());
    case Qt::ToolTipRole:
        return index.column() == ColDate ? m_rows.at(index.row()).date : text(index.row(), index.column());
    case Qt::DecorationRole:
        return index.column() == ColFrom ? QVariant(m_icon) : QVariant();
    case KeyRole:
        return m_rows.at(index.row()).key;
    default:
        return {};
    }
}

QVariant MessageListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case ColFrom: return QStringLiteral("From");
    case ColSubject: return QStringLiteral("Subject");
    case ColDate: return QStringLiteral("Date");
    case ColTo: return QStringLiteral("To");
    default: return {};
    }
}
