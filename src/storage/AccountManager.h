#pragma once
#include "trellis/DataBag.h"
#include "trellis/Record.h"
#include <QString>

class Database;

/// The store of mail accounts (table Account). Records carry "Server", "Port", "User",
/// "Pwd" (plain), "CheckInterval", "Disabled", "Email", "Security", "CertPin", "Protocol"
/// ("POP3" or "IMAP"; absent or anything else: "POP3") and "Folder" (IMAP; default "INBOX").
/// Errors reach the caller as MUError. Owning thread of the Database only.
class AccountManager
{
public:
    /// Keeps `db` (not owned, outlives this) and adds the columns an older database lacks.
    void Init(Database *db);
    /// Stores a new account; gives `account` a new id.
    void add(Record &account);
    /// The account with that id; MUError 513 when there is none.
    Record GetAccount(const QString &accountId) const;
    /// Deletes the account row; an unknown id does nothing.
    void Remove(const QString &accountId);
    /// Every account, keyed by id, ordered by server, then logon name.
    DataBag AccountList() const;
    /// Rewrites every column but the id; MUError when the id has no row.
    void Update(const Record &account);

    /// The stored form of a password and back (the same transformation both ways):
    /// code units in reverse order, each unit c <= 255 replaced by 255 - c, others kept.
    static QString StoredPassword(const QString &password);
    /// "IMAP" for any spelling of it, "POP3" for anything else.
    static QString ProtocolText(const QString &protocol);

private:
    QVariantList columnValues(const Record &account, const QString &source) const;

    Database *m_db = nullptr;
};
