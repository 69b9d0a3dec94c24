// bench-agent [CHARACTER.acs]
// Prints: time from Speak to the first audio sample for a 200-character sentence
// (target < 150 ms), the synthesis real-time factor, and the memory one loaded
// character takes. The window's frame rate is measured by the window's own bench.
#include "AgentCharacter.h"
#include "AgentCharacters.h"
#include "AgentAudio.h"
#include "AgentRequest.h"
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
#include <QTextStream>
#include <algorithm>
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
