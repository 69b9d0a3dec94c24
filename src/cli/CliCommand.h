#pragma once
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class MUScripting;

/// What one run of murmelo-cli hands to a command: its arguments (after the
/// command name), the output mode, and the engine, started on first use.
class CliContext
{
public:
    CliContext(QStringList args, bool json);
    ~CliContext();

    QStringList args;
    const bool json;

    /// The engine with its database in the home folder; started by the first call.
    /// Throws MUError when it cannot start.
    MUScripting &engine();
    bool hasEngine() const { return bool(m_engine); }

    /// One line to stdout: the text, or with --json the object as one compact line.
    void print(const QString &text, const QJsonObject &object) const;
    /// Several lines to stdout, or with --json the object as one compact line.
    void printLines(const QStringList &lines, const QJsonObject &object) const;
    /// One line of text to stdout. Control characters in it are escaped (see Escaped), so
    /// a value taken from a message or a server can never start a line of its own.
    void printText(const QString &text) const;
    /// The object as JSON to stdout, compact on one line or indented; JSON escapes on its own.
    void printJson(const QJsonObject &object, bool indented = false) const;
    /// One line to stderr, control characters escaped.
    void error(const QString &text) const;
    /// An engine error to stderr as "error NUMBER: TEXT" (with --json as an object).
    void error(qint32 number, const QString &text) const;

    /// Takes "--name VALUE" out of args; `present` tells whether it was there.
    QString takeOption(const QString &name, bool *present = nullptr);
    /// Takes every "--name VALUE" out of args.
    QStringList takeOptionAll(const QString &name);
    /// Takes the flag "--name" out of args.
    bool takeFlag(const QString &name);
    /// True when every argument was taken; otherwise says which one was not, with `usage`.
    bool takenAll(const QString &usage) const;

    /// `text` with control characters (C0, DEL, C1), line and paragraph separators and
    /// bidirectional overrides written as \n, \r, \t, \xHH or \uHHHH.
    static QString Escaped(const QString &text);

private:
    std::unique_ptr<MUScripting> m_engine;
};

/// Exit statuses shared by the commands.
enum CliStatus { CliOk = 0, CliFailed = 1, CliSomeFailed = 2, CliUsage = 64 };

using CliHandler = std::function<int(CliContext &)>;

/// Registers a top-level command at static-initialisation time:
///   static CliCommandRegistrar reg("say", "say [--wav FILE] TEXT", &runSay, {"--wav="});
/// `options` names every option the command (any of its subcommands) takes, "--name=" for
/// one that takes a value. Any other option after the command is refused before it runs;
/// --json, --home DIR and --help are taken there for every command.
struct CliCommandRegistrar
{
    CliCommandRegistrar(const QString &name, const QString &usage, CliHandler handler,
                        const QStringList &options = {});
};

struct CliCommandInfo
{
    QString name;
    QString usage;
    CliHandler handler;
    QStringList options;
};
const QList<CliCommandInfo> &CliCommands();
