// The main window's menus, toolbar, list and view, and status bar.
#include "FMain.h"
#include "MessageListModel.h"
#include "MessageView.h"
#include "ShellIcons.h"

#include "engine/MUScripting.h"
#include "trellis/MUError.h"
#include "trellis/ServiceConfig.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

namespace {
/// The classic layout unit: 15 twips to a pixel at 96 dpi.
constexpr int px(int twips) { return twips / 15; }
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
