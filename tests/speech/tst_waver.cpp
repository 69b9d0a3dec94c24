#include "TestHome.h"
#include "storage/CSettings.h"
#include "agent/PackageBuilder.h"
#include "speech/CWaver.h"

#include "HeadlessAgentControl.h"
#include "WavFileAudioSink.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class TestWaver : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_fx;
    WavFileAudioSink *m_sink = nullptr;
    std::unique_ptr<HeadlessAgentControl> m_agent;
    std::unique_ptr<CWaver> m_waver;

private Q_SLOTS:
    void init()
    {
        m_fx = std::make_unique<TestHome>();
        QVERIFY(m_fx->isValid());
        // The file sink keeps real time, like a sound card.
        auto sink = std::make_unique<WavFileAudioSink>(m_fx->path("out.wav"), 1.0);
        m_sink = sink.get();
        m_agent = std::make_unique<HeadlessAgentControl>(std::move(sink));
        m_waver = std::make_unique<CWaver>();
        m_waver->Init(m_fx->settings(), m_fx->log(), m_agent.get());
    }
    void cleanup()
    {
        m_waver.reset();
        m_agent.reset();
        m_fx.reset();
    }

    void synchronousPlayReturnsWhenTheSoundEndsWhileEventsRun()
    {
        const QString wav = m_fx->path("two.wav");
        QVERIFY(PackageBuilder::WriteWav(wav, PackageBuilder::Tone(2000)));
        int ticks = 0;
        QTimer timer;
        timer.setInterval(100);
        connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
        timer.start();
        QElapsedTimer clock;
        clock.start();
        m_waver->PlayWav(wav);
        const qint64 took = clock.elapsed();
        QVERIFY2(took >= 1900 && took < 5000, qPrintable(QString::number(took)));
        QVERIFY2(ticks >= 12, qPrintable(QString::number(ticks)));
        QCOMPARE(m_waver->waitingPlays(), 0);
        // The sound went through the agent's output: two seconds of samples reached the sink.
        QVERIFY(m_sink->writtenSamples() >= 2 * AudioSink::SampleRate - 10);
    }

    void missingFileLogsOneLineAndABadFileEndsTheWait()
    {
        const QString missing = m_fx->path("nowhere/missing.wav");
        const qint64 before = m_fx->log()->linesWritten();
        QElapsedTimer clock;
        clock.start();
        m_waver->PlayWav(missing);
        QVERIFY(clock.elapsed() < 500);
        QCOMPARE(m_fx->log()->linesWritten(), before + 1);
        const QString log = m_fx->shortLogText();
        QVERIFY2(log.contains(u"CWaver.PlayWav Failed to play WAV file. File '%1' not found. "_s.arg(missing)),
                 qPrintable(log));
        QVERIFY(log.contains(QString::number(qint32(0x80040209u))));
        m_waver->PlayWav(missing, true);
        QCOMPARE(m_fx->log()->linesWritten(), before + 2);
        QCOMPARE(m_sink->writtenSamples(), 0);

        // A file that is no sound ends the wait too, logged by the worker.
        const QString bad = m_fx->path("bad.wav");
        QVERIFY(m_fx->writeFile(u"bad.wav"_s, "this is not a sound file at all"));
        clock.restart();
        m_waver->PlayWav(bad);
        QVERIFY(clock.elapsed() < 3000);
        QVERIFY(m_fx->shortLogText().contains(u"CWavWorker.Run"_s));
        QCOMPARE(m_waver->waitingPlays(), 0);
    }

    void nestedSynchronousPlaysEachEndWithTheirOwnSound()
    {
        const QString first = m_fx->path("first.wav");
        const QString second = m_fx->path("second.wav");
        QVERIFY(PackageBuilder::WriteWav(first, PackageBuilder::Tone(1000)));
        QVERIFY(PackageBuilder::WriteWav(second, PackageBuilder::Tone(1000)));
        QElapsedTimer clock;
        clock.start();
        qint64 secondReturned = -1;
        int depthSeen = 0;
        // Started from an event while the first play waits; it queues behind the first sound.
        QTimer::singleShot(200, this, [&] {
            depthSeen = m_waver->waitingPlays();
            m_waver->PlayWav(second);
            secondReturned = clock.elapsed();
        });
        m_waver->PlayWav(first);
        const qint64 firstReturned = clock.elapsed();
        QCOMPARE(depthSeen, 1);
        // The inner play waited for its own sound (about 2 s in), not for the first one's end at 1 s.
        QVERIFY2(secondReturned >= 1800, qPrintable(QString::number(secondReturned)));
        QVERIFY(firstReturned >= secondReturned);
        QVERIFY2(firstReturned < 5000, qPrintable(QString::number(firstReturned)));
        QCOMPARE(m_waver->waitingPlays(), 0);
        QVERIFY(m_sink->writtenSamples() >= 2 * AudioSink::SampleRate - 10);
    }

    void asynchronousPlayReturnsAtOnceAndPlays()
    {
        const QString wav = m_fx->path("one.wav");
        QVERIFY(PackageBuilder::WriteWav(wav, PackageBuilder::Tone(500)));
        QElapsedTimer clock;
        clock.start();
        m_waver->PlayWav(wav, true);
        QVERIFY(clock.elapsed() < 300);
        QTRY_VERIFY_WITH_TIMEOUT(m_sink->processedSamples() >= AudioSink::SampleRate / 2 - 10, 5000);
    }

    void finalizeEndsAWaitingPlay()
    {
        const QString wav = m_fx->path("long.wav");
        QVERIFY(PackageBuilder::WriteWav(wav, PackageBuilder::Tone(4000)));
        QTimer::singleShot(300, this, [this] { m_waver->Finalize(); });
        QElapsedTimer clock;
        clock.start();
        m_waver->PlayWav(wav);
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
        m_waver->PlayWav(wav);   // does nothing once finalised
        QVERIFY(clock.elapsed() < 2500);
    }
};

QTEST_GUILESS_MAIN(TestWaver)
#include "tst_waver.moc"
