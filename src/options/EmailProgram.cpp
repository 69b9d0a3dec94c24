#include "EmailProgram.h"
#include "DesktopEntry.h"
#include "OptionsServices.h"

QStringList EmailProgram::Arguments(const QString &commandLine)
{
    return DesktopEntry::ExpandArguments(DesktopEntry::SplitExec(commandLine));
}

QString EmailProgram::Start(const OptionsServices &services, const QString &commandLine)
{
    const QStringList args = Arguments(commandLine);
    if (args.isEmpty() || args.first().isEmpty())
        return QStringLiteral("The command line is empty. ");
    return services.startDetached(args.first(), args.mid(1));
}

QString EmailProgram::DerivedName(const QString &commandLine)
{
    const QString lower = commandLine.toLower();
    if (lower.contains(QLatin1String("msimn.exe")))
        return QStringLiteral("Outlook Express");
    if (lower.contains(QLatin1String("outlook.exe")))
        return QStringLiteral("Microsoft Outlook");
    return {};
}
