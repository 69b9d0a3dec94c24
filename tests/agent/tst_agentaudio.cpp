#include "AgentAudio.h"
#include "AudioStream.h"
#include "NullAudioSink.h"
#include "WavFileAudioSink.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

QByteArray tone(int samples)
{
    QByteArray b(samples * 2, Qt::Uninitialized);
    auto *s = reinterpret_cast<qint16 *>(b.data());
    for (int i = 0; i < samples; ++i)
        s[i] = qint16((i % 50) * 100);
    return b;
}

}

class TstAgentAudio : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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

    void silentSinkKeepsRealTime()
    {
        AgentAudio audio(std::make_unique<NullAudioSink>(1.0));
        AudioStreamPtr s = audio.openStream();
        s->append(tone(AudioSink::SampleRate / 4));   // 250 ms
        s->end();
        QElapsedTimer t;
        t.start();
        QSignalSpy done(s.get(), &AudioStream::finished);
        QVERIFY(done.wait(3000));
        QVERIFY2(t.elapsed() >= 230, qPrintable(QString::number(t.elapsed())));
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

QTEST_GUILESS_MAIN(TstAgentAudio)
#include "tst_agentaudio.moc"
