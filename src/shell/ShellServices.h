#pragma once
#include "trellis/Log.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

class CCheckMB;
class FAddAccount;
class FMain;
class MUScripting;
class QWidget;
struct AgentUserInput;

/// What the windows of the program reach beyond themselves: the dialogs and features
/// built beside the shell (the options dialog, the accounts dialog, the feedback forms,
/// the anti-spam test, the voice commands, the time announcement), the message box, and
/// the desktop calls a test replaces (opening an address, starting a program). Made once
/// by the program's main and handed to the windows, which keep a reference; a test hands
/// in its own. Each entry has a working default. Main thread.
class ShellServices
{
public:
    enum class FeedbackForm { AskQuestion, MakeSuggestion, ReportBug, SendTestimonial };

    ShellServices();
    // The defaults refer to the object itself.
    ShellServices(const ShellServices &) = delete;
    ShellServices &operator=(const ShellServices &) = delete;

    /// The program's one message box (see ShellMessage for the values); an empty
    /// `title` gives the product name.
    int message(const QString &prompt, int buttons = 0, const QString &title = {}) const;
    /// Answers the boxes instead of showing them (tests); empty: the real box.
    std::function<int(const QString &prompt, int buttons, const QString &title)> respond;

    /// Options dialog, modal; `page` is the key of the page to select ("" for the first).
    std::function<void(QWidget *parent, MUScripting *engine, LogPtr log, const QString &page)> openOptions;
    /// Applies the stored options at start (the options dialog's silent initialisation).
    std::function<void(MUScripting *engine, LogPtr log)> applyOptionsAtStart;
    /// Accounts dialog, modal.
    std::function<void(QWidget *parent, MUScripting *engine, LogPtr log)> openAccounts;
    /// One of the feedback forms, modal.
    std::function<void(FeedbackForm form, QWidget *parent, LogPtr log)> openFeedback;
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

    /// Shows the account form modally; true when the user left it with OK (empty: exec).
    std::function<bool(FAddAccount &form)> runAccountForm;
    /// Picks one of `entries`: its 1-based position, 0 when cancelled (empty: a list box).
    std::function<int(const QStringList &entries, QWidget *owner)> chooseOne;
    /// Where the Thunderbird profiles are looked for (empty: ~/.thunderbird).
    QString thunderbirdDir;
    /// Prepares every checker the account form makes (a resolver, limits).
    std::function<void(CCheckMB &checker)> setUpChecker;
};

// The parts built beside the shell plug themselves in; defined with the program's sources.
void installOptions(ShellServices &services);
void installFeedback(ShellServices &services);
