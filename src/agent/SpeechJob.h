#pragma once
#include "SpeechEvent.h"
#include <QByteArray>
#include <QObject>
#include <atomic>
#include <memory>

/// One text being synthesised, as the main thread sees it: audio arrives in
/// blocks with the events that fall in them, then `finished`. Main thread;
/// the worker only reads `cancelled`.
class SpeechJob : public QObject
{
    Q_OBJECT
public:
    explicit SpeechJob(quint64 id) : m_id(id) {}
    quint64 id() const { return m_id; }
    bool isFinished() const { return m_finished; }

    /// Set by cancel(); the synthesis callback aborts when it sees it.
    std::shared_ptr<std::atomic_bool> cancelled = std::make_shared<std::atomic_bool>(false);

Q_SIGNALS:
    /// The next block of samples (22050 Hz mono int16) and the events within it.
    void audio(const QByteArray &samples, const SpeechEvents &events);
    /// Synthesis over: `error` is empty unless it failed; `aborted` after a cancel.
    void finished(bool aborted, const QString &error);

private:
    friend class SpeechSynthesizer;
    const quint64 m_id;
    bool m_finished = false;
};

using SpeechJobPtr = std::shared_ptr<SpeechJob>;
