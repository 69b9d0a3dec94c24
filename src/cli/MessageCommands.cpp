// murmelo-cli messages list|show|delete
#include "CliCommand.h"
#include "RecordJson.h"
#include "engine/MUScripting.h"
#include "storage/MsgManager.h"
#include <QJsonDocument>
#include <cstdio>

namespace {
const QStringList MsgProps = {"Server", "User", "POP3Id", "From", "To", "Date", "Subject"};

/// The members of a JSON object of RecordToJson(msg, MsgProps) in the order QJsonObject
/// writes them (it keeps its keys sorted its own way): each as the index into MsgProps (-1
/// for "Id") and the text that goes before its value, `{"Key":"` or `,"Key":"`.
QList<QPair<int, QByteArray>> JsonMembers()
{
    Record probe;
    for (const QString &name : MsgProps)
        probe.Add(name, QString());
    QList<QPair<int, QByteArray>> members;
    for (const QString &key : RecordToJson(probe, MsgProps).keys())
        members.append({int(MsgProps.indexOf(key)), (members.isEmpty() ? "{\"" : ",\"") + key.toLatin1() + "\":\""});
    return members;
}

/// The compact JSON line of a message whose texts are all printable ASCII needing no escape,
/// written directly: the same bytes QJsonDocument writes, several times quicker. False for
/// any other message (`line` is then garbage).
bool PlainJsonLine(const QString &id, const QStringList &values, const QList<QPair<int, QByteArray>> &members,
                   QByteArray *line)
{
    line->clear();
    for (const auto &[index, before] : members) {
        line->append(before);
        const QString &text = index < 0 ? id : values.at(index);
        const qsizetype at = line->size();
        line->resize(at + text.size());
        char *out = line->data() + at;
        for (const QChar c : text) {
            const char16_t u = c.unicode();
            if (u < 0x20 || u >= 0x7F || u == u'"' || u == u'\\' || u == u'/')
                return false;
            *out++ = char(u);
        }
        line->append('"');
    }
    line->append("}\n");
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
        const QList<QPair<int, QByteArray>> jsonMembers = JsonMembers();
        QByteArray line;
        msgs->ForEachMsg(all, ctx.json ? MsgProps : TextProps, [&](const QString &id, const QStringList &values) {
            if (!ctx.json) {
                line = CliContext::Escaped(id + QLatin1String("  ") + values.at(0) + QLatin1String("  ") + values.at(1)
                                           + QLatin1String("  ") + values.at(2))
                           .toUtf8();
            } else if (!PlainJsonLine(id, values, jsonMembers, &line)) {
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
