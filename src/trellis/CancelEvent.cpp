#include "CancelEvent.h"
#include <QHash>
#include <QSocketNotifier>
#include <chrono>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
std::mutex g_tableMutex;
QHash<QString, std::weak_ptr<CancelEvent>> &table()
{
    static QHash<QString, std::weak_ptr<CancelEvent>> t;
    return t;
}
}

CancelEvent::CancelEvent(QString name) : m_name(std::move(name))
{
    m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CancelEvent::~CancelEvent()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::shared_ptr<CancelEvent> CancelEvent::Create(const QString &name)
{
    std::lock_guard lock(g_tableMutex);
    auto &t = table();
    if (auto existing = t.value(name).lock())
        return existing;
    std::shared_ptr<CancelEvent> event(new CancelEvent(name));
    t.insert(name, event);
    // Drop names whose last handle was closed, so the table does not grow for ever.
    for (auto it = t.begin(); it != t.end();) {
        if (it->expired())
            it = t.erase(it);
        else
            ++it;
    }
    return event;
}

std::shared_ptr<CancelEvent> CancelEvent::Open(const QString &name)
{
    std::lock_guard lock(g_tableMutex);
    return table().value(name).lock();
}

void CancelEvent::Signal()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_signalled)
            return;
        m_signalled = true;
        if (m_fd >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(m_fd, &one, sizeof one);
        }
    }
    m_cond.notify_all();
}

void CancelEvent::Reset()
{
    std::lock_guard lock(m_mutex);
    if (!m_signalled)
        return;
    m_signalled = false;
    if (m_fd >= 0) {
        uint64_t value = 0;
        [[maybe_unused]] auto n = ::read(m_fd, &value, sizeof value);
    }
}

bool CancelEvent::IsSignalled() const
{
    std::lock_guard lock(m_mutex);
    return m_signalled;
}

bool CancelEvent::Wait(qint64 ms) const
{
    std::unique_lock lock(m_mutex);
    if (ms < 0) {
        m_cond.wait(lock, [this] { return m_signalled; });
        return true;
    }
    return m_cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_signalled; });
}

CancelWatcher::CancelWatcher(CancelEventPtr event, QObject *parent)
    : QObject(parent), m_event(std::move(event))
{
    if (!m_event || m_event->pollFd() < 0)
        return;
    m_notifier = new QSocketNotifier(qintptr(m_event->pollFd()), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        // The fd stays readable while signalled; stop listening so the loop does not spin.
        m_notifier->setEnabled(false);
        Q_EMIT signalled();
    });
    if (m_event->IsSignalled()) {
        m_notifier->setEnabled(false);
        QMetaObject::invokeMethod(this, [this] { Q_EMIT signalled(); }, Qt::QueuedConnection);
    }
}

CancelWatcher::~CancelWatcher() = default;
