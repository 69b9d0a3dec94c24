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

QStringList SpeechRecognizer::fillerWords(const QStringList &phrases)
{
    // Everyday words but the phrases' own: a run of them is what other speech is
    // measured against.
    static const QStringList common = {
        QStringLiteral("the"), QStringLiteral("a"), QStringLiteral("is"), QStringLiteral("to"), QStringLiteral("of"), QStringLiteral("and"),
        QStringLiteral("in"), QStringLiteral("it"), QStringLiteral("you"), QStringLiteral("that"), QStringLiteral("he"), QStringLiteral("she"),
        QStringLiteral("was"), QStringLiteral("for"), QStringLiteral("on"), QStringLiteral("are"), QStringLiteral("with"), QStringLiteral("as"),
        QStringLiteral("i"), QStringLiteral("his"), QStringLiteral("they"), QStringLiteral("be"), QStringLiteral("at"), QStringLiteral("one"),
        QStringLiteral("have"), QStringLiteral("this"), QStringLiteral("from"), QStringLiteral("or"), QStringLiteral("had"), QStringLiteral("by"),
        QStringLiteral("but"), QStringLiteral("what"), QStringLiteral("some"), QStringLiteral("we"), QStringLiteral("can"), QStringLiteral("out"),
        QStringLiteral("other"), QStringLiteral("were"), QStringLiteral("all"), QStringLiteral("there"), QStringLiteral("when"), QStringLiteral("up"),
        QStringLiteral("use"), QStringLiteral("your"), QStringLiteral("how"), QStringLiteral("an"), QStringLiteral("each"), QStringLiteral("which"),
        QStringLiteral("do"), QStringLiteral("their"), QStringLiteral("if"), QStringLiteral("will"), QStringLiteral("way"), QStringLiteral("about"),
        QStringLiteral("many"), QStringLiteral("then"), QStringLiteral("them"), QStringLiteral("would"), QStringLiteral("like"), QStringLiteral("so"),
        QStringLiteral("these"), QStringLiteral("her"), QStringLiteral("long"), QStringLiteral("make"), QStringLiteral("thing"), QStringLiteral("see"),
        QStringLiteral("him"), QStringLiteral("two"), QStringLiteral("has"), QStringLiteral("look"), QStringLiteral("more"), QStringLiteral("day"),
        QStringLiteral("could"), QStringLiteral("go"), QStringLiteral("come"), QStringLiteral("did"), QStringLiteral("number"), QStringLiteral("sound"),
        QStringLiteral("no"), QStringLiteral("most"), QStringLiteral("people"), QStringLiteral("my"), QStringLiteral("over"), QStringLiteral("know"),
        QStringLiteral("water"), QStringLiteral("than"), QStringLiteral("call"), QStringLiteral("first"), QStringLiteral("who"), QStringLiteral("may"),
        QStringLiteral("down"), QStringLiteral("side"), QStringLiteral("been"), QStringLiteral("now"), QStringLiteral("find"), QStringLiteral("any"),
        QStringLiteral("new"), QStringLiteral("work"), QStringLiteral("part"), QStringLiteral("take"), QStringLiteral("get"), QStringLiteral("place"),
        QStringLiteral("made"), QStringLiteral("live"), QStringLiteral("where"), QStringLiteral("after"), QStringLiteral("back"), QStringLiteral("little"),
        QStringLiteral("only"), QStringLiteral("round"), QStringLiteral("man"), QStringLiteral("year"), QStringLiteral("came"), QStringLiteral("show"),
        QStringLiteral("every"), QStringLiteral("good"), QStringLiteral("me"), QStringLiteral("give"), QStringLiteral("our"), QStringLiteral("under"),
        QStringLiteral("name"), QStringLiteral("very"), QStringLiteral("through"), QStringLiteral("just"), QStringLiteral("form"), QStringLiteral("great"),
        QStringLiteral("think"), QStringLiteral("help"), QStringLiteral("low"), QStringLiteral("line"), QStringLiteral("turn"), QStringLiteral("cause"),
        QStringLiteral("much"), QStringLiteral("mean"), QStringLiteral("before"), QStringLiteral("move"), QStringLiteral("right"), QStringLiteral("boy"),
        QStringLiteral("old"), QStringLiteral("too"), QStringLiteral("same"), QStringLiteral("tell"), QStringLiteral("does"), QStringLiteral("set"),
        QStringLiteral("three"), QStringLiteral("want"), QStringLiteral("air"), QStringLiteral("well"), QStringLiteral("also"), QStringLiteral("play"),
        QStringLiteral("small"), QStringLiteral("end"), QStringLiteral("put"), QStringLiteral("home"), QStringLiteral("hand"), QStringLiteral("large"),
        QStringLiteral("add"), QStringLiteral("even"), QStringLiteral("land"), QStringLiteral("here"), QStringLiteral("must"), QStringLiteral("big"),
        QStringLiteral("high"), QStringLiteral("such"), QStringLiteral("follow"), QStringLiteral("act"), QStringLiteral("why"), QStringLiteral("ask"),
        QStringLiteral("men"), QStringLiteral("change"), QStringLiteral("went"), QStringLiteral("light"), QStringLiteral("kind"), QStringLiteral("off"),
        QStringLiteral("need"), QStringLiteral("house"), QStringLiteral("picture"), QStringLiteral("try"), QStringLiteral("us"), QStringLiteral("again"),
        QStringLiteral("animal"), QStringLiteral("point"), QStringLiteral("mother"), QStringLiteral("world"), QStringLiteral("near"), QStringLiteral("build"),
        QStringLiteral("self"), QStringLiteral("earth"), QStringLiteral("father"), QStringLiteral("head"), QStringLiteral("stand"), QStringLiteral("own"),
        QStringLiteral("page"), QStringLiteral("should"), QStringLiteral("country"), QStringLiteral("found"), QStringLiteral("answer"), QStringLiteral("school"),
        QStringLiteral("grow"), QStringLiteral("study"), QStringLiteral("still"), QStringLiteral("learn"), QStringLiteral("plant"), QStringLiteral("cover"),
        QStringLiteral("food"), QStringLiteral("sun"), QStringLiteral("four"), QStringLiteral("between"), QStringLiteral("state"), QStringLiteral("keep"),
        QStringLiteral("eye"), QStringLiteral("never"), QStringLiteral("last"), QStringLiteral("let"), QStringLiteral("thought"), QStringLiteral("city"),
        QStringLiteral("tree"), QStringLiteral("cross"), QStringLiteral("farm"), QStringLiteral("hard"), QStringLiteral("start"), QStringLiteral("might"),
        QStringLiteral("story"), QStringLiteral("saw"), QStringLiteral("far"), QStringLiteral("sea"), QStringLiteral("draw"), QStringLiteral("left"),
        QStringLiteral("late"), QStringLiteral("run"), QStringLiteral("while"), QStringLiteral("press"), QStringLiteral("close"), QStringLiteral("night"),
        QStringLiteral("real"), QStringLiteral("life"), QStringLiteral("few"), QStringLiteral("north"), QStringLiteral("open"), QStringLiteral("seem"),
        QStringLiteral("together"), QStringLiteral("next"), QStringLiteral("white"), QStringLiteral("children"), QStringLiteral("begin"), QStringLiteral("got"),
        QStringLiteral("walk"), QStringLiteral("example"), QStringLiteral("ease"), QStringLiteral("paper"), QStringLiteral("group"), QStringLiteral("always"),
        QStringLiteral("music"), QStringLiteral("those"), QStringLiteral("both"), QStringLiteral("often"), QStringLiteral("letter"), QStringLiteral("until"),
        QStringLiteral("mile"), QStringLiteral("river"), QStringLiteral("car"), QStringLiteral("feet"), QStringLiteral("care"), QStringLiteral("second"),
        QStringLiteral("book"), QStringLiteral("carry"), QStringLiteral("took"), QStringLiteral("science"), QStringLiteral("eat"), QStringLiteral("room"),
        QStringLiteral("friend"), QStringLiteral("began"), QStringLiteral("idea"), QStringLiteral("fish"), QStringLiteral("mountain"), QStringLiteral("once"),
        QStringLiteral("base"), QStringLiteral("hear"), QStringLiteral("horse"), QStringLiteral("cut"), QStringLiteral("sure"), QStringLiteral("watch"),
        QStringLiteral("color"), QStringLiteral("face"), QStringLiteral("wood"), QStringLiteral("main"), QStringLiteral("enough"), QStringLiteral("plain"),
        QStringLiteral("girl"), QStringLiteral("usual"), QStringLiteral("young"), QStringLiteral("ready"), QStringLiteral("above"), QStringLiteral("ever"),
        QStringLiteral("red"), QStringLiteral("list"), QStringLiteral("though"), QStringLiteral("feel"), QStringLiteral("talk"), QStringLiteral("bird"),
        QStringLiteral("soon"), QStringLiteral("body"), QStringLiteral("dog"), QStringLiteral("family"), QStringLiteral("direct"), QStringLiteral("pose"),
        QStringLiteral("leave"), QStringLiteral("song"), QStringLiteral("measure"), QStringLiteral("door"), QStringLiteral("product"), QStringLiteral("black"),
        QStringLiteral("short"), QStringLiteral("class"), QStringLiteral("wind"), QStringLiteral("question"), QStringLiteral("happen"), QStringLiteral("complete"),
        QStringLiteral("ship"), QStringLiteral("area"), QStringLiteral("half"), QStringLiteral("rock"), QStringLiteral("order"), QStringLiteral("fire"),
        QStringLiteral("south"), QStringLiteral("problem"), QStringLiteral("piece"), QStringLiteral("told"), QStringLiteral("knew"), QStringLiteral("pass"),
        QStringLiteral("since"), QStringLiteral("top"), QStringLiteral("whole"), QStringLiteral("king"), QStringLiteral("space"), QStringLiteral("heard"),
        QStringLiteral("best"), QStringLiteral("hour"), QStringLiteral("better"), QStringLiteral("true"), QStringLiteral("during"), QStringLiteral("hundred"),
        QStringLiteral("five"), QStringLiteral("remember"), QStringLiteral("step"), QStringLiteral("early"), QStringLiteral("hold"), QStringLiteral("west"),
        QStringLiteral("ground"), QStringLiteral("interest"), QStringLiteral("reach"), QStringLiteral("fast"), QStringLiteral("sing"), QStringLiteral("listen"),
        QStringLiteral("six"), QStringLiteral("table"), QStringLiteral("travel"), QStringLiteral("less"), QStringLiteral("morning"), QStringLiteral("ten"),
        QStringLiteral("simple"), QStringLiteral("several"), QStringLiteral("toward"), QStringLiteral("war"), QStringLiteral("lay"), QStringLiteral("against"),
        QStringLiteral("pattern"), QStringLiteral("slow"), QStringLiteral("center"), QStringLiteral("love"), QStringLiteral("person"), QStringLiteral("money"),
        QStringLiteral("serve"), QStringLiteral("appear"), QStringLiteral("road"), QStringLiteral("map"), QStringLiteral("rain"), QStringLiteral("rule"),
        QStringLiteral("pull"), QStringLiteral("cold"), QStringLiteral("notice"), QStringLiteral("voice"), QStringLiteral("unit"), QStringLiteral("power"),
        QStringLiteral("town"), QStringLiteral("fine"), QStringLiteral("certain"), QStringLiteral("fly"), QStringLiteral("fall"), QStringLiteral("lead"),
        QStringLiteral("cry"), QStringLiteral("dark"), QStringLiteral("machine"), QStringLiteral("note"), QStringLiteral("wait"), QStringLiteral("plan"),
        QStringLiteral("figure"), QStringLiteral("star"), QStringLiteral("box"), QStringLiteral("field"), QStringLiteral("rest"), QStringLiteral("correct"),
        QStringLiteral("able"), QStringLiteral("pound"), QStringLiteral("done"), QStringLiteral("beauty"), QStringLiteral("drive"), QStringLiteral("stood"),
        QStringLiteral("contain"), QStringLiteral("front"), QStringLiteral("teach"), QStringLiteral("week"), QStringLiteral("final"), QStringLiteral("gave"),
        QStringLiteral("green"), QStringLiteral("oh"), QStringLiteral("quick"), QStringLiteral("develop"), QStringLiteral("ocean"), QStringLiteral("warm"),
        QStringLiteral("free"), QStringLiteral("minute"), QStringLiteral("strong"), QStringLiteral("special"), QStringLiteral("mind"), QStringLiteral("behind"),
        QStringLiteral("clear"), QStringLiteral("tail"), QStringLiteral("produce"), QStringLiteral("fact"), QStringLiteral("street"), QStringLiteral("inch"),
        QStringLiteral("nothing"), QStringLiteral("course"), QStringLiteral("stay"), QStringLiteral("wheel"), QStringLiteral("full"), QStringLiteral("force"),
        QStringLiteral("blue"), QStringLiteral("object"), QStringLiteral("decide"), QStringLiteral("surface"), QStringLiteral("deep"), QStringLiteral("moon"),
        QStringLiteral("island"), QStringLiteral("foot"), QStringLiteral("system"), QStringLiteral("busy"), QStringLiteral("test"), QStringLiteral("record"),
        QStringLiteral("boat"), QStringLiteral("common"), QStringLiteral("gold"), QStringLiteral("possible"), QStringLiteral("plane"), QStringLiteral("dry"),
        QStringLiteral("wonder"), QStringLiteral("laugh"), QStringLiteral("thousand"), QStringLiteral("ago"), QStringLiteral("ran"), QStringLiteral("game"),
        QStringLiteral("shape"), QStringLiteral("yes"), QStringLiteral("hot"), QStringLiteral("miss"), QStringLiteral("brought"), QStringLiteral("heat"),
        QStringLiteral("snow"), QStringLiteral("bring"), QStringLiteral("distant"), QStringLiteral("fill"), QStringLiteral("east"), QStringLiteral("paint"),
        QStringLiteral("language"), QStringLiteral("among"), QStringLiteral("please"), QStringLiteral("okay")};
    QSet<QString> taken;
    for (const QString &p : phrases)
        for (const QString &w : p.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            taken.insert(w);
    QStringList out;
    for (const QString &w : common)
        if (!taken.contains(w))
            out << w;
    return out;
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
    QStringList filler;
    for (const QString &w : fillerWords(usable))
        if (ps_lookup_word(m_ps, w.toUtf8().constData()) != nullptr)
            filler << w;
    m_otherReady = !filler.isEmpty()
                   && ps_set_jsgf_string(m_ps, "other",
                                         QStringLiteral("#JSGF V1.0;\ngrammar other;\npublic <other> = (%1)+;\n")
                                             .arg(filler.join(QStringLiteral(" | ")))
                                             .toUtf8()
                                             .constData())
                          == 0;
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
    if (!m_settled) {
        // The decoder's silence detection learns the noise floor from what it hears, so a
        // fresh one misjudges its first utterance and the first command is often refused.
        // Hearing the utterance once before the decode that counts settles it.
        decode("commands", samples16k, nullptr, nullptr);
        m_settled = true;
    }
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
    if (m_otherReady) {
        // Other speech fits a run of everyday words far better than the phrase.
        const int other = decode("other", samples16k, nullptr, nullptr);
        if (other != INT_MIN)
            r.otherGap = double(other - score) / frames;
        if (r.otherGap > m_maxOtherGap)
            return r;
    }
    r.phrase = hyp;
    r.confidence = qBound(1, int(100.0 - qMax(0.0, r.framesPerPhone - 10.0) * 100.0 / (m_maxFramesPerPhone - 5.0)), 100);
    return r;
}
