#pragma once
#include "trellis/DataBag.h"
#include "trellis/Record.h"
#include <QString>
#include <memory>

class Database;
class Log;
class PasswordStore;

/// The store of mail accounts (table Account). Records carry "Server", "Port", "User",
/// "Pwd" (plain), "CheckInterval", "Disabled", "Email", "Security", "CertPin", "Protocol"
/// ("POP3" or "IMAP"; absent or anything else: "POP3"), "Folder" (IMAP; default "INBOX") and
/// "OnlineAccount" (the Id of a GNOME Online Accounts account that gives the token or password at
/// each login; absent when none) or "OAuth2Provider" (the provider whose browser sign-in gave
/// the refresh token kept as the account's password, in the keyring only; absent when none).
/// Records as read carry "SignInNeeded" (true) while the account waits for a new sign-in
/// (SetSignInNeeded); a record written never sets it, and Update clears it.
/// With a keyring in use, records as read also carry "PasswordStore" ("keyring" or "database":
/// where this account's password is kept) and, when the keyring refused or failed to give the
/// password, "PwdError" (why; "Pwd" is then empty).
/// Errors reach the caller as MUError. Owning thread of the Database only.
class AccountManager
{
public:
    AccountManager();
    ~AccountManager();
    AccountManager(AccountManager &&) noexcept;
    AccountManager &operator=(AccountManager &&) noexcept;

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
    /// Rewrites every column but the id; MUError when the id has no row. A modified account no
    /// longer waits for a new sign-in.
    void Update(const Record &account);
    /// Marks the account as refused at its sign-in (true) or clears the mark. True when the
    /// mark changed; an unknown id changes nothing.
    bool SetSignInNeeded(const QString &accountId, bool needed);

    /// The stored form of a password and back (the same transformation both ways):
    /// code units in reverse order, each unit c <= 255 replaced by 255 - c, others kept.
    static QString StoredPassword(const QString &password);
    /// "IMAP" for any spelling of it, "POP3" for anything else.
    static QString ProtocolText(const QString &protocol);

    /// From now on keeps passwords in the desktop keyring when one answers, and moves the
    /// passwords still in the table there (each written and read back before the table's copy
    /// is cleared; one that fails stays in the table and is logged). Without a keyring the
    /// stored form stays in use and `log` hears it once. True when the keyring is used.
    bool UseKeyring(Log *log);

private:
    void movePasswordsToKeyring(Log *log);
    /// Fills "Pwd" from the keyring for a row whose table copy is empty, and "PasswordStore".
    void resolvePassword(Record &account) const;

    QVariantList columnValues(const Record &account, const QString &source) const;

    Database *m_db = nullptr;
    /// Null while passwords are kept in the table's stored form.
    std::unique_ptr<PasswordStore> m_passwords;
};
