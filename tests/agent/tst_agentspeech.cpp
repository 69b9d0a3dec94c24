#include "AgentAudio.h"
#include "AgentCharacter.h"
#include "AgentCharacters.h"
#include "AgentRequest.h"
#include "HeadlessAgentControl.h"
#include "SpeechSynthesizer.h"
#include "PackageBuilder.h"
#include "WavFileAudioSink.h"

#include <QTemporaryDir>
#include <QtTest>
#include <sndfile.h>

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
    Spoken speak(const QString &text, std::function<int(int)> random = {});
    QTemporaryDir m_dir;
    QString m_package;
    int m_n = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_package = PackageBuilder::Character(m_dir.path());
        QVERIFY(!m_package.isEmpty());
        QCOMPARE(SpeechSynthesizer::instance()->availability(), QString());
    }

    void pauseMakesItLonger()
    {
        const Spoken plain = speak("Good morning. You have new mail.");
        const Spoken paused = speak("Good morning. \\Pau=500\\You have new mail.");
        QCOMPARE(plain.status, AgentRequest::StatusComplete);
        QCOMPARE(paused.status, AgentRequest::StatusComplete);
        QVERIFY(plain.samples > 22050 / 2);
        QVERIFY2(paused.samples - plain.samples >= 22050 / 2,
                 qPrintable(QString("%1 vs %2").arg(paused.samples).arg(plain.samples)));
    }

    void speedChangesDuration()
    {
        const Spoken slow = speak("\\Spd=100\\The quick brown fox jumps over the lazy dog.");
        const Spoken fast = speak("\\Spd=300\\The quick brown fox jumps over the lazy dog.");
        QVERIFY2(slow.samples > fast.samples * 3 / 2, qPrintable(QString("%1 vs %2").arg(slow.samples).arg(fast.samples)));
    }

    void alternativesSpeakOne()
    {
        const Spoken first = speak("Apple|Banana|Cherry", [](int) { return 0; });
        QCOMPARE(first.words, QStringList({"Apple"}));
        const Spoken last = speak("Apple|Banana|Cherry", [](int n) { return n - 1; });
        QCOMPARE(last.words, QStringList({"Cherry"}));
    }

    void tagsAreNeverSpoken_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("words");
        QTest::newRow("talker-prefix")
            << "\\Pit=50\\\\Spd=146\\\\chr=\"Normal\"\\Hello there" << QStringList({"Hello", "there"});
        QTest::newRow("unknown-tag") << "one \\Xyz=5\\ two" << QStringList({"one", "two"});
        QTest::newRow("pause-and-context") << "\\Ctx=Email\\one\\Pau=100\\two" << QStringList({"one", "two"});
        QTest::newRow("whisper-then-reset") << "\\chr=\"Whisper\"\\quiet \\Rst\\loud" << QStringList({"quiet", "loud"});
    }
    void tagsAreNeverSpoken()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, words);
        const Spoken s = speak(text);
        QCOMPARE(s.status, AgentRequest::StatusComplete);
        QCOMPARE(s.words, words);
        for (const QString &b : s.balloons)
            QVERIFY2(!b.contains('\\'), qPrintable(b));
    }

    void markupInMailIsSpokenLiterally()
    {
        const Spoken s = speak("Subject <speak>hi</speak> <break time=\"5s\"/> end");
        QCOMPARE(s.status, AgentRequest::StatusComplete);
        const QString all = s.words.join(' ');
        QVERIFY2(all.contains("less") && all.contains("speak") && all.contains("break") && all.contains("end"),
                 qPrintable(all));
        // No five-second break was obeyed.
        QVERIFY2(s.samples < 22050 * 9, qPrintable(QString::number(s.samples)));
        QCOMPARE(s.balloons.last(), QString("Subject <speak>hi</speak> <break time=\"5s\"/> end"));
    }

    void bookmarksAndMouth()
    {
        const Spoken s = speak("First \\Mrk=42\\second");
        QCOMPARE(s.marks, QList<int>({42}));
        QVERIFY(s.mouths.contains("open") || s.mouths.contains("wide") || s.mouths.contains("round"));
        QCOMPARE(s.mouths.last(), QString("closed"));
    }

    void playWav()
    {
        // A one-second 44.1 kHz stereo tone comes out as one second at 22050 Hz mono.
        const QString in = m_dir.filePath("tone.wav");
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE *f = sf_open(QFile::encodeName(in).constData(), SFM_WRITE, &info);
        QVERIFY(f);
        std::vector<short> buf(44100 * 2);
        for (int i = 0; i < 44100; ++i)
            buf[2 * i] = buf[2 * i + 1] = short(8000 * std::sin(2 * M_PI * 440 * i / 44100.0));
        sf_writef_short(f, buf.data(), 44100);
        sf_close(f);

        const QString out = m_dir.filePath("played.wav");
        {
            HeadlessAgentControl control(std::make_unique<WavFileAudioSink>(out, 0.0));
            AudioStreamPtr s = control.PlayWav(in);
            QSignalSpy done(s.get(), &AudioStream::finished);
            QVERIFY(done.wait(10000));
            QCOMPARE(s->Status(), AudioStream::StatusComplete);
        }
        SF_INFO got{};
        SNDFILE *g = sf_open(QFile::encodeName(out).constData(), SFM_READ, &got);
        QVERIFY(g);
        sf_close(g);
        QCOMPARE(got.samplerate, 22050);
        QVERIFY2(qAbs(got.frames - 22050) < 100, qPrintable(QString::number(got.frames)));
    }

    void playMissingWavFails()
    {
        HeadlessAgentControl control(std::make_unique<WavFileAudioSink>(m_dir.filePath("none.wav"), 0.0));
        AudioStreamPtr s = control.PlayWav(m_dir.filePath("missing.wav"));
        QSignalSpy done(s.get(), &AudioStream::finished);
        QVERIFY(done.wait(5000));
        QCOMPARE(s->Status(), AudioStream::StatusFailed);
        QVERIFY2(s->error().contains("missing.wav"), qPrintable(s->error()));
        // A text file is not a sound either.
        const QString txt = m_dir.filePath("notes.wav");
        QFile t(txt);
        QVERIFY(t.open(QIODevice::WriteOnly));
        t.write("hello");
        t.close();
        AudioStreamPtr s2 = control.PlayWav(txt);
        QSignalSpy done2(s2.get(), &AudioStream::finished);
        QVERIFY(done2.wait(5000));
        QCOMPARE(s2->Status(), AudioStream::StatusFailed);
    }
};

TstAgentSpeech::Spoken TstAgentSpeech::speak(const QString &text, std::function<int(int)> random)
{
    Spoken out;
    const QString wav = m_dir.filePath(QString("speech%1.wav").arg(++m_n));
    {
        HeadlessAgentControl control(std::make_unique<WavFileAudioSink>(wav, 0.0));
        control.setIdleDelay(0);
        if (random)
            control.setRandom(random);
        connect(&control, &AgentControl::Bookmark, this, [&](int m) { out.marks << m; });
        control.Characters()->Load("c", m_package);
        AgentCharacter *c = control.Characters()->Item("c");
        connect(c, &AgentCharacter::wordSpoken, this, [&](const QString &w, const QString &b) {
            out.words << w;
            out.balloons << b;
        });
        connect(c, &AgentCharacter::mouthChanged, this, [&](const QString &m) { out.mouths << m; });
        auto r = c->Speak(text);
        QSignalSpy done(r.get(), &AgentRequest::finished);
        if (!r->isDone())
            done.wait(30000);
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

QTEST_GUILESS_MAIN(TstAgentSpeech)
#include "tst_agentspeech.moc"
