#pragma once
#include "trellis/DataBag.h"
#include "trellis/Record.h"
#include <QStringList>
#include <QVariantMap>
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
    void Init(Database *db, Log *log);

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

private:
    void ensureIdentityIndex(const QString &source);
    void ensureListColumns(const QString &source);
    void logError(const MUError &error, const QString &source) const;
    void trace(const QString &text, const QString &source) const;

    Database *m_db = nullptr;
    Log *m_log = nullptr;
};
