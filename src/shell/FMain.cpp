#include "FMain.h"
#include "DesktopNotifier.h"
#include "AboutBox.h"
#include "MessageListModel.h"
#include "MessageView.h"
#include "ShellServices.h"
#include "ShellIcons.h"
#include "ShellMessage.h"
#include "SpokenTime.h"

#include "AgentCharacter.h"
#include "AgentControl.h"
#include "AgentRequest.h"
#include "AgentUserInput.h"
#include "engine/MUScripting.h"
#include "receive/ReceiverManager.h"
#include "speech/CTalker.h"
#include "speech/MessageText.h"
#include "storage/AccountManager.h"
#include "storage/CSettings.h"
#include "storage/MsgManager.h"
#include "timing/TimerManager.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Paths.h"
#include "trellis/ServiceConfig.h"
#include "trellis/Utility.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStringDecoder>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

namespace {
const QString Cls = QStringLiteral("FMain");
/// The classic layout unit: 15 twips to a pixel at 96 dpi.
constexpr int px(int twips) { return twips / 15; }
constexpr int MaxTextDocument = 2048;
const QString CRLF = QStringLiteral("\r\n");
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
const QString FMain::KeyNewMailSound = QStringLiteral("{6084A00F-A059-4a3d-AFC2-45EA2B0910E4}");
const QString FMain::KeyAnnounceSpam = QStringLiteral("{1F3B209B-9CB2-4ec8-BAEA-E47DC8DDDD68}");
const QString FMain::KeyDesktopNotification = QStringLiteral("{5E0C4A8B-3D2F-4B7A-9C61-2F8D0B7E4A13}");
const QString FMain::KeySpamText = QStringLiteral("{796C844F-5833-4d89-80FD-1D3427E16EB8}");
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

FMain::~FMain() = default;

// ---------------------------------------------------------------- building

QAction *FMain::addMenuAction(QMenu *menu, const QString &name, const QString &caption, const QKeySequence &shortcut,
                              void (FMain::*slot)())
{
    auto *action = menu->addAction(caption);
    action->setObjectName(name);
    if (!shortcut.isEmpty())
        action->setShortcut(shortcut);
    connect(action, &QAction::triggered, this, [this, slot] { (this->*slot)(); });
    m_menu.insert(name, action);
    return action;
}

void FMain::buildMenus()
{
    QMenuBar *bar = menuBar();
    QMenu *file = bar->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("mnuFile"));
    addMenuAction(file, QStringLiteral("mnuHide"), QStringLiteral("&Hide"), {}, &FMain::mnuHide_Click);
    file->addSeparator();
    addMenuAction(file, QStringLiteral("mnuExit"), QStringLiteral("E&xit"), {}, &FMain::mnuExit_Click);

    QMenu *edit = bar->addMenu(QStringLiteral("&Edit"));
    edit->setObjectName(QStringLiteral("mnuEdit"));
    addMenuAction(edit, QStringLiteral("mnuDelete"), QStringLiteral("&Delete"), QKeySequence(Qt::Key_Delete),
                  &FMain::mnuDelete_Click);

    QMenu *talk = bar->addMenu(QStringLiteral("S&ay"));
    talk->setObjectName(QStringLiteral("mnuTalk"));
    addMenuAction(talk, QStringLiteral("mnuTalkDate"), QStringLiteral("Say the &Date"), QKeySequence(Qt::CTRL | Qt::Key_D),
                  &FMain::mnuTalkDate_Click);
    addMenuAction(talk, QStringLiteral("mnuTalkTime"), QStringLiteral("Say the &Time"), QKeySequence(Qt::CTRL | Qt::Key_T),
                  &FMain::mnuTalkTime_Click);
    talk->addSeparator();
    addMenuAction(talk, QStringLiteral("mnuReadSelectedMessages"), QStringLiteral("Read Selected &Message"), {},
                  &FMain::mnuReadSelectedMessages_Click);
    addMenuAction(talk, QStringLiteral("mnuReadSelectedMessagesHeaders"), QStringLiteral("Read Selected Message's &Header"),
                  {}, &FMain::mnuReadSelectedMessagesHeaders_Click);
    talk->addSeparator();
    addMenuAction(talk, QStringLiteral("mnuTalkClipboard"), QStringLiteral("Read &Clipboard"), {},
                  &FMain::mnuTalkClipboard_Click);
    talk->addSeparator();
    addMenuAction(talk, QStringLiteral("mnuPlayWavFile"), QStringLiteral("Play &WAV File..."), {},
                  &FMain::mnuPlayWavFile_Click);
    addMenuAction(talk, QStringLiteral("mnuReadTextFile"), QStringLiteral("Read &Text Document..."), {},
                  &FMain::mnuReadTextFile_Click);
    talk->addSeparator();
    addMenuAction(talk, QStringLiteral("mnuSkipMessage"), QStringLiteral("Skip &Message"), QKeySequence(Qt::CTRL | Qt::Key_K),
                  &FMain::mnuSkipMessage_Click);
    addMenuAction(talk, QStringLiteral("mnuStopTalking"), QStringLiteral("&Stop Talking"), QKeySequence(Qt::CTRL | Qt::Key_S),
                  &FMain::mnuStopTalking_Click);

    QMenu *check = bar->addMenu(QStringLiteral("&Check"));
    check->setObjectName(QStringLiteral("mnuCheck"));
    addMenuAction(check, QStringLiteral("mnuCheckForNewMessagesAllAccounts"),
                  QStringLiteral("&Check for New Messages &All Accounts"), QKeySequence(Qt::Key_F5),
                  &FMain::mnuCheckForNewMessagesAllAccounts_Click);
    m_thisAccountMenu = check->addMenu(QStringLiteral("Check for New Messages &This Account"));
    m_thisAccountMenu->setObjectName(QStringLiteral("mnuCheckForNewMessagesThisAccount"));
    m_noAccountsItem = m_thisAccountMenu->addAction(QStringLiteral("(No Accounts)"));
    m_noAccountsItem->setObjectName(QStringLiteral("mnuCheckForNewMessagesThisAccountA"));
    connect(m_noAccountsItem, &QAction::triggered, this,
            [this] { mnuCheckForNewMessagesThisAccountA_Click(m_noAccountsItem->data().toString()); });
    check->addSeparator();
    addMenuAction(check, QStringLiteral("mnuAccounts"), QStringLiteral("E-mail &Accounts..."), {},
                  &FMain::mnuAccounts_Click);

    QMenu *tools = bar->addMenu(QStringLiteral("&Tools"));
    tools->setObjectName(QStringLiteral("mnuTools"));
    addMenuAction(tools, QStringLiteral("mnuStartEmailProgram"), QStringLiteral("&Start E-mail Program"),
                  QKeySequence(Qt::CTRL | Qt::Key_E), &FMain::mnuStartEmailProgram_Click);
    tools->addSeparator();
    addMenuAction(tools, QStringLiteral("mnuOptions"), QStringLiteral("&Options..."), QKeySequence(Qt::CTRL | Qt::Key_O),
                  &FMain::mnuOptions_Click);

    QMenu *help = bar->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("mnuHelpMain"));
    addMenuAction(help, QStringLiteral("mnuHelp"), QStringLiteral("Murmelo &Help..."), QKeySequence(Qt::Key_F1),
                  &FMain::mnuHelp_Click);
    addMenuAction(help, QStringLiteral("mnuVisitMurmeloHomePage"), QStringLiteral("&Murmelo Home Page"), {},
                  &FMain::mnuVisitMurmeloHomePage_Click);
    // No address configured: no item that would do nothing.
    m_menu.value(QStringLiteral("mnuVisitMurmeloHomePage"))
        ->setVisible(!ServiceConfig::Text(QStringLiteral("homePage")).trimmed().isEmpty());
    help->addSeparator();
    QMenu *contact = help->addMenu(QStringLiteral("&Contact"));
    contact->setObjectName(QStringLiteral("mnuContant"));
    addMenuAction(contact, QStringLiteral("mnuAskQuestion"), QStringLiteral("&Ask a Question..."), {},
                  &FMain::mnuAskQuestion_Click);
    contact->addSeparator();
    addMenuAction(contact, QStringLiteral("mnuMakeSuggestion"), QStringLiteral("&Make a Suggestion..."), {},
                  &FMain::mnuMakeSuggestion_Click);
    addMenuAction(contact, QStringLiteral("mnuReportBug"), QStringLiteral("&Report a Bug..."), {},
                  &FMain::mnuReportBug_Click);
    contact->addSeparator();
    addMenuAction(contact, QStringLiteral("mnuSendTestimonial"), QStringLiteral("&Send Testimonial..."), {},
                  &FMain::mnuSendTestimonial_Click);
    help->addSeparator();
    addMenuAction(help, QStringLiteral("mnuAbout"), QStringLiteral("&About Murmelo..."), {}, &FMain::mnuAbout_Click);

    // The list's right-click menu (never in the menu bar).
    m_gridContext = new QMenu(this);
    m_gridContext->setObjectName(QStringLiteral("mnuGridContext"));
    addMenuAction(m_gridContext, QStringLiteral("mnuReadSelectedMessagesContext"), QStringLiteral("Read Selected &Message"),
                  {}, &FMain::mnuReadSelectedMessages_Click);
    addMenuAction(m_gridContext, QStringLiteral("mnuReadSelectedMessagesHeadersContext"),
                  QStringLiteral("Read Selected Message's &Header"), {}, &FMain::mnuReadSelectedMessagesHeaders_Click);
    m_gridContext->addSeparator();
    addMenuAction(m_gridContext, QStringLiteral("mnuDeleteMsgs"), QStringLiteral("&Delete"), {},
                  &FMain::mnuDeleteMsgs_Click);

}

void FMain::buildToolbar()
{
    m_commands = {
        {QStringLiteral("mnuCheckForNewMessagesAllAccounts_Click"), [this] { mnuCheckForNewMessagesAllAccounts_Click(); }},
        {QStringLiteral("mnuTalkDate_Click"), [this] { mnuTalkDate_Click(); }},
        {QStringLiteral("mnuTalkTime_Click"), [this] { mnuTalkTime_Click(); }},
        {QStringLiteral("mnuSkipMessage_Click"), [this] { mnuSkipMessage_Click(); }},
        {QStringLiteral("mnuStopTalking_Click"), [this] { mnuStopTalking_Click(); }},
        {QStringLiteral("mnuStartEmailProgram_Click"), [this] { mnuStartEmailProgram_Click(); }},
        {QStringLiteral("mnuSelectCharacter_Click"), [this] { mnuSelectCharacter_Click(); }},
        {QStringLiteral("mnuOptions_Click"), [this] { mnuOptions_Click(); }},
        {QStringLiteral("mnuAccounts_Click"), [this] { mnuAccounts_Click(); }},
        {QStringLiteral("mnuAbout_Click"), [this] { mnuAbout_Click(); }},
    };
    struct Button
    {
        const char *caption, *key, *tip;
    };
    static const Button buttons[] = {
        {"Check", "mnuCheckForNewMessagesAllAccounts_Click", "Check for New Messages"},
        {"Date", "mnuTalkDate_Click", "Say the Date"},
        {"Time", "mnuTalkTime_Click", "Say the Time"},
        {"Skip", "mnuSkipMessage_Click", "Skip Message"},
        {"Stop", "mnuStopTalking_Click", "Stop Talking"},
        {"Mail Prog", "mnuStartEmailProgram_Click", "Start E-mail Program"},
        {"Char", "mnuSelectCharacter_Click", "Select Character"},
        {"Options", "mnuOptions_Click", "Options"},
        {"Accounts", "mnuAccounts_Click", "Accounts"},
        {"About", "mnuAbout_Click", "About"},
    };
    m_tb = addToolBar(QStringLiteral("tb"));
    m_tb->setObjectName(QStringLiteral("tb"));
    m_tb->setMovable(false);
    m_tb->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_tb->setIconSize(QSize(24, 24));
    for (const Button &b : buttons) {
        const QString key = QString::fromLatin1(b.key);
        QAction *a = m_tb->addAction(ShellIcons::tool(key), QString::fromLatin1(b.caption));
        a->setObjectName(key);
        a->setToolTip(QString::fromLatin1(b.tip));
        connect(a, &QAction::triggered, this, [this, key] { runCommand(key); });
        m_tools.insert(key, a);
    }
}

void FMain::buildCentre()
{
    m_model = new MessageListModel(this);
    m_lv = new QTableView;
    m_lv->setObjectName(QStringLiteral("lv"));
    m_lv->setModel(m_model);
    m_lv->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_lv->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_lv->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_lv->setShowGrid(false);
    m_lv->setWordWrap(false);
    m_lv->setAlternatingRowColors(true);
    m_lv->verticalHeader()->hide();
    m_lv->verticalHeader()->setDefaultSectionSize(m_lv->fontMetrics().height() + 6);
    m_lv->horizontalHeader()->setHighlightSections(false);
    m_lv->horizontalHeader()->setStretchLastSection(true);
    m_lv->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_lv->setColumnWidth(MessageListModel::ColFrom, px(3000));
    m_lv->setColumnWidth(MessageListModel::ColSubject, px(4000));
    m_lv->setColumnWidth(MessageListModel::ColDate, px(3000));
    m_lv->setColumnWidth(MessageListModel::ColTo, px(3000));
    // Sorted only once a header is clicked; until then the newest stored is on top.
    m_lv->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    m_lv->horizontalHeader()->setSortIndicatorShown(true);
    m_lv->setSortingEnabled(true);
    m_lv->setContextMenuPolicy(Qt::CustomContextMenu);
    m_lv->installEventFilter(this);
    m_model->setAddressLookup([this](const QString &key) {
        try {
            if (moScripting && moScripting->msgManager())
                return MessageListModel::SenderAddress(moScripting->msgManager()->getMsgContent(key));
        } catch (const MUError &) {
        }
        return QString();
    });
    m_emptyHint = new QLabel(QStringLiteral("No messages yet. Add your mailbox with Accounts."));
    m_emptyHint->setObjectName(QStringLiteral("lblEmptyList"));
    m_emptyHint->setAlignment(Qt::AlignCenter);
    m_emptyHint->setWordWrap(true);
    m_emptyHint->setEnabled(false);
    auto *hintLayout = new QVBoxLayout(m_lv->viewport());
    hintLayout->addWidget(m_emptyHint);
    const auto updateHint = [this] { m_emptyHint->setVisible(m_model->rowCount() == 0); };
    connect(m_model, &QAbstractItemModel::rowsInserted, this, updateHint);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, updateHint);
    connect(m_model, &QAbstractItemModel::modelReset, this, updateHint);
    connect(m_lv, &QTableView::clicked, this, &FMain::onListClicked);
    connect(m_lv, &QTableView::doubleClicked, this, [this] { ReadSelected(true); });
    connect(m_lv, &QTableView::customContextMenuRequested, this,
            [this](const QPoint &pos) { m_gridContext->popup(m_lv->viewport()->mapToGlobal(pos)); });

    auto *frame = new QWidget;
    frame->setObjectName(QStringLiteral("fraMessage"));
    auto *frameLayout = new QVBoxLayout(frame);
    frameLayout->setContentsMargins(4, 4, 4, 0);
    auto *headers = new QFormLayout;
    headers->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    headers->setContentsMargins(0, 0, 0, 0);
    headers->setVerticalSpacing(2);
    auto line = [](const char *name) {
        auto *e = new QLineEdit;
        e->setObjectName(QString::fromLatin1(name));
        e->setReadOnly(true);
        e->setFrame(false);
        return e;
    };
    m_txtFrom = line("txtFrom");
    m_txtTo = line("txtTo");
    m_txtSubject = line("txtSubject");
    QFont bold = m_txtSubject->font();
    bold.setBold(true);
    m_txtSubject->setFont(bold);
    headers->addRow(QStringLiteral("From:"), m_txtFrom);
    headers->addRow(QStringLiteral("To:"), m_txtTo);
    headers->addRow(QStringLiteral("Subject:"), m_txtSubject);
    frameLayout->addLayout(headers);

    m_remoteBar = new QWidget;
    m_remoteBar->setObjectName(QStringLiteral("remoteBar"));
    m_remoteBar->setAutoFillBackground(true);
    QPalette pal = m_remoteBar->palette();
    pal.setColor(QPalette::Window, QColor(0xff, 0xf8, 0xe1));
    m_remoteBar->setPalette(pal);
    auto *remoteLayout = new QHBoxLayout(m_remoteBar);
    remoteLayout->setContentsMargins(6, 2, 6, 2);
    m_remoteText = new QLabel(QStringLiteral("Pictures from the Internet are not shown, to protect your privacy."));
    auto *showRemote = new QPushButton(QStringLiteral("Show &Pictures"));
    showRemote->setObjectName(QStringLiteral("cmdShowRemote"));
    remoteLayout->addWidget(m_remoteText, 1);
    remoteLayout->addWidget(showRemote);
    m_remoteBar->hide();
    frameLayout->addWidget(m_remoteBar);

    m_wbrowser = new MessageView;
    m_wbrowser->setObjectName(QStringLiteral("wbrowser"));
    frameLayout->addWidget(m_wbrowser, 1);
    connect(m_wbrowser, &MessageView::linkActivated, this, &FMain::openLink);
    connect(m_wbrowser, &MessageView::remoteContentBlocked, this, [this](int) { m_remoteBar->show(); });
    connect(showRemote, &QPushButton::clicked, this, [this] {
        m_remoteBar->hide();
        m_wbrowser->loadRemoteImages();
    });

    m_split = new QSplitter(Qt::Vertical);
    m_split->setObjectName(QStringLiteral("pSplit"));
    m_split->setChildrenCollapsible(false);
    m_split->addWidget(m_lv);
    m_split->addWidget(frame);
    m_split->setStretchFactor(0, 2);
    m_split->setStretchFactor(1, 3);
    m_lv->setMinimumHeight(px(1800) - px(600));
    frame->setMinimumHeight(px(2330));
    setCentralWidget(m_split);
}

void FMain::buildStatusBar()
{
    QStatusBar *sb = statusBar();
    sb->setObjectName(QStringLiteral("sb"));
    m_panel1 = new QLabel;
    m_panel1->setObjectName(QStringLiteral("panel1"));
    m_panel1->setFixedWidth(px(2000));
    m_panel1->setContentsMargins(4, 0, 4, 0);
    auto *panel2 = new QWidget;
    auto *l2 = new QHBoxLayout(panel2);
    l2->setContentsMargins(4, 0, 4, 0);
    l2->setSpacing(4);
    m_panel2Icon = new QLabel;
    m_panel2Icon->setFixedSize(16, 16);
    m_panel2Text = new QLabel;
    m_panel2Text->setObjectName(QStringLiteral("panel2"));
    l2->addWidget(m_panel2Icon);
    l2->addWidget(m_panel2Text, 1);
    panel2->setMinimumWidth(px(3000));
    m_panel3 = new QLabel;
    m_panel3->setObjectName(QStringLiteral("panel3"));
    sb->addWidget(m_panel1);
    sb->addWidget(panel2);
    sb->addWidget(m_panel3, 1);
    setPanel1();
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

void FMain::runCommand(const QString &key)
{
    const auto it = m_commands.constFind(key);
    if (it != m_commands.cend())
        (*it)();
}

void FMain::openLink(const QUrl &url)
{
    m_services.openUrl(url);
}

// ---------------------------------------------------------------- start and end

void FMain::Init(LogPtr log, MUScripting *scripting, AgentControl *agent, CTalker *talker)
{
    // 14: the references and the event sources.
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
    }

    // 15-16: the stored messages, newest on top, the first one shown.
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

    // 19-20: the speech pulse (only while something is spooled: an idle program sleeps)
    // and the time announcement.
    if (moTimerManager) {
        if (moTalker && !moTalker->spool().isEmpty())
            moTalker_Spooled();
        if (!settingBool(KeyTimeOff, false))
            moTimerManager->AddTimePulser(TimePulseId, int(Utility::ToInt(setting(KeyTimeInterval, 60), 60)));
    }

    // 21-22.
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

    // 23-24.
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

// ---------------------------------------------------------------- commands

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

    QString spamText = msg.text(QStringLiteral("Subject"));
    if (msg.Exists(QStringLiteral("Content")))
        spamText += QLatin1Char(' ') + msg.text(QStringLiteral("Content"));
    const bool spam = m_services.isSpam(moScripting, spamText);
    if (!spam && m_notifier && settingBool(KeyDesktopNotification, true))
        m_notifier->notify(msg.Id(), msg.text(QStringLiteral("From")), msg.text(QStringLiteral("Subject")));

    if (spam) {
        if (settingBool(KeyAnnounceSpam, true)) {
            // Until saved, the notice the Anti-Spam page shows.
            const QString notice = settingText(KeySpamText, QStringLiteral("Spam message has arrived"));
            if (!notice.isEmpty())
                talk(notice);
        }
    } else if (moTalker) {
        const QString sound = settingText(KeyNewMailSound);
        if (!sound.trimmed().isEmpty()) {
            trace(QStringLiteral("moTalker.PlayWav s, False in moScripting_MsgArrived"), member);
            moTalker->PlayWav(sound, false);
        }
        // The talker may have been finalised while the sound played.
        if (moTalker) {
            if (msg.Exists(QStringLiteral("Content"))) {
                // Speak what a reader sees, not the raw message with its headers and markup.
                const QString body = MessageText::PlainText(msg.text(QStringLiteral("Content")));
                Record spoken;
                spoken.setId(msg.Id());
                for (const QString &name : msg.names()) {
                    if (name.compare(QLatin1String("Content"), Qt::CaseInsensitive) != 0)
                        spoken.Add(name, msg.Item(name));
                }
                if (!body.trimmed().isEmpty())
                    spoken.Add(QStringLiteral("Content"), body);
                moTalker->TalkMsg(spoken);
            } else {
                moTalker->TalkMsg(msg);
            }
        }
    }
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
