#pragma once
#include <QMutex>
#include <QFile>
#include <QString>
#include <exception>
#include <memory>

/// The system log: a long file with every line and a short one with errors only
/// (level <= 4). Thread-safe; each Write is one line:
///   2026-12-06 20:15:00.123 L5 0 Class.Member Text
/// Never write a password into it.
class Log
{
public:
    Log();
    ~Log();
    Log(const Log &) = delete;
    Log &operator=(const Log &) = delete;

    enum Level { LevelFatal = 0, LevelError = 4, LevelTrace = 5 };

    /// Opens (appends to) both files; creates their folder. False when either cannot be opened.
    bool OpenFiles(const QString &longLogPath, const QString &shortLogPath);
    void Write(qint64 errNumber, const QString &text, int level, const QString &source);
    /// An error line for a caught exception: an MUError's number and description, else -1
    /// and what() (level 4).
    void WriteError(const std::exception &e, const QString &source);
    /// Convenience for the common trace line (number 0, level 5).
    void Trace(const QString &text, const QString &source) { Write(0, text, LevelTrace, source); }

    /// Also copy every line of level <= maxLevel to stderr (-1 switches it off).
    void setEchoLevel(int maxLevel);
    QString longLogPath() const;
    QString shortLogPath() const;
    /// Lines written since the log was created (for tests and the feedback report).
    qint64 linesWritten() const;

private:
    mutable QMutex m_mutex;
    QFile m_long;
    QFile m_short;
    int m_echoLevel = -1;
    qint64 m_lines = 0;
};

using LogPtr = std::shared_ptr<Log>;
