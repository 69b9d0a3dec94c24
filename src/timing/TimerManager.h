#pragma once
#include "trellis/CancelEvent.h"
#include "trellis/Log.h"
#include "trellis/Record.h"
#include <QHash>
#include <QObject>
#include <QStringList>
#include <memory>

#include "trellis/Messanger.h"

/// The engine's clocks: one check timer per enabled account and the program's
/// pulsers (every so many milliseconds, or on the minute boundaries of the hour).
/// Each clock is a worker thread of its own that posts its ticks to this manager,
/// which raises them as events on its own (the engine's) thread.
class TimerManager : public QObject
{
    Q_OBJECT
public:
    enum Kind { AccountTimer = 1, MsPulser = 2, MinutePulser = 3 };
    /// Minute intervals a time pulser accepts (boundaries of the hour).
    static const QList<int> &TimePulserIntervals();

    explicit TimerManager(QObject *parent = nullptr);
    ~TimerManager() override;

    void Init(LogPtr log);
    void AddPulser(const QString &id, qint64 intervalInMs);
    void AddTimePulser(const QString &id, int intervalInMinutes);
    /// The account's check timer: ticks at once, then every CheckInterval minutes.
    void add(const Record &account);
    /// Stops the clock `id`; an empty id stops every clock. An unknown id changes nothing.
    void StopTiming(const QString &id = QString());
    void Finalize();

    bool IsTiming(const QString &id) const { return m_clocks.contains(id); }
    int ClockCount() const { return int(m_clocks.size()); }

    /// Test hook: scales the waits of clocks added afterwards (1.0 = real time).
    void setTimeScale(double scale) { m_timeScale = scale; }

Q_SIGNALS:
    void ItsTimeToCheck(const QString &accountId);
    void Pulse(const QString &id);
    void ErrorOccured(qint32 errNumber, const QString &errDescription);

private:
    struct Clock
    {
        CancelEventPtr cancel;
        Kind kind;
        quint64 instance;
    };
    void start(const QString &id, Kind kind, qint64 interval, const QString &progId, const QString &source);
    void onMessage(int msg, const QVariant &data);

    LogPtr m_log;
    MessangerPtr m_messanger;
    QHash<QString, Clock> m_clocks;
    QStringList m_order;             // ids in the order they were added
    quint64 m_nextInstance = 1;
    double m_timeScale = 1.0;
};
