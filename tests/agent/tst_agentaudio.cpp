#include "AgentAudio.h"
#include "AgentBalloon.h"
#include "AgentCharacter.h"
#include "AgentCharacters.h"
#include "AgentRequest.h"
#include "AudioStream.h"
#include "CharacterView.h"
#include "HeadlessAgentControl.h"
#include "NullAudioSink.h"
#include "PackageBuilder.h"
#include "WavFileAudioSink.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

/// Records what a character asks of its view.
class RecordingView : public CharacterView
{
public:
    explicit RecordingView(QStringList *log) : m_log(log) {}
    void setVisible(bool v) override { *m_log << u"visible:%1"_s.arg(v); }
    void moveTo(int x, int y) override { *m_log << u"move:%1,%2"_s.arg(x).arg(y); }
    void resize(int w, int h) override { *m_log << u"size:%1x%2"_s.arg(w).arg(h); }
    void showFrame(const QString &image) override { *m_log << "frame:" + image; }
    void setSpeaking(bool s) override { *m_log << u"speaking:%1"_s.arg(s); }
    void setMouth(const QString &shape) override { *m_log << "mouth:" + shape; }
    void showBalloon() override { *m_log << u"balloon:show"_s; }
    void balloonWords(const QString &text) override { *m_log << "words:" + text; }
    void hideBalloon() override { *m_log << u"balloon:hide"_s; }
    void balloonChanged() override { *m_log << u"balloon:changed"_s; }

private:
    QStringList *m_log;
};

class ViewControl : public HeadlessAgentControl
{
public:
    ViewControl(std::unique_ptr<AudioSink> sink, QStringList *log) : HeadlessAgentControl(std::move(sink)), m_log(log) {}
    CharacterView *createView(AgentCharacter *) override { return new RecordingView(m_log); }

private:
    QStringList *m_log;
};

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

    void viewFollowsSpeech()
    {
        QTemporaryDir dir;
        QStringList log;
        ViewControl control(std::make_unique<NullAudioSink>(0.0), &log);
        control.setIdleDelay(0);
        control.setBalloonHideDelay(50);
        control.Characters()->Load("c", PackageBuilder::Character(dir.path()));
        AgentCharacter *c = control.Characters()->Item("c");
        QVERIFY(log.contains("size:100x120"));
        c->setHeight(240);
        QVERIFY(log.contains("size:100x240"));
        c->Balloon()->setFontSize(14);
        QVERIFY(log.contains("balloon:changed"));
        log.clear();
        AgentRequestPtr r = c->Speak("Hello \\Map=\"doctor\"=\"Dr.\"\\ Who");
        QSignalSpy done(r.get(), &AgentRequest::finished);
        QVERIFY(done.wait(10000));
        QTRY_VERIFY(log.contains("balloon:hide"));
        const int show = int(log.indexOf("balloon:show"));
        QVERIFY(show >= 0);
        QVERIFY(log.indexOf("speaking:1") >= 0 && log.indexOf("speaking:1") < show);
        QVERIFY2(log.contains("words:Hello") && log.contains("words:Hello Dr.") && log.contains("words:Hello Dr. Who"),
                 qPrintable(log.join('\n')));
        QVERIFY(log.indexOf("words:Hello Dr. Who") > log.indexOf("words:Hello"));
        QVERIFY(log.indexOf("speaking:0") > log.indexOf("words:Hello Dr. Who"));
        QVERIFY(log.indexOf("balloon:hide") > log.indexOf("speaking:0"));
        int mouths = 0;
        for (const QString &l : log)
            mouths += l.startsWith("mouth:") && l != "mouth:closed";
        QVERIFY(mouths >= 3);

        // Balloon off: no words are shown.
        c->Balloon()->setStyle(c->Balloon()->Style() & ~AgentBalloon::StyleBalloonOn);
        log.clear();
        AgentRequestPtr quiet = c->Speak("Silent balloon");
        QSignalSpy done2(quiet.get(), &AgentRequest::finished);
        QVERIFY(done2.wait(10000));
        for (const QString &l : log)
            QVERIFY2(!l.startsWith("words:") && l != "balloon:show", qPrintable(l));
    }
};

QTEST_GUILESS_MAIN(TstAgentAudio)
#include "tst_agentaudio.moc"
