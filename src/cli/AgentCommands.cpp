// murmelo-cli say [--character NAME] [--speed N] [--pitch N] [--voice Normal|Monotone|Whisper] --wav FILE TEXT
// murmelo-cli listen [--phrase P]... FILE
#include "CliCommand.h"
#include "WavAgent.h"
#include "trellis/MUError.h"
#include "trellis/Paths.h"

#include "AgentAudio.h"
#include "AgentCharacter.h"
#include "AgentCharacters.h"
#include "AgentCommands.h"
#include "AgentRequest.h"
#include "AudioFileReader.h"
#include "AudioSink.h"
#include "HeadlessAgentControl.h"
#include "SpeechRecognizer.h"
#include "SpeechSynthesizer.h"
#include "SpeechTags.h"
#include "WavFileAudioSink.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>

namespace {

/// A character by file or by name in the user's and the shipped characters folders.
QString findCharacter(const QString &nameOrFile)
{
    if (QFileInfo(nameOrFile).isFile())
        return nameOrFile;
    const QString file = nameOrFile + QStringLiteral(".acs");
    QStringList candidates{QDir(Paths::UserCharactersDir()).filePath(file)};
    const QString shared = Paths::FindShared(QStringLiteral("chars/") + file);
    if (!shared.isEmpty())
        candidates << shared;
    candidates << QCoreApplication::applicationDirPath() + QStringLiteral("/../share/murmelo/chars/") + file;
    for (const QString &c : candidates)
        if (QFileInfo(c).isFile())
            return QFileInfo(c).absoluteFilePath();
    return {};
}

bool numberOption(CliContext &ctx, const QString &name, int lo, int hi, int *value, bool *present)
{
    const QString text = ctx.takeOption(name, present);
    if (!*present)
        return true;
    bool ok = false;
    *value = text.toInt(&ok);
    if (!ok || *value < lo || *value > hi) {
        ctx.error(QStringLiteral("%1 must be a number from %2 to %3").arg(name).arg(lo).arg(hi));
        return false;
    }
    return true;
}

int runSay(CliContext &ctx)
{
    const QString usage = QStringLiteral(
        "usage: say [--character NAME] [--speed N] [--pitch N] [--voice Normal|Monotone|Whisper] --wav FILE TEXT");
    bool hasWav = false, hasCharacter = false, hasSpeed = false, hasPitch = false, hasVoice = false;
    const QString wav = ctx.takeOption(QStringLiteral("--wav"), &hasWav);
    const QString character = ctx.takeOption(QStringLiteral("--character"), &hasCharacter);
    int speed = 0, pitch = 0;
    if (!numberOption(ctx, QStringLiteral("--speed"), 80, 450, &speed, &hasSpeed)
        || !numberOption(ctx, QStringLiteral("--pitch"), 0, 100, &pitch, &hasPitch))
        return CliUsage;
    const QString voice = ctx.takeOption(QStringLiteral("--voice"), &hasVoice);
    if (hasVoice && !QStringList({"Normal", "Monotone", "Whisper"}).contains(voice, Qt::CaseInsensitive)) {
        ctx.error(QStringLiteral("--voice must be Normal, Monotone or Whisper"));
        return CliUsage;
    }
    if (!hasWav || wav.isEmpty() || ctx.args.isEmpty()) {
        ctx.error(usage);
        return CliUsage;
    }
    QString text;
    if (hasPitch)
        text += QStringLiteral("\\Pit=%1\\").arg(pitch);
    if (hasSpeed)
        text += QStringLiteral("\\Spd=%1\\").arg(speed);
    if (hasVoice)
        text += QStringLiteral("\\chr=\"%1\"\\").arg(voice.at(0).toUpper() + voice.mid(1).toLower());
    text += ctx.args.join(QLatin1Char(' '));

    const QString speech = SpeechSynthesizer::instance()->availability();
    if (!speech.isEmpty()) {
        ctx.error(speech);
        return CliFailed;
    }
    WavFileAudioSink *file = nullptr;
    const std::unique_ptr<HeadlessAgentControl> agentOwner = MakeWavAgent(ctx, wav, file);
    if (!agentOwner)
        return CliFailed;
    HeadlessAgentControl &agent = *agentOwner;

    QEventLoop loop;
    int status = AgentRequest::StatusFailed;
    QString why;
    const QString name = hasCharacter ? character : QStringLiteral("Merlin");
    const QString package = findCharacter(name);
    if (!package.isEmpty()) {
        agent.Characters()->Load(QStringLiteral("cli"), package);   // MUError reaches main, which prints it
        AgentRequestPtr request = agent.Characters()->Item(QStringLiteral("cli"))->Speak(text);
        QObject::connect(request.get(), &AgentRequest::finished, &loop, &QEventLoop::quit);
        if (!request->isDone())
            loop.exec();
        status = request->Status();
        why = request->Description();
    } else if (hasCharacter) {
        ctx.error(QStringLiteral("character '%1' not found").arg(character));
        return CliFailed;
    } else {
        // No character installed: the same speech path with the default voice.
        const SpeechText t = SpeechTags::translate(text, {});
        AudioStreamPtr stream = agent.audio()->openStream();
        SpeechJobPtr job = SpeechSynthesizer::instance()->synthesize(t.ssml, SpeechTags::Defaults().voice);
        QObject::connect(job.get(), &SpeechJob::audio, &loop,
                         [&](const QByteArray &samples, const SpeechEvents &) { stream->append(samples); });
        QObject::connect(job.get(), &SpeechJob::finished, &loop, [&](bool, const QString &error) {
            if (!error.isEmpty())
                stream->fail(error);
            else
                stream->end();
        });
        QObject::connect(stream.get(), &AudioStream::finished, &loop, &QEventLoop::quit);
        loop.exec();
        status = stream->Status() == AudioStream::StatusComplete ? AgentRequest::StatusComplete
                                                                   : AgentRequest::StatusFailed;
        why = stream->error();
    }
    const qint64 samples = file->writtenSamples();
    file->close();
    if (status != AgentRequest::StatusComplete) {
        ctx.error(QStringLiteral("speaking failed: %1").arg(why.isEmpty() ? QStringLiteral("unknown reason") : why));
        return CliFailed;
    }
    ctx.print(QStringLiteral("spoke into %1 (%2 s)").arg(wav).arg(double(samples) / AudioSink::SampleRate, 0, 'f', 2),
              {{QStringLiteral("Wav"), wav},
               {QStringLiteral("Samples"), samples},
               {QStringLiteral("Character"), package.isEmpty() ? QString() : name}});
    return CliOk;
}

int runListen(CliContext &ctx)
{
    QStringList phrases = ctx.takeOptionAll(QStringLiteral("--phrase"));
    if (ctx.args.size() != 1) {
        ctx.error(QStringLiteral("usage: listen [--phrase P]... FILE"));
        return CliUsage;
    }
    if (phrases.isEmpty())
        phrases = {QStringLiteral("Check Mail"), QStringLiteral("Say Date"), QStringLiteral("Say Time"),
                   QStringLiteral("Read Clipboard"), QStringLiteral("Play WAV File"),
                   QStringLiteral("Read Text File"), QStringLiteral("Stop Talking"), QStringLiteral("Skip Message")};
    QStringList normalised;
    for (const QString &p : phrases) {
        const QString n = AgentCommands::normalisePhrase(p);
        if (!n.isEmpty() && !normalised.contains(n))
            normalised << n;
    }
    QByteArray samples;
    QString error;
    if (!AudioFileReader::read(ctx.args.first(), SpeechRecognizer::SampleRate, samples, error, 60)) {
        ctx.error(error);
        return CliFailed;
    }
    SpeechRecognizer recognizer;
    if (!recognizer.open(&error)
        || !recognizer.setPhrases(normalised, [](const QStringList &w) { return SpeechSynthesizer::instance()->phonemes(w); },
                                  &error)) {
        ctx.error(error);
        return CliFailed;
    }
    const SpeechRecognizer::Result r = recognizer.recognize(samples);
    ctx.print(r.phrase.isEmpty() ? QStringLiteral("(nothing recognised)") : r.phrase,
              {{QStringLiteral("Phrase"), r.phrase},
               {QStringLiteral("Confidence"), r.confidence},
               {QStringLiteral("Hypothesis"), r.hypothesis}});
    return r.phrase.isEmpty() ? CliFailed : CliOk;
}

}

static CliCommandRegistrar regSay(
    QStringLiteral("say"),
    QStringLiteral("say [--character NAME] [--speed N] [--pitch N] [--voice Normal|Monotone|Whisper] --wav FILE TEXT"),
    &runSay, {"--character=", "--speed=", "--pitch=", "--voice=", "--wav="});
static CliCommandRegistrar regListen(QStringLiteral("listen"), QStringLiteral("listen [--phrase P]... FILE"), &runListen,
                                     {QStringLiteral("--phrase=")});
