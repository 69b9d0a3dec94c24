#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

struct ps_decoder_s;
struct cmd_ln_s;

/// pocketsphinx with its US English model, listening for a fixed set of phrases.
/// The grammar holds the phrases only, so every utterance is forced onto one of
/// them; the forced alignment is rejected when the voiced part of the utterance is
/// far too long for the phrase's phones (other speech, a long sentence, noise), or
/// when a run of everyday words fits the sound about as well as the phrase does.
/// Not thread-safe: one thread uses an instance.
class SpeechRecognizer
{
public:
    struct Result
    {
        QString phrase;        ///< the accepted phrase; empty when none
        QString hypothesis;    ///< the grammar's best guess, accepted or not
        int confidence = 0;    ///< 0..100
        double framesPerPhone = 0;  ///< voiced 10 ms frames per phone of the phrase
        int frames = 0;
        /// How much better per frame a run of everyday words fits than the phrase.
        double otherGap = 0;
    };
    /// espeak-ng phonemes for each word (used for words the dictionary lacks).
    using Phonemizer = std::function<QStringList(const QStringList &words)>;

    static constexpr int SampleRate = 16000;
    /// Utterances whose voiced part lasts longer than this many 10 ms frames per phone
    /// of the decoded phrase are rejected (a slow speaker needs about 14).
    static constexpr double DefaultMaxFramesPerPhone = 17.5;
    /// Utterances that a run of everyday words fits better than this (score units per
    /// 10 ms frame; a phrase said alone fits itself by 3.5 and more) are other speech.
    static constexpr double DefaultMaxOtherGap = -2.0;

    SpeechRecognizer();
    ~SpeechRecognizer();
    SpeechRecognizer(const SpeechRecognizer &) = delete;
    SpeechRecognizer &operator=(const SpeechRecognizer &) = delete;

    /// The model folders of the pocketsphinx-en-us package, found at run time.
    static QString modelDir();
    static QString dictionaryPath();

    /// Loads the model. False with `error` set when it is missing or broken.
    bool open(QString *error);
    bool isOpen() const { return m_ps != nullptr; }
    /// Builds the grammar from lower-case phrases; words missing from the dictionary get
    /// pronunciations from `phonemizer`. False with `error` set when no phrase is usable.
    bool setPhrases(const QStringList &phrases, const Phonemizer &phonemizer, QString *error);
    const QStringList &phrases() const { return m_phrases; }
    /// The JSGF text in use (for diagnostics).
    const QString &grammar() const { return m_grammar; }

    /// Decodes one utterance: 16 kHz mono int16 samples.
    Result recognize(const QByteArray &samples16k);
    void setMaxFramesPerPhone(double frames) { m_maxFramesPerPhone = frames; }
    /// The longest voiced part an accepted phrase may have, in milliseconds (0 before
    /// setPhrases succeeds).
    int longestPhraseMs() const;

    /// The JSGF grammar of the phrases (pure).
    static QString buildGrammar(const QStringList &phrases);
    /// Everyday words but those of `phrases` (pure).
    static QStringList fillerWords(const QStringList &phrases);
    void setMaxOtherGap(double gap) { m_maxOtherGap = gap; }
    /// 10 ms frames from the first to the last clearly voiced one (pure).
    static int voicedFrames(const QByteArray &samples16k);

private:
    int decode(const char *search, const QByteArray &samples, QString *hyp, int *frames);
    int phoneCount(const QString &phrase) const;

    ps_decoder_s *m_ps = nullptr;
    cmd_ln_s *m_config = nullptr;
    QStringList m_phrases;
    QString m_grammar;
    double m_maxFramesPerPhone = DefaultMaxFramesPerPhone;
    bool m_grammarReady = false;
    bool m_otherReady = false;
    bool m_settled = false;   ///< the decoder has heard an utterance
    double m_maxOtherGap = DefaultMaxOtherGap;
};
