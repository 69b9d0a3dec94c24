#include "ThreadRunner.h"
#include "MUError.h"
#include <QHash>
#include <QMutex>
#include <QThread>
#include <condition_variable>
#include <mutex>

namespace {
QMutex g_factoryMutex;
QHash<QString, ThreadRunner::Factory> &factories()
{
    static QHash<QString, ThreadRunner::Factory> f;
    return f;
}

// Live worker threads, so shut-down can wait for them to wind down.
std::mutex g_liveMutex;
std::condition_variable g_liveCond;
int g_live = 0;
}

void ThreadRunner::Register(const QString &progId, Factory factory)
{
    QMutexLocker lock(&g_factoryMutex);
    factories().insert(progId, std::move(factory));
}

bool ThreadRunner::IsRegistered(const QString &progId)
{
    QMutexLocker lock(&g_factoryMutex);
    return factories().contains(progId);
}

void ThreadRunner::Start(const QString &progId, const QString &method, const DataBag &data)
{
    Factory factory;
    {
        QMutexLocker lock(&g_factoryMutex);
        factory = factories().value(progId);
    }
    if (!factory)
        throw MUError(MUError::Fail, QStringLiteral("Cannot create component '%1'. ").arg(progId),
                      QStringLiteral("ThreadRunner.Start"));
    if (method != QLatin1String("Run"))
        throw MUError(MUError::Fail, QStringLiteral("Component '%1' has no method '%2'. ").arg(progId, method),
                      QStringLiteral("ThreadRunner.Start"));

    {
        std::lock_guard lock(g_liveMutex);
        ++g_live;
    }
    QThread *thread = QThread::create([factory, data] {
        // The component is created, run and destroyed on its own thread.
        if (auto worker = factory())
            worker->Run(data);
    });
    thread->setObjectName(progId);
    QObject::connect(thread, &QThread::finished, thread, [thread] {
        thread->deleteLater();
        {
            std::lock_guard lock(g_liveMutex);
            --g_live;
        }
        g_liveCond.notify_all();
    }, Qt::DirectConnection);
    thread->start();
}

int ThreadRunner::RunningCount()
{
    std::lock_guard lock(g_liveMutex);
    return g_live;
}

bool ThreadRunner::WaitForAll(int ms)
{
    std::unique_lock lock(g_liveMutex);
    return g_liveCond.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_live == 0; });
}
