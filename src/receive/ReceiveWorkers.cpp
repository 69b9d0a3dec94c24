#include "ReceiveWorkers.h"
#include "CHotmail.h"
#include "CReceiver.h"
#include "trellis/ThreadRunner.h"

void RegisterReceiveWorkers()
{
    ThreadRunner::Register(QStringLiteral("MUCustom.CReceiver"),
                           [] { return std::make_unique<CReceiver>(); });
    RegisterHttpMailWorkers();
}
