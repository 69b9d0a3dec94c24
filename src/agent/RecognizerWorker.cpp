#include "RecognizerWorker.h"
#include "AudioFileReader.h"

#include <QThread>

namespace {
constexpr int kMaxUtteranceSeconds = 12;
}

void RecognizerWorker::setPhrases(const QStringList &phrases)
{
    if (phrases != m_phrases) {
        m_phrases = phrases;
        m_dirty = true;
    }
}

bool RecognizerWorker::ready(QString *error)
{
    if (m_phrases.isEmpty()) {
        *error = QStringLiteral("there are no enabled voice commands to listen for");
        return false;
    }
    if (!m_dirty)
        return true;
    if (!m_recognizer.setPhrases(m_phrases, m_pronouncer, error))
        return false;
    m_dirty = false;
    // Longer speech could never pass the recogniser's length test: the gate drops it
    // undecoded (with room for the gate's softer idea of where speech starts and ends).
    const VoiceGate::Params &p = m_gate.params();
    m_gate.setMaxSegmentMs(p.preRollMs + p.hangoverMs + 2 * m_recognizer.longestPhraseMs());
    return true;
}

void RecognizerWorker::decode(const QByteArray &samples)
{
    Q_ASSERT(QThread::currentThread() == thread());
    QString error;
    if (!ready(&error)) {
        Q_EMIT recognized({}, 0, error);
        return;
    }
    ++m_decoded;
    const SpeechRecognizer::Result r = m_recognizer.recognize(samples);
    Q_EMIT recognized(r.phrase, r.confidence, {});
}

void RecognizerWorker::begin()
{
    m_collecting = true;
    m_utterance.clear();
}

void RecognizerWorker::feed(const QByteArray &samples16k)
{
    if (m_collecting) {
        if (m_utterance.size() < kMaxUtteranceSeconds * SpeechRecognizer::SampleRate * 2)
            m_utterance += samples16k;
    } else if (m_handsFree) {
        const VoiceGate::Output out = m_gate.feed(samples16k);
        for (int i = 0; i < out.dropped; ++i)
            Q_EMIT recognized({}, 0, {});   // heard, far too long for any phrase
        for (const QByteArray &segment : out.segments)
            decode(segment);
    }
}

void RecognizerWorker::end()
{
    if (!m_collecting)
        return;
    m_collecting = false;
    const QByteArray u = std::exchange(m_utterance, {});
    decode(u);
}

void RecognizerWorker::setHandsFree(bool on)
{
    m_handsFree = on;
    m_gate.reset();
    m_gate.setHeld(m_deaf);
}

void RecognizerWorker::setDeaf(bool deaf)
{
    m_deaf = deaf;
    m_gate.setHeld(deaf);
}

void RecognizerWorker::recognizeFile(const QString &path)
{
    QByteArray samples;
    QString error;
    if (!AudioFileReader::read(path, SpeechRecognizer::SampleRate, samples, error, 60)) {
        Q_EMIT recognized({}, 0, error);
        return;
    }
    decode(samples);
}
