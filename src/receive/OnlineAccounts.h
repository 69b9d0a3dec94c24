#pragma once
#include "trellis/Record.h"
#include <QList>
#include <QString>

/// The mail accounts of GNOME Online Accounts (org.gnome.OnlineAccounts on the session bus),
/// and the credentials they give. An account that names an online account ("OnlineAccount",
/// its Id there) keeps neither token nor password: each login asks for one, so a token the
/// desktop refreshed is always the one used. Blocking D-Bus calls; any thread.
namespace OnlineAccounts {

/// One mail-enabled online account, with the settings a Murmelo account takes from it.
struct MailAccount
{
    QString id;       ///< the online account's Id
    QString provider; ///< "Google", "Microsoft", "IMAP and SMTP" ...
    QString email;
    QString server;
    int port = 0;
    QString security; ///< "TLS", "STARTTLS" or "None"
    QString user;
    QString auth;     ///< "OAuth2" or "Password"
};

/// The mail-enabled online accounts that offer IMAP. Empty with `error` set when the service
/// cannot be asked.
QList<MailAccount> List(QString *error = nullptr);

/// A Murmelo account record for an online account: Server, Port, Security, User, Email,
/// Protocol IMAP, Folder INBOX and OnlineAccount; no password.
Record ToAccount(const MailAccount &account);

/// `account` as a login needs it: for an account signed in through the browser
/// ("OAuth2Provider"), a copy whose "Pwd" is an access token made from its refresh token; for an
/// account that names an online account, a copy whose
/// "Pwd" is the access token ("Auth" "OAuth2") or the password ("Auth" "Password") asked of
/// it just now; any other account as it is. In words that say what to do: Sasl::SignInNeeded
/// when the provider or the desktop refused the sign-in (or the account has no refresh token),
/// MUError 525 when the online account is gone or the service does not answer.
Record WithCredentials(const Record &account);

}
