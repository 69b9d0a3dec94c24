// murmelo-cli account-test | detect
#include "CheckMBCommands.h"
#include "CliCommand.h"
#include "receive/CCheckMB.h"
#include "trellis/Log.h"
#include "trellis/MessageTable.h"
#include "trellis/Paths.h"
#include "trellis/Utility.h"
#include <QHash>
#include <QJsonObject>
#include <QTextStream>
#include <cstdio>

namespace {
const QString kAccountTestUsage =
    QStringLiteral("account-test --server S --user U --password P|- [--port N] [--security tls|starttls|none] "
                   "[--protocol imap|pop3]");
const QString kDetectUsage = QStringLiteral("detect EMAIL --password P|-");

/// The log the engine writes too, so a failed test can be read up afterwards.
LogPtr openLog()
{
    auto log = std::make_shared<Log>();
    Paths::EnsureDir(Paths::StateDir());
    log->OpenFiles(Paths::StateDir() + QStringLiteral("/mu.log"), Paths::StateDir() + QStringLiteral("/short.log"));
    return log;
}

/// "-" reads the password from the first line of standard input, off the command line.
QString readPassword(const QString &value)
{
    if (value != QLatin1String("-"))
        return value;
    QTextStream in(stdin);
    return in.readLine();
}

int runDetectCommand(CliContext &ctx) { return RunDetect(ctx); }
int runAccountTestCommand(CliContext &ctx) { return RunAccountTest(ctx); }

CliCommandRegistrar g_accountTest(QStringLiteral("account-test"), kAccountTestUsage, &runAccountTestCommand,
                                  {"--server=", "--user=", "--password=", "--port=", "--security=", "--protocol="});
CliCommandRegistrar g_detect(QStringLiteral("detect"), kDetectUsage, &runDetectCommand, {"--password="});
}

int RunAccountTest(CliContext &ctx)
{
    bool hasServer = false, hasUser = false, hasPassword = false, hasPort = false;
    const QString server = ctx.takeOption(QStringLiteral("--server"), &hasServer).trimmed();
    const QString user = ctx.takeOption(QStringLiteral("--user"), &hasUser);
    const QString password = ctx.takeOption(QStringLiteral("--password"), &hasPassword);
    const QString portText = ctx.takeOption(QStringLiteral("--port"), &hasPort);
    const QString securityText = ctx.takeOption(QStringLiteral("--security")).toLower();
    bool hasProtocol = false;
    const QString protocol = ctx.takeOption(QStringLiteral("--protocol"), &hasProtocol).toLower();
    if (hasProtocol && protocol != QLatin1String("imap") && protocol != QLatin1String("pop3")) {
        ctx.error(QStringLiteral("--protocol must be imap or pop3"));
        return CliUsage;
    }
    if (!ctx.args.isEmpty() || !hasServer || !hasUser || !hasPassword || server.isEmpty() || user.isEmpty()) {
        ctx.error(QStringLiteral("usage: ") + kAccountTestUsage);
        return CliUsage;
    }
    int port = 0;
    if (hasPort) {
        bool ok = false;
        port = portText.toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            ctx.error(QStringLiteral("--port must be a number from 1 to 65535"));
            return CliUsage;
        }
    }
    QString security;
    if (!securityText.isEmpty()) {
        static const QHash<QString, QString> names{{QStringLiteral("tls"), QStringLiteral("TLS")},
                                                   {QStringLiteral("starttls"), QStringLiteral("STARTTLS")},
                                                   {QStringLiteral("none"), QStringLiteral("None")}};
        if (!names.contains(securityText)) {
            ctx.error(QStringLiteral("--security must be tls, starttls or none"));
            return CliUsage;
        }
        security = names.value(securityText);
    }

    CCheckMB checker;
    checker.Init(openLog());
    QString reason;
    const QString pwd = readPassword(password);
    // Without a protocol or port: IMAP first (993 TLS, then 143 STARTTLS), then POP3.
    const bool tryImap = protocol == QLatin1String("imap") || (!hasProtocol && !hasPort);
    const bool tryPop3 = protocol != QLatin1String("imap");
    QString imapReason;
    if (tryImap && checker.CheckImap(server, user, pwd, port, &imapReason, security)) {
        ctx.print(QStringLiteral("ok IMAP"), {{QStringLiteral("ok"), true}, {QStringLiteral("protocol"), QStringLiteral("IMAP")}});
        return CliOk;
    }
    if (tryPop3 && checker.CheckMB(server, user, pwd, port, &reason, security)) {
        ctx.print(hasProtocol ? QStringLiteral("ok") : QStringLiteral("ok POP3"),
                  {{QStringLiteral("ok"), true}, {QStringLiteral("protocol"), QStringLiteral("POP3")}});
        return CliOk;
    }
    if (!tryPop3)
        reason = imapReason;
    if (reason.trimmed().isEmpty())
        reason = checker.lastError();
    if (reason.trimmed().isEmpty())
        reason = MessageTable::Text(115);
    ctx.print(reason.trimmed(), {{QStringLiteral("ok"), false}, {QStringLiteral("reason"), reason.trimmed()}});
    return CliSomeFailed;
}

int RunDetect(CliContext &ctx)
{
    bool hasPassword = false;
    const QString password = ctx.takeOption(QStringLiteral("--password"), &hasPassword);
    if (ctx.args.size() != 1 || !hasPassword || !ctx.args.first().contains(QLatin1Char('@'))) {
        ctx.error(QStringLiteral("usage: ") + kDetectUsage);
        return CliUsage;
    }
    const QString email = ctx.args.first().trimmed();
    const QString domain = email.section(QLatin1Char('@'), 1);

    CCheckMB checker;
    checker.Init(openLog());
    const CCheckMB::ServerChoice found = checker.FindServer(domain);
    if (found.isEmpty()) {
        const QString why = Utility::FormatText(MessageTable::Text(130), {email}).trimmed();
        ctx.print(why, {{QStringLiteral("ok"), false}, {QStringLiteral("reason"), why}});
        return CliSomeFailed;
    }
    const QString logon = checker.LogonNameByServerAndEmail(found.host, email, readPassword(password), found.port,
                                                            found.security, found.protocol);
    QJsonObject object{{QStringLiteral("server"), found.host},
                       {QStringLiteral("port"), found.port},
                       {QStringLiteral("security"), found.security},
                       {QStringLiteral("protocol"), found.protocol},
                       {QStringLiteral("logon"), logon},
                       {QStringLiteral("ok"), !logon.isEmpty()}};
    const QStringList lines{QStringLiteral("server ") + found.host, QStringLiteral("port %1").arg(found.port),
                            QStringLiteral("security ") + found.security, QStringLiteral("protocol ") + found.protocol};
    if (logon.isEmpty()) {
        QString why = Utility::FormatText(MessageTable::Text(131), {found.host, email}).trimmed();
        if (!checker.lastError().trimmed().isEmpty())
            why += QStringLiteral(" (") + checker.lastError().trimmed() + QLatin1Char(')');
        object.insert(QStringLiteral("reason"), why);
        ctx.printLines(lines + QStringList{why}, object);
        return CliSomeFailed;
    }
    ctx.printLines(lines + QStringList{QStringLiteral("logon ") + logon}, object);
    return CliOk;
}
