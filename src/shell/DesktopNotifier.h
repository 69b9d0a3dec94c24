#pragma once
#include <QObject>
#include <QStringList>

/// New-mail notifications through the desktop's notification server
/// (org.freedesktop.Notifications on the session bus). The messages of one check share
/// one notification, replaced as they arrive; its "Open" action asks for the message
/// last announced in it. Calls never block: with no server nothing is shown. Main thread.
class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    static const QString Service;
    static const QString Path;
    /// The desktop entry the server attributes notifications to.
    static const QString DesktopEntry;

    explicit DesktopNotifier(QObject *parent = nullptr);

    /// A check begins: its first message opens a notification of its own.
    void beginCheck();
    /// Announces `msgId` (sender and subject), replacing this check's notification.
    void notify(const QString &msgId, const QString &sender, const QString &subject);
    /// The server's id of this check's notification; 0 before the server answered.
    uint notificationId() const { return m_id; }

Q_SIGNALS:
    /// The user chose "Open" (or clicked the notification).
    void openRequested(const QString &msgId);

private Q_SLOTS:
    void onActionInvoked(uint id, const QString &action);
    void onClosed(uint id, uint reason);

private:
    void send();

    bool m_enabled = false;   ///< there is a session bus to ask
    uint m_id = 0;
    bool m_pending = false;   ///< a Notify call is on its way
    bool m_again = false;     ///< changed meanwhile: send once the id is known
    int m_count = 0;
    QString m_msgId;
    QStringList m_lines;
    quint64 m_batch = 0;
};
