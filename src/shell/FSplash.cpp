#include "FSplash.h"
#include "ComponentCheck.h"
#include "ConversionProgressWindow.h"
#include "EngineTalker.h"
#include "FMain.h"
#include "InstanceLock.h"
#include "ShellServices.h"
#include "ShellIcons.h"
#include "ShellMessage.h"

#include "AgentWidgetsControl.h"
#include "engine/MUScripting.h"
#include "receive/ReceiverManager.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Paths.h"
#include "trellis/Utility.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QSignalBlocker>
#include <QScreen>
#include <QUrl>

namespace {
const QString Cls = QStringLiteral("FSplash");
const QString KeyAnimateTray = QStringLiteral("{D6795EFA-8EC7-40CE-8A28-34433D2B5AC3}");

}

FSplash::FSplash(ShellServices &services, Options options, QObject *parent)
    : QObject(parent), m_services(services), m_options(std::move(options))
{
    if (m_options.characterFolders.isEmpty()) {
        m_options.characterFolders << Paths::UserCharactersDir();
        const QString bundled = Paths::FindShared(QStringLiteral("chars"));
        if (!bundled.isEmpty())
            m_options.characterFolders << bundled;
    }
    Timer1.setInterval(AnimationIntervalMs);
    connect(&Timer1, &QTimer::timeout, this, &FSplash::Timer1_Timer);
}

FSplash::~FSplash()
{
    Unload();
}

void FSplash::Unload()
{
    Timer1.stop();
    if (moFMain) {
        moFMain->Finalize();
        delete moFMain.data();
        moFMain = nullptr;
    }
    try {
        if (moScripting)
            moScripting->Finalize();
        if (m_ownTalker)
            m_ownTalker->Finalize();
    } catch (const MUError &) {
    }
    removeTrayIcon();
    if (m_lock)
        m_lock->release();
}

void FSplash::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Trace(text, Cls + QLatin1Char('.') + member);
}

QVariant FSplash::setting(const QString &key, const QVariant &fallback) const
{
    if (!moScripting || !moScripting->settings())
        return fallback;
    try {
        return moScripting->settings()->GetSetting(key, fallback);
    } catch (const MUError &) {
        return fallback;
    }
}

bool FSplash::Start()
{
    const QString init = QStringLiteral("Form_Initialize");

    // The log first; everything after writes to it.
    m_log = std::make_shared<Log>();
    const QString state = Paths::StateDir();
    Paths::EnsureDir(state);
    m_log->OpenFiles(state + QStringLiteral("/mu.log"), state + QStringLiteral("/short.log"));
    trace(QStringLiteral("*************"), init);
    trace(QStringLiteral("Start application"), init);
    trace(QStringLiteral("Murmelo ver.") + QStringLiteral(MURMELO_VERSION), init);
    trace(QStringLiteral("System: ") + Utility::GetSystemVersion(), init);

    // The libraries the program needs at run time.
    QString missing;
    if (!ComponentCheck::CheckComponents(missing)) {
        m_services.message(missing, ShellMessage::Critical);
        m_log->Write(0, missing, Log::LevelError, Cls + QLatin1Char('.') + init);
        m_exitCode = 1;
        return false;
    }

    // One running copy per user.
    trace(QStringLiteral("Data components: ") + Utility::GetDataAccessVersions(), init);
    m_lock = std::make_unique<InstanceLock>(InstanceLock::DefaultFolder());
    if (!m_lock->tryLock()) {
        trace(QStringLiteral("Application is already running"), init);
        m_lock->signalRunningInstance();
        m_lock.reset();
        m_exitCode = 0;
        return false;
    }
    connect(m_lock.get(), &InstanceLock::activationRequested, this, &FSplash::mnuShow_Click);

    // The engine, with the character control it speaks through.
    Agent1 = m_options.makeAgent ? m_options.makeAgent() : std::make_unique<AgentWidgetsControl>();
    moScripting = std::make_unique<MUScripting>();
    try {
        // An older database is converted here once; its progress shows until the engine is up.
        const ConversionProgressWindow progress;
        moScripting->Init(m_log, Agent1.get());
    } catch (const MUError &e) {
        m_log->Write(e.number(), e.description() + QStringLiteral(" (") + e.source() + QLatin1Char(')'), Log::LevelFatal,
                     Cls + QLatin1Char('.') + init);
        moScripting.reset();
        if (e.number() == MUError::engineNumber(524)) {
            showDataComponentsPage(e.description());
        } else {
            m_services.message(MessageTable::Text(151), ShellMessage::Critical);
            m_services.openFeedback(ShellServices::FeedbackForm::ReportBug, nullptr, m_log);
        }
        m_lock.reset();
        m_exitCode = 1;
        return false;
    } catch (const std::exception &e) {
        m_log->Write(MUError::Fail, QString::fromLocal8Bit(e.what()), Log::LevelFatal, Cls + QLatin1Char('.') + init);
        moScripting.reset();
        m_services.message(MessageTable::Text(151), ShellMessage::Critical);
        m_services.openFeedback(ShellServices::FeedbackForm::ReportBug, nullptr, m_log);
        m_lock.reset();
        m_exitCode = 1;
        return false;
    }

    // New mail also reaches the splash, which animates the tray icon.
    trace(QStringLiteral("Database: ") + setting(MUScripting::KeyInstallId, QString()).toString(), init);
    moReceiverManager = moScripting->receiverManager();
    if (moReceiverManager)
        connect(moReceiverManager, &ReceiverManager::MsgArrived, this, &FSplash::moReceiverManager_MsgArrived);
    m_talker = EngineTalker(moScripting.get());
    if (!m_talker) {
        m_ownTalker = std::make_unique<CTalker>();
        m_ownTalker->Init(moScripting->settings(), m_log, Agent1.get());
        m_talker = m_ownTalker.get();
    }
    if (m_options.afterEngineInit)
        m_options.afterEngineInit(moScripting.get());

    // The tray icon, then the program to the front.
    const QString load = QStringLiteral("Form_Load");
    trace(QStringLiteral("Form_Load() call"), load);
    addTrayIcon();
    bringToFront();

    // Without a character there is nobody to talk: stop here.
    if (!CheckCharacter()) {
        m_exitCode = 1;
        shutDown();
        Unload();
        return false;
    }
    // A stop signal may have come while a message box was open.
    if (m_ended) {
        Unload();
        return false;
    }

    // The main window and its half of the start-up.
    moFMain = new FMain(m_services);
    connect(moFMain, &FMain::Unloading, this, &FSplash::moFMain_Unloading);
    if (!m_tray) {
        moFMain->setQuitOnClose(true);
        moFMain->show();
    }
    moFMain->Init(m_log, moScripting.get(), Agent1.get(), m_talker);
    if (m_ended) {
        Unload();
        return false;
    }

    bringToFront();
    trace(QStringLiteral("Form_Load() Complete"), load);
    return true;
}

bool FSplash::characterFileExists(const QString &name) const
{
    if (name.trimmed().isEmpty())
        return false;
    for (const QString &folder : m_options.characterFolders) {
        if (!CTalker::CharacterFileIn(folder, name).isEmpty())
            return true;
    }
    return false;
}

QString FSplash::findFirstCharacterFile() const
{
    for (const QString &folder : m_options.characterFolders) {
        const QStringList files = QDir(folder).entryList({QStringLiteral("*.acs")}, QDir::Files, QDir::Name);
        if (!files.isEmpty())
            return files.first();
    }
    return {};
}

bool FSplash::CheckCharacter()
{
    const QString name = setting(CTalker::KeyCharacterName, QStringLiteral("Merlin")).toString();
    if (characterFileExists(name))
        return true;

    const QString any = findFirstCharacterFile();
    trace(Utility::FormatText(QStringLiteral("sAnyoneChar = '%1'. "), {any}), QStringLiteral("Form_Load"));
    const int dot = any.indexOf(QLatin1Char('.'));
    if (any.isEmpty() || dot < 0) {
        m_services.message(MessageTable::Text(127), ShellMessage::Information);
        const QString help = Paths::FindShared(QStringLiteral("help/index.html"));
        if (!help.isEmpty())
            m_services.openUrl(QUrl::fromLocalFile(help).resolved(QUrl(QStringLiteral("#characters"))));
        return false;
    }
    QString replacement = any.left(dot);
    replacement[0] = replacement.at(0).toUpper();
    if (!name.trimmed().isEmpty())
        m_services.message(Utility::FormatText(MessageTable::Text(128), {name, replacement}), ShellMessage::Information);
    try {
        moScripting->settings()->SaveSetting(CTalker::KeyCharacterName, replacement);
    } catch (const MUError &e) {
        m_log->Write(e.number(), e.description(), Log::LevelError, Cls + QStringLiteral(".Form_Load"));
    }
    return true;
}

void FSplash::showDataComponentsPage(const QString &description)
{
    const QString templ = Paths::FindShared(QStringLiteral("help/data-components.html"));
    QString page;
    QFile in(templ);
    if (!templ.isEmpty() && in.open(QIODevice::ReadOnly))
        page = QString::fromUtf8(in.readAll());
    if (page.isEmpty())
        page = QStringLiteral("<html><body><h1>Murmelo cannot open its database</h1><!--DETAILS--></body></html>");
    const QString database = QDir(Paths::DataDir()).absoluteFilePath(QStringLiteral("MU.mdb"));
    const QString details = QStringLiteral("<table class=\"details\"><tr><th>What failed</th><td>%1</td></tr>"
                                           "<tr><th>Database file</th><td><code>%2</code></td></tr>"
                                           "<tr><th>Log file</th><td><code>%3</code></td></tr></table>")
                                .arg(description.toHtmlEscaped(), database.toHtmlEscaped(),
                                     (Paths::StateDir() + QStringLiteral("/mu.log")).toHtmlEscaped());
    page.replace(QStringLiteral("<!--DETAILS-->"), details);

    // The data folder may be the broken part: the filled page goes where it can be written.
    QStringList folders = {Paths::CacheDir(), QDir::tempPath()};
    for (const QString &folder : folders) {
        if (!Paths::EnsureDir(folder))
            continue;
        const QString out = folder + QStringLiteral("/murmelo-database-error.html");
        if (Files::WriteTextFile(out, page)) {
            m_services.openUrl(QUrl::fromLocalFile(out));
            return;
        }
    }
    m_services.message(description, ShellMessage::Critical);
}

void FSplash::addTrayIcon()
{
    const bool available = m_options.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
    if (!available)
        return;
    mPopupSys = new QMenu(QStringLiteral("&SystemTray"));
    mPopupSys->setObjectName(QStringLiteral("mPopupSys"));
    QAction *about = mPopupSys->addAction(QStringLiteral("&About Murmelo..."));
    about->setObjectName(QStringLiteral("mnuAbout"));
    connect(about, &QAction::triggered, this, &FSplash::mnuAbout_Click);
    mPopupSys->addSeparator();
    QAction *check = mPopupSys->addAction(QStringLiteral("&Check Mail"));
    check->setObjectName(QStringLiteral("mnuCheckMail"));
    connect(check, &QAction::triggered, this, [this] {
        if (moFMain)
            moFMain->mnuCheckForNewMessagesAllAccounts_Click();
    });
    // Held on until chosen again, like holding the character's Listen item.
    QAction *listen = mPopupSys->addAction(QStringLiteral("&Listen"));
    listen->setObjectName(QStringLiteral("mnuListen"));
    listen->setCheckable(true);
    connect(listen, &QAction::toggled, this, [this, listen](bool on) {
        if (!Agent1)
            return;
        if (on)
            Agent1->StartListening();
        else
            Agent1->StopListening();
        // Without a recogniser nothing starts: the tick says what really happens.
        const QSignalBlocker block(listen);
        listen->setChecked(Agent1->isListening());
    });
    if (Agent1) {
        connect(Agent1.get(), &AgentControl::ListeningChanged, listen, [listen](bool listening) {
            const QSignalBlocker block(listen);
            listen->setChecked(listening);
        });
    }
    mPopupSys->addSeparator();
    QAction *show = mPopupSys->addAction(QStringLiteral("&Show"));
    show->setObjectName(QStringLiteral("mnuShow"));
    connect(show, &QAction::triggered, this, &FSplash::mnuShow_Click);
    QAction *exit = mPopupSys->addAction(QStringLiteral("&Exit"));
    exit->setObjectName(QStringLiteral("mPopExit"));
    connect(exit, &QAction::triggered, this, &FSplash::mPopExit_Click);

    m_tray = new QSystemTrayIcon(ShellIcons::tray(0), this);
    m_tray->setToolTip(QStringLiteral("Murmelo"));
    m_tray->setContextMenu(mPopupSys);
    connect(m_tray, &QSystemTrayIcon::activated, this, &FSplash::onTrayActivated);
    m_tray->show();
}

void FSplash::removeTrayIcon()
{
    if (m_tray) {
        m_tray->hide();
        delete m_tray;
        m_tray = nullptr;
    }
    delete mPopupSys;
    mPopupSys = nullptr;
}

void FSplash::bringToFront()
{
    if (moFMain && moFMain->isVisible()) {
        moFMain->raise();
        moFMain->activateWindow();
    }
}

void FSplash::onTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
        trayClicked();
        break;
    case QSystemTrayIcon::Context:
        trace(QStringLiteral("iForegroundWindow = ") +
                  QString::number(moFMain ? quint64(moFMain->winId()) : 0, 16).toUpper(),
              QStringLiteral("Form_MouseMove"));
        break;
    default:
        break;
    }
}

void FSplash::trayClicked()
{
    if (m_ended)
        return;
    Timer1.stop();
    if (m_tray)
        m_tray->setIcon(ShellIcons::tray(0));
    mnuShow_Click();
}

void FSplash::Timer1_Timer()
{
    ++m_frame;
    if (m_frame > ShellIcons::AnimationFrames)
        m_frame = 1;
    if (m_tray)
        m_tray->setIcon(ShellIcons::tray(m_frame));
    // Time is up: stop on the first frame, whose envelope still says mail is waiting.
    if (--m_ticksLeft <= 0 && m_frame == 1)
        Timer1.stop();
}

void FSplash::moReceiverManager_MsgArrived(const Record &)
{
    if (Utility::ToBool(setting(KeyAnimateTray, true), true)) {
        m_ticksLeft = AnimationTicks;
        Timer1.start();
    }
}

void FSplash::mnuAbout_Click()
{
    if (m_ended)
        return;
    bringToFront();
    if (moFMain)
        moFMain->ShowAbout();
}

void FSplash::mnuShow_Click()
{
    trace(QStringLiteral("mnuShow_Click() call"), QStringLiteral("mnuShow_Click"));
    if (moFMain && !m_ended)
        moFMain->bringToFront();
}

void FSplash::mPopExit_Click()
{
    trace(QStringLiteral("mPopExit_Click() call"), QStringLiteral("mPopExit_Click"));
    bringToFront();
    shutDown();
}

void FSplash::Terminate()
{
    trace(QStringLiteral("Terminate() call"), QStringLiteral("Terminate"));
    shutDown();
}

void FSplash::moFMain_Unloading()
{
    trace(QStringLiteral("moFMain_Unloading() call"), QStringLiteral("moFMain_Unloading"));
    shutDown();
}

void FSplash::shutDown()
{
    if (m_ended)
        return;
    m_ended = true;
    // Only what is safe from anywhere: this runs inside the tray menu's own click, a
    // message box of the start-up, or the character's wait for its speech. The windows,
    // the tray menu and the engine go in Unload, once every event loop has returned.
    Timer1.stop();
    if (moFMain) {
        moFMain->Finalize();
        moFMain->hide();
    }
    if (m_tray)
        m_tray->hide();
    Q_EMIT finished(m_exitCode);
}
