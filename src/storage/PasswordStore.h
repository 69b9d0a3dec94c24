#pragma once
#include "trellis/Log.h"
#include "trellis/Record.h"
#include <QString>

/// Account passwords in the desktop keyring (Secret Service or KWallet, through QtKeychain):
/// one entry per account, service "murmelo", key the account id. The keyring answers
/// asynchronously; every call waits for it in a nested event loop, bounded by timeoutMs().
/// Failures are MUError with a text that names the account and the keyring's reason, never
/// the password. Main thread.
class PasswordStore
{
public:
    static const QString Service;
    /// What the account dialog and the log say when no keyring answers.
    static const QString NoKeyringText;

    explicit PasswordStore(Log *log = nullptr);

    /// Whether a keyring answers on this desktop session; asked once per process. When
    /// none does, the log says so once (`log` may be null; then the next caller with a log
    /// writes it). `why` gets the reason.
    static bool KeyringAvailable(Log *log = nullptr, QString *why = nullptr);
    /// The label a person sees in the keyring: "Murmelo: alice on pop.example.com".
    static QString Label(const Record &account);

    /// The account's password; empty when the keyring holds none for it. After a refused
    /// unlock, fails without asking again until the keyring is unlocked or a Write succeeds.
    QString Read(const QString &accountId);
    /// Stores the password and reads it back; MUError unless the keyring holds exactly it.
    void Write(const Record &account, const QString &password);
    /// Deletes the account's entry; one that does not exist is not an error.
    void Remove(const QString &accountId);

    /// Bounded wait for one keyring answer (a locked keyring's prompt included).
    static int timeoutMs();
    static void setTimeoutMs(int ms);

private:
    void relabel(const Record &account);

    Log *m_log = nullptr;
    /// Why the keyring's unlock was refused; empty when it was not.
    QString m_refusal;
};
