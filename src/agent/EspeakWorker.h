#pragma once
#include "SpeechEvent.h"
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>

/// Owns the process-wide espeak-ng instance. Lives on its own QThread and is
/// only ever called there (espeak-ng is neither reentrant nor thread-safe).
class EspeakWorker : public QObject
{
    Q_OBJECT
public:
    EspeakWorker() = default;
    ~EspeakWorker() override;

public Q_SLOTS:
    /// Worker thread. Synthesises `ssml` with `voice`, reporting blocks as it goes.
    void synthesize(quint64 jobId, const QString &ssml, const QString &voice,
                    std::shared_ptr<std::atomic_bool> cancelled);
    /// Worker thread. espeak-ng phoneme mnemonics of each word ("w'av"), "" when unknown.
    QStringList phonemes(const QStringList &words);
    /// Worker thread. Empty when the synthesiser is usable, else why not.
    QString initialise();

Q_SIGNALS:
    void audio(quint64 jobId, const QByteArray &samples, const SpeechEvents &events);
    void finished(quint64 jobId, bool aborted, const QString &error);

private:
    bool m_initialised = false;
    QString m_initError;
    QString m_voice;
};
