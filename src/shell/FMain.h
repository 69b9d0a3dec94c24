#pragma once
#include "trellis/Log.h"
#include "trellis/Record.h"

#include <QDateTime>
#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <functional>

class AboutBox;
class DesktopNotifier;
class AgentControl;
class AgentRequest;
class CTalker;
class MUScripting;
class MessageListModel;
class MessageView;
class QLabel;
class QLineEdit;
class QMenu;
class QSplitter;
class QTableView;
class QToolBar;
class ReceiverManager;
class ShellServices;
class TimerManager;
struct AgentUserInput;

/// The main window: the list of downloaded messages, the selected one shown below
/// it, and every command of the menus and the toolbar; it also handles what the
/// engine, the receiver manager, the talker, the timer manager and the character
/// report. Created hidden by the start-up; hides instead of closing. Main thread;
/// holds references to the engine's objects, owns none of them.
class FMain : public QMainWindow
{
    Q_OBJECT
public:
    static const QString SpeechPulseId;
    static const QString TimePulseId;
    static const QString KeyFirstStart;
    static const QString KeyOptionsHint;
    static const QString KeySkipWelcome;
    static const QString KeyWelcomeGesture;
    static const QString KeyWelcomeMessage;
    static const QString KeyTitle;
    static const QString KeyName;
    static const QString KeyTimeOff;
    static const QString KeyTimeInterval;
    static const QString KeyShowOnNewMail;
    /// A desktop notification for each new message that is not spam (on unless switched off).
    static const QString KeyDesktopNotification;
    static const QString KeyTimePhrase;
    static const QString KeyTimePattern;
    static const QString KeyEmailProgram;

    /// `services`: what the window reaches beyond itself; outlives the window.
    explicit FMain(ShellServices &services, QWidget *parent = nullptr);
    ~FMain() override;

    /// The window's half of the start-up. `talker`: the engine's voice (null: none).
    void Init(LogPtr log, MUScripting *scripting, AgentControl *agent, CTalker *talker);
    /// Stops every clock and lets go of the engine's objects (exit).
    void Finalize();

    void AddMsgToGrid(const Record &msg);
    QString TotalText() const;
    void ShowSelectedMessage();
    void DeleteSelectedMessages(bool noConfirm);
    void ReadSelected(bool withContent);
    QString DatePhrase() const;
    QString TimePhrase() const;
    void RebuildCheckThisAccountMenu();
    void SetTalkingState(bool talking);
    /// The greeting of the start-up (skipped when the user said so).
    void Greet();
    void ShowAbout();

    /// The clock the date and time phrases read (tests inject one).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    /// With no tray to come back from, closing the window asks whether to quit.
    void setQuitOnClose(bool on) { m_quitOnClose = on; }
    /// Brings the window forward (shown if hidden).
    void bringToFront();

    // What the tests and the other windows look at.
    MessageListModel *model() const { return m_model; }
    QTableView *messageList() const { return m_lv; }
    MessageView *view() const { return m_wbrowser; }
    QString headerText(int line) const;   ///< 0 From, 1 To, 2 Subject
    QString panelText(int panel) const;   ///< 1..3
    bool panel2HasIcon() const;
    QAction *menuAction(const QString &name) const { return m_menu.value(name); }
    QAction *toolAction(const QString &key) const { return m_tools.value(key); }
    QMenu *thisAccountMenu() const { return m_thisAccountMenu; }
    QMenu *gridContextMenu() const { return m_gridContext; }
    CTalker *talker() const { return moTalker; }
    MUScripting *scripting() const { return moScripting; }
    AgentControl *agent() const { return m_agent; }
    LogPtr log() const { return m_log; }
    /// Selects exactly row `row` (whatever modifier keys are held) and makes it current.
    void selectRow(int row);
    /// Every command the toolbar and the voice commands name, by key ("mnuTalkDate_Click").
    static const QHash<QString, void (FMain::*)()> &Commands();
    /// The commands run on this window, by key (what the voice commands dispatch to).
    QHash<QString, std::function<void()>> commands();
    /// Runs the command named `key`; nothing for a key that names none.
    void runCommand(const QString &key);

public Q_SLOTS:
    void mnuHide_Click();
    void mnuExit_Click();
    void mnuDelete_Click();
    void mnuDeleteMsgs_Click();
    void mnuTalkDate_Click();
    void mnuTalkTime_Click();
    void mnuReadSelectedMessages_Click();
    void mnuReadSelectedMessagesHeaders_Click();
    void mnuTalkClipboard_Click();
    void mnuPlayWavFile_Click();
    void mnuReadTextFile_Click();
    void mnuSkipMessage_Click();
    void mnuStopTalking_Click();
    void mnuCheckForNewMessagesAllAccounts_Click();
    void mnuCheckForNewMessagesThisAccountA_Click(const QString &accountId);
    void mnuAccounts_Click();
    void mnuOptions_Click();
    void mnuSelectCharacter_Click();
    void mnuStartEmailProgram_Click();
    void mnuHelp_Click();
    void mnuVisitMurmeloHomePage_Click();
    void mnuAskQuestion_Click();
    void mnuMakeSuggestion_Click();
    void mnuReportBug_Click();
    void mnuSendTestimonial_Click();
    void mnuAbout_Click();
    /// Reads a text file aloud (the part of mnuReadTextFile after the file is chosen).
    void ReadTextFile(const QString &fileName);
    /// Plays a sound file (the part of mnuPlayWavFile after the file is chosen).
    void PlayWavFile(const QString &fileName);

    void moScripting_MsgArrived(const Record &msg);
    void moReceiverManager_ReceiveStart();
    void moReceiverManager_ReceiveComplete();
    void moReceiverManager_CurrentReceivesCount(int receivesCount);
    void moReceiverManager_ErrorOccured(qint32 errNumber, const QString &errDescription);
    void moTalker_StartTalking();
    void moTalker_StopTalking();
    void moTimerManager_Pulse(const QString &id);
    /// Wakes the speech pulse for a text just spooled.
    void moTalker_Spooled();
    void Agent1_RequestStart(AgentRequest *request);
    void Agent1_RequestComplete(AgentRequest *request);
    void Agent1_IdleStart(const QString &characterId);
    void Agent1_IdleComplete(const QString &characterId);
    void Agent1_Move(const QString &characterId, int x, int y, int cause);
    void Agent1_Command(const AgentUserInput &input);

Q_SIGNALS:
    /// File > Exit: the start-up form ends the program.
    void Unloading();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildMenus();
    void buildToolbar();
    void buildCentre();
    void buildStatusBar();
    QAction *addMenuAction(QMenu *menu, const QString &name, const QString &caption,
                           const QKeySequence &shortcut, void (FMain::*slot)());
    void setPanel2(const QIcon &icon, const QString &text);
    void setPanel1();
    int selectedRow() const;
    QStringList selectedKeys() const;
    void onListClicked(const QModelIndex &index);
    /// The message in the view counts as read once the window is on show.
    void markShownRead();
    void markRead(const QString &key);
    void openLink(const QUrl &url);
    void closeRequested();
    QVariant setting(const QString &key, const QVariant &fallback) const;
    bool settingBool(const QString &key, bool fallback) const;
    QString settingText(const QString &key, const QString &fallback = {}) const;
    void trace(const QString &text, const QString &member) const;
    void talk(const QString &text);

    ShellServices &m_services;
    LogPtr m_log;
    MUScripting *moScripting = nullptr;
    CTalker *moTalker = nullptr;
    ReceiverManager *moReceiverManager = nullptr;
    TimerManager *moTimerManager = nullptr;
    AgentControl *m_agent = nullptr;

    QToolBar *m_tb = nullptr;
    QTableView *m_lv = nullptr;
    MessageListModel *m_model = nullptr;
    QSplitter *m_split = nullptr;
    QLineEdit *m_txtFrom = nullptr;
    QLineEdit *m_txtTo = nullptr;
    QLineEdit *m_txtSubject = nullptr;
    MessageView *m_wbrowser = nullptr;
    QWidget *m_remoteBar = nullptr;
    QLabel *m_remoteText = nullptr;
    QLabel *m_panel1 = nullptr;
    QLabel *m_panel2Icon = nullptr;
    QLabel *m_panel2Text = nullptr;
    QLabel *m_panel3 = nullptr;
    bool m_panel2HasIcon = false;
    QMenu *m_thisAccountMenu = nullptr;
    QAction *m_noAccountsItem = nullptr;
    QMenu *m_gridContext = nullptr;
    QHash<QString, QAction *> m_menu;    ///< menu items by name
    QHash<QString, QAction *> m_tools;   ///< toolbar buttons by key
    QPointer<AboutBox> m_about;
    DesktopNotifier *m_notifier = nullptr;   ///< child; made by Init

    QLabel *m_emptyHint = nullptr;   ///< over the empty list: what to do
    QString m_shownKey;              ///< the message in the view
    QString m_lastClickedKey;
    std::function<QDateTime()> m_clock;
    bool m_quitOnClose = false;
    bool m_exiting = false;
    bool m_finalized = false;
};
