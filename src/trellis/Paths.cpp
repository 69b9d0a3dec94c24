#include "Paths.h"
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>
#include <dlfcn.h>

namespace {
QMutex g_mutex;
QString g_home;
bool g_homeSet = false;

QString xdg(const char *var, const QString &fallbackBelowHome)
{
    const QString v = qEnvironmentVariable(var);
    if (!v.isEmpty() && QDir::isAbsolutePath(v))
        return v;
    return QDir::homePath() + QLatin1Char('/') + fallbackBelowHome;
}

QString underHomeOr(const QString &sub, const char *var, const QString &fallback)
{
    const QString home = Paths::Home();
    if (!home.isEmpty())
        return sub.isEmpty() ? home : home + QLatin1Char('/') + sub;
    return xdg(var, fallback) + QStringLiteral("/murmelo");
}
}

namespace Paths {

void SetHome(const QString &dir)
{
    QMutexLocker lock(&g_mutex);
    g_home = dir.isEmpty() ? QString() : QDir(dir).absolutePath();
    g_homeSet = !dir.isEmpty();
}

QString Home()
{
    {
        QMutexLocker lock(&g_mutex);
        if (g_homeSet)
            return g_home;
    }
    const QString env = qEnvironmentVariable("MURMELO_HOME");
    return env.isEmpty() ? QString() : QDir(env).absolutePath();
}

QString DataDir() { return underHomeOr(QString(), "XDG_DATA_HOME", QStringLiteral(".local/share")); }
QString StateDir() { return underHomeOr(QString(), "XDG_STATE_HOME", QStringLiteral(".local/state")); }
QString CacheDir() { return underHomeOr(QStringLiteral("cache"), "XDG_CACHE_HOME", QStringLiteral(".cache")); }

QString UserCharactersDir()
{
    const QString home = Home();
    if (!home.isEmpty())
        return home + QStringLiteral("/chars");
    return xdg("XDG_DATA_HOME", QStringLiteral(".local/share")) + QStringLiteral("/murmelo/chars");
}

QString LibraryDir()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&LibraryDir), &info) && info.dli_fname)
        return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).canonicalPath();
    return QCoreApplication::applicationDirPath();
}

QString FindLibrary(const QString &relativePath)
{
    const QString app = QCoreApplication::applicationDirPath();
    const QStringList candidates = {
        LibraryDir() + QLatin1Char('/') + relativePath,
        app + QStringLiteral("/../lib/") + relativePath,
        app + QStringLiteral("/../" MURMELO_INSTALL_LIBDIR "/") + relativePath,
    };
    for (const QString &c : candidates) {
        if (QFileInfo(c).isFile())
            return QFileInfo(c).absoluteFilePath();
    }
    return relativePath;
}

QString FindShared(const QString &relativePath)
{
    const QString lib = LibraryDir();
    const QStringList candidates = {
        lib + QLatin1Char('/') + relativePath,
        lib + QStringLiteral("/../share/murmelo/") + relativePath,
        QCoreApplication::applicationDirPath() + QStringLiteral("/../lib/") + relativePath,
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/murmelo/") + relativePath,
    };
    for (const QString &c : candidates) {
        const QFileInfo info(c);
        // An empty folder is no installation of the shipped files: look further.
        if (info.isFile() || (info.isDir() && !QDir(c).isEmpty()))
            return info.absoluteFilePath();
    }
    const QString found = QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                                 QStringLiteral("murmelo/") + relativePath,
                                                 QStandardPaths::LocateFile | QStandardPaths::LocateDirectory);
    return found;
}

bool EnsureDir(const QString &dir)
{
    if (QFileInfo(dir).isDir())
        return true;
    if (!QDir().mkpath(dir))
        return false;
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return true;
}

} // namespace Paths
