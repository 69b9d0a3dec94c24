#pragma once
#include <QString>
#include <QVariant>

class Database;
class Log;

/// The persistent key/value store of options (table Option); no cache, every call reads
/// or writes the database. Scalars are stored as text and come back as QString; other
/// values (maps, lists, byte arrays) are stored serialised and come back as they were.
/// Owning thread of the Database only.
class CSettings
{
public:
    /// The run counter's key; its value lives in the database property "RC".
    static QString RunCounterKey() { return QStringLiteral("{CA42128C-3C0D-402f-BF6F-B9C7350C9598}"); }

    /// Keeps `db` and `log` (neither owned; both outlive this; `log` may be null).
    void Init(Database *db, Log *log);
    /// Creates or replaces the value of `id`. Throws MUError 528 when it cannot be saved.
    void SaveSetting(const QString &id, const QVariant &value);
    /// The stored value of `id`, or `defaultValue` when it was never saved (nothing is
    /// written). Database failures reach the caller as MUError.
    QVariant GetSetting(const QString &id, const QVariant &defaultValue = {}) const;

    /// True for the values stored as text (strings, numbers, booleans, dates, invalid).
    static bool IsScalar(const QVariant &value);

private:
    QVariant runCounter() const;
    void saveRunCounter(const QVariant &value);

    Database *m_db = nullptr;
    Log *m_log = nullptr;
};
