#pragma once
#include <QString>
#include <QStringList>
#include <QVariant>

/// Text and id helpers of the common services.
namespace Utility {
/// Replaces %1..%n by `values` in order (%10 is the tenth, not %1 followed by 0).
/// A placeholder without a value stays as it is.
QString FormatText(const QString &templ, const QStringList &values);
/// A new GUID in braces, upper case, 38 characters.
QString NewGuidString();
/// Expands %NAME% references of a stored command line from the environment;
/// unknown names stay as they are.
QString ExpandVariables(const QString &command);
/// A setting's value as a boolean: true/false, yes/no, on/off and numbers (non-zero is
/// true) are understood; anything else gives `fallback`.
bool ToBool(const QVariant &value, bool fallback);
/// A setting's value as an integer; `fallback` when it is not a number.
qint64 ToInt(const QVariant &value, qint64 fallback);
/// A text describing the operating system, for the start-up log.
QString GetSystemVersion();
/// Versions of the data components (Qt, the SQLite driver), for the start-up log.
QString GetDataAccessVersions();
}

/// File helpers.
namespace Files {
bool FileExists(const QString &path);
/// Replaces the file's content atomically (write a temporary, then rename).
bool WriteTextFile(const QString &path, const QString &text);
}
