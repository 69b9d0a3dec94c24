// Plugs the options into the program: the shell opens the dialog, applies the General
// page at start, asks the spam test, registers and dispatches the voice commands and
// runs the time announcement through its hooks; the pages show their messages through
// the program's one message routine.
#include "AgentUserInput.h"
#include "AntiSpam.h"
#include "EmailProgram.h"
#include "FMain.h"
#include "FOptions.h"
#include "OptionsHooks.h"
#include "ShellHooks.h"
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

QHash<QString, std::function<void()>> commandsOf(FMain *w)
{
    return {
        {QStringLiteral("mnuCheckForNewMessagesAllAccounts_Click"), [w] { w->mnuCheckForNewMessagesAllAccounts_Click(); }},
        {QStringLiteral("mnuTalkDate_Click"), [w] { w->mnuTalkDate_Click(); }},
        {QStringLiteral("mnuTalkTime_Click"), [w] { w->mnuTalkTime_Click(); }},
        {QStringLiteral("mnuTalkClipboard_Click"), [w] { w->mnuTalkClipboard_Click(); }},
        {QStringLiteral("mnuPlayWavFile_Click"), [w] { w->mnuPlayWavFile_Click(); }},
        {QStringLiteral("mnuReadTextFile_Click"), [w] { w->mnuReadTextFile_Click(); }},
        {QStringLiteral("mnuStopTalking_Click"), [w] { w->mnuStopTalking_Click(); }},
        {QStringLiteral("mnuSkipMessage_Click"), [w] { w->mnuSkipMessage_Click(); }},
    };
}

void registerHooks()
{
    ShellHooks &shell = ShellHooks::instance();
    shell.openOptions = [](QWidget *parent, MUScripting *engine, LogPtr log, const QString &page) {
        FOptions::ShowOptions(parent, engine, log, page);
    };
    shell.applyOptionsAtStart = [](MUScripting *engine, LogPtr log) { FOptions::ApplyAtStart(engine, log); };
    shell.isSpam = [](MUScripting *engine, const QString &text) {
        return engine && AntiSpam::IsSpam(engine->settings(), text);
    };
    shell.registerVoiceCommands = [](FMain *w) {
        VoiceCommands::RegisterVoiceCommands(w->talker(), settingsOf(w), w->log());
        VoiceCommands::VoiceCommandsShowHide(w->log(), w->talker(), settingsOf(w));
    };
    shell.voiceCommandsShowHide = [](FMain *w, bool talking) {
        VoiceCommands::VoiceCommandsShowHide(w->log(), w->talker(), settingsOf(w), talking);
    };
    shell.voiceCommand = [](FMain *w, const AgentUserInput &input) {
        VoiceCommands::Dispatch(w->log(), input, commandsOf(w));
    };
    shell.timeAnnouncement = [](FMain *w) {
        TimeAnnouncement::Tick(w->log(), w->talker(), settingsOf(w), [w] { w->mnuTalkTime_Click(); });
    };
    shell.startProgram = [](const QString &commandLine) { return EmailProgram::Start(commandLine); };

    OptionsHooks &options = OptionsHooks::instance();
    options.showMessage = [](QWidget *, const QString &prompt, int style) { return ShellMessage::Show(prompt, style); };
    options.openHelp = [](const QString &topic) {
        QString page = Paths::FindShared(QStringLiteral("help/") + topic + QStringLiteral(".html"));
        if (page.isEmpty())
            page = Paths::FindShared(QStringLiteral("help/index.html"));
        if (!page.isEmpty())
            ShellHooks::instance().openUrl(QUrl::fromLocalFile(page));
    };
}

/// Registered before main runs; this file is linked into the program itself, so the
/// object is never dropped by the linker.
struct Registration {
    Registration() { registerHooks(); }
};
const Registration registration;

}
