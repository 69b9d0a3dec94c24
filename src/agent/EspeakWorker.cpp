#include "EspeakWorker.h"
#include "AudioSink.h"
#include "SpeechTags.h"

#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <espeak-ng/speak_lib.h>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

/// The job being synthesised. The callback is a plain function, so it finds its job
/// here; touched only on the worker thread, inside espeak_Synth.
struct Current
{
    EspeakWorker *worker = nullptr;
    quint64 jobId = 0;
    std::atomic_bool *cancelled = nullptr;
    const std::vector<int> *utf16At = nullptr;   ///< code point index -> UTF-16 index
    bool aborted = false;
    qint64 synthesised = 0;   ///< samples produced for the job so far (speech and pauses)
    qint64 base = 0;          ///< samples before the piece being synthesised
    int pieceStart = 0;       ///< code point where that piece starts in the whole text
};
Current g_current;

// Declared as a friend-less trampoline: the worker re-emits through a public signal.
int synthCallback(short *wav, int count, espeak_EVENT *ev)
{
    Current &c = g_current;
    if (!c.worker)
        return 1;
    if (c.cancelled && c.cancelled->load()) {
        c.aborted = true;
        return 1;   // abort synthesis at once
    }
    const int n = (wav && count > 0) ? count : 0;
    c.synthesised += n;
    SpeechEvents events;
    for (; ev && ev->type != espeakEVENT_LIST_TERMINATED; ++ev) {
        SpeechEvent e;
        e.sample = c.base + qint64(ev->audio_position) * AudioSink::SampleRate / 1000;
        switch (ev->type) {
        case espeakEVENT_WORD: {
            e.type = SpeechEvent::Word;
            const int cp = c.pieceStart + ev->text_position - 1;
            const auto &map = *c.utf16At;
            if (cp < 0 || cp >= int(map.size()))
                continue;
            e.textPosition = map[size_t(cp)];
            const int endCp = qMin(int(map.size()) - 1, cp + qMax(ev->length, 1));
            e.length = qMax(1, map[size_t(endCp)] - e.textPosition);
            break;
        }
        case espeakEVENT_PHONEME: {
            e.type = SpeechEvent::Phoneme;
            char buf[9] = {};
            std::memcpy(buf, ev->id.string, 8);
            e.name = QString::fromLatin1(buf);
            break;
        }
        case espeakEVENT_MARK:
            e.type = SpeechEvent::Mark;
            e.name = QString::fromUtf8(ev->id.name ? ev->id.name : "");
            break;
        case espeakEVENT_SENTENCE:
            e.type = SpeechEvent::Sentence;
            break;
        case espeakEVENT_END:
            e.type = SpeechEvent::End;
            break;
        default:
            continue;
        }
        events.append(e);
    }
    const QByteArray samples(reinterpret_cast<const char *>(wav), n * 2);
    if (!samples.isEmpty() || !events.isEmpty())
        Q_EMIT c.worker->audio(c.jobId, samples, events);
    return 0;
}

} // namespace

EspeakWorker::~EspeakWorker()
{
    if (m_initialised)
        espeak_Terminate();
}

QString EspeakWorker::initialise()
{
    if (m_initialised || !m_initError.isEmpty())
        return m_initError;
    // 40 ms blocks: the first sound is ready within a few milliseconds of starting.
    const int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 40, nullptr,
                                       espeakINITIALIZE_PHONEME_EVENTS | espeakINITIALIZE_DONT_EXIT);
    if (rate != AudioSink::SampleRate) {
        m_initError = rate < 0 ? QStringLiteral("espeak-ng cannot start: its data (espeak-ng-data) was not found")
                               : QStringLiteral("espeak-ng produces %1 Hz, not 22050 Hz").arg(rate);
        return m_initError;
    }
    espeak_SetSynthCallback(synthCallback);
    m_initialised = true;
    return {};
}

void EspeakWorker::synthesize(quint64 jobId, const QString &ssml, const QString &voice,
                              std::shared_ptr<std::atomic_bool> cancelled)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (cancelled && cancelled->load()) {
        Q_EMIT finished(jobId, true, {});
        return;
    }
    const QString initError = initialise();
    if (!initError.isEmpty()) {
        Q_EMIT finished(jobId, false, initError);
        return;
    }
    if (voice != m_voice) {
        const QByteArray name = voice.toUtf8();
        if (espeak_SetVoiceByName(name.constData()) != EE_OK) {
            const QByteArray base = voice.section(QLatin1Char('+'), 0, 0).toUtf8();
            if (espeak_SetVoiceByName(base.constData()) != EE_OK && espeak_SetVoiceByName("en") != EE_OK) {
                Q_EMIT finished(jobId, false, QStringLiteral("espeak-ng has no voice '%1'").arg(voice));
                return;
            }
        }
        m_voice = voice;
    }
    espeak_SetParameter(espeakRATE, 175, 0);
    espeak_SetParameter(espeakPITCH, 50, 0);
    espeak_SetParameter(espeakRANGE, 50, 0);
    espeak_SetParameter(espeakVOLUME, 100, 0);

    std::vector<int> utf16At;
    utf16At.reserve(size_t(ssml.size()) + 1);
    for (int i = 0; i < ssml.size(); ++i) {
        utf16At.push_back(i);
        if (ssml.at(i).isHighSurrogate() && i + 1 < ssml.size() && ssml.at(i + 1).isLowSurrogate())
            ++i;
    }
    utf16At.push_back(int(ssml.size()));

    // Pauses split the text into pieces spoken one after another with silence between.
    static const QRegularExpression pauseMark(QStringLiteral("<mark name=\"%1(\\d+)\"/>")
                                                  .arg(QLatin1String(SpeechTags::PauseMarkPrefix)));
    struct Piece { int start; int end; int pauseMs; };
    QList<Piece> pieces;
    int from = 0;
    for (auto it = pauseMark.globalMatch(ssml); it.hasNext();) {
        const auto m = it.next();
        pieces.append({from, int(m.capturedStart()), m.captured(1).toInt()});
        from = int(m.capturedEnd());
    }
    pieces.append({from, int(ssml.size()), 0});

    g_current = {this, jobId, cancelled.get(), &utf16At, false, 0, 0, 0};
    espeak_ERROR err = EE_OK;
    for (const Piece &p : pieces) {
        // Code point index of the piece's start, for the word positions.
        g_current.pieceStart = int(std::lower_bound(utf16At.begin(), utf16At.end(), p.start) - utf16At.begin());
        g_current.base = g_current.synthesised;
        const QByteArray text = ssml.mid(p.start, p.end - p.start).toUtf8();
        // A piece cut at a pause keeps the pause its last clause would have had.
        const unsigned flags = espeakCHARS_UTF8 | espeakSSML | (p.pauseMs > 0 ? espeakENDPAUSE : 0);
        err = espeak_Synth(text.constData(), size_t(text.size()) + 1, 0, POS_CHARACTER, 0, flags, nullptr, nullptr);
        if (err != EE_OK || g_current.aborted || cancelled->load())
            break;
        if (p.pauseMs > 0) {
            const qint64 silence = qint64(p.pauseMs) * AudioSink::SampleRate / 1000;
            g_current.synthesised += silence;
            Q_EMIT audio(jobId, QByteArray(int(silence * 2), '\0'), {});
        }
    }
    const bool aborted = g_current.aborted;
    g_current = {};
    if (err != EE_OK && !aborted)
        Q_EMIT finished(jobId, false, QStringLiteral("espeak-ng failed to synthesise (error %1)").arg(int(err)));
    else
        Q_EMIT finished(jobId, aborted, {});
}

QStringList EspeakWorker::phonemes(const QStringList &words)
{
    Q_ASSERT(QThread::currentThread() == thread());
    QStringList out;
    if (!initialise().isEmpty()) {
        for (int i = 0; i < words.size(); ++i)
            out.append(QString());
        return out;
    }
    espeak_SetVoiceByName("en-us");
    m_voice = QStringLiteral("en-us");
    for (const QString &w : words) {
        const QByteArray utf8 = w.toUtf8();
        const void *p = utf8.constData();
        QString result;
        while (p) {
            const char *ph = espeak_TextToPhonemes(&p, espeakCHARS_UTF8, int('|') << 8);
            if (!ph)
                break;
            if (!result.isEmpty())
                result += QLatin1Char('|');
            result += QString::fromUtf8(ph).trimmed();
        }
        out.append(result);
    }
    return out;
}
