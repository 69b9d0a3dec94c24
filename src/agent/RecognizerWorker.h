#pragma once
#include "SpeechRecognizer.h"
#include <QByteArray>
#include <QObject>
#include <QStringList>

/// Runs the recogniser on its own thread: utterances held (push to talk), segmented
/// by energy (hands-free) or read from files. Lives on the listener's worker thread;
/// its slots are invoked queued from the main thread.
class RecognizerWorker : public QObject
{
    Q_OBJECT
public:
    RecognizerWorker() = default;

public Q_SLOTS:
    void setPhrases(const QStringList &phrases);
    /// Push to talk: collect from now ...
    void begin();
    /// ... (16 kHz mono int16) ...
    void feed(const QByteArray &samples16k);
    /// ... and decode what was collected.
    void end();
    /// Hands-free: every utterance found in the fed sound is decoded.
    void setHandsFree(bool on);
    void recognizeFile(const QString &path);

Q_SIGNALS:
    void recognized(const QString &phrase, int confidence, const QString &error);

private:
    bool ready(QString *error);
    void decode(const QByteArray &samples);
    void segment(const QByteArray &samples16k);

    SpeechRecognizer m_recognizer;
    QStringList m_phrases;
    bool m_dirty = true;
    bool m_collecting = false;
    bool m_handsFree = false;
    QByteArray m_utterance;
    // Hands-free segmentation state.
    double m_noiseFloor = 200.0;
    int m_voicedMs = 0;
    int m_quietMs = 0;
    bool m_inSpeech = false;
    QByteArray m_preRoll;
};
