#pragma once
#include <QString>

/// Creates a zip archive holding one file (libzip). A value type; no state between calls.
/// Thread: any.
class cZip
{
public:
    /// Writes the archive `zipPath` (replacing any file there) holding `filePath` under
    /// `entryName` (the file's own name when empty). False with `error` set on failure;
    /// no partial archive is left behind.
    static bool Create(const QString &zipPath, const QString &filePath, QString &error,
                       const QString &entryName = {});
};
