// murmelo-cli messages list|show|delete
#include "CliCommand.h"
#include "RecordJson.h"
#include "engine/MUScripting.h"
#include "storage/MsgManager.h"
#include <cstdio>

namespace {
const QStringList MsgProps = {"Server", "User", "POP3Id", "From", "To", "Date", "Subject"};

int runMessages(CliContext &ctx)
{
    const QString sub = ctx.args.isEmpty() ? QStringLiteral("list") : ctx.args.takeFirst();
    MsgManager *msgs = ctx.engine().msgManager();
    if (sub == QLatin1String("list")) {
        const bool all = ctx.takeFlag("--all");
        if (!ctx.takenAll(QStringLiteral("messages list [--all]")))
            return CliUsage;
        // Row by row, reading only what is printed: the list may hold a hundred thousand messages.
        static const QStringList TextProps = {"Date", "From", "Subject"};
        msgs->ForEachMsg(all, ctx.json ? MsgProps : TextProps, [&ctx](const Record &m) {
            if (ctx.json)
                ctx.printJson(RecordToJson(m, MsgProps));
            else
                ctx.printText(QStringLiteral("%1  %2  %3  %4").arg(m.Id(), m.text("Date"), m.text("From"), m.text("Subject")));
        });
        return CliOk;
    }
    if (sub == QLatin1String("show")) {
        if (ctx.args.size() != 1) {
            ctx.error(QStringLiteral("messages show needs one message id"));
            return CliUsage;
        }
        const QString content = msgs->getMsgContent(ctx.args.first());
        if (ctx.json) {
            ctx.print(QString(), {{"Id", ctx.args.first()}, {"Content", content}});
        } else {
            // The content keeps the message's bytes one character each: write them back as bytes.
            const QByteArray bytes = content.toLatin1();
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
            std::fflush(stdout);
        }
        return CliOk;
    }
    if (sub == QLatin1String("delete")) {
        if (ctx.args.isEmpty()) {
            ctx.error(QStringLiteral("messages delete needs message ids"));
            return CliUsage;
        }
        for (const QString &id : std::as_const(ctx.args))
            msgs->getMsgContent(id);   // 514 for an unknown id, before anything is changed
        msgs->Remove(ctx.args);
        for (const QString &id : std::as_const(ctx.args))
            ctx.print(QStringLiteral("deleted %1").arg(id), {{"Id", id}, {"Deleted", true}});
        return CliOk;
    }
    ctx.error(QStringLiteral("unknown messages command '%1'").arg(sub));
    return CliUsage;
}
}

static CliCommandRegistrar reg(QStringLiteral("messages"),
                               QStringLiteral("messages list [--all] | show ID | delete ID..."), &runMessages,
                               {QStringLiteral("--all")});
