// Plugs the options into the program's services: the shell opens the dialog, applies the
// General page at start, asks the spam test, registers and dispatches the voice commands
// and runs the time announcement through them; the pages show their messages through the
// program's one message box.
#include "AgentUserInput.h"
#include "EmailProgram.h"
#include "FMain.h"
#include "FOptions.h"
#include "OptionsServices.h"
#include "ShellServices.h"
#include "ShellMessage.h"
#include "TimeAnnouncement.h"
#include "VoiceCommands.h"
#include "engine/MUScripting.h"
#include "trellis/Paths.h"

#include <QUrl>

namespace {

CSettings *settingsOf(FMain *window)
{
    return window && window->scripting() ? window->scripting()->settings() : nullptr;
}

}

void installOptions(ShellServices &shell)
{
    // The pages' own desktop calls, shared by every opening of the dialog.
    auto options = std::make_shared<OptionsServices>();
    options->showMessage = [&shell](QWidget *, const QString &prompt, int style) { return shell.message(prompt, style); };
    options->openHelp = [&shell](const QString &topic) {
        QString page = Paths::FindShared(QStringLiteral("help/") + topic + QStringLiteral(".html"));
        if (page.isEmpty())
            page = Paths::FindShared(QStringLiteral("help/index.html"));
        if (!page.isEmpty())
            shell.openUrl(QUrl::fromLocalFile(page));
    };

    shell.openOptions = [options](QWidget *parent, MUScripting *engine, LogPtr log, const QString &page) {
        FOptions::ShowOptions(*options, parent, engine, log, page);
    };
    shell.applyOptionsAtStart = [options](MUScripting *engine, LogPtr log) { FOptions::ApplyAtStart(*options, engine, log); };
    shell.registerVoiceCommands = [](FMain *w) {
        VoiceCommands::RegisterVoiceCommands(w->talker(), settingsOf(w), w->log());
        VoiceCommands::VoiceCommandsShowHide(w->log(), w->talker(), settingsOf(w));
    };
    shell.voiceCommandsShowHide = [](FMain *w, bool talking) {
        VoiceCommands::VoiceCommandsShowHide(w->log(), w->talker(), settingsOf(w), talking);
    };
    shell.voiceCommand = [](FMain *w, const AgentUserInput &input) {
        VoiceCommands::Dispatch(w->log(), input, w->commands());
    };
    shell.timeAnnouncement = [options](FMain *w) {
        TimeAnnouncement::Tick(w->log(), w->talker(), settingsOf(w), [w] { w->mnuTalkTime_Click(); }, options->now);
    };
    shell.startProgram = [options](const QString &commandLine) { return EmailProgram::Start(*options, commandLine); };
}
