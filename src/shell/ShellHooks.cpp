#include "ShellHooks.h"
#include "FMain.h"
#include "ShellMessage.h"
#include "trellis/Utility.h"

#include <QDesktopServices>
#include <QProcess>

namespace {
void notYetAvailable(const QString &what)
{
    ShowMessage(QStringLiteral("%1 is not available in this build of Murmelo. ").arg(what),
                ShellMessage::Information);
}
}

ShellHooks &ShellHooks::instance()
{
    static ShellHooks hooks;
    return hooks;
}

ShellHooks::ShellHooks()
{
    reset();
}

void ShellHooks::reset()
{
    openOptions = [](QWidget *, MUScripting *, LogPtr, const QString &) {
        notYetAvailable(QStringLiteral("The options dialog"));
    };
    applyOptionsAtStart = [](MUScripting *, LogPtr) {};
    openAccounts = [](QWidget *, MUScripting *, LogPtr) { notYetAvailable(QStringLiteral("The accounts dialog")); };
    openFeedback = [](FeedbackForm, QWidget *, LogPtr) { notYetAvailable(QStringLiteral("Sending feedback")); };
    isSpam = [](MUScripting *, const QString &) { return false; };
    registerVoiceCommands = [](FMain *) {};
    voiceCommandsShowHide = [](FMain *, bool) {};
    voiceCommand = [](FMain *, const AgentUserInput &) {};
    timeAnnouncement = [](FMain *window) { window->mnuTalkTime_Click(); };
    openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    startProgram = [](const QString &commandLine) -> QString {
        const QStringList args = QProcess::splitCommand(Utility::ExpandVariables(commandLine));
        if (args.isEmpty())
            return QStringLiteral("The command line is empty. ");
        QProcess process;
        process.setProgram(args.first());
        process.setArguments(args.mid(1));
        qint64 pid = 0;
        if (!process.startDetached(&pid))
            return process.errorString();
        return {};
    };
}
