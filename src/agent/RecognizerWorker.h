#pragma once
#include "SpeechRecognizer.h"
#include "VoiceGate.h"
#include <QByteArray>
#include <QObject>
#include <QStringList>

/// Runs the recogniser on its own thread: utterances held (push to talk), the speech
/// the voice gate lets through (hands-free) or read from files. Lives on the listener's worker thread;
/// its slots are invoked queued from the main thread.
class RecognizerWorker : public QObject
{
    Q_OBJECT
public:
    /// `pronouncer` gives espeak-ng phonemes for words the dictionary lacks; it is called
    /// on the worker's thread.
    explicit RecognizerWorker(SpeechRecognizer::Phonemizer pronouncer) : m_pronouncer(std::move(pronouncer)) {}

public Q_SLOTS:
    void setPhrases(const QStringList &phrases);
    /// Push to talk: collect from now ...
    void begin();
    /// ... (16 kHz mono int16) ...
    void feed(const QByteArray &samples16k);
    /// ... and decode what was collected.
    void end();
    /// Hands-free: every utterance the gate finds in the fed sound is decoded once the
    /// speaker pauses; silence and noise never reach the decoder.
    void setHandsFree(bool on);
    /// Hands-free: the loudspeakers talk; the gate stays closed (push to talk unaffected).
    void setDeaf(bool deaf);
    void recognizeFile(const QString &path);

public:
    /// Utterances handed to the decoder so far (for the benchmark).
    int decodedCount() const { return m_decoded; }

Q_SIGNALS:
    void recognized(const QString &phrase, int confidence, const QString &error);

private:
    bool ready(QString *error);
    void decode(const QByteArray &samples);

    const SpeechRecognizer::Phonemizer m_pronouncer;
    SpeechRecognizer m_recognizer;
    QStringList m_phrases;
    bool m_dirty = true;
    bool m_collecting = false;
    bool m_handsFree = false;
    bool m_deaf = false;
    QByteArray m_utterance;
    VoiceGate m_gate;
    int m_decoded = 0;
};
