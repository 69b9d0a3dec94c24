#include "ReceiveWorkers.h"
#include "CHotmail.h"
#include "CReceiver.h"
#include "imap/CImapReceiver.h"
#include "trellis/ThreadRunner.h"

void RegisterReceiveWorkers()
{
    ThreadRunner::Register(QStringLiteral("MUCustom.CReceiver"),
                           [] { return std::make_unique<CReceiver>(); });
    RegisterHttpMailWorkers();
    ThreadRunner::Register(QStringLiteral("MUCustom.CImapReceiver"),
                           [] { return std::make_unique<CImapReceiver>(); });
}
