#pragma once
// Helpers shared by the speech tests: a home folder with a database, a small character
// package, and WAV files of a chosen length.
#include "storage/CSettings.h"
#include "storage/Database.h"
#include "trellis/Log.h"

#include <QString>
#include <QTemporaryDir>
#include <memory>

class SpeechFixture
{
public:
    /// Makes a home folder (Paths::SetHome), its log, database and settings store,
    /// and the character "Tester" in the user's characters folder.
    SpeechFixture();
    ~SpeechFixture();

    bool isValid() const { return m_ok; }
    QString home() const { return m_dir.path(); }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    LogPtr log() const { return m_log; }
    CSettings *settings() const { return m_settings.get(); }
    Database *database() const { return m_db.get(); }
    QString shortLog() const;

    /// character.json of "Tester": 100 x 120, greeting "Hi~~Hello^^x", animations
    /// RestPose, Show (on "m.svg"), Hide, Wave.
    static QByteArray CharacterJson(const QString &name = QStringLiteral("Tester"));
    static bool WriteCharacter(const QString &file, const QString &name = QStringLiteral("Tester"));
    /// A 22050 Hz mono 16-bit WAV file of `ms` milliseconds of a quiet tone.
    static bool WriteWav(const QString &file, int ms);

private:
    QTemporaryDir m_dir;
    LogPtr m_log;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<CSettings> m_settings;
    bool m_ok = false;
};
