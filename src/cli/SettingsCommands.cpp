// murmelo-cli settings get|set
#include "CliCommand.h"
#include "engine/MUScripting.h"
#include "storage/CSettings.h"

namespace {
int runSettings(CliContext &ctx)
{
    const QString sub = ctx.args.isEmpty() ? QString() : ctx.args.takeFirst();
    CSettings *settings = ctx.engine().settings();
    if (sub == QLatin1String("get")) {
        bool hasDefault = false;
        const QString def = ctx.takeOption("--default", &hasDefault);
        if (ctx.args.size() != 1) {
            ctx.error(QStringLiteral("settings get needs one key"));
            return CliUsage;
        }
        const QString key = ctx.args.first();
        const QVariant value = settings->GetSetting(key, hasDefault ? QVariant(def) : QVariant());
        const QString text = CSettings::IsScalar(value) ? value.toString() : value.toString();
        ctx.print(text, {{"Key", key}, {"Value", text}});
        return CliOk;
    }
    if (sub == QLatin1String("set")) {
        if (ctx.args.size() != 2) {
            ctx.error(QStringLiteral("settings set needs a key and a value"));
            return CliUsage;
        }
        settings->SaveSetting(ctx.args.at(0), ctx.args.at(1));
        ctx.print(QStringLiteral("%1 = %2").arg(ctx.args.at(0), ctx.args.at(1)),
                  {{"Key", ctx.args.at(0)}, {"Value", ctx.args.at(1)}});
        return CliOk;
    }
    ctx.error(QStringLiteral("usage: settings get KEY [--default V] | settings set KEY VALUE"));
    return CliUsage;
}
}

static CliCommandRegistrar reg(QStringLiteral("settings"),
                               QStringLiteral("settings get KEY [--default V] | set KEY VALUE"), &runSettings,
                               {QStringLiteral("--default=")});
