#include "ComponentCheck.h"
#include "SpeechRecognizer.h"
#include "trellis/MessageTable.h"
#include "trellis/Paths.h"
#include "trellis/Utility.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSslSocket>
#include <espeak-ng/speak_lib.h>

namespace {
bool espeakDataPresent()
{
    const char *path = nullptr;
    espeak_Info(&path);
    QStringList candidates;
    if (path)
        candidates << QString::fromLocal8Bit(path);
    const QString env = qEnvironmentVariable("ESPEAK_DATA_PATH");
    if (!env.isEmpty())
        candidates << env + QStringLiteral("/espeak-ng-data") << env;
    // The library's compiled-in folder (multiarch on Debian), as espeak-ng looks it up.
    const QStringList libs = QDir(QStringLiteral("/usr/lib")).entryList({QStringLiteral("*-linux-gnu*")}, QDir::Dirs);
    for (const QString &arch : libs)
        candidates << QStringLiteral("/usr/lib/") + arch + QStringLiteral("/espeak-ng-data");
    candidates << QStringLiteral("/usr/lib/espeak-ng-data") << QStringLiteral("/usr/share/espeak-ng-data")
               << QStringLiteral("/usr/local/share/espeak-ng-data");
    for (const QString &dir : candidates) {
        if (QFileInfo::exists(dir + QStringLiteral("/phontab")))
            return true;
    }
    return false;
}

bool recogniserModelPresent()
{
    const QString model = SpeechRecognizer::modelDir();
    return !model.isEmpty() && QFileInfo(model).isDir() && QFileInfo::exists(SpeechRecognizer::dictionaryPath());
}
}

bool ComponentCheck::CheckComponents(QString &message)
{
    struct Check
    {
        const char *component;
        bool (*present)();
    };
    static const Check checks[] = {
        {"Qt SQLite driver (libqt6sql6-sqlite)", [] { return QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")); }},
        {"eSpeak NG speech data (espeak-ng-data)", espeakDataPresent},
        {"PocketSphinx English model (pocketsphinx-en-us)", recogniserModelPresent},
        {"Murmelo characters folder (share/murmelo/chars)", [] { return !Paths::FindShared(QStringLiteral("chars")).isEmpty(); }},
        {"TLS support (OpenSSL for Qt)", [] { return QSslSocket::supportsSsl(); }},
    };
    for (const Check &check : checks) {
        if (!check.present()) {
            message = Utility::FormatText(MessageTable::Text(152), {QString::fromLatin1(check.component)});
            return false;
        }
    }
    message.clear();
    return true;
}
