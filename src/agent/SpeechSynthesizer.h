#pragma once
#include "SpeechJob.h"
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <functional>

class EspeakWorker;

/// The speech synthesiser of the process: espeak-ng on one worker thread, jobs
/// served in order. Main thread (created on first use, destroyed with the
/// application, stopping the worker).
class SpeechSynthesizer : public QObject
{
    Q_OBJECT
public:
    static SpeechSynthesizer *instance();
    ~SpeechSynthesizer() override;

    /// Queues `ssml` for synthesis with the espeak-ng voice `voice` ("en-us+m3").
    SpeechJobPtr synthesize(const QString &ssml, const QString &voice);
    /// Stops a job: a queued one never starts, a running one aborts from its callback.
    void cancel(const SpeechJobPtr &job);
    /// espeak-ng phonemes per word. Blocks the caller until the worker answers: call it
    /// from any thread but the synthesiser's own, never while holding up the main loop.
    QStringList phonemes(const QStringList &words);
    /// phonemes() of this synthesiser, to hand to a worker that needs words pronounced.
    std::function<QStringList(const QStringList &words)> pronouncer()
    {
        return [this](const QStringList &words) { return phonemes(words); };
    }
    /// Empty when espeak-ng works, else why not (blocks briefly on first use).
    QString availability();

private:
    SpeechSynthesizer();
    void onAudio(quint64 jobId, const QByteArray &samples, const SpeechEvents &events);
    void onFinished(quint64 jobId, bool aborted, const QString &error);

    QThread m_thread;
    EspeakWorker *m_worker = nullptr;   ///< lives on m_thread; deleted when it ends
    QHash<quint64, std::weak_ptr<SpeechJob>> m_jobs;
    quint64 m_nextId = 1;
};
