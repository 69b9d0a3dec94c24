#include "TestHome.h"

#include "storage/CSettings.h"
#include "storage/Database.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
QString readText(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void restoreEnv(const char *name, const QByteArray &value)
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, value);
}
}

TestHome::TestHome()
{
    RegisterTrellisMetaTypes();
    if (!m_dir.isValid())
        return;
    m_oldConfig = qgetenv("XDG_CONFIG_HOME");
    m_oldDataHome = qgetenv("XDG_DATA_HOME");
    m_oldDataDirs = qgetenv("XDG_DATA_DIRS");
    m_oldAudio = qgetenv("MURMELO_AUDIO");
    for (const QString &dir : {configHome(), dataHome(), dataDir()})
        QDir().mkpath(dir);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome()));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(dataDir()));
    qputenv("MURMELO_AUDIO", "null");
    Paths::SetHome(m_dir.path());
    Paths::EnsureDir(Paths::StateDir());
    m_log = std::make_shared<Log>();
    m_ok = m_log->OpenFiles(Paths::StateDir() + QStringLiteral("/mu.log"),
                            Paths::StateDir() + QStringLiteral("/short.log"));
}

TestHome::~TestHome()
{
    m_settings.reset();
    m_db.reset();
    Paths::SetHome(QString());
    restoreEnv("XDG_CONFIG_HOME", m_oldConfig);
    restoreEnv("XDG_DATA_HOME", m_oldDataHome);
    restoreEnv("XDG_DATA_DIRS", m_oldDataDirs);
    restoreEnv("MURMELO_AUDIO", m_oldAudio);
}

QString TestHome::logText() const
{
    return readText(Paths::StateDir() + QStringLiteral("/mu.log"));
}

QString TestHome::shortLogText() const
{
    return readText(Paths::StateDir() + QStringLiteral("/short.log"));
}

QString TestHome::templatePath()
{
    return qEnvironmentVariable("MURMELO_BUILD_DIR") + QStringLiteral("/lib/MU.tdb");
}

Database *TestHome::database()
{
    if (!m_db)
        m_db = std::make_unique<Database>(Paths::DataDir(), templatePath());
    return m_db.get();
}

CSettings *TestHome::settings()
{
    if (!m_settings) {
        m_settings = std::make_unique<CSettings>();
        m_settings->Init(database(), m_log.get());
    }
    return m_settings.get();
}

bool TestHome::writeFile(const QString &name, const QByteArray &content) const
{
    return write(QFileInfo(name).isAbsolute() ? name : path(name), content);
}

bool TestHome::write(const QString &file, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile f(file);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}
