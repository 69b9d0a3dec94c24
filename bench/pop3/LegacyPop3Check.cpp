#include "LegacyPop3Check.h"
#include "mime/CMIMEPart.h"
#include "receive/CArriveShell.h"
#include "receive/CReceiver.h"
#include "receive/ReceiverMessages.h"
#include "trellis/MUError.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"

namespace {
const QString kCrLf = QStringLiteral("\r\n");
}

void LegacyPop3Check::Register()
{
    ThreadRunner::Register(QStringLiteral("Bench.LegacyPop3Check"), [] { return std::make_unique<LegacyPop3Check>(); });
}

void LegacyPop3Check::Run(const DataBag &data)
{
    auto *messanger = qobject_cast<Messanger *>(data.Item(QStringLiteral("Messanger")).value<QObject *>());
    const Record account = data.Item(QStringLiteral("Account")).value<Record>();
    DataBag received = data.Item(QStringLiteral("ReceivedMsgIds")).value<DataBag>();
    CArriveShell shell;
    shell.Init(data.Item(QStringLiteral("Log")).value<LogPtr>(), {});
    shell.setRemote(account.text(QStringLiteral("Server")), quint16(account.Item(QStringLiteral("Port")).toInt()));
    try {
        QString reply;
        shell.Connect();
        shell.SendData(QStringLiteral("USER ") + account.text(QStringLiteral("User")) + kCrLf, false, reply);
        shell.SendData(QStringLiteral("PASS ") + account.text(QStringLiteral("Pwd")) + kCrLf, false, reply);
        for (;;) {
            // GetFirstUnreceivedNumber: STAT, then the window walked from its start.
            shell.SendData(QStringLiteral("STAT") + kCrLf, false, reply);
            const int count = reply.section(QLatin1Char(' '), 0, 0).trimmed().toInt();
            int number = 0;
            QString id;
            bool longTop = false;
            for (int i = qMax(1, count - CReceiver::Window + 1); i <= count && number == 0; ++i) {
                for (;;) {
                    shell.SendData(QStringLiteral("TOP %1 %2").arg(i).arg(longTop ? 100 : 1) + kCrLf, true, reply);
                    CMIMEPart part;
                    part.Init(reply, true);
                    id = part.Id();
                    if (id.isEmpty())
                        id = (part.SentDate() + part.from()).left(255);
                    if (!id.isEmpty())
                        break;
                    if (longTop)
                        throw MUError::engine(529, QStringLiteral("LegacyPop3Check.Run"));
                    longTop = true;
                }
                if (!received.Exists(id))
                    number = i;
            }
            if (number == 0)
                break;
            shell.SendData(QStringLiteral("TOP %1 10000").arg(number) + kCrLf, true, reply);
            CMIMEPart part;
            part.Init(reply, false);
            received.Add(id, id);
            Record msg;
            msg.Add(QStringLiteral("Server"), account.text(QStringLiteral("Server")));
            msg.Add(QStringLiteral("User"), account.text(QStringLiteral("User")));
            msg.Add(QStringLiteral("POP3Id"), id);
            msg.Add(QStringLiteral("From"), part.from());
            msg.Add(QStringLiteral("To"), part.MsgTo());
            msg.Add(QStringLiteral("Date"), part.SentDate());
            msg.Add(QStringLiteral("Subject"), part.Subject());
            msg.Add(QStringLiteral("Content"), part.TextPlain());
            messanger->Post(ReceiverMessages::MsgArrived, QVariant::fromValue(msg));
        }
        shell.SendData(QStringLiteral("QUIT") + kCrLf, false, reply);
        shell.Close();
        messanger->Post(ReceiverMessages::ReceiveComplete, account.Id());
    } catch (const MUError &e) {
        shell.Close();
        DataBag bag;
        bag.Add(e.number(), QStringLiteral("ErrNumber"));
        bag.Add(e.description(), QStringLiteral("ErrDescription"));
        bag.Add(e.source(), QStringLiteral("ErrSource"));
        bag.Add(account.Id(), QStringLiteral("AccountId"));
        messanger->Post(ReceiverMessages::ErrorOccured, QVariant::fromValue(bag));
    }
}
