#include "HeadlessAgentControl.h"
#include "AudioSink.h"

HeadlessAgentControl::HeadlessAgentControl(std::unique_ptr<AudioSink> sink, QObject *parent)
    : AgentControl(std::move(sink), parent)
{
}
