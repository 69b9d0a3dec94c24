#include "SpeechSynthesizer.h"
#include "EspeakWorker.h"

#include <QCoreApplication>
#include <QPointer>

namespace {
QPointer<SpeechSynthesizer> g_instance;
}

SpeechSynthesizer *SpeechSynthesizer::instance()
{
    if (!g_instance) {
        Q_ASSERT(QCoreApplication::instance());
        g_instance = new SpeechSynthesizer;
        g_instance->setParent(QCoreApplication::instance());
    }
    return g_instance;
}

SpeechSynthesizer::SpeechSynthesizer()
{
    qRegisterMetaType<SpeechEvent>();
    qRegisterMetaType<SpeechEvents>();
    m_thread.setObjectName(QStringLiteral("espeak-ng"));
    m_worker = new EspeakWorker;
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &EspeakWorker::audio, this, &SpeechSynthesizer::onAudio);
    connect(m_worker, &EspeakWorker::finished, this, &SpeechSynthesizer::onFinished);
    m_thread.start();
}

SpeechSynthesizer::~SpeechSynthesizer()
{
    for (auto it = m_jobs.begin(); it != m_jobs.end(); ++it)
        if (auto job = it->lock())
            job->cancelled->store(true);
    m_thread.quit();
    m_thread.wait();
}

SpeechJobPtr SpeechSynthesizer::synthesize(const QString &ssml, const QString &voice)
{
    const quint64 id = m_nextId++;
    SpeechJobPtr job(new SpeechJob(id), [](SpeechJob *j) { j->deleteLater(); });
    m_jobs.insert(id, job);
    QMetaObject::invokeMethod(m_worker, [w = m_worker, id, ssml, voice, cancelled = job->cancelled] {
        w->synthesize(id, ssml, voice, cancelled);
    }, Qt::QueuedConnection);
    return job;
}

void SpeechSynthesizer::cancel(const SpeechJobPtr &job)
{
    if (job)
        job->cancelled->store(true);
}

QStringList SpeechSynthesizer::phonemes(const QStringList &words)
{
    Q_ASSERT(QThread::currentThread() != &m_thread);
    QStringList out;
    QMetaObject::invokeMethod(m_worker, [&] { out = m_worker->phonemes(words); }, Qt::BlockingQueuedConnection);
    return out;
}

QString SpeechSynthesizer::availability()
{
    QString out;
    QMetaObject::invokeMethod(m_worker, [&] { out = m_worker->initialise(); }, Qt::BlockingQueuedConnection);
    return out;
}

void SpeechSynthesizer::onAudio(quint64 jobId, const QByteArray &samples, const SpeechEvents &events)
{
    const SpeechJobPtr job = m_jobs.value(jobId).lock();
    if (job && !job->cancelled->load())
        Q_EMIT job->audio(samples, events);
}

void SpeechSynthesizer::onFinished(quint64 jobId, bool aborted, const QString &error)
{
    const SpeechJobPtr job = m_jobs.take(jobId).lock();
    if (!job)
        return;
    job->m_finished = true;
    Q_EMIT job->finished(aborted || job->cancelled->load(), error);
}
