#include "ShellServices.h"
#include "FMain.h"
#include "ShellMessage.h"
#include "trellis/MessageTable.h"
#include "trellis/Utility.h"

#include <QDesktopServices>
#include <QProcess>

int ShellServices::message(const QString &prompt, int buttons, const QString &title) const
{
    if (!respond)
        return ShellMessage::Show(prompt, buttons, title);
    return respond(prompt, buttons, title.isEmpty() ? MessageTable::Text(104) : title);
}

ShellServices::ShellServices()
{
    const auto notYetAvailable = [this](const QString &what) {
        message(QStringLiteral("%1 is not available in this build of Murmelo. ").arg(what), ShellMessage::Information);
    };
    openOptions = [notYetAvailable](QWidget *, MUScripting *, LogPtr, const QString &) {
        notYetAvailable(QStringLiteral("The options dialog"));
    };
    applyOptionsAtStart = [](MUScripting *, LogPtr) {};
    openAccounts = [notYetAvailable](QWidget *, MUScripting *, LogPtr) { notYetAvailable(QStringLiteral("The accounts dialog")); };
    openFeedback = [notYetAvailable](FeedbackForm, QWidget *, LogPtr) { notYetAvailable(QStringLiteral("Sending feedback")); };
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
