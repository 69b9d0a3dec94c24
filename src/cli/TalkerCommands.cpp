// murmelo-cli say-message ID --wav FILE
#include "CliCommand.h"
#include "WavAgent.h"
#include "engine/MUScripting.h"
#include "speech/Announcer.h"
#include "speech/CTalker.h"
#include "storage/MsgManager.h"
#include "trellis/MUError.h"

#include "AudioSink.h"
#include "HeadlessAgentControl.h"
#include "WavFileAudioSink.h"


namespace {

/// Speaks a stored message the way the window announces new mail, into a WAV file.
int runSayMessage(CliContext &ctx)
{
    bool hasWav = false;
    const QString wav = ctx.takeOption(QStringLiteral("--wav"), &hasWav);
    if (!hasWav || wav.isEmpty() || ctx.args.size() != 1) {
        ctx.error(QStringLiteral("usage: say-message ID --wav FILE"));
        return CliUsage;
    }
    const QString id = ctx.args.first();
    MUScripting &engine = ctx.engine();
    MsgManager *msgs = engine.msgManager();
    const QString content = msgs->getMsgContent(id);   // MUError 514 for an unknown id
    Record msg = msgs->GetMsgs(true).Item(id).value<Record>();
    if (!content.isEmpty())
        msg.Add(QStringLiteral("Content"), content);
    // Said as the window announces it: the spam notice, or the sound and the message.
    const Announcer::Announcement announcement = Announcer::Of(engine.settings(), msg);

    WavFileAudioSink *file = nullptr;
    const std::unique_ptr<HeadlessAgentControl> agentOwner = MakeWavAgent(ctx, wav, file);
    if (!agentOwner)
        return CliFailed;
    HeadlessAgentControl &agent = *agentOwner;

    // The engine does not own a talker yet: this one lives for the command.
    CTalker talker;
    talker.Init(engine.settings(), engine.log(), &agent);
    talker.LoadAgent();   // MUError 526 reaches main, which prints it
    const QString text = Announcer::Text(announcement, &talker);
    Announcer::Say(announcement, &talker);
    talker.TalkFromSpool();
    const qint64 samples = file->writtenSamples();
    talker.Finalize();
    file->close();

    ctx.print(QStringLiteral("spoke %1 into %2 (%3 s)").arg(id, wav).arg(double(samples) / AudioSink::SampleRate, 0, 'f', 1),
              {{QStringLiteral("Id"), id},
               {QStringLiteral("Wav"), wav},
               {QStringLiteral("Samples"), samples},
               {QStringLiteral("Text"), text}});
    return samples > 0 ? CliOk : CliFailed;
}

}

static CliCommandRegistrar reg(QStringLiteral("say-message"), QStringLiteral("say-message ID --wav FILE"),
                               &runSayMessage, {QStringLiteral("--wav=")});
