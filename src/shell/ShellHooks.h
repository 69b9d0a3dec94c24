#pragma once
#include "trellis/Log.h"

#include <QString>
#include <QUrl>
#include <functional>

class FMain;
class MUScripting;
class QWidget;
struct AgentUserInput;

/// The places where the dialogs and features built beside the shell plug in (the
/// options dialog, the accounts dialogs, the feedback forms, the anti-spam test, the
/// voice commands, the time announcement), and the desktop calls a test replaces
/// (opening an address, starting a program). Each has a working default. Parts of the
/// program set them once before the start-up runs (a static registration object in
/// their own source is enough). Main thread.
class ShellHooks
{
public:
    enum class FeedbackForm { AskQuestion, MakeSuggestion, ReportBug, SendTestimonial };

    static ShellHooks &instance();

    /// Options dialog, modal; `page` is the key of the page to select ("" for the first).
    std::function<void(QWidget *parent, MUScripting *engine, LogPtr log, const QString &page)> openOptions;
    /// Applies the stored options at start (the options dialog's silent initialisation).
    std::function<void(MUScripting *engine, LogPtr log)> applyOptionsAtStart;
    /// Accounts dialog, modal.
    std::function<void(QWidget *parent, MUScripting *engine, LogPtr log)> openAccounts;
    /// One of the feedback forms, modal.
    std::function<void(FeedbackForm form, QWidget *parent, LogPtr log)> openFeedback;
    /// The anti-spam test of a message's subject and text.
    std::function<bool(MUScripting *engine, const QString &text)> isSpam;
    /// Registers the character's voice commands (after every character load).
    std::function<void(FMain *window)> registerVoiceCommands;
    /// Shows the voice commands that fit the talking state.
    std::function<void(FMain *window, bool talking)> voiceCommandsShowHide;
    /// Runs the command the user chose by voice or from the character's menu.
    std::function<void(FMain *window, const AgentUserInput &input)> voiceCommand;
    /// The time-announcement tick; the default says the time.
    std::function<void(FMain *window)> timeAnnouncement;
    /// Opens an address in the desktop's handler; false when none took it.
    std::function<bool(const QUrl &url)> openUrl;
    /// Starts a stored command line without a shell; returns "" or why it failed.
    std::function<QString(const QString &commandLine)> startProgram;

    /// Every hook back to its default.
    void reset();

private:
    ShellHooks();
};
