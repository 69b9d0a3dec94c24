#pragma once
#include "trellis/Log.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

class AgentControl;
class CTalker;
#include "FMain.h"
class InstanceLock;
class MUScripting;
class QMenu;
class ReceiverManager;
class Record;
class ShellServices;

/// Owns the life of the program: the start-up in its fixed order (log, component
/// check, single-instance lock, the engine, the tray icon, the character check, the
/// main window), the tray icon with its menu and "new mail" animation, and both ways
/// out. Never shown. Main thread; owns the engine, the agent control and the window.
class FSplash : public QObject
{
    Q_OBJECT
public:
    static constexpr int AnimationIntervalMs = 25;
    /// The tray animates for about a minute after the last new message, then holds the
    /// envelope still until clicked: a tray icon redrawn 40 times a second for hours keeps
    /// the program and the desktop's panel awake.
    static constexpr int AnimationTicks = 60000 / AnimationIntervalMs;

    /// What a test or the demo changes about the start-up.
    struct Options
    {
        /// Where characters are looked for, in order (default: the user's, then the bundled folder).
        QStringList characterFolders;
        /// Whether the desktop has a tray (default: ask the platform).
        std::optional<bool> trayAvailable;
        /// The agent control (default: a windowed one with the sound MURMELO_AUDIO chooses).
        std::function<std::unique_ptr<AgentControl>()> makeAgent;
        /// Called after the engine started and before the main window is made (the demo adds its account).
        std::function<void(MUScripting *engine)> afterEngineInit;
    };

    /// `services`: what the windows reach beyond themselves; outlives the start-up.
    explicit FSplash(ShellServices &services, Options options = {}, QObject *parent = nullptr);
    ~FSplash() override;

    /// Runs the start-up. False when the program must end now (exitCode() says how).
    bool Start();
    /// Tears everything down: the main window, the engine, the tray icon, the lock.
    /// After an Exit command (finished()) once the event loops have returned; the
    /// destructor calls it too.
    void Unload();
    int exitCode() const { return m_exitCode; }

    FMain *mainWindow() const { return moFMain; }
    MUScripting *scripting() const { return moScripting.get(); }
    CTalker *talker() const { return m_talker; }
    AgentControl *agent() const { return Agent1.get(); }
    LogPtr log() const { return m_log; }
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    QMenu *trayMenu() const { return mPopupSys; }
    bool animating() const { return Timer1.isActive(); }
    /// Ends the program as its Exit command does, without bringing anything to the front
    /// (the session is ending or a terminal asked).
    void Terminate();
    int animationFrame() const { return m_frame; }

    /// The tray's "left button up" (also double click): stops the animation, shows the window.
    void trayClicked();
    /// One tick of the tray animation.
    void Timer1_Timer();
    void mnuAbout_Click();
    void mnuShow_Click();
    /// Tray menu Exit (the first way out).
    void mPopExit_Click();

Q_SIGNALS:
    /// The program is to end with `exitCode`: every event loop must return (the
    /// windows are hidden, the clocks stopped), then Unload() tears down.
    void finished(int exitCode);

private:
    bool CheckCharacter();
    QString findFirstCharacterFile() const;
    bool characterFileExists(const QString &name) const;
    void showDataComponentsPage(const QString &description);
    void addTrayIcon();
    void removeTrayIcon();
    void bringToFront();
    void moReceiverManager_MsgArrived(const Record &msg);
    void moFMain_Unloading();
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void shutDown();
    void trace(const QString &text, const QString &member) const;
    QVariant setting(const QString &key, const QVariant &fallback) const;

    ShellServices &m_services;
    Options m_options;
    LogPtr m_log;
    std::unique_ptr<InstanceLock> m_lock;
    std::unique_ptr<AgentControl> Agent1;
    std::unique_ptr<MUScripting> moScripting;
    std::unique_ptr<CTalker> m_ownTalker;   ///< only while the engine has no talker of its own
    CTalker *m_talker = nullptr;
    QPointer<ReceiverManager> moReceiverManager;
    QPointer<FMain> moFMain;
    QSystemTrayIcon *m_tray = nullptr;
    QMenu *mPopupSys = nullptr;
    QTimer Timer1;
    int m_frame = 0;
    int m_ticksLeft = 0;
    int m_exitCode = 0;
    bool m_ended = false;
};
