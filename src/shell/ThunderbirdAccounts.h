#pragma once
#include "trellis/Record.h"
#include <QList>
#include <QString>

/// Reads the POP3 accounts of the user's Thunderbird profiles (their prefs.js) as account
/// records with "Email", "Server", "User", "Port" and "Security". Nothing is changed on disk.
/// Any thread.
class ThunderbirdAccounts
{
public:
    /// The accounts of every profile under `thunderbirdDir` (empty: ~/.thunderbird): the
    /// profiles listed in its profiles.ini and every sub-folder holding a prefs.js.
    static QList<Record> EnumAccounts(const QString &thunderbirdDir = {});
    /// The POP3 accounts of one prefs.js text, in the order of the account list
    /// ("mail.accountmanager.accounts"), then any other pop3 server by number.
    static QList<Record> FromPrefs(const QString &prefsText);
    /// The folders of the profiles under `thunderbirdDir`.
    static QStringList ProfileDirs(const QString &thunderbirdDir);
};
