// murmelo-cli: the engine without windows, for scripts and for checking the engine from outside.
#include "CliCommand.h"
#include "engine/MUScripting.h"
#include "trellis/Log.h"
#include "trellis/MUError.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"
#include <QCoreApplication>
#include <QJsonDocument>
#include <QTextStream>
#include <cstdio>

namespace {
QList<CliCommandInfo> &registry()
{
    static QList<CliCommandInfo> commands;
    return commands;
}

void printUsage(FILE *to)
{
    QTextStream out(to);
    out << "usage: murmelo-cli [--home DIR] [--json] COMMAND [ARGS]\n\n"
        << "Murmelo's engine without windows. --home DIR (or MURMELO_HOME) keeps the database,\n"
        << "logs and files in DIR. --json prints one JSON object per line.\n\ncommands:\n";
    QList<CliCommandInfo> sorted = registry();
    std::sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) { return a.name < b.name; });
    for (const auto &c : sorted)
        out << "  " << c.usage << '\n';
}
}

CliCommandRegistrar::CliCommandRegistrar(const QString &name, const QString &usage, CliHandler handler)
{
    registry().append({name, usage, std::move(handler)});
}

const QList<CliCommandInfo> &CliCommands() { return registry(); }

CliContext::CliContext(QStringList a, bool j) : args(std::move(a)), json(j) {}

CliContext::~CliContext()
{
    if (m_engine)
        m_engine->Finalize();
}

MUScripting &CliContext::engine()
{
    if (!m_engine) {
        auto log = std::make_shared<Log>();
        Paths::EnsureDir(Paths::StateDir());
        log->OpenFiles(Paths::StateDir() + QStringLiteral("/mu.log"),
                       Paths::StateDir() + QStringLiteral("/short.log"));
        auto engine = std::make_unique<MUScripting>();
        engine->Init(log, nullptr);
        m_engine = std::move(engine);
    }
    return *m_engine;
}

void CliContext::print(const QString &text, const QJsonObject &object) const
{
    if (json)
        printText(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    else
        printText(text);
}

void CliContext::printText(const QString &text) const
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void CliContext::error(const QString &text) const
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void CliContext::error(qint32 number, const QString &text) const
{
    if (json) {
        QJsonObject o{{QStringLiteral("ErrNumber"), number}, {QStringLiteral("ErrDescription"), text}};
        error(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    } else {
        error(QStringLiteral("error %1: %2").arg(number).arg(text.trimmed()));
    }
}

QString CliContext::takeOption(const QString &name, bool *present)
{
    if (present)
        *present = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args.at(i) == name && i + 1 < args.size()) {
            const QString v = args.at(i + 1);
            args.remove(i, 2);
            if (present)
                *present = true;
            return v;
        }
        if (args.at(i).startsWith(name + QLatin1Char('='))) {
            const QString v = args.at(i).mid(name.size() + 1);
            args.removeAt(i);
            if (present)
                *present = true;
            return v;
        }
    }
    return {};
}

QStringList CliContext::takeOptionAll(const QString &name)
{
    QStringList values;
    bool present = true;
    while (true) {
        const QString v = takeOption(name, &present);
        if (!present)
            break;
        values << v;
    }
    return values;
}

bool CliContext::takeFlag(const QString &name)
{
    return args.removeAll(name) > 0;
}

static int runVersion(CliContext &ctx)
{
    ctx.print(QStringLiteral("murmelo-cli %1").arg(QStringLiteral(MURMELO_VERSION)),
              {{QStringLiteral("Version"), QStringLiteral(MURMELO_VERSION)}});
    return CliOk;
}
static CliCommandRegistrar regVersion(QStringLiteral("version"), QStringLiteral("version"), &runVersion);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("murmelo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MURMELO_VERSION));
    RegisterTrellisMetaTypes();

    QStringList args = app.arguments().mid(1);
    bool json = false;
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("--"))) {
        const QString opt = args.takeFirst();
        if (opt == QLatin1String("--json")) {
            json = true;
        } else if (opt == QLatin1String("--home") && !args.isEmpty()) {
            Paths::SetHome(args.takeFirst());
        } else if (opt.startsWith(QLatin1String("--home="))) {
            Paths::SetHome(opt.mid(7));
        } else if (opt == QLatin1String("--help") || opt == QLatin1String("-h")) {
            printUsage(stdout);
            return CliOk;
        } else if (opt == QLatin1String("--version")) {
            args.prepend(QStringLiteral("version"));
            break;
        } else {
            std::fprintf(stderr, "murmelo-cli: unknown option %s\n", qPrintable(opt));
            printUsage(stderr);
            return CliUsage;
        }
    }
    if (args.isEmpty()) {
        printUsage(stderr);
        return CliUsage;
    }
    const QString name = args.takeFirst();
    for (const auto &c : registry()) {
        if (c.name != name)
            continue;
        CliContext ctx(args, json);
        try {
            return c.handler(ctx);
        } catch (const MUError &e) {
            ctx.error(e.number(), e.description());
            return CliFailed;
        }
    }
    std::fprintf(stderr, "murmelo-cli: unknown command '%s'\n", qPrintable(name));
    printUsage(stderr);
    return CliUsage;
}
