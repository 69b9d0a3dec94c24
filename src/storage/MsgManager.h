#pragma once
#include "trellis/DataBag.h"
#include "trellis/Record.h"
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <optional>

class Database;
class Log;
class MUError;

/// The store of downloaded messages (table Msg). Deleting is soft: the row stays with
/// IsDeleted = 1 and an emptied Content, so its POP3Id still counts as received.
/// Owning thread of the Database only.
class MsgManager
{
public:
    /// Keeps `db` and `log` (neither owned; both outlive this; `log` may be null) and creates
    /// the unique-id table an older database lacks (MUError when that fails). An older
    /// database also gains the index that keeps each message once; copies stored twice
    /// before are dropped then (a shown copy is kept before a deleted one, else the first).
    ///
    /// Message texts stored by an older version (UTF-16 text) are converted to their packed
    /// form here, and rows stored before the list sorted by date get their date key,
    /// `batchRows` rows per transaction; the file is compacted afterwards; a
    /// kill at any point loses nothing and the next Init resumes. Progress goes to the
    /// handler set with SetConversionProgress(). A failure to convert is logged and leaves
    /// the rest as it was: every form stays readable.
    void Init(Database *db, Log *log, int batchRows = 500);

    /// Progress of that conversion: `done` of `total` rows examined (phase "convert"; a total
    /// of 0 means nothing to convert), then the compaction (phase "compact", 0 of 1 before
    /// and 1 of 1 after; one step of a few seconds for 100,000 messages). Called on the
    /// thread of Init, between transactions; the handler may process events.
    using ConversionProgress = std::function<void(const QString &phase, qint64 done, qint64 total)>;
    /// Sets the handler for every later Init of this process (empty: none).
    static void SetConversionProgress(ConversionProgress handler);

    /// Stores `msg` ("Server", "User", "POP3Id", "From", "To", "Date", "Subject", optional
    /// "Content") under a new id given to it. True when the message is in the store after the
    /// call: stored now, or already there under the same Server, User and POP3Id (deleted or
    /// not), which sets `*alreadyStored` and writes nothing. False, after logging and with
    /// `*failure` filled, when the row was not stored.
    bool add(Record &msg, bool *alreadyStored = nullptr, MUError *failure = nullptr);
    /// Soft-deletes the messages with these ids, ten per statement pair. Errors are logged.
    void Remove(const QStringList &ids);
    /// The stored text of one message; MUError 514 when the id has no row.
    QString getMsgContent(const QString &msgId) const;
    /// The message records without "Content", keyed by id, oldest first.
    DataBag GetMsgs(bool includeDeleted = false) const;
    /// Calls `visit` with each message, oldest first, as GetMsgs() would list them, but one
    /// row at a time and reading only the named properties (of "Server", "User", "POP3Id",
    /// "From", "To", "Date", "Subject"): the id and the values in the order named. Database
    /// errors reach the caller.
    void ForEachMsg(bool includeDeleted, const QStringList &properties,
                    const std::function<void(const QString &id, const QStringList &values)> &visit) const;
    /// The POP3Ids of every stored message of the account (deleted ones too), each once;
    /// nullopt, after logging and with `*failure` filled, when they cannot be read.
    std::optional<DataBag> GetMsgIds(const QString &accountId, MUError *failure = nullptr) const;
    /// The order of a page of the list: as stored (newest first when descending) or by a
    /// header column; Date goes by the moment the message was sent (zone included).
    enum class SortKey { Added, From, Subject, Date, To };
    /// At most `limit` message records from `offset` on in the order `key` (ties in the
    /// order of storing, the same way round), with "From", "To", "Date", "Subject" and "IsRead" only: never
    /// the text. Not deleted ones. MUError when they cannot be read.
    QList<Record> GetMsgPage(SortKey key, bool descending, int offset, int limit) const;
    /// The number of messages not deleted; MUError when it cannot be read.
    int CountMsgs() const;
    /// The record of one message as GetMsgs gives it (no text), or nullopt.
    std::optional<Record> GetMsg(const QString &msgId) const;
    /// Marks the messages as shown or read aloud (kept across restarts). Errors are logged.
    void MarkRead(const QStringList &ids);
    /// The sortable key (seconds since 1970, UTC) of a Date header value; nullopt when
    /// the value is not a date.
    static std::optional<qint64> DateKey(const QString &headerDate);

    /// Removes the rows of the account's messages and its remembered unique-ids (matched
    /// through its Account row).
    void RemoveFkAccount(const QString &accountId);

    /// The unique-ids remembered for the account's mailbox: unique-id -> identifier. Empty,
    /// after logging, when they cannot be read (a check then only asks the server more).
    QVariantMap GetKnownUidls(const QString &accountId) const;
    /// Remembers (or replaces) unique-id -> identifier pairs of the mailbox (`server`, `user`)
    /// in one transaction. False, after logging, when they were not stored.
    bool AddUidls(const QString &server, const QString &user, const QVariantMap &uidls);

    /// The remembered state of the account's IMAP folder (its Server, User and Folder):
    /// {"UidValidity", "HighestUid"} as qint64; empty when the folder was never examined or
    /// the state cannot be read (logged). (MsgManagerImap.cpp)
    QVariantMap GetImapState(const QString &accountId) const;
    /// Remembers the folder's UIDVALIDITY and highest UID examined. False, after logging, when
    /// it was not stored.
    bool SetImapState(const QString &server, const QString &user, const QString &folder, qint64 uidValidity,
                      qint64 highestUid);

private:
    void ensureIdentityIndex(const QString &source);
    /// Creates the IMAP table, which an older database lacks. (MsgManagerImap.cpp)
    void ensureImapTable();
    void convertContent(int batchRows, const QString &source);
    bool convertBatch(int batchRows, qint64 *examined, const QString &source);
    void compact(const QString &source);
    void ensureListColumns(const QString &source);
    void logError(const MUError &error, const QString &source) const;
    void trace(const QString &text, const QString &source) const;

    Database *m_db = nullptr;
    Log *m_log = nullptr;
};
