#include "MailClients.h"
#include "DesktopEntry.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>
#include <algorithm>

QStringList MailClients::DataDirs()
{
    QStringList dirs;
    const QString home = qEnvironmentVariable("XDG_DATA_HOME");
    dirs << (home.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : home);
    QString rest = qEnvironmentVariable("XDG_DATA_DIRS");
    if (rest.isEmpty())
        rest = QStringLiteral("/usr/local/share:/usr/share");
    for (const QString &d : rest.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        dirs << d;
    return dirs;
}

namespace {
bool tryExecFound(const QString &tryExec)
{
    if (tryExec.isEmpty())
        return true;
    if (QFileInfo(tryExec).isAbsolute())
        return QFileInfo(tryExec).isExecutable();
    return !QStandardPaths::findExecutable(tryExec).isEmpty();
}
}

QList<Record> MailClients::Find()
{
    QList<Record> out;
    QSet<QString> seen;
    for (const QString &base : DataDirs()) {
        const QString apps = base + QStringLiteral("/applications");
        QList<QPair<QString, QString>> entries;   // (desktop id, file)
        QDirIterator it(apps, {QStringLiteral("*.desktop")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            QString id = QDir(apps).relativeFilePath(file);
            id.replace(QLatin1Char('/'), QLatin1Char('-'));
            entries.append({id, file});
        }
        std::sort(entries.begin(), entries.end());
        for (const auto &[id, file] : entries) {
            if (seen.contains(id))
                continue;
            seen.insert(id);
            DesktopEntry entry;
            if (!entry.load(file))
                continue;
            if (entry.boolValue(QStringLiteral("Hidden")))
                continue;
            const QString type = entry.value(QStringLiteral("Type"));
            if (!type.isEmpty() && type != QLatin1String("Application"))
                continue;
            if (!entry.listValue(QStringLiteral("MimeType")).contains(QLatin1String("x-scheme-handler/mailto")))
                continue;
            const QString name = entry.value(QStringLiteral("Name")).trimmed();
            const QString exec = entry.value(QStringLiteral("Exec")).trimmed();
            if (name.isEmpty() || exec.isEmpty() || !tryExecFound(entry.value(QStringLiteral("TryExec"))))
                continue;
            Record r;
            r.setId(id);
            r.Add(QStringLiteral("Name"), name);
            r.Add(QStringLiteral("OpenCommand"), exec);
            out << r;
        }
    }
    return out;
}
