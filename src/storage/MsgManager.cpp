#include "MsgManager.h"
#include "Database.h"
#include "MsgContent.h"
#include "SqlTransaction.h"
#include "trellis/Log.h"
#include "trellis/MUError.h"
#include "trellis/Utility.h"
#include <QDateTime>
#include <QHash>
#include <QSqlQuery>
#include <QTimeZone>

namespace {
/// Control characters (codes below 32) are dropped from the header texts.
QString withoutControls(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 32)
            result.append(c);
    }
    return result;
}

/// A non-null text: SQL NULL is never stored for an empty value.
QString nonNull(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

/// The first `limit` code units, never ending inside a surrogate pair.
QString limited(const QString &text, qsizetype limit)
{
    if (text.size() <= limit)
        return nonNull(text);
    qsizetype size = limit;
    if (size > 0 && text.at(size - 1).isHighSurrogate() && text.at(size).isLowSurrogate())
        --size;
    return text.left(size);
}

QString property(const Record &msg, const QString &name, const QString &source)
{
    if (!msg.Exists(name))
        throw MUError(MUError::Fail, QStringLiteral("The message record has no property '%1'.").arg(name), source);
    return msg.text(name);
}

const QString kListColumns = QStringLiteral("SELECT pkMsg, Server, User, POP3Id, MsgFrom, MsgTo, Date, Subject FROM Msg ");
constexpr int kBatch = 10;

/// The same table and index as in schema.sql.
const QString kCreateUidl = QStringLiteral("CREATE TABLE IF NOT EXISTS Uidl (Server TEXT NOT NULL COLLATE NOCASE, "
                                           "User TEXT NOT NULL COLLATE NOCASE, UIDL TEXT NOT NULL, "
                                           "POP3Id TEXT NOT NULL, PRIMARY KEY (Server, User, UIDL))");
const QString kCreateIdentity =
    QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS MsgIdentity ON Msg (Server, User, POP3Id)");
/// Every copy of a message but one: a shown copy is kept before a deleted one, the first
/// stored before later ones. Grouped as the index compares (Server and User without case).
const QString kDropCopies = QStringLiteral(
    "DELETE FROM Msg WHERE rowid IN (SELECT rowid FROM (SELECT rowid, row_number() OVER ("
    "PARTITION BY Server COLLATE NOCASE, User COLLATE NOCASE, POP3Id COLLATE BINARY "
    "ORDER BY IsDeleted, rowid) AS copy FROM Msg WHERE POP3Id IS NOT NULL) WHERE copy > 1)");

/// Property row of the conversion of older message texts: the last rowid converted, then
/// "compact" until the file has been compacted, then "all".
const QString kPackedProperty = QStringLiteral("MsgContentPacked");
const QString kPackedCompact = QStringLiteral("compact");
const QString kPackedAll = QStringLiteral("all");
/// Page size of a compacted file: messages of a few kilobytes fill large pages better.
constexpr int kCompactPageSize = 16384;

MsgManager::ConversionProgress &progressHandler()
{
    static MsgManager::ConversionProgress handler;
    return handler;
}

void reportProgress(const QString &phase, qint64 done, qint64 total)
{
    if (progressHandler())
        progressHandler()(phase, done, total);
}

/// The one text column that ForEachMsg reads for each record property.
QString columnOf(const QString &property, const QString &source)
{
    if (property == QLatin1String("From"))
        return QStringLiteral("MsgFrom");
    if (property == QLatin1String("To"))
        return QStringLiteral("MsgTo");
    static const QStringList same = {QStringLiteral("Server"), QStringLiteral("User"), QStringLiteral("POP3Id"),
                                     QStringLiteral("Date"), QStringLiteral("Subject")};
    if (!same.contains(property))
        throw MUError(MUError::Fail, QStringLiteral("A message record has no property '%1'.").arg(property), source);
    return property;
}

/// Added to the Msg table of an older database (the same as in schema.sql).
/// Every message of an older database was on show before, so it counts as read: the default
/// gives that without rewriting a row (add() always writes IsRead itself).
const QString kAddIsRead = QStringLiteral("ALTER TABLE Msg ADD COLUMN IsRead INTEGER NOT NULL DEFAULT 1");
const QString kAddDateKey = QStringLiteral("ALTER TABLE Msg ADD COLUMN DateKey INTEGER");
/// The order of the Subject column in the list. Its index holds only the first characters
/// (subjects are long and mostly differ there), and the full text orders what they leave
/// tied: the same order as the whole text, from an index half the size. Addresses are short
/// and repeat (every message to the same address), so From and To keep whole-text indexes,
/// which give the ties in storing order without sorting them. Must match the indexes below.
QString subjectOrder(const QString &dir)
{
    return QStringLiteral("substr(Subject, 1, 20) COLLATE NOCASE%1, Subject COLLATE NOCASE%1").arg(dir);
}
const QString kCreateSortIndexes[] = {
    QStringLiteral("CREATE INDEX IF NOT EXISTS MsgDateKey ON Msg (DateKey)"),
    QStringLiteral("CREATE INDEX IF NOT EXISTS MsgFromSort ON Msg (MsgFrom COLLATE NOCASE)"),
    QStringLiteral("CREATE INDEX IF NOT EXISTS MsgSubjectOrder ON Msg (substr(Subject, 1, 20) COLLATE NOCASE)"),
    QStringLiteral("CREATE INDEX IF NOT EXISTS MsgToSort ON Msg (MsgTo COLLATE NOCASE)")};
/// The whole-subject index of the list's first version, replaced by the one above.
const QString kDropWholeSubjectIndex = QStringLiteral("DROP INDEX IF EXISTS MsgSubjectSort");
const QString kPageColumns = QStringLiteral("SELECT pkMsg, MsgFrom, MsgTo, Date, Subject, IsRead FROM Msg WHERE IsDeleted = 0 ");

QVariant dateKeyValue(const QString &date)
{
    const std::optional<qint64> key = MsgManager::DateKey(date);
    return key ? QVariant(*key) : QVariant(QMetaType::fromType<qint64>());
}

bool schemaHas(const Database &db, const QString &type, const QString &name, const QString &source)
{
    QSqlQuery query = db.run(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = ? AND name = ?"), {type, name},
                             source);
    const bool present = query.next();
    query.finish();
    return present;
}
}

void MsgManager::SetConversionProgress(ConversionProgress handler)
{
    progressHandler() = std::move(handler);
}

void MsgManager::Init(Database *db, Log *log, int batchRows)
{
    m_db = db;
    m_log = log;
    const QString source = QStringLiteral("MsgManager.Init");
    if (!schemaHas(*m_db, QStringLiteral("table"), QStringLiteral("Uidl"), source)) {
        // A database made before the unique-ids were remembered gains their table.
        SqlTransaction transaction(*m_db, source);
        m_db->run(kCreateUidl, {}, source).finish();
        transaction.commit();
    }
    if (!schemaHas(*m_db, QStringLiteral("index"), QStringLiteral("MsgIdentity"), source))
        ensureIdentityIndex(source);
    // Older databases also index (Server, User) alone, which the identity index begins with.
    if (schemaHas(*m_db, QStringLiteral("index"), QStringLiteral("MsgIdentity"), source)
        && schemaHas(*m_db, QStringLiteral("index"), QStringLiteral("MsgAccount"), source)) {
        try {
            m_db->run(QStringLiteral("DROP INDEX MsgAccount"), {}, source).finish();
        } catch (const MUError &error) {
            logError(error, source);
        }
    }
    if (!schemaHas(*m_db, QStringLiteral("table"), QStringLiteral("Uid"), source))
        ensureImapTable();
    if (!schemaHas(*m_db, QStringLiteral("index"), QStringLiteral("MsgSubjectOrder"), source))
        ensureListColumns(source);
    try {
        convertContent(qMax(1, batchRows), source);
    } catch (const MUError &error) {
        // What is not converted stays readable as it is; the next start tries again.
        logError(error, source);
    }
}

void MsgManager::convertContent(int batchRows, const QString &source)
{
    QSqlQuery state = m_db->run(QStringLiteral("SELECT Value FROM Property WHERE Name = ?"), {kPackedProperty}, source);
    const QString value = state.next() ? state.value(0).toString() : QString();
    state.finish();
    if (value == kPackedAll)
        return;
    if (value == kPackedCompact) {
        compact(source);
        return;
    }
    QSqlQuery count = m_db->run(QStringLiteral("SELECT count(*) FROM Msg WHERE rowid > ?"), {value.toLongLong()}, source);
    const qint64 total = count.next() ? count.value(0).toLongLong() : 0;
    count.finish();
    if (total > 0 && m_log)
        m_log->Write(0, QStringLiteral("Converting %1 stored messages to the compact form.").arg(total), Log::LevelTrace,
                     source);
    qint64 done = 0;
    reportProgress(QStringLiteral("convert"), 0, total);
    while (convertBatch(batchRows, &done, source))
        reportProgress(QStringLiteral("convert"), qMin(done, total), total);
    reportProgress(QStringLiteral("convert"), total, total);
    state = m_db->run(QStringLiteral("SELECT Value FROM Property WHERE Name = ?"), {kPackedProperty}, source);
    const bool compactNow = state.next() && state.value(0).toString() == kPackedCompact;
    state.finish();
    if (compactNow)
        compact(source);
}

bool MsgManager::convertBatch(int batchRows, qint64 *examined, const QString &source)
{
    // The place reached is read and written inside the batch's transaction: a second
    // process converting at the same time carries on from it instead of redoing rows.
    SqlTransaction transaction(*m_db, source);
    QSqlQuery state = m_db->run(QStringLiteral("SELECT Value FROM Property WHERE Name = ?"), {kPackedProperty}, source);
    const QString value = state.next() ? state.value(0).toString() : QString();
    state.finish();
    if (value == kPackedAll || value == kPackedCompact)
        return false;
    qint64 last = value.toLongLong();
    const bool fromStart = last == 0;
    QList<QPair<qint64, QString>> texts;
    QList<QPair<qint64, QVariant>> keys;
    int rows = 0;
    QSqlQuery select = m_db->run(
        QStringLiteral("SELECT rowid, Content, Date, DateKey IS NULL FROM Msg WHERE rowid > ? ORDER BY rowid LIMIT ?"),
        {last, batchRows}, source);
    while (select.next()) {
        ++rows;
        last = select.value(0).toLongLong();
        const QVariant content = select.value(1);
        // Only a text value is an older form; a BLOB is packed already or a text bound as bytes.
        if (content.typeId() == QMetaType::QString && MsgContent::packable(content.toString()))
            texts.append({last, content.toString()});
        // A row stored before the list sorted by date gets its key here, once.
        if (select.value(3).toBool()) {
            const QVariant key = dateKeyValue(Database::readText(select.value(2)));
            if (!key.isNull())
                keys.append({last, key});
        }
    }
    select.finish();
    for (const auto &[rowid, text] : std::as_const(texts))
        m_db->run(QStringLiteral("UPDATE Msg SET Content = ? WHERE rowid = ?"), {MsgContent::pack(text), rowid}, source)
            .finish();
    for (const auto &[rowid, key] : std::as_const(keys))
        m_db->run(QStringLiteral("UPDATE Msg SET DateKey = ? WHERE rowid = ?"), {key, rowid}, source).finish();
    const bool more = rows == batchRows;
    m_db->run(QStringLiteral("INSERT OR REPLACE INTO Property (Name, Value) VALUES (?, ?)"),
              {kPackedProperty, more ? QString::number(last) : fromStart && rows == 0 ? kPackedAll : kPackedCompact},
              source)
        .finish();
    transaction.commit();
    *examined += rows;
    return more;
}

void MsgManager::compact(const QString &source)
{
    auto pragma = [&](const QString &sql) {
        QSqlQuery query = m_db->run(sql, {}, source);
        const QVariant value = query.next() ? query.value(0) : QVariant();
        query.finish();
        return value;
    };
    // Converted rows leave their pages part empty: the file shrinks only when rewritten.
    const qint64 before = pragma(QStringLiteral("PRAGMA page_count")).toLongLong()
                          * pragma(QStringLiteral("PRAGMA page_size")).toLongLong();
    reportProgress(QStringLiteral("compact"), 0, 1);
    // The page size changes only outside WAL; with another process on the file the switch
    // is refused and the file is compacted in WAL with the pages it has. VACUUM is one
    // transaction either way: a kill leaves the file as it was before.
    bool rollbackJournal = false;
    try {
        rollbackJournal = pragma(QStringLiteral("PRAGMA journal_mode=DELETE"))
                              .toString()
                              .compare(QLatin1String("delete"), Qt::CaseInsensitive)
                          == 0;
    } catch (const MUError &) {
        // Another process has the file open: compacted in WAL.
    }
    try {
        if (rollbackJournal)
            pragma(QStringLiteral("PRAGMA page_size=%1").arg(kCompactPageSize));
        m_db->run(QStringLiteral("VACUUM"), {}, source).finish();
        m_db->run(QStringLiteral("INSERT OR REPLACE INTO Property (Name, Value) VALUES (?, ?)"), {kPackedProperty, kPackedAll},
                  source)
            .finish();
    } catch (const MUError &error) {
        // Tried again at the next start (a full disk, another process writing).
        logError(error, source);
    }
    if (rollbackJournal)
        pragma(QStringLiteral("PRAGMA journal_mode=WAL"));
    if (m_log)
        m_log->Write(0, QStringLiteral("The database was compacted from %1 to %2 KB.")
                            .arg(before / 1024)
                            .arg(pragma(QStringLiteral("PRAGMA page_count")).toLongLong()
                                 * pragma(QStringLiteral("PRAGMA page_size")).toLongLong() / 1024),
                     Log::LevelTrace, source);
    reportProgress(QStringLiteral("compact"), 1, 1);
}

void MsgManager::ensureListColumns(const QString &source)
{
    // A database made before the list knew what was read and sorted by date. Adding the
    // columns rewrites no row; the date keys are worked out by the batched conversion, so
    // its place is reset with them in this transaction.
    SqlTransaction transaction(*m_db, source);
    bool hasRead = false, hasDateKey = false;
    QSqlQuery columns = m_db->run(QStringLiteral("PRAGMA table_info(Msg)"), {}, source);
    while (columns.next()) {
        const QString name = columns.value(1).toString();
        hasRead = hasRead || name == QLatin1String("IsRead");
        hasDateKey = hasDateKey || name == QLatin1String("DateKey");
    }
    columns.finish();
    if (!hasRead)
        m_db->run(kAddIsRead, {}, source).finish();
    if (!hasDateKey) {
        m_db->run(kAddDateKey, {}, source).finish();
        m_db->run(QStringLiteral("DELETE FROM Property WHERE Name = ?"), {kPackedProperty}, source).finish();
    }
    m_db->run(kDropWholeSubjectIndex, {}, source).finish();
    for (const QString &create : kCreateSortIndexes)
        m_db->run(create, {}, source).finish();
    transaction.commit();
}

std::optional<qint64> MsgManager::DateKey(const QString &headerDate)
{
    // "[Weekday,] DD Mon YYYY HH:MM[:SS] [zone] [(comment)]" as RFC 5322 and its obsolete
    // forms write it; the zone counts, unlike in what is spoken.
    QString text = headerDate;
    const qsizetype paren = text.indexOf(QLatin1Char('('));
    if (paren >= 0)
        text.truncate(paren);
    text.replace(QLatin1Char(','), QLatin1Char(' '));
    QStringList p = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (!p.isEmpty() && !p.first().at(0).isDigit())
        p.removeFirst();
    if (p.size() < 3)
        return std::nullopt;
    static const QStringList months = {QStringLiteral("jan"), QStringLiteral("feb"), QStringLiteral("mar"),
                                       QStringLiteral("apr"), QStringLiteral("may"), QStringLiteral("jun"),
                                       QStringLiteral("jul"), QStringLiteral("aug"), QStringLiteral("sep"),
                                       QStringLiteral("oct"), QStringLiteral("nov"), QStringLiteral("dec")};
    bool okDay = false, okYear = false;
    const int day = p.at(0).toInt(&okDay);
    const int month = int(months.indexOf(p.at(1).left(3).toLower())) + 1;
    int year = p.at(2).toInt(&okYear);
    if (!okDay || !okYear || month == 0)
        return std::nullopt;
    if (p.at(2).size() <= 2)
        year += year < 50 ? 2000 : 1900;
    else if (p.at(2).size() == 3)
        year += 1900;
    const QDate date(year, month, day);
    if (!date.isValid())
        return std::nullopt;
    QTime time(0, 0);
    if (p.size() > 3) {
        const QStringList hms = p.at(3).split(QLatin1Char(':'));
        if (hms.size() >= 2) {
            const QTime t(hms.at(0).toInt(), hms.at(1).toInt(), hms.size() > 2 ? hms.at(2).toInt() : 0);
            if (t.isValid())
                time = t;
        }
    }
    int offset = 0;   // seconds east of UTC; unknown zones are taken as UTC
    if (p.size() > 4) {
        const QString zone = p.at(4).toUpper();
        if ((zone.startsWith(QLatin1Char('+')) || zone.startsWith(QLatin1Char('-'))) && zone.size() == 5) {
            bool ok = false;
            const int hhmm = zone.mid(1).toInt(&ok);
            if (ok)
                offset = (zone.at(0) == QLatin1Char('-') ? -1 : 1) * ((hhmm / 100) * 3600 + (hhmm % 100) * 60);
        } else {
            static const QHash<QString, int> named = {{QStringLiteral("EST"), -5}, {QStringLiteral("EDT"), -4},
                                                      {QStringLiteral("CST"), -6}, {QStringLiteral("CDT"), -5},
                                                      {QStringLiteral("MST"), -7}, {QStringLiteral("MDT"), -6},
                                                      {QStringLiteral("PST"), -8}, {QStringLiteral("PDT"), -7}};
            offset = named.value(zone, 0) * 3600;
        }
    }
    return QDateTime(date, time, Qt::UTC).toSecsSinceEpoch() - offset;
}

void MsgManager::ensureIdentityIndex(const QString &source)
{
    // A database made before the index may hold a message twice (two checks at once).
    // Failing here must not keep the engine from starting: without the index a message
    // can only be stored twice again, as before.
    try {
        SqlTransaction transaction(*m_db, source);
        QSqlQuery drop = m_db->run(kDropCopies, {}, source);
        const int dropped = drop.numRowsAffected();
        drop.finish();
        m_db->run(kCreateIdentity, {}, source).finish();
        transaction.commit();
        if (m_log && dropped > 0)
            m_log->Write(0, QStringLiteral("%1 extra copies of messages stored more than once were dropped.").arg(dropped),
                         Log::LevelError, source);
    } catch (const MUError &error) {
        logError(error, source);
    }
}

void MsgManager::logError(const MUError &error, const QString &source) const
{
    if (m_log)
        m_log->Write(error.number(), error.description(), Log::LevelError, source);
}

void MsgManager::trace(const QString &text, const QString &source) const
{
    if (m_log)
        m_log->Trace(text, source);
}

bool MsgManager::add(Record &msg, bool *alreadyStored, MUError *failure)
{
    if (alreadyStored)
        *alreadyStored = false;
    const QString source = QStringLiteral("MsgManager.Add");
    trace(QStringLiteral("add call"), source);
    msg.setId(Utility::NewGuidString());
    try {
        const QStringList texts = {
            msg.Id(),
            limited(property(msg, QStringLiteral("Server"), source), 50),
            limited(property(msg, QStringLiteral("User"), source), 100),
            limited(property(msg, QStringLiteral("POP3Id"), source), 255),
            limited(withoutControls(property(msg, QStringLiteral("From"), source)), 255),
            limited(withoutControls(property(msg, QStringLiteral("To"), source)), 255),
            limited(withoutControls(property(msg, QStringLiteral("Date"), source)), 50),
            limited(withoutControls(property(msg, QStringLiteral("Subject"), source)), 255),
        };
        QVariantList values;
        for (const QString &text : texts)
            values << Database::bindText(text);
        values << MsgContent::pack(msg.Exists(QStringLiteral("Content")) ? msg.text(QStringLiteral("Content")) : QString());
        values << dateKeyValue(texts.at(6));
        SqlTransaction transaction(*m_db, source);
        QSqlQuery insert =
            m_db->run(QStringLiteral("INSERT INTO Msg (pkMsg, Server, User, POP3Id, MsgFrom, MsgTo, Date, Subject, Content, "
                                     "DateKey, IsRead) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0) ON CONFLICT DO NOTHING"),
                      values, source);
        const bool inserted = insert.numRowsAffected() > 0;
        insert.finish();
        transaction.commit();
        if (!inserted && alreadyStored)
            *alreadyStored = true;
        return true;
    } catch (const MUError &error) {
        logError(error, source);
        if (failure)
            *failure = error;
        return false;
    }
}

void MsgManager::Remove(const QStringList &ids)
{
    const QString source = QStringLiteral("MsgManager.Remove");
    trace(QStringLiteral("Remove call"), source);
    try {
        for (qsizetype start = 0; start < ids.size(); start += kBatch) {
            const QStringList batch = ids.mid(start, kBatch);
            QStringList conditions;
            QVariantList values;
            for (const QString &id : batch) {
                conditions << QStringLiteral("pkMsg = ?");
                values << Database::bindText(id);
            }
            const QString where = conditions.join(QStringLiteral(" OR "));
            // Both changes of a batch commit together: a deleted message never keeps its text.
            SqlTransaction transaction(*m_db, source);
            m_db->run(QStringLiteral("UPDATE Msg SET Content = '' WHERE ") + where, values, source);
            m_db->run(QStringLiteral("UPDATE Msg SET IsDeleted = 1 WHERE ") + where, values, source);
            transaction.commit();
        }
    } catch (const MUError &error) {
        logError(error, source);
    }
}

QString MsgManager::getMsgContent(const QString &msgId) const
{
    const QString source = QStringLiteral("MsgManager.getMsgContent");
    trace(QStringLiteral("getMsgContent call"), source);
    QSqlQuery query = m_db->run(QStringLiteral("SELECT Content FROM Msg WHERE pkMsg = ?"), {msgId}, source);
    if (!query.next())
        throw MUError::engine(514, source, {msgId});
    const QVariant stored = query.value(0);
    query.finish();
    return MsgContent::unpack(stored, source);
}

DataBag MsgManager::GetMsgs(bool includeDeleted) const
{
    const QString source = QStringLiteral("MsgManager.GetMsgs");
    trace(QStringLiteral("GetMsgs call"), source);
    DataBag msgs;
    QSqlQuery query = m_db->run(kListColumns + (includeDeleted ? QStringLiteral("ORDER BY CreationDate, rowid")
                                                               : QStringLiteral("WHERE IsDeleted = 0 ORDER BY CreationDate, rowid")),
                                {}, source);
    static const QString names[] = {QStringLiteral("Server"), QStringLiteral("User"), QStringLiteral("POP3Id"),
                                    QStringLiteral("From"),   QStringLiteral("To"),   QStringLiteral("Date"),
                                    QStringLiteral("Subject")};
    while (query.next()) {
        Record msg;
        msg.setId(query.value(0).toString());
        for (int i = 0; i < 7; ++i) {
            msg.Add(names[i], Database::readText(query.value(i + 1)));
        }
        msgs.Add(QVariant::fromValue(msg), msg.Id());
    }
    return msgs;
}

void MsgManager::ForEachMsg(bool includeDeleted, const QStringList &properties,
                            const std::function<void(const QString &id, const QStringList &values)> &visit) const
{
    const QString source = QStringLiteral("MsgManager.ForEachMsg");
    trace(QStringLiteral("ForEachMsg call"), source);
    QString sql = QStringLiteral("SELECT pkMsg");
    for (const QString &property : properties)
        sql += QStringLiteral(", ") + columnOf(property, source);
    sql += includeDeleted ? QStringLiteral(" FROM Msg ORDER BY CreationDate, rowid")
                          : QStringLiteral(" FROM Msg WHERE IsDeleted = 0 ORDER BY CreationDate, rowid");
    QSqlQuery query = m_db->run(sql, {}, source);
    QStringList values(properties.size());
    while (query.next()) {
        for (int i = 0; i < properties.size(); ++i)
            values[i] = Database::readText(query.value(i + 1));
        visit(query.value(0).toString(), values);
    }
    query.finish();
}

QList<Record> MsgManager::GetMsgPage(SortKey key, bool descending, int offset, int limit) const
{
    const QString source = QStringLiteral("MsgManager.GetMsgPage");
    QString order;
    const QString dir = descending ? QStringLiteral(" DESC") : QStringLiteral(" ASC");
    switch (key) {
    case SortKey::Added: break;
    case SortKey::From: order = QStringLiteral("MsgFrom COLLATE NOCASE") + dir + QStringLiteral(", "); break;
    case SortKey::Subject: order = subjectOrder(dir) + QStringLiteral(", "); break;
    case SortKey::Date: order = QStringLiteral("DateKey") + dir + QStringLiteral(", "); break;
    case SortKey::To: order = QStringLiteral("MsgTo COLLATE NOCASE") + dir + QStringLiteral(", "); break;
    }
    if (key == SortKey::Added)
        order += QStringLiteral("CreationDate") + dir + QStringLiteral(", rowid") + dir;
    else
        order += QStringLiteral("rowid") + dir;   // ties in storing order
    QSqlQuery query = m_db->run(kPageColumns + QStringLiteral("ORDER BY ") + order + QStringLiteral(" LIMIT ? OFFSET ?"),
                                {limit, offset}, source);
    QList<Record> page;
    while (query.next()) {
        Record msg;
        msg.setId(query.value(0).toString());
        msg.Add(QStringLiteral("From"), Database::readText(query.value(1)));
        msg.Add(QStringLiteral("To"), Database::readText(query.value(2)));
        msg.Add(QStringLiteral("Date"), Database::readText(query.value(3)));
        msg.Add(QStringLiteral("Subject"), Database::readText(query.value(4)));
        msg.Add(QStringLiteral("IsRead"), query.value(5).toInt() != 0);
        page.append(msg);
    }
    query.finish();
    return page;
}

int MsgManager::CountMsgs() const
{
    QSqlQuery query =
        m_db->run(QStringLiteral("SELECT count(*) FROM Msg WHERE IsDeleted = 0"), {}, QStringLiteral("MsgManager.CountMsgs"));
    const int n = query.next() ? query.value(0).toInt() : 0;
    query.finish();
    return n;
}

std::optional<Record> MsgManager::GetMsg(const QString &msgId) const
{
    const QString source = QStringLiteral("MsgManager.GetMsg");
    QSqlQuery query = m_db->run(kListColumns + QStringLiteral("WHERE pkMsg = ?"), {msgId}, source);
    if (!query.next())
        return std::nullopt;
    static const QString names[] = {QStringLiteral("Server"), QStringLiteral("User"), QStringLiteral("POP3Id"),
                                    QStringLiteral("From"),   QStringLiteral("To"),   QStringLiteral("Date"),
                                    QStringLiteral("Subject")};
    Record msg;
    msg.setId(query.value(0).toString());
    for (int i = 0; i < 7; ++i)
        msg.Add(names[i], Database::readText(query.value(i + 1)));
    query.finish();
    return msg;
}

void MsgManager::MarkRead(const QStringList &ids)
{
    const QString source = QStringLiteral("MsgManager.MarkRead");
    try {
        SqlTransaction transaction(*m_db, source);
        for (const QString &id : ids)
            m_db->run(QStringLiteral("UPDATE Msg SET IsRead = 1 WHERE pkMsg = ?"), {Database::bindText(id)}, source).finish();
        transaction.commit();
    } catch (const MUError &error) {
        logError(error, source);
    }
}

std::optional<DataBag> MsgManager::GetMsgIds(const QString &accountId, MUError *failure) const
{
    const QString source = QStringLiteral("MsgManager.GetMsgIds");
    trace(QStringLiteral("GetMsgIds call"), source);
    try {
        DataBag ids;
        QSqlQuery query = m_db->run(QStringLiteral("SELECT Msg.POP3Id FROM Msg INNER JOIN Account "
                                                   "ON Account.User = Msg.User AND Account.Server = Msg.Server "
                                                   "WHERE Account.pkAccount = ?"),
                                    {Database::bindText(accountId)}, source);
        while (query.next()) {
            const QString id = Database::readText(query.value(0));
            ids.Add(id, id); // a repeated id is already in the bag
        }
        return ids;
    } catch (const MUError &error) {
        logError(error, source);
        if (failure)
            *failure = error;
        return std::nullopt;
    }
}

void MsgManager::RemoveFkAccount(const QString &accountId)
{
    const QString source = QStringLiteral("MsgManager.RemoveFkAccount");
    trace(QStringLiteral("RemoveFkAccount call"), source);
    SqlTransaction transaction(*m_db, source);
    m_db->run(QStringLiteral("DELETE FROM Msg WHERE EXISTS (SELECT 1 FROM Account WHERE Account.pkAccount = ? "
                             "AND Account.User = Msg.User AND Account.Server = Msg.Server)"),
              {Database::bindText(accountId)}, source)
        .finish();
    m_db->run(QStringLiteral("DELETE FROM Uidl WHERE EXISTS (SELECT 1 FROM Account WHERE Account.pkAccount = ? "
                             "AND Account.User = Uidl.User AND Account.Server = Uidl.Server)"),
              {Database::bindText(accountId)}, source)
        .finish();
    m_db->run(QStringLiteral("DELETE FROM Uid WHERE EXISTS (SELECT 1 FROM Account WHERE Account.pkAccount = ? "
                             "AND Account.User = Uid.User AND Account.Server = Uid.Server)"),
              {Database::bindText(accountId)}, source)
        .finish();
    transaction.commit();
}

QVariantMap MsgManager::GetKnownUidls(const QString &accountId) const
{
    const QString source = QStringLiteral("MsgManager.GetKnownUidls");
    trace(QStringLiteral("GetKnownUidls call"), source);
    try {
        QVariantMap uidls;
        QSqlQuery query = m_db->run(QStringLiteral("SELECT Uidl.UIDL, Uidl.POP3Id FROM Uidl INNER JOIN Account "
                                                   "ON Account.User = Uidl.User AND Account.Server = Uidl.Server "
                                                   "WHERE Account.pkAccount = ?"),
                                    {Database::bindText(accountId)}, source);
        while (query.next())
            uidls.insert(Database::readText(query.value(0)), Database::readText(query.value(1)));
        return uidls;
    } catch (const MUError &error) {
        logError(error, source);
        return {};
    }
}

bool MsgManager::AddUidls(const QString &server, const QString &user, const QVariantMap &uidls)
{
    const QString source = QStringLiteral("MsgManager.AddUidls");
    trace(QStringLiteral("AddUidls call"), source);
    if (uidls.isEmpty())
        return true;
    try {
        SqlTransaction transaction(*m_db, source);
        for (auto it = uidls.constBegin(); it != uidls.constEnd(); ++it) {
            m_db->run(QStringLiteral("INSERT OR REPLACE INTO Uidl (Server, User, UIDL, POP3Id) VALUES (?, ?, ?, ?)"),
                      {Database::bindText(limited(server, 50)), Database::bindText(limited(user, 100)),
                       Database::bindText(limited(it.key(), 255)), Database::bindText(limited(it.value().toString(), 255))},
                      source)
                .finish();
        }
        transaction.commit();
        return true;
    } catch (const MUError &error) {
        logError(error, source);
        return false;
    }
}
