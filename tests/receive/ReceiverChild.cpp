// Helper process of the receiver-manager tests.
//   receiver-child HOME PORT ACCOUNTID   checks the account on 127.0.0.1:PORT with a receiver
//                                        manager of its own, data folder HOME; prints
//                                        "receiving" or "refused", then runs until killed
#include "receive/ReceiverManager.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"
#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    RegisterTrellisMetaTypes();
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: receiver-child HOME PORT ACCOUNTID\n");
        return 64;
    }
    Paths::SetHome(args.at(1));
    ReceiverManager rm;
    rm.Init(std::make_shared<Log>(), nullptr);
    Record account;
    account.setId(args.at(3));
    account.Add(QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
    account.Add(QStringLiteral("Port"), args.at(2).toInt());
    account.Add(QStringLiteral("User"), QStringLiteral("user"));
    account.Add(QStringLiteral("Pwd"), QStringLiteral("secret"));
    account.Add(QStringLiteral("Security"), QStringLiteral("None"));
    rm.Check(account, DataBag());
    std::printf(rm.IsReceiving(account.Id()) ? "receiving\n" : "refused\n");
    std::fflush(stdout);
    return app.exec();
}
