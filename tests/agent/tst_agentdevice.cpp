// The real sound path: speech through Qt Multimedia into a PulseAudio server started by the
// test with a null sink, recorded from the sink's monitor by parec; the stream closes while
// idle and opens again; the microphone (a source fed by the monitor) hears a command
// played by paplay.
#include "AgentCharacter.h"
#include "AgentAudio.h"
#include "AgentTestKit.h"
#include "ChildProcess.h"
#include "DeviceAudioSink.h"
#include "HeadlessAgentControl.h"
#include "VoiceListener.h"
#include "WavFileAudioSink.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

/// A private PulseAudio server with one null sink, reached through its own socket.
class PulseServer
{
public:
    bool start(QString *whyNot)
    {
        const QString binary = QStandardPaths::findExecutable(u"pulseaudio"_s);
        m_socket = m_dir.filePath(u"native"_s);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, m_dir.path());
        env.insert(u"PULSE_RUNTIME_PATH"_s, m_dir.filePath(u"run"_s));
        env.insert(u"XDG_RUNTIME_DIR"_s, m_dir.filePath(u"run"_s));
        env.remove(u"PULSE_SERVER"_s);
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // The daemon goes with the test even when the test dies.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(binary, {u"-n"_s, u"--daemonize=no"_s, u"--exit-idle-time=-1"_s, u"--use-pid-file=no"_s,
                                 u"--disallow-exit"_s, u"--log-target=stderr"_s,
                                 u"--log-level=info"_s,
                                 u"-L"_s, u"module-null-sink sink_name=murmelo_out"_s,
                                 // Qt lists no monitor as a microphone: a plain source fed by the monitor.
                                 u"-L"_s,
                                 u"module-remap-source master=murmelo_out.monitor source_name=murmelo_mic"_s,
                                 u"-L"_s,
                                 u"module-native-protocol-unix auth-anonymous=1 socket="_s + m_socket});
        if (!m_process.waitForStarted(10000)) {
            *whyNot = u"pulseaudio does not start: "_s + m_process.errorString();
            return false;
        }
        // The daemon says when it is ready; its output is read as it comes.
        QByteArray said;
        QElapsedTimer clock;
        clock.start();
        while (!said.contains("startup complete") && m_process.state() == QProcess::Running && clock.elapsed() < 15000) {
            if (m_process.waitForReadyRead(1000))
                said += m_process.readAll();
        }
        if (!said.contains("startup complete")) {
            *whyNot = u"pulseaudio did not come up: "_s + QString::fromLocal8Bit(said.right(2000));
            return false;
        }
        qputenv("PULSE_SERVER", ("unix:" + m_socket).toLocal8Bit());
        tool(u"pactl"_s, {u"set-default-sink"_s, u"murmelo_out"_s});
        tool(u"pactl"_s, {u"set-default-source"_s, u"murmelo_mic"_s});
        return true;
    }

    ~PulseServer() { stopProcess(m_process); }

    /// Output of a pulseaudio client tool against this server.
    static QString tool(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.start(program, args);
        p.waitForFinished(15000);
        return QString::fromLocal8Bit(p.readAllStandardOutput());
    }

private:
    QTemporaryDir m_dir;
    QString m_socket;
    QProcess m_process;
};

/// Records the null sink's monitor as 22050 Hz mono 16-bit.
class Recorder
{
public:
    explicit Recorder(const QString &path) : m_path(path)
    {
        m_process.start(u"parec"_s, {u"-d"_s, u"murmelo_out.monitor"_s, u"--format=s16le"_s,
                         u"--rate=22050"_s, u"--channels=1"_s, u"--raw"_s, path});
        m_process.waitForStarted(5000);
    }
    /// Stops recording; the number of 100 ms blocks that carry sound.
    int audibleBlocks()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
        QFile f(m_path);
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray pcm = f.readAll();
        const auto *s = reinterpret_cast<const qint16 *>(pcm.constData());
        const qsizetype n = pcm.size() / 2;
        constexpr int block = 2205;
        int audible = 0;
        for (qsizetype at = 0; at + block <= n; at += block) {
            double sum = 0;
            for (int i = 0; i < block; ++i)
                sum += double(s[at + i]) * s[at + i];
            audible += std::sqrt(sum / block) > 300;
        }
        return audible;
    }

private:
    QString m_path;
    QProcess m_process;
};

/// Streams open on the server: "sink-inputs" (playing) or "source-outputs" (recording).
int streams(const QString &kind)
{
    const QString list = PulseServer::tool(u"pactl"_s, {u"list"_s, u"short"_s, kind});
    return int(list.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size());
}

}

class TstAgentDevice : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PulseServer> m_pulse;
    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        // scripts/setup-deps --test leaves them out where PipeWire serves the PulseAudio clients
        // (a second daemon would compete with it).
        for (const char *program : {"pulseaudio", "pactl", "parec", "paplay"}) {
            if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
                QSKIP(qPrintable(QLatin1String(program) + u" is not installed"_s));
        }
        m_pulse = std::make_unique<PulseServer>();
        QString why;
        QVERIFY2(m_pulse->start(&why), qPrintable(why));
        QVERIFY(DeviceAudioSink::hasDevice());
    }

    void speechIsHeardAndTheStreamClosesWhenIdle()
    {
        auto sink = std::make_unique<DeviceAudioSink>();
        DeviceAudioSink *device = sink.get();
        HeadlessAgentControl control(std::move(sink));
        AgentCharacter *c = loadTestCharacter(control, m_dir.path());
        // The device opened: it was not replaced by the silent sink.
        QCOMPARE(control.audio()->sink(), device);

        for (int round = 1; round <= 2; ++round) {
            const int recording = streams(u"source-outputs"_s);
            Recorder recorder(m_dir.filePath(u"round%1.raw"_s.arg(round)));
            QTRY_COMPARE_WITH_TIMEOUT(streams(u"source-outputs"_s), recording + 1, 5000);   // before anything plays
            AgentRequestPtr r = c->Speak(u"You have new mail from the accounts department. Please read it soon."_s);
            QVERIFY(finished(r));
            QCOMPARE(r->Status(), AgentRequest::StatusComplete);
            // Idle: no stream is left open on the server (all was played), and the next speech opens one again.
            QTRY_VERIFY_WITH_TIMEOUT(!device->isStreamOpen(), DeviceAudioSink::IdleCloseMs + 3000);
            QTRY_COMPARE_WITH_TIMEOUT(streams(u"sink-inputs"_s), 0, 5000);
            const int audible = recorder.audibleBlocks();
            // About four seconds of speech; at least a second and a half of it must be heard.
            QVERIFY2(audible >= 15, qPrintable(u"round %1: %2 audible blocks"_s.arg(round).arg(audible)));
        }
    }

    void microphoneHearsACommand()
    {
        // The command, spoken by the synthesiser into a WAV file...
        const QString wav = m_dir.filePath(u"command.wav"_s);
        {
            HeadlessAgentControl writer(std::make_unique<WavFileAudioSink>(wav, 1.0));
            QVERIFY(finished(loadTestCharacter(writer, m_dir.path())->Speak(u"read clipboard"_s)));
        }
        QVERIFY(QFileInfo(wav).size() > 10000);

        // ...played into the sink whose monitor is the default microphone, while listening is held.
        VoiceListener listener;
        listener.setPhrases({u"check mail"_s, u"read clipboard"_s, u"say time"_s, u"stop talking"_s, u"skip message"_s});
        QSignalSpy heard(&listener, &VoiceListener::recognized);
        const int recording = streams(u"source-outputs"_s);
        listener.startListening();
        QVERIFY2(listener.isListening(), heard.isEmpty() ? "" : qPrintable(heard.first().at(2).toString()));
        QTRY_COMPARE_WITH_TIMEOUT(streams(u"source-outputs"_s), recording + 1, 5000);   // the microphone is open
        QProcess player;
        player.start(u"paplay"_s, {u"-d"_s, u"murmelo_out"_s, wav});
        QVERIFY(player.waitForFinished(20000));
        QCOMPARE(player.exitCode(), 0);
        // Half a second of silence after the command, as a user leaves it, carries its end through to the microphone.
        player.start(u"paplay"_s, {u"-d"_s, u"murmelo_out"_s, u"--raw"_s, u"--rate=22050"_s, u"--channels=1"_s,
                                   u"--format=s16le"_s});
        player.write(QByteArray(22050, 0));
        player.closeWriteChannel();
        QVERIFY(player.waitForFinished(20000));
        listener.stopListening();
        QVERIFY(heard.wait(20000));
        const QList<QVariant> result = heard.takeFirst();
        QVERIFY2(result.at(2).toString().isEmpty(), qPrintable(result.at(2).toString()));
        QCOMPARE(result.at(0).toString(), u"read clipboard"_s);
    }
};

QTEST_GUILESS_MAIN(TstAgentDevice)
#include "tst_agentdevice.moc"
