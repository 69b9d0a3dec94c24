#pragma once
#include <QString>
#include <memory>

class CliContext;
class HeadlessAgentControl;
class WavFileAudioSink;

/// A windowless agent that speaks into the WAV file `wav` (`file`, owned by the agent), with
/// no idle pauses; null, with the error printed, when the file cannot be written (the output
/// would fall back to silence).
std::unique_ptr<HeadlessAgentControl> MakeWavAgent(CliContext &ctx, const QString &wav, WavFileAudioSink *&file);
