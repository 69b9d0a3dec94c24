#pragma once
#include "trellis/Record.h"

#include <QList>
#include <QStringList>

/// The installed mail programs: desktop entries whose MimeType lists
/// x-scheme-handler/mailto, found in the XDG data folders. Any thread.
class MailClients
{
public:
    /// Records with "Name" and "OpenCommand" (the Exec line), in the order of the data
    /// folders ($XDG_DATA_HOME first) and, within one, of the entries' ids. An entry
    /// id seen earlier hides later ones; hidden entries and entries whose TryExec
    /// program is missing are left out.
    static QList<Record> Find();
    /// $XDG_DATA_HOME (default ~/.local/share), then $XDG_DATA_DIRS (default
    /// /usr/local/share:/usr/share).
    static QStringList DataDirs();
};
