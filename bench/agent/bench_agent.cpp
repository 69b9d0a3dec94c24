// bench-agent [CHARACTER.acs]
// Prints: time from Speak to the first audio sample for a 200-character sentence
// (target < 150 ms), the synthesis real-time factor, the voice commands' figures
// (CPU while listening all the time, phrases recognised, unrelated speech taken for a
// command) and the memory one loaded character takes. The window's frame rate is
// measured by the window's own bench.
#include "AgentCharacter.h"
#include "MicrophoneSound.h"
#include "AgentCharacters.h"
#include "AgentAudio.h"
#include "AgentCommands.h"
#include "AgentRequest.h"
#include "AudioFileReader.h"
#include "MicrophoneConverter.h"
#include "RecognizerWorker.h"
#include "AudioSink.h"
#include "HeadlessAgentControl.h"
#include "NullAudioSink.h"
#include "SpeechSynthesizer.h"
#include "SpeechTags.h"
#include "trellis/Paths.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTextStream>
#include <algorithm>
#include <cmath>
#include <ctime>
#include <unistd.h>

namespace {

const QString kSentence = QStringLiteral(
    "Good morning! You have three new messages. The first one is from Ann Lee, about the meeting "
    "on Thursday afternoon, and she asks whether the new schedule suits everybody on the team.");

qint64 residentBytes()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> parts = f.readAll().split(' ');
    return parts.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

/// Synthesis from the request to the first block on the main thread, and in total.
struct Timing
{
    double firstMs = 0;
    double totalMs = 0;
    qint64 samples = 0;
};

Timing synthesise(const QString &text)
{
    Timing t;
    QElapsedTimer clock;
    clock.start();
    const SpeechText st = SpeechTags::translate(text, {});
    SpeechJobPtr job = SpeechSynthesizer::instance()->synthesize(st.ssml, QStringLiteral("en-us"));
    QEventLoop loop;
    QObject::connect(job.get(), &SpeechJob::audio, &loop, [&](const QByteArray &s, const SpeechEvents &) {
        if (t.samples == 0 && !s.isEmpty())
            t.firstMs = clock.nsecsElapsed() / 1e6;
        t.samples += s.size() / 2;
    });
    QObject::connect(job.get(), &SpeechJob::finished, &loop, &QEventLoop::quit);
    loop.exec();
    t.totalMs = clock.nsecsElapsed() / 1e6;
    return t;
}

// ---- voice commands -------------------------------------------------------------------

const QStringList kPhrases = {QStringLiteral("Check Mail"),     QStringLiteral("Say Date"),
                              QStringLiteral("Say Time"),       QStringLiteral("Read Clipboard"),
                              QStringLiteral("Play WAV File"),  QStringLiteral("Read Text File"),
                              QStringLiteral("Stop Talking"),   QStringLiteral("Skip Message")};

const QStringList kUnrelated = {
    QStringLiteral("The weather is lovely today, is it not?"),
    QStringLiteral("Please pass me the salt and the pepper."),
    QStringLiteral("I am going to the library tomorrow morning."),
    QStringLiteral("Seventeen, forty two, and nine hundred."),
    QStringLiteral("Could you check whether the train is late?"),
    QStringLiteral("She said the meeting moved to Thursday."),
    QStringLiteral("Turn left at the second traffic light."),
    QStringLiteral("My sister reads a book every week."),
    QStringLiteral("What time does the shop close tonight?"),
    QStringLiteral("The cat is sleeping on the warm chair."),
    QStringLiteral("We should paint the kitchen white."),
    QStringLiteral("He plays the piano after dinner."),
    QStringLiteral("Send the letter before noon, please."),
    QStringLiteral("The children are playing in the garden."),
    QStringLiteral("I think the soup needs more salt."),
    QStringLiteral("Our flight leaves at half past six."),
    QStringLiteral("Nobody knows where the keys are."),
    QStringLiteral("The report is on your desk."),
    QStringLiteral("Let us take a walk by the river."),
    QStringLiteral("Mail the parcel to my old address."),
};

QByteArray speech16k(const QString &text, const QString &voice, int wpm)
{
    SpeechTags::Defaults d;
    d.voice = voice;
    d.speedWpm = wpm;
    const SpeechText st = SpeechTags::translate(text, d);
    SpeechJobPtr job = SpeechSynthesizer::instance()->synthesize(st.ssml, voice);
    QByteArray pcm;
    QEventLoop loop;
    QObject::connect(job.get(), &SpeechJob::audio, &loop,
                     [&](const QByteArray &s, const SpeechEvents &) { pcm += s; });
    QObject::connect(job.get(), &SpeechJob::finished, &loop, &QEventLoop::quit);
    loop.exec();
    return AudioFileReader::resample(pcm, AudioSink::SampleRate, 16000);
}

/// A quiet room (about -64 dBFS) for `ms`.
QByteArray room(int ms, QRandomGenerator &random)
{
    QByteArray out(qsizetype(ms) * 16 * 2, Qt::Uninitialized);
    auto *s = reinterpret_cast<qint16 *>(out.data());
    for (qsizetype i = 0; i < out.size() / 2; ++i)
        s[i] = qint16(int(random.bounded(61)) - 30);
    return out;
}

void mixIn(QByteArray &into, qsizetype atSample, const QByteArray &speech, double gain)
{
    auto *d = reinterpret_cast<qint16 *>(into.data());
    const auto *s = reinterpret_cast<const qint16 *>(speech.constData());
    const qsizetype n = qMin<qsizetype>(speech.size() / 2, into.size() / 2 - atSample);
    for (qsizetype i = 0; i < n; ++i)
        d[atSample + i] = qint16(qBound(-32768.0, d[atSample + i] + s[i] * gain, 32767.0));
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Listening
{
    QStringList phrases;     ///< what was accepted, in order
    int heard = 0;           ///< utterances that reached the recogniser's verdict
    int decoded = 0;
    double cpuSeconds = 0;
};

/// The hands-free path after the sound card: conversion to 16 kHz mono, the gate and
/// the recogniser, fed in the 100 ms portions the microphone delivers, on this thread.
Listening listenHandsFree(RecognizerWorker &worker, const QByteArray &microphone48kStereoFloat)
{
    Listening result;
    const QMetaObject::Connection c = QObject::connect(
        &worker, &RecognizerWorker::recognized, &worker, [&](const QString &phrase, int, const QString &) {
            ++result.heard;
            if (!phrase.isEmpty())
                result.phrases << phrase;
        });
    const int decodedBefore = worker.decodedCount();
    worker.setHandsFree(true);
    MicrophoneConverter converter(48000, 2, true);
    const qsizetype portion = 48000 / 10 * 8;
    const double start = threadCpuSeconds();
    for (qsizetype at = 0; at < microphone48kStereoFloat.size(); at += portion)
        worker.feed(converter.convert(microphone48kStereoFloat.mid(at, portion)));
    result.cpuSeconds = threadCpuSeconds() - start;
    worker.setHandsFree(false);
    QObject::disconnect(c);
    result.decoded = worker.decodedCount() - decodedBefore;
    return result;
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("NOT met");
}

void voiceCommandFigures(QTextStream &out)
{
    QRandomGenerator random(19);
    RecognizerWorker worker(SpeechSynthesizer::instance()->pronouncer());
    QStringList phrases;
    for (const QString &p : kPhrases)
        phrases << AgentCommands::normalisePhrase(p);
    worker.setPhrases(phrases);

    // One minute of a quiet room, and one of a radio talking in it: sentences of
    // several voices with their natural pauses, 10 dB below a speaker at the desk.
    constexpr int minuteMs = 60000;
    const QByteArray quiet = room(minuteMs, random);
    QByteArray radio = room(minuteMs, random);
    const QStringList voices = {QStringLiteral("en-us+m3"), QStringLiteral("en-us+f2"), QStringLiteral("en-gb"),
                                QStringLiteral("en-us+m7")};
    qsizetype at = 16000;
    for (int i = 0; at < radio.size() / 2; ++i) {
        const QByteArray s = speech16k(kUnrelated.at(i % kUnrelated.size()), voices.at(i % voices.size()), 165);
        mixIn(radio, at, s, 0.3);
        at += s.size() / 2 + 16 * (250 + int(random.bounded(600)));
    }
    out << "voice commands: CPU time of the hands-free path (48 kHz stereo float to 16 kHz, voice gate, "
           "recogniser) for 60 s of sound fed in 100 ms portions as fast as it goes, per second of sound; "
           "the sound server's own share is not included\n";
    const Listening silent = listenHandsFree(worker, asMicrophone(quiet));
    const double silentShare = 100.0 * silent.cpuSeconds / (minuteMs / 1000.0);
    out << QStringLiteral("  hands-free, quiet room: %1% of one core (%2 utterances decoded), target < 2%, %3\n")
               .arg(silentShare, 0, 'f', 3)
               .arg(silent.decoded)
               .arg(verdict(silentShare < 2.0));
    const Listening talk = listenHandsFree(worker, asMicrophone(radio));
    const double talkShare = 100.0 * talk.cpuSeconds / (minuteMs / 1000.0);
    out << QStringLiteral("  hands-free, background speech: %1% of one core (%2 utterances decoded, %3 commands "
                          "taken), target < 10%, %4\n")
               .arg(talkShare, 0, 'f', 2)
               .arg(talk.decoded)
               .arg(talk.phrases.size())
               .arg(verdict(talkShare < 10.0));

    // Each default phrase in two voices at two speeds, said alone in the quiet room.
    int recognised = 0, total = 0;
    QStringList missed;
    for (const QString &p : kPhrases)
        for (const QString &voice : {QStringLiteral("en-us+m3"), QStringLiteral("en-us+f2")})
            for (int wpm : {140, 190}) {
                QByteArray sound = room(4000, random);
                const QByteArray s = speech16k(AgentCommands::normalisePhrase(p), voice, wpm);
                sound.resize(qMax(sound.size(), 16000 * 2 + s.size() + 24000 * 2));
                mixIn(sound, 16000, s, 1.0);
                const Listening l = listenHandsFree(worker, asMicrophone(sound));
                ++total;
                if (l.phrases == QStringList{AgentCommands::normalisePhrase(p)})
                    ++recognised;
                else
                    missed << QStringLiteral("%1/%2/%3 heard '%4'").arg(p, voice).arg(wpm).arg(l.phrases.join('|'));
            }
    out << QStringLiteral("  default phrases recognised hands-free: %1/%2, target %2/%2, %3\n")
               .arg(recognised)
               .arg(total)
               .arg(verdict(recognised == total));
    for (const QString &m : std::as_const(missed))
        out << "    missed " << m << '\n';

    // Twenty unrelated sentences said at the desk.
    int commands = 0;
    for (int i = 0; i < kUnrelated.size(); ++i) {
        const QByteArray s = speech16k(kUnrelated.at(i), voices.at(i % 2), 170);
        QByteArray sound = room(1000 + int(s.size() / 32) + 1500, random);
        mixIn(sound, 16000, s, 1.0);
        const Listening l = listenHandsFree(worker, asMicrophone(sound));
        commands += int(l.phrases.size());
        for (const QString &p : l.phrases)
            out << "    '" << kUnrelated.at(i) << "' taken for '" << p << "'\n";
    }
    out << QStringLiteral("  commands run from %1 unrelated sentences: %2, target 0, %3\n")
               .arg(kUnrelated.size())
               .arg(commands)
               .arg(verdict(commands == 0));
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v.at(v.size() / 2);
}

}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    out << "sentence: " << kSentence.size() << " characters\n";

    QElapsedTimer init;
    init.start();
    const QString problem = SpeechSynthesizer::instance()->availability();
    if (!problem.isEmpty()) {
        out << "speech unavailable: " << problem << '\n';
        return 1;
    }
    out << "espeak-ng start-up: " << init.elapsed() << " ms (once per process)\n";

    QList<double> first, rtf;
    for (int i = 0; i < 15; ++i) {
        const Timing t = synthesise(kSentence);
        first << t.firstMs;
        rtf << t.totalMs / (1000.0 * t.samples / AudioSink::SampleRate);
        if (i < 2) out << "  run " << i << ": " << t.samples << " samples, first " << t.firstMs << " ms, total " << t.totalMs << " ms\n";
    }
    out << QStringLiteral("synthesis, request to first sample: median %1 ms, worst %2 ms (target < 150 ms)\n")
               .arg(median(first), 0, 'f', 1)
               .arg(*std::max_element(first.begin(), first.end()), 0, 'f', 1);
    out << QStringLiteral("synthesis real-time factor: median %1 (%2x faster than real time)\n")
               .arg(median(rtf), 0, 'f', 3)
               .arg(1.0 / median(rtf), 0, 'f', 1);

    voiceCommandFigures(out);
    out.flush();

    QString package = argc > 1 ? QString::fromLocal8Bit(argv[1]) : Paths::FindShared(QStringLiteral("chars/Merlin.acs"));
    if (package.isEmpty())
        package = QCoreApplication::applicationDirPath() + QStringLiteral("/../share/murmelo/chars/Merlin.acs");
    if (!QFileInfo(package).isFile()) {
        out << "no character package found (pass one as the argument): character figures skipped\n";
        return 0;
    }
    HeadlessAgentControl control(std::make_unique<NullAudioSink>(0.0));
    control.setIdleDelay(0);
    const qint64 before = residentBytes();
    QElapsedTimer load;
    load.start();
    control.Characters()->Load(QStringLiteral("bench"), package);
    const qint64 loadMs = load.elapsed();
    const qint64 after = residentBytes();
    AgentCharacter *c = control.Characters()->Item(QStringLiteral("bench"));
    out << QStringLiteral("character %1: loaded in %2 ms, resident memory +%3 KiB (package %4 KiB)\n")
               .arg(c->Name())
               .arg(loadMs)
               .arg((after - before) / 1024)
               .arg(QFileInfo(package).size() / 1024);

    // Through the whole control: Speak to the first sample handed to the sink.
    QList<double> speakFirst;
    for (int i = 0; i < 10; ++i) {
        QElapsedTimer clock;
        clock.start();
        double firstMs = -1;
        AgentRequestPtr r = c->Speak(kSentence);
        QEventLoop loop;
        QObject::connect(control.audio()->sink(), &AudioSink::progressed, &loop, [&] {
            if (firstMs < 0)
                firstMs = clock.nsecsElapsed() / 1e6;
        });
        QObject::connect(r.get(), &AgentRequest::finished, &loop, &QEventLoop::quit);
        loop.exec();
        speakFirst << firstMs;
    }
    out << QStringLiteral("Speak to first sample in the sink: median %1 ms, worst %2 ms (target < 150 ms)\n")
               .arg(median(speakFirst), 0, 'f', 1)
               .arg(*std::max_element(speakFirst.begin(), speakFirst.end()), 0, 'f', 1);
    return 0;
}
