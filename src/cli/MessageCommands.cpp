// murmelo-cli messages list|show|delete
#include "CliCommand.h"
#include "RecordJson.h"
#include "engine/MUScripting.h"
#include "storage/MsgManager.h"
#include <QJsonDocument>
#include <algorithm>
#include <cstdio>

namespace {
const QStringList MsgProps = {"Server", "User", "POP3Id", "From", "To", "Date", "Subject"};

/// The order in which a JSON object of RecordToJson(msg, MsgProps) writes its members, as
/// indexes into MsgProps (-1 for "Id"): QJsonObject keeps its keys sorted its own way.
QList<int> JsonKeyOrder()
{
    Record probe;
    for (const QString &name : MsgProps)
        probe.Add(name, QString());
    QList<int> order;
    for (const QString &key : RecordToJson(probe, MsgProps).keys())
        order << int(MsgProps.indexOf(key));
    return order;
}

/// The compact JSON line of a message whose texts are all printable ASCII needing no escape,
/// written directly: the same bytes QJsonDocument writes, many times quicker. False (and
/// nothing written) for any other message.
bool PlainJsonLine(const QString &id, const QStringList &values, const QList<int> &order, QByteArray *line)
{
    const auto plain = [](const QString &text) {
        return std::all_of(text.cbegin(), text.cend(), [](QChar c) {
            const char16_t u = c.unicode();
            return u >= 0x20 && u < 0x7F && u != u'"' && u != u'\\' && u != u'/';
        });
    };
    if (!plain(id) || !std::all_of(values.cbegin(), values.cend(), plain))
        return false;
    line->clear();
    line->append('{');
    for (const int index : order) {
        if (line->size() > 1)
            line->append(',');
        line->append('"');
        line->append(index < 0 ? QByteArrayLiteral("Id") : MsgProps.at(index).toLatin1());
        line->append("\":\"");
        line->append((index < 0 ? id : values.at(index)).toLatin1());
        line->append('"');
    }
    line->append('}');
    return true;
}

int runMessages(CliContext &ctx)
{
    const QString sub = ctx.args.isEmpty() ? QStringLiteral("list") : ctx.args.takeFirst();
    MsgManager *msgs = ctx.engine().msgManager();
    if (sub == QLatin1String("list")) {
        const bool all = ctx.takeFlag("--all");
        if (!ctx.takenAll(QStringLiteral("messages list [--all]")))
            return CliUsage;
        // Row by row, reading only what is printed: the list may hold a hundred thousand
        // messages. The lines are those of print(), written through stdio's buffer rather than
        // flushed one by one.
        static const QStringList TextProps = {"Date", "From", "Subject"};
        const QList<int> jsonOrder = JsonKeyOrder();
        QByteArray line;
        msgs->ForEachMsg(all, ctx.json ? MsgProps : TextProps, [&](const QString &id, const QStringList &values) {
            if (!ctx.json) {
                line = CliContext::Escaped(id + QLatin1String("  ") + values.at(0) + QLatin1String("  ") + values.at(1)
                                           + QLatin1String("  ") + values.at(2))
                           .toUtf8();
            } else if (!PlainJsonLine(id, values, jsonOrder, &line)) {
                Record m;
                m.setId(id);
                for (qsizetype i = 0; i < MsgProps.size(); ++i)
                    m.Add(MsgProps.at(i), values.at(i));
                line = QJsonDocument(RecordToJson(m, MsgProps)).toJson(QJsonDocument::Compact);
            }
            if (!line.endsWith('\n'))
                line += '\n';
            std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        });
        std::fflush(stdout);
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
