#include "ClockWorkers.h"
#include "trellis/CancelEvent.h"
#include "trellis/Messanger.h"
#include <QStringList>
#include <QThread>
#include <cmath>

namespace {
QVariant tickData(const DataBag &data)
{
    return QStringList{data.Item("Id").toString(), data.Item("Instance").toString()};
}
}

void RegisterTimingWorkers()
{
    ThreadRunner::Register(QStringLiteral("MUCustom.CTimer"), [] { return std::make_unique<CTimer>(); });
    ThreadRunner::Register(QStringLiteral("MUCustom.CTimePulser"), [] { return std::make_unique<CTimePulser>(); });
}

qint64 CTimer::WholeSeconds(qint64 ms)
{
    const qint64 whole = ms / 1000;
    const qint64 rest = ms % 1000;
    if (rest > 500 || (rest == 500 && whole % 2 == 1))
        return whole + 1;
    return whole;
}

// Runs on the clock's worker thread.
void CTimer::Run(const DataBag &data)
{
    const MessangerPtr messanger = data.Item("Messanger").value<MessangerPtr>();
    const CancelEventPtr cancel = CancelEvent::Open(data.Item("CancelEvent").toString());
    if (!messanger || !cancel)
        return;
    const double scale = data.Exists("Scale") ? data.Item("Scale").toDouble() : 1.0;
    // A clock that would wait 0 s would tick without pause: one second at least.
    const qint64 waitMs = qMax<qint64>(1, WholeSeconds(data.Item("Interval").toLongLong())) * 1000;
    const qint64 scaled = qMax<qint64>(1, qint64(double(waitMs) * scale));
    while (!cancel->IsSignalled()) {
        messanger->Post(ClockMsg::Tick, tickData(data));
        if (cancel->Wait(scaled))
            break;
    }
}

int CTimePulser::SecondsToNextBoundary(int interval, const QTime &now)
{
    const double cur = now.minute() + now.second() / 60.0;
    const double next = interval * std::floor(cur / interval + 1);
    return int(std::lround((next - cur) * 60));
}

qint64 CTimePulser::MsToNextBoundary(int interval, const QTime &now)
{
    const qint64 intoHour = (now.minute() * 60 + now.second()) * 1000LL + now.msec();
    const qint64 step = interval * 60000LL;
    return step - intoHour % step;
}

// Runs on the clock's worker thread.
void CTimePulser::Run(const DataBag &data)
{
    const MessangerPtr messanger = data.Item("Messanger").value<MessangerPtr>();
    const CancelEventPtr cancel = CancelEvent::Open(data.Item("CancelEvent").toString());
    const int interval = data.Item("Interval").toInt();
    if (!messanger || !cancel || interval <= 0)
        return;
    bool ticked = false;
    while (!cancel->IsSignalled()) {
        // Wait for the boundary to the millisecond. The wall clock and the wait's clock
        // may differ by a hair, so just after a tick a boundary less than a second away
        // is the one just passed: skip it rather than tick twice.
        qint64 ms = MsToNextBoundary(interval, QTime::currentTime());
        if (ticked && ms < 1000)
            ms += interval * 60000LL;
        if (cancel->Wait(ms))
            break;
        messanger->Post(ClockMsg::Tick, tickData(data));
        ticked = true;
    }
}
