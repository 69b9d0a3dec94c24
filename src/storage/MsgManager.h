#pragma once
#include "trellis/DataBag.h"
#include "trellis/Record.h"
#include <QStringList>
#include <optional>

class Database;
class Log;

/// The store of downloaded messages (table Msg). Deleting is soft: the row stays with
/// IsDeleted = 1 and an emptied Content, so its POP3Id still counts as received.
/// Owning thread of the Database only.
class MsgManager
{
public:
    /// Keeps `db` and `log` (neither owned; both outlive this; `log` may be null).
    void Init(Database *db, Log *log);

    /// Stores `msg` ("Server", "User", "POP3Id", "From", "To", "Date", "Subject", optional
    /// "Content") under a new id given to it. False, after logging, when the row was not stored.
    bool add(Record &msg);
    /// Soft-deletes the messages with these ids, ten per statement pair. Errors are logged.
    void Remove(const QStringList &ids);
    /// The stored text of one message; MUError 514 when the id has no row.
    QString getMsgContent(const QString &msgId) const;
    /// The message records without "Content", keyed by id, oldest first.
    DataBag GetMsgs(bool includeDeleted = false) const;
    /// The POP3Ids of every stored message of the account (deleted ones too), each once;
    /// nullopt, after logging, when they cannot be read.
    std::optional<DataBag> GetMsgIds(const QString &accountId) const;
    /// Removes the rows of the account's messages (matched through its Account row).
    void RemoveFkAccount(const QString &accountId);

private:
    void logError(const class MUError &error, const QString &source) const;
    void trace(const QString &text, const QString &source) const;

    Database *m_db = nullptr;
    Log *m_log = nullptr;
};
