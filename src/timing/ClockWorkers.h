#pragma once
#include "trellis/ThreadRunner.h"
#include <QTime>

/// Message numbers the clocks post to the timer manager.
namespace ClockMsg {
constexpr int Tick = 1;
constexpr int Error = 2;
}

/// Registers the clock workers' ProgIDs ("MUCustom.CTimer", "MUCustom.CTimePulser").
void RegisterTimingWorkers();

/// Interval clock: ticks at once, then after every interval. Runs on its own thread.
/// Bag: "Id", "Instance", "Messanger" (MessangerPtr), "Interval" (ms), "CancelEvent" (name), "Scale".
class CTimer : public Worker
{
public:
    void Run(const DataBag &data) override;
    /// Milliseconds rounded to whole seconds, halves to the even neighbour (1500 -> 2).
    static qint64 WholeSeconds(qint64 ms);
};

/// Minute pulser: ticks on the boundaries of the hour that are multiples of
/// "Interval" minutes; nothing at start. Runs on its own thread.
class CTimePulser : public Worker
{
public:
    void Run(const DataBag &data) override;
    /// Seconds from `now` to the next boundary (rounded); `interval` must be one of
    /// 1, 3, 5, 10, 15, 20, 30, 60. At 10:07:30 with 15 it is 450; at 10:15:00, 900.
    static int SecondsToNextBoundary(int interval, const QTime &now);
    /// The same in milliseconds, unrounded, used for the actual wait.
    static qint64 MsToNextBoundary(int interval, const QTime &now);
};
