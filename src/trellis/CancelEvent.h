#pragma once
#include <QObject>
#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>

class QSocketNotifier;

/// A named, manual-reset event shared by threads of the process (the cancel
/// events of downloads and clocks). Handles are shared pointers; the name is
/// free again when the last handle is released ("closed").
/// Each event is also pollable: pollFd() is readable while it is signalled,
/// so an event loop can wake at once (see CancelWatcher).
class CancelEvent
{
public:
    ~CancelEvent();
    CancelEvent(const CancelEvent &) = delete;
    CancelEvent &operator=(const CancelEvent &) = delete;

    /// Creates the event, or opens it if one of that name exists (not signalled when new).
    static std::shared_ptr<CancelEvent> Create(const QString &name);
    /// Opens an existing event; null when none has that name.
    static std::shared_ptr<CancelEvent> Open(const QString &name);

    QString name() const { return m_name; }
    void Signal();
    void Reset();
    bool IsSignalled() const;
    /// Blocks the calling thread for at most `ms` milliseconds (negative: no limit).
    /// True when the event is signalled, false when the time passed.
    bool Wait(qint64 ms) const;
    int pollFd() const { return m_fd; }

private:
    explicit CancelEvent(QString name);

    QString m_name;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cond;
    bool m_signalled = false;
    int m_fd = -1;
};

using CancelEventPtr = std::shared_ptr<CancelEvent>;

/// True when `event` is null-safe signalled; a null handle counts as not signalled.
inline bool IsSignalled(const CancelEventPtr &event) { return event && event->IsSignalled(); }

/// Emits signalled() in the thread it lives on as soon as the event is signalled,
/// so a nested QEventLoop can quit on it without polling.
class CancelWatcher : public QObject
{
    Q_OBJECT
public:
    explicit CancelWatcher(CancelEventPtr event, QObject *parent = nullptr);
    ~CancelWatcher() override;

Q_SIGNALS:
    void signalled();

private:
    CancelEventPtr m_event;
    QSocketNotifier *m_notifier = nullptr;
};
