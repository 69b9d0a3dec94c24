#include "RecognizerWorker.h"
#include "AudioFileReader.h"
#include "SpeechSynthesizer.h"

#include <QThread>
#include <cmath>

namespace {
constexpr int kBlockMs = 20;
constexpr int kBlockSamples = SpeechRecognizer::SampleRate * kBlockMs / 1000;
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
    if (!m_recognizer.setPhrases(m_phrases, [](const QStringList &words) {
            return SpeechSynthesizer::instance()->phonemes(words);
        }, error))
        return false;
    m_dirty = false;
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
        segment(samples16k);
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
    m_inSpeech = false;
    m_voicedMs = m_quietMs = 0;
    m_utterance.clear();
    m_preRoll.clear();
}

void RecognizerWorker::segment(const QByteArray &samples16k)
{
    // Energy per 20 ms block against a slowly adapting noise floor: speech starts
    // after 100 ms clearly above it and ends after 500 ms back near it.
    const auto *s = reinterpret_cast<const qint16 *>(samples16k.constData());
    const int n = int(samples16k.size() / 2);
    for (int at = 0; at + kBlockSamples <= n; at += kBlockSamples) {
        double sum = 0;
        for (int i = 0; i < kBlockSamples; ++i)
            sum += double(s[at + i]) * s[at + i];
        const double rms = std::sqrt(sum / kBlockSamples);
        const QByteArray block(reinterpret_cast<const char *>(s + at), kBlockSamples * 2);
        const bool loud = rms > m_noiseFloor * 3.0 + 100.0;
        if (!m_inSpeech) {
            m_preRoll += block;
            if (m_preRoll.size() > 300 * 32)   // keep 300 ms before the start
                m_preRoll.remove(0, m_preRoll.size() - 300 * 32);
            m_voicedMs = loud ? m_voicedMs + kBlockMs : 0;
            if (!loud)
                m_noiseFloor = 0.95 * m_noiseFloor + 0.05 * rms;
            if (m_voicedMs >= 100) {
                m_inSpeech = true;
                m_quietMs = 0;
                m_utterance = m_preRoll;
                m_preRoll.clear();
            }
            continue;
        }
        m_utterance += block;
        m_quietMs = loud ? 0 : m_quietMs + kBlockMs;
        if (m_quietMs >= 500 || m_utterance.size() >= kMaxUtteranceSeconds * SpeechRecognizer::SampleRate * 2) {
            m_inSpeech = false;
            m_voicedMs = 0;
            decode(std::exchange(m_utterance, {}));
        }
    }
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
