#pragma once
#include "AgentControl.h"

/// The control without windows: characters speak to the sink and run their
/// animations' timing, and nothing is drawn. Used by murmelo-cli and the tests.
class HeadlessAgentControl : public AgentControl
{
    Q_OBJECT
public:
    explicit HeadlessAgentControl(std::unique_ptr<AudioSink> sink = {}, QObject *parent = nullptr);
};
