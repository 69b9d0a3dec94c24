#include "WavAgent.h"
#include "CliCommand.h"

#include "AgentAudio.h"
#include "AudioSink.h"
#include "HeadlessAgentControl.h"
#include "WavFileAudioSink.h"

#include <QFileInfo>

std::unique_ptr<HeadlessAgentControl> MakeWavAgent(CliContext &ctx, const QString &wav, WavFileAudioSink *&file)
{
    auto sink = std::make_unique<WavFileAudioSink>(QFileInfo(wav).absoluteFilePath(), 0.0);
    file = sink.get();
    auto agent = std::make_unique<HeadlessAgentControl>(std::move(sink));
    // A file that cannot be written makes the output fall back to silence (and frees the sink).
    if (agent->audio()->sink() != file) {
        ctx.error(QStringLiteral("cannot write '%1'").arg(wav));
        return nullptr;
    }
    agent->setIdleDelay(0);
    return agent;
}
