#include "Autostart.h"
#include "DesktopEntry.h"
#include "trellis/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

QString Autostart::EntryPath()
{
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString base = config.isEmpty() ? QDir::homePath() + QStringLiteral("/.config") : config;
    return base + QStringLiteral("/autostart/murmelo.desktop");
}

bool Autostart::Enabled()
{
    DesktopEntry entry;
    if (!entry.load(EntryPath()))
        return false;
    if (entry.boolValue(QStringLiteral("Hidden")))
        return false;
    return entry.value(QStringLiteral("X-GNOME-Autostart-enabled")) != QLatin1String("false");
}

bool Autostart::Write(const QString &program, const QStringList &arguments)
{
    const QString path = EntryPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QString exec = DesktopEntry::QuoteArgument(program);
    for (const QString &a : arguments)
        exec += QLatin1Char(' ') + DesktopEntry::QuoteArgument(a);
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Murmelo\n"
                                        "Comment=Talking mail announcer\n"
                                        "Exec=%1\n"
                                        "Icon=murmelo\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(DesktopEntry::Escape(exec));
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(text.toUtf8());
    return f.commit();
}

bool Autostart::Remove()
{
    const QString path = EntryPath();
    return !QFileInfo::exists(path) || QFile::remove(path);
}

QStringList Autostart::ThisProgram()
{
    QStringList out{QCoreApplication::applicationFilePath()};
    const QString home = Paths::Home();
    if (!home.isEmpty())
        out << QStringLiteral("--home") << QDir(home).absolutePath();
    return out;
}
