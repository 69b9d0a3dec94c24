#include "TimerManager.h"
#include "ClockWorkers.h"
#include "trellis/MUError.h"
#include "trellis/Messanger.h"
#include "trellis/ThreadRunner.h"
#include "trellis/Utility.h"

namespace {
const QString Cls = QStringLiteral("TimerManager");
}

const QList<int> &TimerManager::TimePulserIntervals()
{
    static const QList<int> intervals{1, 3, 5, 10, 15, 20, 30, 60};
    return intervals;
}

TimerManager::TimerManager(QObject *parent) : QObject(parent), m_messanger(Messanger::Create())
{
    RegisterTimingWorkers();
    connect(m_messanger.get(), &Messanger::MsgArrived, this, &TimerManager::onMessage);
}

TimerManager::~TimerManager()
{
    if (m_log)
        m_log->Trace(QStringLiteral("Class_Terminate()"), Cls + QStringLiteral(".Class_Terminate"));
    StopTiming();
}

void TimerManager::Init(LogPtr log)
{
    m_log = std::move(log);
}

void TimerManager::start(const QString &id, Kind kind, qint64 interval, const QString &progId, const QString &source)
{
    try {
        if (m_clocks.contains(id)) {
            // The callers stop a clock before adding it again; a repeated id replaces the old clock.
            StopTiming(id);
        }
        const quint64 instance = m_nextInstance++;
        // Each clock has an event of its own: a restarted clock never shares (or
        // un-signals) the event of the one it replaces.
        const QString eventName = id + QStringLiteral("TC") + QString::number(instance);
        CancelEventPtr cancel = CancelEvent::Create(eventName);
        cancel->Reset();
        DataBag data;
        data.Add(id, QStringLiteral("Id"));
        data.Add(QString::number(instance), QStringLiteral("Instance"));
        data.Add(QVariant::fromValue(m_messanger), QStringLiteral("Messanger"));
        data.Add(interval, QStringLiteral("Interval"));
        data.Add(eventName, QStringLiteral("CancelEvent"));
        data.Add(m_timeScale, QStringLiteral("Scale"));
        m_clocks.insert(id, Clock{cancel, kind, instance});
        m_order.append(id);
        ThreadRunner().Start(progId, QStringLiteral("Run"), data);
    } catch (const MUError &e) {
        m_clocks.remove(id);
        m_order.removeAll(id);
        if (m_log)
            m_log->Write(e.number(), e.description(), Log::LevelError, Cls + source);
    }
}

void TimerManager::AddPulser(const QString &id, qint64 intervalInMs)
{
    start(id, MsPulser, intervalInMs, QStringLiteral("MUCustom.CTimer"), QStringLiteral(".AddPulser"));
}

void TimerManager::AddTimePulser(const QString &id, int intervalInMinutes)
{
    if (!TimePulserIntervals().contains(intervalInMinutes)) {
        // Any other interval has no boundary rule and would tick without pause.
        if (m_log)
            m_log->Write(MUError::Fail,
                         QStringLiteral("Time pulser interval %1 is not one of 1, 3, 5, 10, 15, 20, 30, 60 minutes. ")
                             .arg(intervalInMinutes),
                         Log::LevelError, Cls + QStringLiteral(".AddTimePulser"));
        return;
    }
    start(id, MinutePulser, intervalInMinutes, QStringLiteral("MUCustom.CTimePulser"), QStringLiteral(".AddTimePulser"));
}

void TimerManager::add(const Record &account)
{
    bool ok = false;
    qint64 minutes = account.Item(QStringLiteral("CheckInterval")).toLongLong(&ok);
    if (!ok || minutes < 1) {
        // A zero or unreadable interval would check the server without pause.
        if (m_log)
            m_log->Write(MUError::Fail,
                         QStringLiteral("Check interval '%1' of account %2 is not a number of minutes; 1 is used. ")
                             .arg(account.text(QStringLiteral("CheckInterval")), account.Id()),
                         Log::LevelError, Cls + QStringLiteral(".Add"));
        minutes = 1;
    }
    start(account.Id(), AccountTimer, minutes * 60000, QStringLiteral("MUCustom.CTimer"), QStringLiteral(".Add"));
}

void TimerManager::StopTiming(const QString &id)
{
    if (m_log)
        m_log->Trace(Utility::FormatText(QStringLiteral("StopTiming(%1) call"), {id}), Cls + QStringLiteral(".StopTiming"));
    if (!id.isEmpty()) {
        const auto it = m_clocks.find(id);
        if (it == m_clocks.end())
            return;
        it->cancel->Signal();
        m_clocks.erase(it);
        m_order.removeAll(id);
        return;
    }
    for (const QString &clockId : std::as_const(m_order))
        m_clocks.value(clockId).cancel->Signal();
    m_clocks.clear();
    m_order.clear();
}

void TimerManager::Finalize()
{
    StopTiming();
}

void TimerManager::onMessage(int msg, const QVariant &data)
{
    if (msg == ClockMsg::Tick) {
        const QStringList tick = data.toStringList();
        if (tick.size() != 2)
            return;
        const auto it = m_clocks.constFind(tick.at(0));
        // A tick of a stopped (or replaced) clock raises nothing.
        if (it == m_clocks.cend() || QString::number(it->instance) != tick.at(1))
            return;
        if (it->kind == AccountTimer)
            Q_EMIT ItsTimeToCheck(tick.at(0));
        else
            Q_EMIT Pulse(tick.at(0));
    } else if (msg == ClockMsg::Error) {
        const DataBag bag = data.value<DataBag>();
        Q_EMIT ErrorOccured(bag.Item(QStringLiteral("ErrNumber")).toInt(),
                            bag.Item(QStringLiteral("ErrDescription")).toString());
    }
}
