#pragma once
#include "DataBag.h"
#include <QString>
#include <functional>
#include <memory>

/// A component that runs on a worker thread: created on that thread, Run(data)
/// called there; the thread ends when Run returns.
class Worker
{
public:
    virtual ~Worker() = default;
    /// Runs on the worker thread.
    virtual void Run(const DataBag &data) = 0;
};

/// Starts workers by ProgID ("MUCustom.CReceiver" ...) on threads of their own.
/// Releasing a ThreadRunner neither stops nor waits for its worker.
class ThreadRunner
{
public:
    using Factory = std::function<std::unique_ptr<Worker>()>;

    /// Registers the factory of a ProgID (process-wide; a later registration replaces it).
    static void Register(const QString &progId, Factory factory);
    static bool IsRegistered(const QString &progId);

    /// Creates the component named by `progId` on a new thread and calls `method`
    /// (always "Run") with `data`. Throws MUError when the ProgID is unknown or the
    /// method is not "Run".
    void Start(const QString &progId, const QString &method, const DataBag &data);

    /// Number of worker threads of the process still running.
    static int RunningCount();
    /// Waits (blocking) at most `ms` for every worker of the process to end.
    /// True when none is left. Used at shut-down after every worker was cancelled.
    static bool WaitForAll(int ms);
};
