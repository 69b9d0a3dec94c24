#include "MessageListModel.h"
#include "ShellIcons.h"
#include "trellis/MUError.h"

#include <QDateTime>
#include <QLocale>
#include <algorithm>

MessageListModel::MessageListModel(QObject *parent) : QAbstractTableModel(parent), m_icon(ShellIcons::envelope())
{
    m_bold.setBold(true);
}

MessageListModel::Row MessageListModel::rowFor(const Record &msg)
{
    Row r;
    r.key = msg.Id();
    r.from = msg.text(QStringLiteral("From"));
    r.subject = msg.text(QStringLiteral("Subject"));
    r.date = msg.text(QStringLiteral("Date"));
    r.shownDate = DisplayDate(r.date);
    r.to = msg.text(QStringLiteral("To"));
    r.read = msg.Exists(QStringLiteral("IsRead")) && msg.Item(QStringLiteral("IsRead")).toBool();
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

QString MessageListModel::SenderAddress(const QString &rawMessage)
{
    // The From field of the header, unfolded: "Name <addr>", "addr (Name)" or "addr".
    const QStringList lines = rawMessage.left(256 * 1024).split(QLatin1Char('\n'));
    QString value;
    bool inFrom = false;
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.isEmpty())
            break;   // the end of the header
        if (inFrom && (line.at(0) == QLatin1Char(' ') || line.at(0) == QLatin1Char('\t'))) {
            value += line;
            continue;
        }
        if (inFrom)
            break;
        if (line.startsWith(QLatin1String("From:"), Qt::CaseInsensitive)) {
            inFrom = true;
            value = line.mid(5);
        }
    }
    const qsizetype open = value.lastIndexOf(QLatin1Char('<'));
    const qsizetype close = value.indexOf(QLatin1Char('>'), open);
    if (open >= 0 && close > open)
        return value.mid(open + 1, close - open - 1).trimmed();
    const qsizetype comment = value.indexOf(QLatin1Char('('));
    const QString bare = (comment >= 0 ? value.left(comment) : value).trimmed();
    return bare.contains(QLatin1Char('@')) && !bare.contains(QLatin1Char(' ')) ? bare : QString();
}

void MessageListModel::setStore(const MsgManager *store)
{
    m_store = store;
    reload();
}

void MessageListModel::reload()
{
    beginResetModel();
    m_rows.clear();
    m_keys.clear();
    m_offset = 0;
    m_total = 0;
    m_more = false;
    if (m_store) {
        try {
            m_total = m_store->CountMsgs();
        } catch (const MUError &) {
            m_total = 0;   // the store logged it; an empty list is what can be shown
        }
        m_more = m_total > 0;
    }
    endResetModel();
    // The first page at once: the window shows and selects the top row right away.
    if (m_more)
        fetchMore({});
}

bool MessageListModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && m_more;
}

void MessageListModel::fetchMore(const QModelIndex &parent)
{
    if (parent.isValid() || !m_more || !m_store)
        return;
    QList<Record> page;
    try {
        page = m_store->GetMsgPage(m_sortKey, m_descending, m_offset, PageSize);
    } catch (const MUError &) {
        m_more = false;   // logged by the store; what is listed stays
        return;
    }
    m_offset += int(page.size());
    m_more = page.size() == PageSize;
    QList<Row> fresh;
    fresh.reserve(page.size());
    for (const Record &msg : std::as_const(page)) {
        if (!m_keys.contains(msg.Id()))
            fresh.append(rowFor(msg));
    }
    if (fresh.isEmpty())
        return;
    const int first = int(m_rows.size());
    beginInsertRows({}, first, first + int(fresh.size()) - 1);
    for (Row &r : fresh) {
        m_keys.insert(r.key);
        m_rows.append(std::move(r));
    }
    endInsertRows();
    // The count says when the last page was full: no empty read to find out.
    m_more = m_more && m_rows.size() < m_total;
}

void MessageListModel::sort(int column, Qt::SortOrder order)
{
    static const MsgManager::SortKey keys[] = {MsgManager::SortKey::From, MsgManager::SortKey::Subject,
                                               MsgManager::SortKey::Date, MsgManager::SortKey::To};
    const bool byColumn = column >= 0 && column < ColumnCount;
    const MsgManager::SortKey key = byColumn ? keys[column] : MsgManager::SortKey::Added;
    const bool descending = byColumn ? order == Qt::DescendingOrder : true;
    if (key == m_sortKey && descending == m_descending)
        return;
    m_sortKey = key;
    m_descending = descending;
    reload();
}

void MessageListModel::AddMsg(const Record &msg)
{
    Row r = rowFor(msg);
    if (m_keys.contains(r.key))
        return;
    r.read = false;
    beginInsertRows({}, 0, 0);
    m_keys.insert(r.key);
    m_rows.prepend(std::move(r));
    ++m_total;
    endInsertRows();
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
        for (int i = first; i <= row; ++i)
            m_keys.remove(m_rows.at(i).key);
        m_rows.remove(first, row - first + 1);
        // The store no longer lists them: the rows not read yet move up by as many.
        m_offset = std::max(0, m_offset - (row - first + 1));
        m_total = std::max(0, m_total - (row - first + 1));
        endRemoveRows();
        row = first - 1;
    }
}

void MessageListModel::setRead(const QString &key)
{
    const int row = rowOf(key);
    if (row < 0 || m_rows.at(row).read)
        return;
    m_rows[row].read = true;
    Q_EMIT dataChanged(index(row, 0), index(row, ColumnCount - 1), {Qt::FontRole});
}

void MessageListModel::clear()
{
    beginResetModel();
    m_rows.clear();
    m_keys.clear();
    m_offset = 0;
    m_total = 0;
    m_more = false;
    endResetModel();
}

QString MessageListModel::key(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows.at(row).key : QString();
}

int MessageListModel::rowOf(const QString &key) const
{
    if (!m_keys.contains(key))
        return -1;
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

bool MessageListModel::isRead(int row) const
{
    return row >= 0 && row < m_rows.size() && m_rows.at(row).read;
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
    const Row &r = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return text(index.row(), index.column());
    case Qt::ToolTipRole:
        if (index.column() == ColDate)
            return r.date;
        if (index.column() == ColFrom && m_addressOf) {
            // Only the hovered row's text is read, once.
            auto it = m_addresses.constFind(r.key);
            if (it == m_addresses.cend())
                it = m_addresses.insert(r.key, m_addressOf(r.key));
            if (!it->isEmpty())
                return *it;
        }
        return text(index.row(), index.column());
    case Qt::FontRole:
        return r.read ? QVariant() : QVariant(m_bold);
    case Qt::DecorationRole:
        return index.column() == ColFrom ? QVariant(m_icon) : QVariant();
    case KeyRole:
        return r.key;
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
