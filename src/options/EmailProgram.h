#pragma once
#include <QString>
#include <QStringList>

class OptionsServices;

/// Starts the stored command line of the e-mail program: split into arguments as a
/// desktop entry's Exec line, field codes and %NAME% variables expanded, and handed
/// to the program directly. No text ever reaches a shell. Main thread.
class EmailProgram
{
public:
    /// The program and its arguments for `commandLine` (first item: the program);
    /// empty when there is nothing to run.
    static QStringList Arguments(const QString &commandLine);
    /// Starts `commandLine` detached (through `services.startDetached`); "" on
    /// success, otherwise why it failed.
    static QString Start(const OptionsServices &services, const QString &commandLine);
    /// The display name derived from a stored command line when none is stored.
    static QString DerivedName(const QString &commandLine);
};
