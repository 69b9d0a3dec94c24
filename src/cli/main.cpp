// murmelo-cli: the engine without windows, for scripts and for checking the engine from outside.
#include "CliCommand.h"
#include "engine/MUScripting.h"
#include "storage/MsgManager.h"
#include "trellis/Log.h"
#include "trellis/MUError.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"
#include <QCoreApplication>
#include <QJsonDocument>
#include <QLibrary>
#include <QTextStream>
#include <algorithm>
#include <cstdio>

namespace {
QList<CliCommandInfo> &registry()
{
    static QList<CliCommandInfo> commands;
    return commands;
}

/// The commands that speak or listen live in a module of their own, so that every other
/// command runs without loading speech, audio or window libraries. Loaded at most once;
/// its commands register themselves as it loads. False, with the reason on stderr, when
/// it cannot be loaded.
bool loadSpeechCommands()
{
    static QLibrary module;
    if (module.isLoaded())
        return true;
    module.setFileName(Paths::FindLibrary(QStringLiteral(MURMELO_CLI_SPEECH_MODULE)));
    module.setLoadHints(QLibrary::PreventUnloadHint);
    if (module.load())
        return true;
    std::fprintf(stderr, "murmelo-cli: the speech commands could not be loaded: %s\n",
                 qPrintable(module.errorString()));
    return false;
}

const CliCommandInfo *findCommand(const QString &name)
{
    for (const auto &c : registry()) {
        if (c.name == name)
            return &c;
    }
    return nullptr;
}

void printUsage(FILE *to)
{
    loadSpeechCommands();
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

CliCommandRegistrar::CliCommandRegistrar(const QString &name, const QString &usage, CliHandler handler,
                                         const QStringList &options)
{
    registry().append({name, usage, std::move(handler), options});
}

const QList<CliCommandInfo> &CliCommands() { return registry(); }

namespace {
/// Takes the options every command shares (--json, --home DIR, --help) out of the arguments
/// after the command and checks the others against the command's own: `rest` gets what the
/// command reads. "--" ends the options; what follows it is passed on as it is. False, with
/// the reason and the command's usage on stderr, for an option the command does not take.
bool takeCommonOptions(const CliCommandInfo &command, const QStringList &args, QStringList *rest, bool *json,
                       bool *help)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (arg == QLatin1String("--")) {
            *rest += args.mid(i + 1);
            return true;
        }
        if (arg == QLatin1String("--json")) {
            *json = true;
            continue;
        }
        if (arg == QLatin1String("--home") && i + 1 < args.size()) {
            Paths::SetHome(args.at(++i));
            continue;
        }
        if (arg.startsWith(QLatin1String("--home="))) {
            Paths::SetHome(arg.mid(7));
            continue;
        }
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            *help = true;
            continue;
        }
        if (!arg.startsWith(QLatin1String("--"))) {
            rest->append(arg);
            continue;
        }
        const qsizetype equals = arg.indexOf(QLatin1Char('='));
        const QString option = equals < 0 ? arg : arg.left(equals);
        if (command.options.contains(option + QLatin1Char('='))) {
            rest->append(arg);
            if (equals < 0 && i + 1 < args.size())
                rest->append(args.at(++i));   // its value, whatever it looks like
            continue;
        }
        if (equals < 0 && command.options.contains(option)) {
            rest->append(arg);
            continue;
        }
        std::fprintf(stderr, "murmelo-cli: unknown option %s for '%s'\nusage: murmelo-cli %s\n",
                     qPrintable(CliContext::Escaped(arg)), qPrintable(command.name), qPrintable(command.usage));
        return false;
    }
    return true;
}
}

CliContext::CliContext(QStringList a, bool j) : args(std::move(a)), json(j) {}

CliContext::~CliContext()
{
    if (m_engine)
        m_engine->Finalize();
}

namespace {
void writeLine(FILE *to, const QByteArray &line);
}

MUScripting &CliContext::engine()
{
    if (!m_engine) {
        auto log = std::make_shared<Log>();
        Paths::EnsureDir(Paths::StateDir());
        log->OpenFiles(Paths::StateDir() + QStringLiteral("/mu.log"),
                       Paths::StateDir() + QStringLiteral("/short.log"));
        // Converting the messages of an older database takes a while once: say so on stderr,
        // a line per tenth done (with --json as objects, as errors are).
        MsgManager::SetConversionProgress([json = json](const QString &phase, qint64 done, qint64 total) {
            static qint64 shownTenth = -1;
            const bool compact = phase == QLatin1String("compact");
            if (total <= 0 || (!compact && done * 10 / total == shownTenth))
                return;
            if (!compact)
                shownTenth = done * 10 / total;
            if (json)
                writeLine(stderr, QJsonDocument(QJsonObject{{"Phase", phase}, {"Done", done}, {"Total", total}})
                                      .toJson(QJsonDocument::Compact));
            else if (compact)
                std::fprintf(stderr, done == 0 ? "murmelo-cli: compacting the database...\n"
                                               : "murmelo-cli: the database is compacted.\n");
            else
                std::fprintf(stderr, "murmelo-cli: converting stored messages: %lld of %lld\n",
                             static_cast<long long>(done), static_cast<long long>(total));
        });
        auto engine = std::make_unique<MUScripting>();
        engine->Init(log, nullptr);
        m_engine = std::move(engine);
    }
    return *m_engine;
}

namespace {
void writeLine(FILE *to, const QByteArray &line)
{
    const QByteArray bytes = line.endsWith('\n') ? line : line + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fflush(to);
}
}

QString CliContext::Escaped(const QString &text)
{
    // Most texts are printable ASCII, with nothing to escape: long lists print quicker so.
    if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7F; }))
        return text;
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool bidi = (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
        if (c.category() != QChar::Other_Control && u != 0x2028 && u != 0x2029 && !bidi) {
            result.append(c);
        } else if (u == u'\n') {
            result.append(QLatin1String("\\n"));
        } else if (u == u'\r') {
            result.append(QLatin1String("\\r"));
        } else if (u == u'\t') {
            result.append(QLatin1String("\\t"));
        } else if (u < 0x100) {
            result.append(QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0')));
        } else {
            result.append(QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0')));
        }
    }
    return result;
}

void CliContext::print(const QString &text, const QJsonObject &object) const
{
    if (json)
        printJson(object);
    else
        printText(text);
}

void CliContext::printLines(const QStringList &lines, const QJsonObject &object) const
{
    if (json) {
        printJson(object);
        return;
    }
    for (const QString &line : lines)
        printText(line);
}

void CliContext::printText(const QString &text) const
{
    writeLine(stdout, Escaped(text).toUtf8());
}

void CliContext::printJson(const QJsonObject &object, bool indented) const
{
    writeLine(stdout, QJsonDocument(object).toJson(indented ? QJsonDocument::Indented : QJsonDocument::Compact));
}

void CliContext::error(const QString &text) const
{
    writeLine(stderr, Escaped(text).toUtf8());
}

void CliContext::error(qint32 number, const QString &text) const
{
    if (json) {
        QJsonObject o{{QStringLiteral("ErrNumber"), number}, {QStringLiteral("ErrDescription"), text}};
        writeLine(stderr, QJsonDocument(o).toJson(QJsonDocument::Compact));
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

bool CliContext::takenAll(const QString &usage) const
{
    if (args.isEmpty())
        return true;
    error(QStringLiteral("unexpected argument '%1'").arg(args.first()));
    error(QStringLiteral("usage: ") + usage);
    return false;
}

static int runVersion(CliContext &ctx)
{
    if (!ctx.takenAll(QStringLiteral("version")))
        return CliUsage;
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
            std::fprintf(stderr, "murmelo-cli: unknown option %s\n", qPrintable(CliContext::Escaped(opt)));
            printUsage(stderr);
            return CliUsage;
        }
    }
    if (args.isEmpty()) {
        printUsage(stderr);
        return CliUsage;
    }
    const QString name = args.takeFirst();
    const CliCommandInfo *command = findCommand(name);
    if (!command && loadSpeechCommands())
        command = findCommand(name);
    if (command) {
        const CliCommandInfo &c = *command;
        QStringList rest;
        bool help = false;
        if (!takeCommonOptions(c, args, &rest, &json, &help))
            return CliUsage;
        if (help) {
            std::printf("usage: murmelo-cli %s\n", qPrintable(c.usage));
            return CliOk;
        }
        CliContext ctx(rest, json);
        try {
            return c.handler(ctx);
        } catch (const MUError &e) {
            ctx.error(e.number(), e.description());
            return CliFailed;
        }
    }
    std::fprintf(stderr, "murmelo-cli: unknown command '%s'\n", qPrintable(CliContext::Escaped(name)));
    printUsage(stderr);
    return CliUsage;
}
