#pragma once
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

class QDBusObjectPath;

/// A shortcut held anywhere on a Wayland desktop through the desktop portal's global shortcuts
/// (org.freedesktop.portal.GlobalShortcuts): one session holding one shortcut, "listen". The
/// portal answers each request later, with a Response signal on a request object; every such
/// answer is awaited without blocking and for a limited time. Main thread.
class PortalShortcut : public QObject
{
    Q_OBJECT
public:
    static const QString Service;
    static const QString ShortcutId;

    /// Whether the portal on a bus offers global shortcuts (its "version" property).
    enum class Offer { Offered, NoBus, NoPortal, NoGlobalShortcuts, NoAnswer };
    /// Blocks for the portal's answer, at most `timeoutMs` (no event loop runs meanwhile).
    static Offer Probe(const QDBusConnection &bus, int timeoutMs = 3000);

    explicit PortalShortcut(const QDBusConnection &bus, QObject *parent = nullptr);
    /// Closes the session, and the shortcut with it.
    ~PortalShortcut() override;

    /// How long each of the portal's answers is awaited; the bind's answer waits for the user
    /// in the desktop's shortcut dialog.
    void setTimeout(int ms) { m_timeout.setInterval(ms); }
    /// Creates a session and binds the shortcut, suggesting `trigger` (an XDG shortcut such as
    /// "Scroll_Lock"). Call once; ends in exactly one of bound() and failed().
    void bind(const QString &trigger);
    bool isBound() const { return m_state == State::Bound; }
    /// Why the bind failed (a sentence); empty while it runs and once it succeeded.
    QString error() const { return m_error; }

Q_SIGNALS:
    void bound();
    void failed(const QString &why);
    /// The shortcut went down (once per hold) and came up again.
    void pressed();
    void released();

private Q_SLOTS:
    // Slots by name: QtDBus connects bus signals to nothing else.
    void onResponse(uint response, const QVariantMap &results);
    void onActivated(const QDBusObjectPath &session, const QString &id, qulonglong timestamp,
                     const QVariantMap &options);
    void onDeactivated(const QDBusObjectPath &session, const QString &id, qulonglong timestamp,
                       const QVariantMap &options);
    void onSessionClosed(const QVariantMap &details);

private:
    enum class State { Idle, Creating, Binding, Bound, Failed };

    /// Where the portal puts a request or session of ours made with `token`.
    QString handlePath(const QString &kind, const QString &token) const;
    /// Listens for the Response of the request at `path` (before the call that makes it, so that
    /// an early answer is not lost) and starts the time limit.
    void expect(const QString &path);
    void stopExpecting();
    /// Calls `method` of the portal; its reply names the request whose Response answers it.
    void callPortal(const QString &method, const QVariantList &args);
    void onSessionCreated(const QVariantMap &results);
    void onShortcutBound(const QVariantMap &results);
    void fail(const QString &why);
    void closeObject(const QString &path, const QString &interface);

    QDBusConnection m_bus;
    State m_state = State::Idle;
    QString m_trigger;
    QString m_request;   ///< the request whose Response is awaited; empty when none is
    QString m_session;
    QString m_error;
    bool m_down = false;
    QTimer m_timeout;
};
