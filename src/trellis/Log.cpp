#include "Log.h"
#include "MUError.h"
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <cstdio>

Log::Log() = default;
Log::~Log() = default;

static bool openAppend(QFile &file, const QString &path)
{
    if (file.isOpen())
        file.close();
    QDir().mkpath(QFileInfo(path).absolutePath());
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return false;
    // Logs may hold server names and subjects: keep them private.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

bool Log::OpenFiles(const QString &longLogPath, const QString &shortLogPath)
{
    QMutexLocker lock(&m_mutex);
    const bool a = openAppend(m_long, longLogPath);
    const bool b = openAppend(m_short, shortLogPath);
    return a && b;
}

void Log::Write(qint64 errNumber, const QString &text, int level, const QString &source)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    QString clean = text;
    clean.replace(QLatin1Char('\r'), QLatin1String("\\r")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    const QByteArray line = QStringLiteral("%1 L%2 %3 %4 %5\n")
                                .arg(stamp).arg(level).arg(errNumber).arg(source, clean)
                                .toUtf8();
    QMutexLocker lock(&m_mutex);
    ++m_lines;
    if (m_long.isOpen()) {
        m_long.write(line);
        m_long.flush();
    }
    if (level <= LevelError && m_short.isOpen()) {
        m_short.write(line);
        m_short.flush();
    }
    if (m_echoLevel >= 0 && level <= m_echoLevel) {
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    }
}

void Log::setEchoLevel(int maxLevel)
{
    QMutexLocker lock(&m_mutex);
    m_echoLevel = maxLevel;
}

QString Log::longLogPath() const
{
    QMutexLocker lock(&m_mutex);
    return m_long.fileName();
}

QString Log::shortLogPath() const
{
    QMutexLocker lock(&m_mutex);
    return m_short.fileName();
}

qint64 Log::linesWritten() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

void Log::WriteError(const std::exception &e, const QString &source)
{
    if (const auto *mu = dynamic_cast<const MUError *>(&e))
        Write(mu->number(), mu->description(), LevelError, source);
    else
        Write(-1, QString::fromUtf8(e.what()), LevelError, source);
}
