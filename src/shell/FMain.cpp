#include "FMain.h"
#include "AboutBox.h"
#include "DesktopNotifier.h"
#include "MessageListModel.h"
#include "MessageView.h"
#include "ShellIcons.h"
#include "ShellMessage.h"
#include "ShellServices.h"

#include "AgentControl.h"
#include "AgentRequest.h"
#include "AgentUserInput.h"
#include "engine/MUScripting.h"
#include "receive/ReceiverManager.h"
#include "speech/Announcer.h"
#include "speech/CTalker.h"
#include "storage/AccountManager.h"
#include "storage/CSettings.h"
#include "timing/TimerManager.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Utility.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTableView>
#include <QToolBar>

namespace {
const QString Cls = QStringLiteral("FMain");
/// The classic layout unit: 15 twips to a pixel at 96 dpi.
constexpr int px(int twips) { return twips / 15; }
}

const QString FMain::SpeechPulseId = QStringLiteral("{81AE88EF-AA71-473a-BE0C-03171AB75EB9}");
const QString FMain::TimePulseId = QStringLiteral("{87B53122-9B6B-46c1-8599-0D0A6CA974A3}");
const QString FMain::KeyFirstStart = QStringLiteral("{BEE4E626-A012-4c34-983D-49DD45CC1188}");
const QString FMain::KeyOptionsHint = QStringLiteral("{359038F8-3B24-4cd3-9D7A-883FA01AC672}");
const QString FMain::KeySkipWelcome = QStringLiteral("{DE32BEA2-8FD2-40fc-AB7C-E84136A207F8}");
const QString FMain::KeyWelcomeGesture = QStringLiteral("{392A42CE-A71F-40e6-B710-64891E27B74A}");
const QString FMain::KeyWelcomeMessage = QStringLiteral("{17C0741D-8D14-40c5-AB9C-6FBDA1BD9CB7}");
const QString FMain::KeyTitle = QStringLiteral("{E11F741F-E39F-4f16-9073-91DC90944D2D}");
const QString FMain::KeyName = QStringLiteral("{E19510EA-1982-4bda-B9B9-89B71B7ADF76}");
const QString FMain::KeyTimeOff = QStringLiteral("{AA8A47AE-BCC2-4955-AB8E-F1BC331E4B6A}");
const QString FMain::KeyTimeInterval = QStringLiteral("{EF7423A6-D0AC-482a-A6A1-C1A0FC6B5B8A}");
const QString FMain::KeyShowOnNewMail = QStringLiteral("{0092B80B-62B9-43bd-9E2C-5B56CF181C5B}");
const QString FMain::KeyDesktopNotification = QStringLiteral("{5E0C4A8B-3D2F-4B7A-9C61-2F8D0B7E4A13}");
const QString FMain::KeyTimePhrase = QStringLiteral("{B067431C-D79B-49fb-A320-667122ED08F9}");
const QString FMain::KeyTimePattern = QStringLiteral("{804159BE-0424-4ca8-A08C-9D22212C785C}");
const QString FMain::KeyEmailProgram = QStringLiteral("{BC15E346-F1C0-4c4a-B521-7A583B942133}");

FMain::FMain(ShellServices &services, QWidget *parent)
    : QMainWindow(parent), m_services(services), m_clock([] { return QDateTime::currentDateTime(); })
{
    setObjectName(QStringLiteral("FMain"));
    setWindowTitle(QStringLiteral("Murmelo"));
    setWindowIcon(ShellIcons::application());
    buildMenus();
    buildToolbar();
    buildCentre();
    buildStatusBar();
    SetTalkingState(false);
    resize(px(13500), px(9000));

    // Minimum: every toolbar button plus a margin wide, 4500 twips high.
    setMinimumSize(m_tb->sizeHint().width() + px(180), px(4500));
}


// ---------------------------------------------------------------- helpers

void FMain::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Trace(text, Cls + QLatin1Char('.') + member);
}

QVariant FMain::setting(const QString &key, const QVariant &fallback) const
{
    if (!moScripting || !moScripting->settings())
        return fallback;
    try {
        return moScripting->settings()->GetSetting(key, fallback);
    } catch (const MUError &e) {
        if (m_log)
            m_log->Write(e.number(), e.description(), Log::LevelError, Cls + QStringLiteral(".setting"));
        return fallback;
    }
}

bool FMain::settingBool(const QString &key, bool fallback) const
{
    return Utility::ToBool(setting(key, fallback), fallback);
}

QString FMain::settingText(const QString &key, const QString &fallback) const
{
    return setting(key, fallback).toString();
}

void FMain::talk(const QString &text)
{
    if (moTalker)
        moTalker->Talk(text);
}

QString FMain::headerText(int line) const
{
    switch (line) {
    case 0: return m_txtFrom->text();
    case 1: return m_txtTo->text();
    case 2: return m_txtSubject->text();
    default: return {};
    }
}

QString FMain::panelText(int panel) const
{
    switch (panel) {
    case 1: return m_panel1->text();
    case 2: return m_panel2Text->text();
    case 3: return m_panel3->text();
    default: return {};
    }
}

bool FMain::panel2HasIcon() const
{
    return m_panel2HasIcon;
}

void FMain::setPanel1()
{
    m_panel1->setText(TotalText());
}

void FMain::setPanel2(const QIcon &icon, const QString &text)
{
    m_panel2HasIcon = !icon.isNull();
    m_panel2Icon->setPixmap(icon.isNull() ? QPixmap() : icon.pixmap(16, 16));
    m_panel2Text->setText(text);
}

int FMain::selectedRow() const
{
    const QModelIndexList rows = m_lv->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return -1;
    const QModelIndex current = m_lv->currentIndex();
    if (current.isValid() && m_lv->selectionModel()->isRowSelected(current.row(), {}))
        return current.row();
    return rows.first().row();
}

QStringList FMain::selectedKeys() const
{
    QStringList keys;
    const QModelIndexList rows = m_lv->selectionModel()->selectedRows();
    for (const QModelIndex &i : rows)
        keys << m_model->key(i.row());
    return keys;
}

void FMain::selectRow(int row)
{
    const QModelIndex index = m_model->index(row, 0);
    if (!index.isValid())
        return;
    m_lv->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void FMain::bringToFront()
{
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
}

void FMain::openLink(const QUrl &url)
{
    m_services.openUrl(url);
}

// ---------------------------------------------------------------- start and end

void FMain::Init(LogPtr log, MUScripting *scripting, AgentControl *agent, CTalker *talker)
{
    // The references and the event sources.
    m_log = std::move(log);
    moScripting = scripting;
    m_agent = agent;
    trace(QStringLiteral("Init() call. "), QStringLiteral("Init"));
    moTalker = talker;
    moReceiverManager = scripting ? scripting->receiverManager() : nullptr;
    moTimerManager = scripting ? scripting->timerManager() : nullptr;
    if (m_tools.contains(QStringLiteral("mnuAbout_Click"))) {
        m_tools.value(QStringLiteral("mnuAbout_Click"))->setText(QStringLiteral("About"));
        m_tools.value(QStringLiteral("mnuAbout_Click"))->setToolTip(QStringLiteral("About"));
    }
    if (moScripting)
        connect(moScripting, &MUScripting::MsgArrived, this, &FMain::moScripting_MsgArrived);
    if (moReceiverManager) {
        connect(moReceiverManager, &ReceiverManager::ReceiveStart, this, &FMain::moReceiverManager_ReceiveStart);
        connect(moReceiverManager, &ReceiverManager::ReceiveComplete, this, &FMain::moReceiverManager_ReceiveComplete);
        connect(moReceiverManager, &ReceiverManager::CurrentReceivesCount, this,
                &FMain::moReceiverManager_CurrentReceivesCount);
        connect(moReceiverManager, &ReceiverManager::ErrorOccured, this, &FMain::moReceiverManager_ErrorOccured);
    }
    if (moTalker) {
        connect(moTalker, qOverload<>(&CTalker::StartTalking), this, &FMain::moTalker_StartTalking);
        connect(moTalker, qOverload<>(&CTalker::StopTalking), this, &FMain::moTalker_StopTalking);
        connect(moTalker, &CTalker::Spooled, this, &FMain::moTalker_Spooled);
    }
    if (moTimerManager)
        connect(moTimerManager, &TimerManager::Pulse, this, &FMain::moTimerManager_Pulse);
    if (!m_notifier) {
        m_notifier = new DesktopNotifier(this);
        connect(m_notifier, &DesktopNotifier::openRequested, this, [this](const QString &key) {
            bringToFront();
            const int row = m_model->rowOf(key);
            if (row < 0)
                return;   // deleted since
            selectRow(row);
            m_lv->scrollTo(m_model->index(row, 0));
            ShowSelectedMessage();
        });
    }
    if (m_agent) {
        connect(m_agent, &AgentControl::RequestStart, this, &FMain::Agent1_RequestStart);
        connect(m_agent, &AgentControl::RequestComplete, this, &FMain::Agent1_RequestComplete);
        connect(m_agent, &AgentControl::IdleStart, this, &FMain::Agent1_IdleStart);
        connect(m_agent, &AgentControl::IdleComplete, this, &FMain::Agent1_IdleComplete);
        connect(m_agent, &AgentControl::Move, this, &FMain::Agent1_Move);
        connect(m_agent, &AgentControl::Command, this, &FMain::Agent1_Command);
        // The options page shows it only while open; the log keeps it for later.
        connect(m_agent, &AgentControl::ListeningKeyFailed, this, [this](const QString &why) {
            if (m_log)
                m_log->Write(0, QStringLiteral("The listening key is not available: ") + why, Log::LevelError,
                             Cls + QStringLiteral(".Agent1_ListeningKeyFailed"));
        });
    }

    // The stored messages, newest on top, the first one shown.
    // Read a page at a time as the list scrolls, so a large store opens at once.
    m_model->setStore(moScripting ? moScripting->msgManager() : nullptr);
    setPanel1();
    if (m_model->rowCount() > 0) {
        selectRow(0);
        m_lv->scrollTo(m_model->index(0, 0));
    }
    ShowSelectedMessage();

    // The character, then its voice commands (17) and the stored options (18).
    if (moTalker) {
        moTalker->setScreenSizeProvider([] {
            const QScreen *screen = QGuiApplication::primaryScreen();
            return screen ? screen->availableGeometry().size() : CTalker::DefaultScreenSize;
        });
        try {
            moTalker->LoadAgent();
        } catch (const MUError &e) {
            if (m_log)
                m_log->Write(e.number(), e.description(), Log::LevelError, Cls + QStringLiteral(".Init"));
        }
    }
    m_services.registerVoiceCommands(this);
    m_services.applyOptionsAtStart(moScripting, m_log);

    // The speech pulse (only while something is spooled: an idle program sleeps)
    // and the time announcement.
    if (moTimerManager) {
        if (moTalker && !moTalker->spool().isEmpty())
            moTalker_Spooled();
        if (!settingBool(KeyTimeOff, false))
            moTimerManager->AddTimePulser(TimePulseId, int(Utility::ToInt(setting(KeyTimeInterval, 60), 60)));
    }

    // The per-account menu, then the greeting: a welcome on the first start.
    RebuildCheckThisAccountMenu();
    if (settingBool(KeyFirstStart, true)) {
        talk(MessageTable::Text(120));
    } else {
        Greet();
        bool noAccounts = false;
        try {
            noAccounts = moScripting && moScripting->accountManager() &&
                         moScripting->accountManager()->AccountList().Count() == 0;
        } catch (const MUError &) {
        }
        if (noAccounts) {
            trace(QStringLiteral("No accounts are configured"), QStringLiteral("Init"));
            bringToFront();
            m_services.message(MessageTable::Text(119), ShellMessage::Information);
        }
        if (settingBool(KeyOptionsHint, true))
            talk(MessageTable::Text(121));
    }

    // Checking starts last, once everything that announces mail is ready.
    if (moScripting)
        moScripting->StartDownload();
    trace(QStringLiteral("FMain.Init() Complete"), QStringLiteral("Init"));
}

void FMain::Greet()
{
    if (settingBool(KeySkipWelcome, false))
        return;
    const QString gesture = settingText(KeyWelcomeGesture).trimmed();
    if (!gesture.isEmpty() && moTalker)
        moTalker->PlayGestureSafe(gesture);
    QString text = settingText(KeyWelcomeMessage);
    if (text.isEmpty()) {
        const QString who = (settingText(KeyTitle) + QLatin1Char(' ') + settingText(KeyName)).trimmed();
        text = who.isEmpty() ? QStringLiteral("Hello!") : QStringLiteral("Hello, ") + who + QLatin1Char('!');
    }
    talk(text);
}

void FMain::Finalize()
{
    if (m_finalized)
        return;
    m_finalized = true;
    try {
        if (moTimerManager)
            moTimerManager->StopTiming(QString());
    } catch (const MUError &) {
    }
    if (m_about)
        m_about->close();
    // Nothing of the engine's is touched from here on.
    if (moScripting)
        disconnect(moScripting, nullptr, this, nullptr);
    if (moReceiverManager)
        disconnect(moReceiverManager, nullptr, this, nullptr);
    if (moTalker)
        disconnect(moTalker, nullptr, this, nullptr);
    if (moTimerManager)
        disconnect(moTimerManager, nullptr, this, nullptr);
    if (m_agent)
        disconnect(m_agent, nullptr, this, nullptr);
    moTalker = nullptr;
    moReceiverManager = nullptr;
    moTimerManager = nullptr;
    moScripting = nullptr;
    m_exiting = true;
}

void FMain::closeEvent(QCloseEvent *event)
{
    if (m_exiting || m_finalized) {
        event->accept();
        return;
    }
    event->ignore();
    closeRequested();
}

void FMain::keyPressEvent(QKeyEvent *event)
{
    // Esc hides the window like the close box does (children pass it up unused).
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        closeRequested();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void FMain::closeRequested()
{
    if (!m_quitOnClose) {
        hide();
        return;
    }
    // No tray to come back from: hiding would lose the program.
    if (m_services.message(QStringLiteral("Murmelo has no icon in the notification area on this desktop. Quit Murmelo? "),
                    int(ShellMessage::YesNo) | int(ShellMessage::Question)) == ShellMessage::Yes)
        mnuExit_Click();
}

// ---------------------------------------------------------------- list and view

void FMain::AddMsgToGrid(const Record &msg)
{
    m_model->AddMsg(msg);
}

QString FMain::TotalText() const
{
    const int n = m_model ? m_model->totalCount() : 0;
    return QStringLiteral("Total: ") + QString::number(n) +
           (n == 1 ? QStringLiteral(" message") : QStringLiteral(" messages"));
}

void FMain::ShowSelectedMessage()
{
    int row = selectedRow();
    if (row < 0) {
        if (m_model->rowCount() == 0) {
            m_shownKey.clear();
            m_wbrowser->showBlank();
            m_remoteBar->hide();
            m_txtFrom->clear();
            m_txtTo->clear();
            m_txtSubject->clear();
            return;
        }
        selectRow(0);
        row = 0;
    }
    const QString key = m_model->key(row);
    QString content;
    try {
        if (!moScripting || !moScripting->msgManager())
            return;
        content = moScripting->msgManager()->getMsgContent(key);
    } catch (const MUError &e) {
        if (m_log)
            m_log->Write(e.number(), e.description(), Log::LevelError, Cls + QStringLiteral(".ShowSelectedMessage"));
        return;   // the previous view stays
    }
    m_remoteBar->hide();
    m_wbrowser->showContent(content);
    m_shownKey = key;
    markShownRead();
    const QString from = m_model->text(row, MessageListModel::ColFrom);
    const QString address = MessageListModel::SenderAddress(content);
    m_txtFrom->setText(address.isEmpty() || address.compare(from, Qt::CaseInsensitive) == 0
                           ? from
                           : from.isEmpty() ? address : from + QStringLiteral(" <") + address + QLatin1Char('>'));
    m_txtTo->setText(m_model->text(row, MessageListModel::ColTo));
    m_txtSubject->setText(m_model->text(row, MessageListModel::ColSubject));
    m_txtFrom->setCursorPosition(0);
    m_txtTo->setCursorPosition(0);
    m_txtSubject->setCursorPosition(0);
}

void FMain::markShownRead()
{
    // Only what the user can see counts as shown: the hidden window at start-up does not.
    if (m_shownKey.isEmpty() || !isVisible())
        return;
    markRead(m_shownKey);
}

void FMain::markRead(const QString &key)
{
    const int row = m_model->rowOf(key);
    if (row < 0 || m_model->isRead(row))
        return;
    if (moScripting && moScripting->msgManager())
        moScripting->msgManager()->MarkRead({key});
    m_model->setRead(key);
}

void FMain::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    markShownRead();
}

void FMain::DeleteSelectedMessages(bool noConfirm)
{
    const QStringList keys = selectedKeys();
    if (keys.isEmpty())
        return;
    if (!noConfirm &&
        m_services.message(MessageTable::Text(101), int(ShellMessage::OkCancel) | int(ShellMessage::Exclamation)) != ShellMessage::Ok)
        return;
    if (moScripting && moScripting->msgManager())
        moScripting->msgManager()->Remove(keys);
    m_model->RemoveKeys(keys);
    setPanel1();
    m_lastClickedKey.clear();
    m_lv->clearSelection();
    ShowSelectedMessage();
}

void FMain::onListClicked(const QModelIndex &index)
{
    const QString key = m_model->key(index.row());
    if (key != m_lastClickedKey) {
        ShowSelectedMessage();
        m_lastClickedKey = key;
    }
}

bool FMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_lv) {
        if (event->type() == QEvent::ShortcutOverride) {
            // Delete belongs to the list here, so Shift+Delete can skip the question.
            auto *key = static_cast<QKeyEvent *>(event);
            if (key->key() == Qt::Key_Delete) {
                event->accept();
                return true;
            }
        } else if (event->type() == QEvent::KeyPress) {
            if (static_cast<QKeyEvent *>(event)->key() == Qt::Key_Delete)
                return true;
        } else if (event->type() == QEvent::KeyRelease) {
            auto *key = static_cast<QKeyEvent *>(event);
            if (key->isAutoRepeat())
                return false;
            if (key->key() == Qt::Key_Delete) {
                DeleteSelectedMessages(key->modifiers() == Qt::ShiftModifier);
                return true;
            }
            ShowSelectedMessage();
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------- events

void FMain::moScripting_MsgArrived(const Record &msgIn)
{
    const QString member = QStringLiteral("moScripting_MsgArrived");
    trace(QStringLiteral("moScripting_MsgArrived call"), member);
    Record msg = msgIn;

    AddMsgToGrid(msg);
    ShowSelectedMessage();   // the reader's selection stays; with none the new message shows

    if (settingBool(KeyShowOnNewMail, false))
        bringToFront();

    const Announcer::Announcement announcement = Announcer::Of(moScripting ? moScripting->settings() : nullptr, msg);
    if (!announcement.spam && m_notifier && settingBool(KeyDesktopNotification, true))
        m_notifier->notify(msg.Id(), msg.text(QStringLiteral("From")), msg.text(QStringLiteral("Subject")));
    if (!announcement.sound.isEmpty())
        trace(QStringLiteral("moTalker.PlayWav s, False in moScripting_MsgArrived"), member);
    // The talker may have been let go of while the sound played.
    Announcer::Say(announcement, moTalker, [this] { return moTalker != nullptr; });
    setPanel1();
}

void FMain::moReceiverManager_ReceiveStart()
{
    if (m_notifier)
        m_notifier->beginCheck();
    setPanel2({}, {});
}

void FMain::moReceiverManager_ReceiveComplete()
{
    setPanel2({}, {});
}

void FMain::moReceiverManager_CurrentReceivesCount(int receivesCount)
{
    if (receivesCount > 0)
        setPanel2(ShellIcons::checking(), QStringLiteral("Checking Now..."));
}

void FMain::moReceiverManager_ErrorOccured(qint32 errNumber, const QString &errDescription)
{
    trace(Utility::FormatText(QStringLiteral("moReceiverManager_ErrorOccured(%1, '%2')"),
                              {QString::number(errNumber), errDescription}),
          QStringLiteral("moReceiverManager_ErrorOccured"));
    QString text = errDescription.trimmed();
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    setPanel2(ShellIcons::error(), text);
}

void FMain::moTalker_StartTalking()
{
    trace(QStringLiteral("moTalker_StartTalking() call"), QStringLiteral("moTalker_StartTalking"));
    SetTalkingState(true);
}

void FMain::moTalker_StopTalking()
{
    trace(QStringLiteral("moTalker_StopTalking() call"), QStringLiteral("moTalker_StopTalking"));
    SetTalkingState(false);
}

void FMain::moTalker_Spooled()
{
    if (moTimerManager && !moTimerManager->IsTiming(SpeechPulseId))
        moTimerManager->AddPulser(SpeechPulseId, 1500);
}

void FMain::moTimerManager_Pulse(const QString &id)
{
    if (id == SpeechPulseId) {
        if (!moTalker)
            return;
        moTalker->TalkFromSpool();
        // A run that returns with nothing left (and is not itself nested in a run further
        // up) lets the pulse sleep until the next text is spooled.
        if (moTimerManager && moTalker && moTalker->spool().isEmpty() && !moTalker->Talking())
            moTimerManager->StopTiming(SpeechPulseId);
    } else if (id == TimePulseId) {
        m_services.timeAnnouncement(this);
    }
}

void FMain::Agent1_RequestStart(AgentRequest *)
{
    trace(QStringLiteral("Agent1_RequestStart() call"), QStringLiteral("Agent1_RequestStart"));
    SetTalkingState(true);
}

void FMain::Agent1_RequestComplete(AgentRequest *)
{
    trace(QStringLiteral("Agent1_RequestComplete() call"), QStringLiteral("Agent1_RequestComplete"));
    SetTalkingState(false);
}

void FMain::Agent1_IdleStart(const QString &)
{
    trace(QStringLiteral("Agent1_IdleStart() call"), QStringLiteral("Agent1_IdleStart"));
}

void FMain::Agent1_IdleComplete(const QString &)
{
    trace(QStringLiteral("Agent1_IdleComplete() call"), QStringLiteral("Agent1_IdleComplete"));
}

void FMain::Agent1_Move(const QString &, int x, int y, int)
{
    if (!moScripting || !moScripting->settings())
        return;
    try {
        moScripting->settings()->SaveSetting(CTalker::KeyLeft, x);
        moScripting->settings()->SaveSetting(CTalker::KeyTop, y);
    } catch (const MUError &e) {
        if (m_log)
            m_log->Write(e.number(), e.description(), Log::LevelError, Cls + QStringLiteral(".Agent1_Move"));
    }
}

void FMain::Agent1_Command(const AgentUserInput &input)
{
    m_services.voiceCommand(this, input);
}
