#pragma once
// A throw-away home for one test: every file the program writes lands in it, sound is
// silent, and the XDG folders point inside it (restored when it goes).
#include "trellis/Log.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class CSettings;
class Database;

class TestHome
{
public:
    TestHome();
    ~TestHome();
    TestHome(const TestHome &) = delete;
    TestHome &operator=(const TestHome &) = delete;

    bool isValid() const { return m_ok; }
    QString path() const { return m_dir.path(); }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString configHome() const { return path(QStringLiteral("config")); }
    QString dataHome() const { return path(QStringLiteral("data")); }
    QString dataDir() const { return path(QStringLiteral("sysdata")); }

    /// The log, writing "mu.log" and "short.log" in the home's state folder.
    LogPtr log() const { return m_log; }
    QString logText() const;
    QString shortLogText() const;

    /// The database made from the build's template on first use, and its settings store.
    Database *database();
    CSettings *settings();
    /// The template that the build made (build/lib/MU.tdb).
    static QString templatePath();

    /// Writes `content` to `name` under the home, or to an absolute `name` (parent folders made).
    bool writeFile(const QString &name, const QByteArray &content) const;
    static bool write(const QString &file, const QByteArray &content);

private:
    QTemporaryDir m_dir;
    LogPtr m_log;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<CSettings> m_settings;
    QByteArray m_oldConfig, m_oldDataHome, m_oldDataDirs, m_oldAudio;
    bool m_ok = false;
};
