#include "AgentCharacter.h"
#include "AgentCommand.h"
#include "AgentCommands.h"
#include "AgentTestKit.h"
#include "MicrophoneSound.h"
#include "AudioFileReader.h"
#include "HeadlessAgentControl.h"
#include "NullAudioSink.h"
#include "SpeechRecognizer.h"
#include "SpeechSynthesizer.h"
#include "SpeechTags.h"
#include "VoiceGate.h"
#include "VoiceListener.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QStringList kPhrases = {"Check Mail", "Say Date", "Say Time", "Read Clipboard",
                              "Play WAV File", "Read Text File", "Stop Talking", "Skip Message"};
}

class TstAgentRecognition : public QObject
{
    Q_OBJECT

private:
    /// espeak-ng speech at 16 kHz with a faint noise floor, as a microphone hears it.
    QByteArray utterance(const QString &text, const QString &voice, int wpm)
    {
        const QByteArray speech16 = text.isEmpty() ? QByteArray() : speech(text, voice, wpm);
        // Half a second of room noise before and after, as when a key is held.
        QByteArray out(8000 * 2, 0);
        out += speech16;
        out += QByteArray(8000 * 2, 0);
        auto *s = reinterpret_cast<qint16 *>(out.data());
        for (int i = 0; i < out.size() / 2; ++i) {
            const int noise = int(m_noise.bounded(61)) - 30;   // about -60 dB
            s[i] = qint16(qBound(-32768, s[i] + noise, 32767));
        }
        return out;
    }
    /// espeak-ng speech alone at 16 kHz.
    QByteArray speech(const QString &text, const QString &voice, int wpm)
    {
        SpeechTags::Defaults d;
        d.voice = voice;
        d.speedWpm = wpm;
        const SpeechText t = SpeechTags::translate(text, d);
        SpeechJobPtr job = SpeechSynthesizer::instance()->synthesize(t.ssml, voice);
        QByteArray pcm;
        connect(job.get(), &SpeechJob::audio, this, [&](const QByteArray &s, const SpeechEvents &) { pcm += s; });
        QSignalSpy done(job.get(), &SpeechJob::finished);
        done.wait(20000);
        return AudioFileReader::resample(pcm, 22050, 16000);
    }
    /// `ms` of white noise of about `rms`.
    QByteArray noise(int ms, double rms)
    {
        QByteArray out(ms * 16 * 2, Qt::Uninitialized);
        auto *s = reinterpret_cast<qint16 *>(out.data());
        const double half = rms * std::sqrt(3.0);   // uniform noise of that RMS
        for (int i = 0; i < out.size() / 2; ++i)
            s[i] = qint16((m_noise.generateDouble() * 2.0 - 1.0) * half);
        return out;
    }
    static void prepare(SpeechRecognizer &recognizer)
    {
        QString error;
        QVERIFY2(recognizer.open(&error), qPrintable(error));
        QStringList phrases;
        for (const QString &p : kPhrases)
            phrases << AgentCommands::normalisePhrase(p);
        QVERIFY2(recognizer.setPhrases(phrases,
                                       [](const QStringList &w) { return SpeechSynthesizer::instance()->phonemes(w); },
                                       &error),
                 qPrintable(error));
    }
    SpeechRecognizer m_recognizer;
    QRandomGenerator m_noise{1234};

private Q_SLOTS:
    // Each row hears the same room noise, whichever rows ran before it.
    void init() { m_noise.seed(1234); }

    void initTestCase()
    {
        prepare(m_recognizer);
        QCOMPARE(m_recognizer.phrases().size(), kPhrases.size());   // "wav" got a pronunciation
    }

    void recognize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("voice");
        QTest::addColumn<int>("wpm");
        QTest::addColumn<QString>("phrase");   // "": nothing recognised
        for (const QString &p : kPhrases)
            for (const QString &v : {QString("en-us+m3"), QString("en-us+f2")})
                for (int wpm : {140, 190})
                    QTest::newRow(qPrintable(QString("%1-%2-%3wpm").arg(p.toLower().replace(' ', '-'), v).arg(wpm)))
                        << p << v << wpm << AgentCommands::normalisePhrase(p);
        auto nothing = [](const char *name, const QString &text) {
            QTest::newRow(name) << text << "en-us+m3" << 170 << QString();
        };
        nothing("silence", QString());
        nothing("weather", "The weather is lovely today, is it not?");
        nothing("salt-and-pepper", "Please pass me the salt and the pepper.");
        nothing("library", "I am going to the library tomorrow morning.");
        nothing("numbers", "Seventeen, forty two, and nine hundred.");
        // Short enough for a phrase's length: everyday words fit them better.
        nothing("sister-reads", "My sister reads a book every week.");
        nothing("nobody-knows", "Nobody knows where the keys are.");
    }
    void recognize()
    {
        QFETCH(QString, text);
        QFETCH(QString, voice);
        QFETCH(int, wpm);
        QFETCH(QString, phrase);
        // Spoken as a user says it: "wav" as a word, not spelled out as espeak-ng reads "WAV".
        const QString said = phrase.isEmpty() ? text : AgentCommands::normalisePhrase(text);
        const SpeechRecognizer::Result r = m_recognizer.recognize(utterance(said, voice, wpm));
        qInfo("'%s': hyp '%s' frames per phone %.1f everyday words better by %.1f, confidence %d", qPrintable(text),
              qPrintable(r.hypothesis), r.framesPerPhone, r.otherGap, r.confidence);
        QCOMPARE(r.phrase, phrase);
        QVERIFY(phrase.isEmpty() || r.confidence > 0);
    }

    // The first command after listening starts is judged like any later one: a fresh decoder
    // once gave the first utterance no margin at all against everyday words.
    void freshRecognizerJudgesItsFirstCommandLikeTheNext()
    {
        SpeechRecognizer fresh;
        prepare(fresh);
        const QByteArray said = utterance("Check Mail", "en-us+m3", 190);
        const SpeechRecognizer::Result first = fresh.recognize(said);
        const SpeechRecognizer::Result next = fresh.recognize(said);
        qInfo("everyday words better by %.1f, then by %.1f", first.otherGap, next.otherGap);
        QCOMPARE(first.hypothesis, QString("check mail"));
        QVERIFY(qAbs(first.otherGap - next.otherGap) < 1.0);
    }

    // Without any character there are no phrases: a clear error, no command. (Commands heard:
    // the hands-free table; disabled ones are not listened for: tst_agentrequests.)
    void withoutPhrasesNothingIsRecognised()
    {
        QTemporaryDir dir;
        const QString wav = dir.filePath("say-time.wav");
        QVERIFY(PackageBuilder::WriteWav(wav, utterance("Say Time", "en-us", 160), 16000));

        HeadlessAgentControl control(std::make_unique<NullAudioSink>(0.0));
        QSignalSpy commands(&control, &AgentControl::Command);
        QSignalSpy recognised(&control, &AgentControl::Recognized);
        control.RecognizeFile(wav);
        QVERIFY(recognised.wait(30000));
        QVERIFY(!recognised.at(0).at(2).toString().isEmpty());
        QCOMPARE(commands.size(), 0);
    }

    void gate_data()
    {
        // Pieces laid end to end: "n:MS:RMS" noise, "s:TEXT" speech (espeak-ng, en-us, 160 wpm,
        // mixed into noise of the piece before), "g:MS:RMS" noise whose level is a step up.
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<int>("segments");
        QTest::newRow("digital-silence") << QStringList{"n:8000:0"} << 0;
        QTest::newRow("room-noise") << QStringList{"n:8000:20"} << 0;
        QTest::newRow("loud-fan") << QStringList{"n:8000:900"} << 0;
        QTest::newRow("fan-starts-closes-within-the-floor-window")
            << QStringList{"n:2000:20", "n:8000:900"} << 1;
        QTest::newRow("phrase-in-silence") << QStringList{"n:1000:0", "s:check mail", "n:1500:0"} << 1;
        QTest::newRow("phrase-in-noise") << QStringList{"n:2000:150", "s:say time", "n:1500:150"} << 1;
        QTest::newRow("short-gap-is-one-segment")
            << QStringList{"n:1000:20", "s:say", "s:time", "n:1500:20"} << 1;
        QTest::newRow("pause-parts-two-phrases")
            << QStringList{"n:1000:20", "s:say time", "n:1200:20", "s:check mail", "n:1500:20"} << 2;
        QTest::newRow("click-is-not-speech") << QStringList{"n:1000:20", "n:40:8000", "n:1500:20"} << 0;
    }
    void gate()
    {
        QFETCH(QStringList, pieces);
        QFETCH(int, segments);
        QByteArray audio;
        QList<VoiceGate::Span> spoken;
        double level = 0;
        for (const QString &piece : pieces) {
            const QStringList f = piece.split(':');
            if (f.at(0) == "n") {
                level = f.at(2).toDouble();
                audio += noise(f.at(1).toInt(), level);
                continue;
            }
            QByteArray s = speech(f.at(1), "en-us", 160);
            const QByteArray bed = noise(int(s.size() / 32), level);
            auto *d = reinterpret_cast<qint16 *>(s.data());
            const auto *n = reinterpret_cast<const qint16 *>(bed.constData());
            for (int i = 0; i < qMin(s.size(), bed.size()) / 2; ++i)
                d[i] = qint16(qBound(-32768, d[i] + n[i], 32767));
            spoken.append({audio.size() / 2, audio.size() / 2 + s.size() / 2});
            audio += s;
        }
        const QList<VoiceGate::Span> found = VoiceGate::segments(audio);
        QString got;
        for (const VoiceGate::Span &sp : found)
            got += QString("[%1-%2 ms] ").arg(sp.begin / 16).arg(sp.end / 16);
        QVERIFY2(found.size() == segments, qPrintable(got));
        // Every spoken stretch lies inside a segment; a segment ends within the pause after
        // the last speech it holds.
        const VoiceGate::Params p;
        for (const VoiceGate::Span &s : std::as_const(spoken)) {
            const bool inside = std::any_of(found.cbegin(), found.cend(), [&](const VoiceGate::Span &g) {
                return g.begin <= s.begin + 16 * 150 && g.end >= s.end - 16 * 100;
            });
            QVERIFY2(inside, qPrintable(got));
        }
        for (const VoiceGate::Span &g : found) {
            qint64 lastEnd = -1;
            for (const VoiceGate::Span &s : std::as_const(spoken))
                if (s.begin < g.end)
                    lastEnd = qMax(lastEnd, s.end);
            if (lastEnd >= 0)
                QVERIFY2(g.end <= lastEnd + 16 * (p.hangoverMs + 2 * VoiceGate::BlockMs), qPrintable(got));
        }
    }

    void gateTakesAnyBlockSize()
    {
        // The microphone hands over whatever it has: odd sizes, single samples, big lumps.
        QByteArray audio = noise(1000, 20) + speech("skip message", "en-us+f2", 170) + noise(1500, 20);
        const QList<VoiceGate::Span> whole = VoiceGate::segments(audio);
        QCOMPARE(whole.size(), 1);
        for (int chunk : {2, 638, 642, 4410, 100000}) {
            VoiceGate gate;
            QList<QByteArray> found;
            for (qsizetype at = 0; at < audio.size(); at += chunk)
                found += gate.feed(audio.mid(at, chunk)).segments;
            QCOMPARE(found.size(), 1);
            QCOMPARE(found.at(0).size() / 2, whole.at(0).end - whole.at(0).begin);
            QCOMPARE(found.at(0), audio.mid(whole.at(0).begin * 2, found.at(0).size()));
        }
        // A segment far longer than any phrase is dropped, not decoded.
        VoiceGate::Params p;
        p.maxSegmentMs = 600;
        VoiceGate gate(p);
        const VoiceGate::Output out = gate.feed(audio);
        QCOMPARE(out.segments.size(), 0);
        QCOMPARE(out.dropped, 1);
    }

    void handsFreeIgnoresTheCharactersSpeech_data()
    {
        // A phrase heard in parts: `before` percent of it before the character's speech is
        // heard, `during` while it is, `tail` after its last sample, the rest once the
        // echo tail is over; then another phrase, whole, which is always obeyed.
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("during");
        QTest::addColumn<int>("tail");
        QTest::addColumn<bool>("pushToTalk");
        QTest::addColumn<bool>("obeyed");
        QTest::addColumn<bool>("stereo48k");   // the microphone gives 48 kHz stereo float
        QTest::newRow("after-the-tail") << 0 << 0 << 0 << false << true << false;
        QTest::newRow("after-the-tail-48khz-stereo-float") << 0 << 0 << 0 << false << true << true;
        QTest::newRow("while-speaking") << 0 << 100 << 0 << false << false << false;
        QTest::newRow("begun-before-the-speech") << 50 << 50 << 0 << false << false << false;
        QTest::newRow("in-the-echo-tail") << 0 << 0 << 100 << false << false << false;
        QTest::newRow("running-past-the-tail") << 0 << 50 << 0 << false << false << false;
        QTest::newRow("held-listen-while-speaking") << 0 << 100 << 0 << true << true << false;
    }
    void handsFreeIgnoresTheCharactersSpeech()
    {
        QFETCH(int, before);
        QFETCH(int, during);
        QFETCH(int, tail);
        QFETCH(bool, pushToTalk);
        QFETCH(bool, obeyed);
        QFETCH(bool, stereo48k);
        const QByteArray phrase = utterance("check mail", "en-us+f2", 170);
        auto part = [&](int from, int percent) {
            return phrase.mid(phrase.size() * from / 100 / 2 * 2, phrase.size() * percent / 100 / 2 * 2);
        };
        QByteArray heard;
        QBuffer microphone(&heard);
        QVERIFY(microphone.open(QIODevice::ReadOnly));
        auto hear = [&](const QByteArray &sound) {
            microphone.buffer().append(stereo48k ? asMicrophone(sound) : sound);
            Q_EMIT microphone.readyRead();
        };
        QAudioFormat format;
        format.setSampleRate(stereo48k ? 48000 : 16000);
        format.setChannelCount(stereo48k ? 2 : 1);
        format.setSampleFormat(stereo48k ? QAudioFormat::Float : QAudioFormat::Int16);

        QTemporaryDir dir;
        HeadlessAgentControl control(std::make_unique<NullAudioSink>(1.0));
        AgentCharacter *c = loadTestCharacter(control, dir.path());
        c->Commands()->Add("mnuCheckForNewMessagesAllAccounts_Click", "C&heck Mail", "Check Mail");
        c->Commands()->Add("mnuTalkTime_Click", "Say &Time", "Say Time");
        control.listener()->useInput(&microphone, format);
        QSignalSpy recognised(&control, &AgentControl::Recognized);
        QSignalSpy raised(&control, &AgentControl::Command);
        QSignalSpy speaking(&control, &AgentControl::SpeakingChanged);
        QSignalSpy deaf(control.listener(), &VoiceListener::deafChanged);
        QSignalSpy listening(&control, &AgentControl::ListeningChanged);
        control.setHandsFree(true);
        QCOMPARE(listening.size(), 1);

        hear(part(0, before));
        c->Speak("Check mail. It is ten o'clock, you have no new messages.");
        QVERIFY(speaking.wait(30000));
        QVERIFY(control.isSpeaking());
        QVERIFY(control.listener()->isDeaf());
        if (pushToTalk)
            control.StartListening();
        hear(part(before, during));
        if (pushToTalk)
            control.StopListening();
        QTRY_COMPARE_WITH_TIMEOUT(speaking.size(), 2, 30000);
        QCOMPARE(speaking.at(1).at(0).toBool(), false);
        QVERIFY(control.listener()->isDeaf());
        hear(part(before + during, tail));
        QTRY_COMPARE_WITH_TIMEOUT(deaf.size(), 2, 5000);
        hear(part(before + during + tail, 100));
        hear(utterance("say time", "en-us+m3", 160));
        // Utterances are decoded in the order heard: the last one's command comes last.
        auto last = [&] {
            return raised.isEmpty() ? QString() : raised.last().at(0).value<AgentUserInput>().Name;
        };
        QTRY_COMPARE_WITH_TIMEOUT(last(), QString("mnuTalkTime_Click"), 60000);
        QCOMPARE(raised.last().at(0).value<AgentUserInput>().CharacterID, QString("c"));
        QVERIFY(raised.last().at(0).value<AgentUserInput>().Confidence > 0);
        QCOMPARE(raised.size(), obeyed ? 2 : 1);
        if (obeyed)
            QCOMPARE(raised.at(0).at(0).value<AgentUserInput>().Name, QString("mnuCheckForNewMessagesAllAccounts_Click"));
        // Nothing else reached the decoder.
        QCOMPARE(recognised.size(), raised.size());
    }
};

QTEST_GUILESS_MAIN(TstAgentRecognition)
#include "tst_agentrecognition.moc"
