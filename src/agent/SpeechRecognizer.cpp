#include "SpeechRecognizer.h"
#include "CmuPronouncer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <pocketsphinx.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {
QString firstExisting(const QStringList &candidates)
{
    for (const QString &c : candidates)
        if (QFileInfo::exists(c))
            return c;
    return {};
}

QStringList modelRoots()
{
    QStringList roots;
    const QString env = qEnvironmentVariable("MURMELO_SPHINX_MODEL");
    if (!env.isEmpty())
        roots << env;
    roots << QStringLiteral("/usr/share/pocketsphinx/model/en-us") << QStringLiteral("/usr/local/share/pocketsphinx/model/en-us");
    return roots;
}
}

SpeechRecognizer::SpeechRecognizer() = default;

SpeechRecognizer::~SpeechRecognizer()
{
    if (m_ps)
        ps_free(m_ps);
    if (m_config)
        cmd_ln_free_r(m_config);
}

QString SpeechRecognizer::modelDir()
{
    QStringList c;
    for (const QString &r : modelRoots())
        c << r + QStringLiteral("/en-us");
    return firstExisting(c);
}

QString SpeechRecognizer::dictionaryPath()
{
    QStringList c;
    for (const QString &r : modelRoots())
        c << r + QStringLiteral("/cmudict-en-us.dict");
    return firstExisting(c);
}

bool SpeechRecognizer::open(QString *error)
{
    if (m_ps)
        return true;
    const QString hmm = modelDir();
    const QString dict = dictionaryPath();
    if (hmm.isEmpty() || dict.isEmpty()) {
        if (error)
            *error = QStringLiteral("the pocketsphinx US English model is missing (package pocketsphinx-en-us)");
        return false;
    }
    const QByteArray h = QFile::encodeName(hmm), d = QFile::encodeName(dict);
    m_config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", h.constData(), "-dict", d.constData(), "-logfn",
                           "/dev/null", "-samprate", "16000", nullptr);
    if (!m_config) {
        if (error)
            *error = QStringLiteral("pocketsphinx rejected its configuration");
        return false;
    }
    m_ps = ps_init(m_config);
    if (!m_ps) {
        if (error)
            *error = QStringLiteral("pocketsphinx cannot load the model in '%1'").arg(hmm);
        return false;
    }
    return true;
}

QString SpeechRecognizer::buildGrammar(const QStringList &phrases)
{
    QStringList alternatives;
    for (const QString &p : phrases)
        if (!p.trimmed().isEmpty())
            alternatives << p.trimmed();
    return QStringLiteral("#JSGF V1.0;\ngrammar commands;\npublic <command> = %1;\n")
        .arg(alternatives.join(QStringLiteral(" | ")));
}

int SpeechRecognizer::phoneCount(const QString &phrase) const
{
    int phones = 0;
    for (const QString &w : phrase.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        char *pron = ps_lookup_word(m_ps, w.toUtf8().constData());
        if (pron) {
            phones += int(QString::fromLatin1(pron).split(QLatin1Char(' '), Qt::SkipEmptyParts).size());
            free(pron);
        }
    }
    return phones;
}

int SpeechRecognizer::longestPhraseMs() const
{
    if (!m_ps || !m_grammarReady)
        return 0;
    int phones = 0;
    for (const QString &p : m_phrases)
        phones = qMax(phones, phoneCount(p));
    return int(phones * m_maxFramesPerPhone * 10.0);
}

int SpeechRecognizer::voicedFrames(const QByteArray &samples16k)
{
    // 10 ms frames; the noise floor is the quietest fifth; voiced frames stand well above it.
    const auto *s = reinterpret_cast<const qint16 *>(samples16k.constData());
    const int frames = int(samples16k.size() / 2 / 160);
    if (frames <= 0)
        return 0;
    QList<double> rms(frames);
    for (int f = 0; f < frames; ++f) {
        double e = 0;
        for (int k = 0; k < 160; ++k)
            e += double(s[f * 160 + k]) * s[f * 160 + k];
        rms[f] = std::sqrt(e / 160);
    }
    QList<double> sorted = rms;
    std::sort(sorted.begin(), sorted.end());
    const double floor = sorted.at(frames / 5);
    const double threshold = qMax(300.0, floor * 4.0);
    int first = -1, last = -1;
    for (int f = 0; f < frames; ++f)
        if (rms[f] > threshold) {
            if (first < 0)
                first = f;
            last = f;
        }
    return first < 0 ? 0 : last - first + 1;
}

bool SpeechRecognizer::setPhrases(const QStringList &phrases, const Phonemizer &phonemizer, QString *error)
{
    m_grammarReady = false;
    m_phrases.clear();
    if (!m_ps && !open(error))
        return false;
    QStringList usable;
    QStringList missing;
    for (const QString &p : phrases)
        for (const QString &w : p.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            if (ps_lookup_word(m_ps, w.toUtf8().constData()) == nullptr && !missing.contains(w))
                missing << w;
    QSet<QString> unpronounceable;
    if (!missing.isEmpty()) {
        const QStringList ph = phonemizer ? phonemizer(missing) : QStringList();
        for (int i = 0; i < missing.size(); ++i) {
            const QString cmu = CmuPronouncer::fromEspeak(ph.value(i));
            if (cmu.isEmpty()
                || ps_add_word(m_ps, missing.at(i).toUtf8().constData(), cmu.toLatin1().constData(), TRUE) < 0)
                unpronounceable.insert(missing.at(i));
        }
    }
    for (const QString &p : phrases) {
        bool ok = !p.trimmed().isEmpty();
        for (const QString &w : p.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            ok = ok && !unpronounceable.contains(w);
        if (ok && !usable.contains(p))
            usable << p;
    }
    if (usable.isEmpty()) {
        if (error)
            *error = QStringLiteral("no voice command phrase can be listened for");
        return false;
    }
    m_grammar = buildGrammar(usable);
    if (ps_set_jsgf_string(m_ps, "commands", m_grammar.toUtf8().constData()) != 0) {
        if (error)
            *error = QStringLiteral("pocketsphinx rejected the command grammar");
        return false;
    }
    m_phrases = usable;
    m_grammarReady = true;
    return true;
}

int SpeechRecognizer::decode(const char *search, const QByteArray &samples, QString *hyp, int *frames)
{
    int score = 0;
    if (ps_set_search(m_ps, search) != 0 || ps_start_utt(m_ps) != 0)
        return INT_MIN;
    ps_process_raw(m_ps, reinterpret_cast<const int16 *>(samples.constData()), size_t(samples.size() / 2), FALSE,
                   TRUE);
    ps_end_utt(m_ps);
    const char *h = ps_get_hyp(m_ps, &score);
    if (hyp)
        *hyp = h ? QString::fromUtf8(h).trimmed() : QString();
    if (frames)
        *frames = ps_get_n_frames(m_ps);
    return h ? score : INT_MIN;
}

SpeechRecognizer::Result SpeechRecognizer::recognize(const QByteArray &samples16k)
{
    Result r;
    if (!m_ps || !m_grammarReady || samples16k.size() < SampleRate / 10 * 2)
        return r;
    QString hyp;
    int frames = 0;
    const int score = decode("commands", samples16k, &hyp, &frames);
    r.hypothesis = hyp;
    r.frames = frames;
    if (hyp.isEmpty() || score == INT_MIN || frames <= 0 || !m_phrases.contains(hyp))
        return r;
    // The grammar forces every utterance onto some phrase. Other speech shows itself by
    // its length: forced onto a phrase, each phone would have to last far too long.
    const int phones = phoneCount(hyp);
    r.framesPerPhone = phones > 0 ? double(voicedFrames(samples16k)) / phones : 1e9;
    if (r.framesPerPhone > m_maxFramesPerPhone)
        return r;
    r.phrase = hyp;
    r.confidence = qBound(1, int(100.0 - qMax(0.0, r.framesPerPhone - 10.0) * 100.0 / (m_maxFramesPerPhone - 5.0)), 100);
    return r;
}
