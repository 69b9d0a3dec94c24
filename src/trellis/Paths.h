#pragma once
#include <QString>

/// Where Murmelo keeps its files. One switch, --home DIR or MURMELO_HOME, puts
/// everything into DIR; otherwise the XDG folders are used.
namespace Paths {
/// Sets the home folder (empty: use MURMELO_HOME, then the XDG folders).
void SetHome(const QString &dir);
/// The home folder in force, or empty when the XDG folders are used.
QString Home();
/// Folder of the database "MU.mdb".
QString DataDir();
/// Folder of the logs "mu.log" and "short.log".
QString StateDir();
/// Folder of view files and temporary documents.
QString CacheDir();
/// The user's own characters folder.
QString UserCharactersDir();
/// Folder holding the shared library of the running code (build tree or install prefix).
QString LibraryDir();
/// Finds a shipped file (template, characters, help, services): beside the library,
/// then in <prefix>/share/murmelo/. Empty when not found.
QString FindShared(const QString &relativePath);
/// Finds a library of the program (`relativePath` below the library folder): beside the running
/// code's library, in the build tree's lib/ or in the installed library folder. Returns
/// `relativePath` itself when not found, so that loading it reports what is missing.
QString FindLibrary(const QString &relativePath);
/// Creates `dir` (and parents) readable by the owner only when new. False on failure.
bool EnsureDir(const QString &dir);
}
