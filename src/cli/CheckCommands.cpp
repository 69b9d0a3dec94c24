// murmelo-cli check [--account ID] | watch
#include "CliCommand.h"
#include "RecordJson.h"
#include "engine/MUScripting.h"
#include "trellis/Utility.h"
#include "receive/ReceiverManager.h"
#include "storage/AccountManager.h"
#include "timing/TimerManager.h"
#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QStringList MsgProps = {"Server", "User", "POP3Id", "From", "To", "Date", "Subject"};

QString msgLine(const Record &m)
{
    return QStringLiteral("new  %1  from %2: %3").arg(m.Id(), m.text("From"), m.text("Subject"));
}

int runCheck(CliContext &ctx)
{
    const QString accountId = ctx.takeOption("--account");
    if (!ctx.args.isEmpty()) {
        ctx.error(QStringLiteral("usage: check [--account ID]"));
        return CliUsage;
    }
    MUScripting &engine = ctx.engine();
    ReceiverManager *rm = engine.receiverManager();
    int failures = 0;
    QEventLoop loop;
    QObject guard;
    QObject::connect(&engine, &MUScripting::MsgArrived, &guard, [&ctx](const Record &m) {
        ctx.print(msgLine(m), RecordToJson(m, MsgProps));
    });
    QObject::connect(rm, &ReceiverManager::DownloadFailed, &guard,
                     [&ctx, &failures](const QString &id, qint32 number, const QString &text) {
                         ++failures;
                         if (ctx.json)
                             ctx.print(QString(), {{"AccountId", id}, {"ErrNumber", number}, {"ErrDescription", text}});
                         else
                             ctx.error(QStringLiteral("account %1: error %2: %3").arg(id).arg(number).arg(text.trimmed()));
                     });
    QObject::connect(rm, &ReceiverManager::CurrentReceivesCount, &loop, [&loop](int n) {
        if (n == 0)
            loop.quit();
    });
    if (accountId.isEmpty()) {
        engine.CheckForNewMessagesNow();
    } else {
        const Record account = engine.accountManager()->GetAccount(accountId);
        engine.CheckForNewMessagesNow(&account);
    }
    if (rm->ReceivesCount() > 0)
        loop.exec();
    return failures ? CliSomeFailed : CliOk;
}

int g_signalPipe[2] = {-1, -1};
void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &c, 1);
}

int runWatch(CliContext &ctx)
{
    if (!ctx.takenAll(QStringLiteral("watch")))
        return CliUsage;
    MUScripting &engine = ctx.engine();
    ReceiverManager *rm = engine.receiverManager();
    QObject guard;
    auto event = [&ctx](const QString &name, const QString &text, QJsonObject extra = {}) {
        extra.insert("Event", name);
        ctx.print(QStringLiteral("%1  %2").arg(name, text), extra);
    };
    QObject::connect(&engine, &MUScripting::MsgArrived, &guard, [&](const Record &m) {
        QJsonObject o = RecordToJson(m, MsgProps);
        event("MsgArrived", msgLine(m), o);
    });
    QObject::connect(rm, &ReceiverManager::ReceiveStart, &guard, [&] { event("ReceiveStart", QString()); });
    QObject::connect(rm, &ReceiverManager::DownloadComplete, &guard, [&](const QString &id) {
        event("ReceiveComplete", id, {{"AccountId", id}});
    });
    QObject::connect(rm, &ReceiverManager::DownloadFailed, &guard, [&](const QString &id, qint32 n, const QString &t) {
        event("ErrorOccured", QStringLiteral("%1 error %2: %3").arg(id).arg(n).arg(t.trimmed()),
              {{"AccountId", id}, {"ErrNumber", n}, {"ErrDescription", t}});
    });
    QObject::connect(rm, &ReceiverManager::CurrentReceivesCount, &guard, [&](int n) {
        event("CurrentReceivesCount", QString::number(n), {{"ReceivesCount", n}});
    });
    QObject::connect(&engine, &MUScripting::CheckTimerTick, &guard, [&](const QString &id) {
        event("ItsTimeToCheck", id, {{"AccountId", id}});
    });

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        ctx.error(QStringLiteral("cannot set up signal handling"));
        return CliFailed;
    }
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &guard, [] { QCoreApplication::quit(); });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    // How each account hears of new mail: IMAP accounts say so once their server answered.
    auto mode = [&event](const QString &id, bool push) {
        const QString name = push ? QStringLiteral("push") : QStringLiteral("poll");
        event("Mode", QStringLiteral("%1 %2").arg(id, name), {{"AccountId", id}, {"Mode", name}});
    };
    QObject::connect(rm, &ReceiverManager::PushMode, &guard, mode);
    for (const QVariant &v : engine.accountManager()->AccountList()) {
        const Record a = v.value<Record>();
        if (!Utility::ToBool(a.Item("Disabled"), false) && AccountManager::ProtocolText(a.text("Protocol")) != "IMAP")
            mode(a.Id(), false);
    }
    engine.StartDownload();
    QCoreApplication::exec();
    engine.Finalize();
    ctx.print(QStringLiteral("stopped"), {{"Event", "Stopped"}});
    return CliOk;
}
}

static CliCommandRegistrar regCheck(QStringLiteral("check"), QStringLiteral("check [--account ID]"), &runCheck,
                                    {QStringLiteral("--account=")});
static CliCommandRegistrar regWatch(QStringLiteral("watch"), QStringLiteral("watch"), &runWatch);
