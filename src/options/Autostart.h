#pragma once
#include <QString>
#include <QStringList>

/// The desktop's autostart entry of the program, murmelo.desktop in the autostart
/// folder of $XDG_CONFIG_HOME (default ~/.config). Any thread.
class Autostart
{
public:
    static QString EntryPath();
    /// True when the entry exists and is not switched off (Hidden, or the GNOME flag).
    static bool Enabled();
    /// Writes the entry that starts `program` with `arguments`; false on failure.
    [[nodiscard]] static bool Write(const QString &program, const QStringList &arguments = {});
    /// Removes the entry; true when none is left.
    static bool Remove();
    /// The program and arguments the entry should start: this program, and its home
    /// folder when one is in force.
    static QStringList ThisProgram();
};
