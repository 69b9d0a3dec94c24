// murmelo-cli parse FILE|-
#include "CliCommand.h"
#include "mime/MParseMsg.h"
#include <QFile>
#include <QJsonDocument>

namespace {
int runParse(CliContext &ctx)
{
    if (ctx.args.size() != 1) {
        ctx.error(QStringLiteral("usage: parse FILE|-"));
        return CliUsage;
    }
    QFile file;
    bool opened = false;
    if (ctx.args.first() == QLatin1String("-")) {
        opened = file.open(stdin, QIODevice::ReadOnly);
    } else {
        file.setFileName(ctx.args.first());
        opened = file.open(QIODevice::ReadOnly);
    }
    if (!opened) {
        ctx.error(QStringLiteral("cannot read '%1': %2").arg(ctx.args.first(), file.errorString()));
        return CliFailed;
    }
    const QJsonObject summary = ParseSummary(file.readAll());
    // The parse summary is JSON whatever the output mode: that is what it is for.
    ctx.printJson(summary, !ctx.json);
    return CliOk;
}
}

static CliCommandRegistrar reg(QStringLiteral("parse"), QStringLiteral("parse FILE|-"), &runParse);
