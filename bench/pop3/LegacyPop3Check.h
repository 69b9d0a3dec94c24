#pragma once
#include "trellis/ThreadRunner.h"

/// The POP3 check as it was before one connection asked STAT once: for every new message a
/// fresh STAT and a walk of TOP n 1 from the start of the newest window, then its TOP n 10000.
/// Kept only so the benchmark can set the two side by side; nothing else may use it.
/// Takes the receiver's bag ("Messanger", "Account", "ReceivedMsgIds", "Log") and posts
/// messages 1, 2 and 3 as the receiver does.
/// Thread: created, run and destroyed on its worker thread (ProgID "Bench.LegacyPop3Check").
class LegacyPop3Check : public Worker
{
public:
    static void Register();
    void Run(const DataBag &data) override;
};
