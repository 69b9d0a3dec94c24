// What the character says and plays reaches the audio output: speech with its tags, WAV
// files, and the streams that share the output.
#include "AgentAudio.h"
#include "AgentCharacter.h"
#include "AgentTestKit.h"
#include "AudioStream.h"
#include "HeadlessAgentControl.h"
#include "NullAudioSink.h"
#include "SpeechSynthesizer.h"
#include "WavFileAudioSink.h"

#include <QTemporaryDir>
#include <QtTest>
#include <sndfile.h>

using namespace Qt::StringLiterals;

namespace {

/// `samples` 16-bit samples of a faint, steady sound.
QByteArray tone(int samples)
{
    return QByteArray(samples * 2, char(40));
}

}

class TstAgentSpeech : public QObject
{
    Q_OBJECT

private:
    struct Spoken
    {
        qint64 samples = 0;
        QStringList words;
        QStringList balloons;
        QStringList mouths;
        QList<int> marks;
        int status = -1;
    };
    /// Speaks `text` into a WAV file and records what the character reported.
    Spoken speak(const QString &text, std::function<int(int)> random = {})
    {
        Spoken out;
        const QString wav = m_dir.filePath(QString("speech%1.wav").arg(++m_n));
        {
            HeadlessAgentControl control(std::make_unique<WavFileAudioSink>(wav, 0.0));
            control.setIdleDelay(0);
            if (random)
                control.setRandom(random);
            connect(&control, &AgentControl::Bookmark, this, [&](int m) { out.marks << m; });
            AgentCharacter *c = loadTestCharacter(control, m_dir.path());
            connect(c, &AgentCharacter::wordSpoken, this, [&](const QString &w, const QString &b) {
                out.words << w;
                out.balloons << b;
            });
            connect(c, &AgentCharacter::mouthChanged, this, [&](const QString &m) { out.mouths << m; });
            auto r = c->Speak(text);
            finished(r, 30000);
            out.status = r->Status();
        }
        SF_INFO info{};
        SNDFILE *f = sf_open(QFile::encodeName(wav).constData(), SFM_READ, &info);
        if (f) {
            out.samples = info.frames;
            sf_close(f);
        }
        return out;
    }
    QTemporaryDir m_dir;
    int m_n = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QCOMPARE(SpeechSynthesizer::instance()->availability(), QString());
    }

    void pauseAndSpeedChangeTheLength()
    {
        const Spoken plain = speak("Good morning. You have new mail.");
        const Spoken paused = speak("Good morning. \\Pau=500\\You have new mail.");
        QCOMPARE(plain.status, AgentRequest::StatusComplete);
        QCOMPARE(paused.status, AgentRequest::StatusComplete);
        QVERIFY(plain.samples > 22050 / 2);
        QVERIFY2(paused.samples - plain.samples >= 22050 / 2,
                 qPrintable(QString("%1 vs %2").arg(paused.samples).arg(plain.samples)));
        const Spoken slow = speak("\\Spd=100\\The quick brown fox jumps over the lazy dog.");
        const Spoken fast = speak("\\Spd=300\\The quick brown fox jumps over the lazy dog.");
        QVERIFY2(slow.samples > fast.samples * 3 / 2, qPrintable(QString("%1 vs %2").arg(slow.samples).arg(fast.samples)));
    }

    // Each tag's translation is tested with SpeechTags, the talker's prefix with the talker; here, that
    // the alternative the control's random source picks is spoken, what reaches the voice and the
    // balloon is the text, bookmarks are raised and the mouth moves.
    void alternativeTagsAndBookmarksReachTheCharacter()
    {
        const Spoken s = speak("\\chr=\"Whisper\"\\Apple|Banana|quiet \\Mrk=42\\\\Rst\\loud",
                               [](int n) { return n - 1; });
        QCOMPARE(s.status, AgentRequest::StatusComplete);
        QCOMPARE(s.words, QStringList({"quiet", "loud"}));
        for (const QString &b : s.balloons)
            QVERIFY2(!b.contains('\\'), qPrintable(b));
        QCOMPARE(s.marks, QList<int>({42}));
        QVERIFY(s.mouths.contains("open") || s.mouths.contains("wide") || s.mouths.contains("round"));
        QCOMPARE(s.mouths.last(), QString("closed"));
    }

    void playWavResamplesOrFails()
    {
        // A one-second 44.1 kHz stereo tone comes out as one second at 22050 Hz mono.
        const QString in = m_dir.filePath("tone.wav");
        QVERIFY(PackageBuilder::WriteWav(in, PackageBuilder::Tone(1000, 44100, 2), 44100, 2));
        const QString out = m_dir.filePath("played.wav");
        const QString text = m_dir.filePath("notes.wav");   // a text file is no sound
        QFile t(text);
        QVERIFY(t.open(QIODevice::WriteOnly));
        t.write("hello");
        t.close();
        {
            HeadlessAgentControl control(std::make_unique<WavFileAudioSink>(out, 0.0));
            auto play = [&control](const QString &file) {
                AudioStreamPtr s = control.PlayWav(file);
                QSignalSpy done(s.get(), &AudioStream::finished);
                if (!s->isDone())
                    done.wait(10000);
                return s;
            };
            QCOMPARE(play(in)->Status(), AudioStream::StatusComplete);
            const AudioStreamPtr missing = play(m_dir.filePath("missing.wav"));
            QCOMPARE(missing->Status(), AudioStream::StatusFailed);
            QVERIFY2(missing->error().contains("missing.wav"), qPrintable(missing->error()));
            QCOMPARE(play(text)->Status(), AudioStream::StatusFailed);
        }
        SF_INFO got{};
        SNDFILE *g = sf_open(QFile::encodeName(out).constData(), SFM_READ, &got);
        QVERIFY(g);
        sf_close(g);
        QCOMPARE(got.samplerate, 22050);
        QVERIFY2(qAbs(got.frames - 22050) < 100, qPrintable(QString::number(got.frames)));
    }

    void streamsPlayInOrder()
    {
        AgentAudio audio(std::make_unique<NullAudioSink>(0.0));
        QStringList order;
        AudioStreamPtr a = audio.openStream();
        AudioStreamPtr b = audio.openStream();
        connect(a.get(), &AudioStream::finished, this, [&] { order << "a"; });
        connect(b.get(), &AudioStream::finished, this, [&] { order << "b"; });
        b->append(tone(1000));   // b's data is there first, but a is ahead of it
        b->end();
        a->append(tone(2000));
        QVERIFY(!a->isDone());
        a->end();
        QTRY_COMPARE(order, QStringList({"a", "b"}));
        QCOMPARE(a->Status(), AudioStream::StatusComplete);
        QCOMPARE(a->playedSamples(), 2000);
        QCOMPARE(audio.sink()->writtenSamples(), 3000);
    }

    void stopDropsQueuedAndCutsPlaying()
    {
        AgentAudio audio(std::make_unique<NullAudioSink>(1.0));
        AudioStreamPtr playing = audio.openStream();
        AudioStreamPtr queued = audio.openStream();
        QSignalSpy started(playing.get(), &AudioStream::started);
        playing->append(tone(AudioSink::SampleRate * 5));
        playing->end();
        queued->append(tone(100));
        queued->end();
        QTRY_COMPARE(started.size(), 1);
        // Five seconds of sound are still playing: the silent sink keeps real time.
        audio.stop(queued);
        QCOMPARE(queued->Status(), AudioStream::StatusInterrupted);
        audio.stop(playing);
        QCOMPARE(playing->Status(), AudioStream::StatusInterrupted);
        QVERIFY(playing->playedSamples() < AudioSink::SampleRate);
        // The output is free at once for the next sound.
        AudioStreamPtr next = audio.openStream();
        next->append(tone(200));
        next->end();
        QSignalSpy done(next.get(), &AudioStream::finished);
        QVERIFY(done.wait(2000));
        QCOMPARE(next->Status(), AudioStream::StatusComplete);
    }

    void environmentChoosesSink_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("describes");
        QTest::newRow("null") << "null" << "silent";
        QTest::newRow("file") << "file:/tmp/murmelo-env-sink.wav" << "file: /tmp/murmelo-env-sink.wav";
    }
    void environmentChoosesSink()
    {
        QFETCH(QString, value);
        QFETCH(QString, describes);
        qputenv("MURMELO_AUDIO", value.toUtf8());
        const auto sink = AgentAudio::sinkFromEnvironment();
        qunsetenv("MURMELO_AUDIO");
        QCOMPARE(sink->describe(), describes);
    }

    void unwritableFileFallsBackToSilence()
    {
        AgentAudio audio(std::make_unique<WavFileAudioSink>("/nonexistent-folder/x.wav", 0.0));
        QSignalSpy replaced(&audio, &AgentAudio::sinkReplaced);
        QVERIFY(replaced.wait(2000));
        QVERIFY2(replaced.at(0).at(0).toString().contains("nonexistent-folder"), qPrintable(replaced.at(0).at(0).toString()));
        QCOMPARE(audio.sink()->describe(), QString("silent"));
        AudioStreamPtr s = audio.openStream();
        s->append(tone(100));
        s->end();
        QSignalSpy done(s.get(), &AudioStream::finished);
        QVERIFY(done.wait(2000));
    }
};

QTEST_GUILESS_MAIN(TstAgentSpeech)
#include "tst_agentspeech.moc"
