// The main window's commands: the menus, the toolbar and the voice commands run these.
#include "FMain.h"
#include "AboutBox.h"
#include "MessageListModel.h"
#include "MessageView.h"
#include "ShellMessage.h"
#include "ShellServices.h"
#include "timing/SpokenTime.h"

#include "AgentCharacter.h"
#include "engine/MUScripting.h"
#include "speech/CTalker.h"
#include "storage/AccountManager.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Paths.h"
#include "trellis/ServiceConfig.h"
#include "trellis/Utility.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringDecoder>

namespace {
const QString Cls = QStringLiteral("FMain");
constexpr int MaxTextDocument = 2048;
const QString CRLF = QStringLiteral("\r\n");
}

// ---------------------------------------------------------------- commands

const QHash<QString, void (FMain::*)()> &FMain::Commands()
{
    static const QHash<QString, void (FMain::*)()> commands = {
        {QStringLiteral("mnuCheckForNewMessagesAllAccounts_Click"), &FMain::mnuCheckForNewMessagesAllAccounts_Click},
        {QStringLiteral("mnuTalkDate_Click"), &FMain::mnuTalkDate_Click},
        {QStringLiteral("mnuTalkTime_Click"), &FMain::mnuTalkTime_Click},
        {QStringLiteral("mnuTalkClipboard_Click"), &FMain::mnuTalkClipboard_Click},
        {QStringLiteral("mnuPlayWavFile_Click"), &FMain::mnuPlayWavFile_Click},
        {QStringLiteral("mnuReadTextFile_Click"), &FMain::mnuReadTextFile_Click},
        {QStringLiteral("mnuSkipMessage_Click"), &FMain::mnuSkipMessage_Click},
        {QStringLiteral("mnuStopTalking_Click"), &FMain::mnuStopTalking_Click},
        {QStringLiteral("mnuStartEmailProgram_Click"), &FMain::mnuStartEmailProgram_Click},
        {QStringLiteral("mnuSelectCharacter_Click"), &FMain::mnuSelectCharacter_Click},
        {QStringLiteral("mnuOptions_Click"), &FMain::mnuOptions_Click},
        {QStringLiteral("mnuAccounts_Click"), &FMain::mnuAccounts_Click},
        {QStringLiteral("mnuAbout_Click"), &FMain::mnuAbout_Click},
    };
    return commands;
}

QHash<QString, std::function<void()>> FMain::commands()
{
    QHash<QString, std::function<void()>> bound;
    for (auto it = Commands().cbegin(); it != Commands().cend(); ++it)
        bound.insert(it.key(), [this, slot = it.value()] { (this->*slot)(); });
    return bound;
}

void FMain::runCommand(const QString &key)
{
    if (const auto slot = Commands().value(key))
        (this->*slot)();
}

void FMain::mnuHide_Click()
{
    hide();
}

void FMain::mnuExit_Click()
{
    trace(QStringLiteral("mnuExit_Click() call"), QStringLiteral("mnuExit_Click"));
    hide();
    Q_EMIT Unloading();
}

void FMain::mnuDelete_Click()
{
    DeleteSelectedMessages(false);
}

void FMain::mnuDeleteMsgs_Click()
{
    DeleteSelectedMessages(false);
}

void FMain::mnuTalkDate_Click()
{
    trace(QStringLiteral("mnuTalkDate_Click() call"), QStringLiteral("mnuTalkDate_Click"));
    talk(QStringLiteral("Today is ") + DatePhrase());
}

void FMain::mnuTalkTime_Click()
{
    const QString phrase = settingText(KeyTimePhrase, QStringLiteral("The time now is"));
    talk(phrase + (phrase.isEmpty() ? QString() : QStringLiteral(" ")) + TimePhrase());
}

QString FMain::DatePhrase() const
{
    return SpokenTime::DatePhrase(m_clock().date());
}

QString FMain::TimePhrase() const
{
    return SpokenTime::TimePhrase(m_clock().time(), settingText(KeyTimePattern, QStringLiteral("H:MM")));
}

void FMain::mnuReadSelectedMessages_Click()
{
    ReadSelected(true);
}

void FMain::mnuReadSelectedMessagesHeaders_Click()
{
    ReadSelected(false);
}

void FMain::ReadSelected(bool withContent)
{
    const int row = selectedRow();
    if (row < 0) {
        m_services.message(MessageTable::Text(109), ShellMessage::Exclamation);
        return;
    }
    if (!moScripting || !moScripting->msgManager() || !moTalker)
        return;
    const QString key = m_model->key(row);
    const std::optional<Record> stored = moScripting->msgManager()->GetMsg(key);
    if (!stored)
        return;
    Record msg = *stored;
    if (withContent) {
        markRead(key);
        // What the view shows for this message (the list's selection drives the view).
        if (m_shownKey != key)
            ShowSelectedMessage();
        const QString body = m_wbrowser->visibleText();
        if (!body.trimmed().isEmpty())
            msg.Add(QStringLiteral("Content"), body);
    }
    talk(moTalker->MsgToString(msg, false, withContent) + CRLF + CRLF);
}

void FMain::mnuTalkClipboard_Click()
{
    QString text = QGuiApplication::clipboard()->text();
    if (text.isEmpty())
        text = MessageTable::Text(106);
    talk(text);
}

void FMain::mnuPlayWavFile_Click()
{
    const QString name = QFileDialog::getOpenFileName(this, QStringLiteral("Play WAV File"), QString(),
                                                      QStringLiteral("Sounds (*.wav)"), nullptr,
                                                      QFileDialog::ReadOnly);
    if (!name.isEmpty())
        PlayWavFile(name);
}

void FMain::PlayWavFile(const QString &fileName)
{
    if (Files::FileExists(fileName)) {
        trace(QStringLiteral("moTalker.PlayWav sFileName in mnuPlayWavFile_Click"), QStringLiteral("mnuPlayWavFile_Click"));
        if (moTalker)
            moTalker->PlayWav(fileName, true);
    } else {
        m_services.message(MessageTable::Text(107), ShellMessage::Exclamation);
    }
}

void FMain::mnuReadTextFile_Click()
{
    const QString name = QFileDialog::getOpenFileName(this, QStringLiteral("Read Text Document"), QString(),
                                                      QStringLiteral("Text Documents (*.txt);;All (*)"));
    if (!name.isEmpty())
        ReadTextFile(name);
}

void FMain::ReadTextFile(const QString &fileName)
{
    if (!Files::FileExists(fileName)) {
        m_services.message(MessageTable::Text(108), ShellMessage::Exclamation);
        return;
    }
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        m_services.message(MessageTable::Text(135), ShellMessage::Exclamation);
        return;
    }
    // Only the beginning is read aloud, so only a little more than that is read.
    const QByteArray bytes = file.read(qint64(MaxTextDocument) * 4 + 4096);
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString decoded = utf8.decode(bytes);
    if (utf8.hasError())
        decoded = QString::fromLatin1(bytes);
    const QStringList lines = decoded.split(QRegularExpression(QStringLiteral("\r\n|\n|\r")));
    QString text;
    for (int i = 0; i < lines.size(); ++i) {
        if (i == lines.size() - 1 && lines.at(i).isEmpty())
            break;   // the file's last line end, not an empty line
        text += lines.at(i) + CRLF;
    }
    if (text.size() > MaxTextDocument) {
        text.truncate(MaxTextDocument);
        talk(MessageTable::Text(134));
    }
    talk(text);
}

void FMain::mnuSkipMessage_Click()
{
    if (moTalker)
        moTalker->StopTalking(false);
}

void FMain::mnuStopTalking_Click()
{
    if (!moTalker)
        return;
    moTalker->StopTalking(true);
    if (AgentCharacter *c = moTalker->Character())
        c->Hide(true);
}

void FMain::mnuCheckForNewMessagesAllAccounts_Click()
{
    if (!moScripting)
        return;
    bool noAccounts = false;
    try {
        noAccounts = moScripting->accountManager() && moScripting->accountManager()->AccountList().Count() == 0;
    } catch (const MUError &) {
    }
    if (noAccounts) {
        // A check of nothing would pass in silence: say why and offer the way out.
        if (m_services.message(QStringLiteral("There is no mail account to check yet.\n\nOpen Accounts to add one?"),
                        int(ShellMessage::YesNo) | int(ShellMessage::Question)) == ShellMessage::Yes)
            mnuAccounts_Click();
        return;
    }
    moScripting->CheckForNewMessagesNow();
}

void FMain::mnuCheckForNewMessagesThisAccountA_Click(const QString &accountId)
{
    if (!moScripting || !moScripting->accountManager() || accountId.isEmpty())
        return;
    try {
        const Record account = moScripting->accountManager()->GetAccount(accountId);
        moScripting->CheckForNewMessagesNow(&account);
    } catch (const MUError &e) {
        if (m_log)
            m_log->Write(e.number(), e.description(), Log::LevelError,
                         Cls + QStringLiteral(".mnuCheckForNewMessagesThisAccountA_Click"));
    }
}

void FMain::mnuAccounts_Click()
{
    m_services.openAccounts(this, moScripting, m_log);
    RebuildCheckThisAccountMenu();
}

void FMain::mnuOptions_Click()
{
    m_services.openOptions(this, moScripting, m_log, QString());
}

void FMain::mnuSelectCharacter_Click()
{
    m_services.openOptions(this, moScripting, m_log, QStringLiteral("ucCharacter"));
}

void FMain::mnuStartEmailProgram_Click()
{
    const QString command = settingText(KeyEmailProgram);
    QString why;
    if (command.trimmed().isEmpty())
        why = MessageTable::Text(513);
    else
        why = m_services.startProgram(command);
    if (!why.isEmpty())
        m_services.message(MessageTable::Text(100) + why, ShellMessage::Information);
}

void FMain::mnuHelp_Click()
{
    const QString page = Paths::FindShared(QStringLiteral("help/index.html"));
    if (page.isEmpty()) {
        m_services.message(MessageTable::Text(124), ShellMessage::Exclamation);
        return;
    }
    // Qt opens local pages through xdg-open: without it the reason is that, not the page.
    if (QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty()) {
        m_services.message(MessageTable::Text(124) + QStringLiteral("No program to open web pages was found (xdg-open)."),
                    ShellMessage::Exclamation);
        return;
    }
    if (!m_services.openUrl(QUrl::fromLocalFile(page)))
        m_services.message(MessageTable::Text(124), ShellMessage::Exclamation);
}

void FMain::mnuVisitMurmeloHomePage_Click()
{
    const QString address = ServiceConfig::Text(QStringLiteral("homePage"));
    if (!address.isEmpty())
        m_services.openUrl(QUrl(address));
}

void FMain::mnuAskQuestion_Click()
{
    m_services.openFeedback(ShellServices::FeedbackForm::AskQuestion, this, m_log);
}

void FMain::mnuMakeSuggestion_Click()
{
    m_services.openFeedback(ShellServices::FeedbackForm::MakeSuggestion, this, m_log);
}

void FMain::mnuReportBug_Click()
{
    m_services.openFeedback(ShellServices::FeedbackForm::ReportBug, this, m_log);
}

void FMain::mnuSendTestimonial_Click()
{
    m_services.openFeedback(ShellServices::FeedbackForm::SendTestimonial, this, m_log);
}

void FMain::mnuAbout_Click()
{
    ShowAbout();
}

void FMain::ShowAbout()
{
    if (isHidden())
        bringToFront();
    if (!m_about)
        m_about = new AboutBox(m_services, this);
    m_about->exec();
}

void FMain::RebuildCheckThisAccountMenu()
{
    const QList<QAction *> items = m_thisAccountMenu->actions();
    for (QAction *a : items) {
        if (a != m_noAccountsItem) {
            m_thisAccountMenu->removeAction(a);
            a->deleteLater();
        }
    }
    DataBag accounts;
    try {
        if (moScripting && moScripting->accountManager())
            accounts = moScripting->accountManager()->AccountList();
    } catch (const MUError &e) {
        if (m_log)
            m_log->Write(e.number(), e.description(), Log::LevelError, Cls + QStringLiteral(".RebuildCheckThisAccountMenu"));
    }
    if (accounts.isEmpty()) {
        m_noAccountsItem->setText(MessageTable::Text(110));
        m_noAccountsItem->setData(QString());
        m_noAccountsItem->setEnabled(false);
        m_noAccountsItem->setVisible(true);
        return;
    }
    for (qsizetype i = 1; i <= accounts.Count(); ++i) {
        const Record account = accounts.Item(i).value<Record>();
        QAction *item = m_noAccountsItem;
        if (i > 1) {
            item = m_thisAccountMenu->addAction(QString());
            item->setObjectName(QStringLiteral("mnuCheckForNewMessagesThisAccountA"));
            connect(item, &QAction::triggered, this,
                    [this, item] { mnuCheckForNewMessagesThisAccountA_Click(item->data().toString()); });
        }
        item->setText(Utility::FormatText(MessageTable::Text(111),
                                          {account.text(QStringLiteral("Server")), account.text(QStringLiteral("User"))}));
        item->setData(account.Id());
        item->setVisible(true);
        item->setEnabled(true);
    }
}

void FMain::SetTalkingState(bool talking)
{
    for (const char *key : {"mnuTalkDate_Click", "mnuTalkTime_Click"}) {
        if (QAction *a = m_tools.value(QString::fromLatin1(key)))
            a->setEnabled(!talking);
    }
    for (const char *key : {"mnuStopTalking_Click", "mnuSkipMessage_Click"}) {
        if (QAction *a = m_tools.value(QString::fromLatin1(key)))
            a->setEnabled(talking);
    }
    for (const char *name : {"mnuStopTalking", "mnuSkipMessage"}) {
        if (QAction *a = m_menu.value(QString::fromLatin1(name)))
            a->setEnabled(talking);
    }
    for (const char *name : {"mnuTalkDate", "mnuTalkClipboard", "mnuTalkTime", "mnuReadSelectedMessages",
                             "mnuReadSelectedMessagesHeaders", "mnuReadSelectedMessagesContext",
                             "mnuReadSelectedMessagesHeadersContext", "mnuPlayWavFile", "mnuReadTextFile"}) {
        if (QAction *a = m_menu.value(QString::fromLatin1(name)))
            a->setEnabled(!talking);
    }
    m_services.voiceCommandsShowHide(this, talking);
}
