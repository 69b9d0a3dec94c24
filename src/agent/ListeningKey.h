#pragma once
#include <QAbstractNativeEventFilter>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class PortalShortcut;

/// A key held anywhere on the desktop to talk to the character: a passive grab of the key
/// on the X11 root window, or in a Wayland session the desktop portal's global shortcut (the
/// key is then suggested to the desktop, which may ask the user). Where neither can be had,
/// `Unavailable()` says why and the tray's "Listen" item is the way. Main thread.
class ListeningKey : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT
public:
    struct Choice
    {
        QString name;      ///< stored in the settings: the X key name ("Scroll_Lock"), empty for none
        QString caption;   ///< shown on the options page
        quint32 keysym;
    };
    /// The keys offered, "None" first.
    static const QList<Choice> &Choices();
    static QString DefaultKey() { return QStringLiteral("Scroll_Lock"); }
    /// Empty when a key can be had in this session, otherwise why not (for the options page).
    /// In a Wayland session it asks the desktop portal, waiting a few seconds at most.
    static QString Unavailable();

    explicit ListeningKey(QObject *parent = nullptr);
    ~ListeningKey() override;

    /// Grabs the key named `name` (one of Choices(); empty releases any grab). False, with
    /// error() saying why, when the key cannot be had (another program holds it, no X11).
    /// Through the portal the answer comes later: true now, failed() if the desktop refuses.
    bool setKey(const QString &name);
    QString key() const { return m_name; }
    QString error() const { return m_error; }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

Q_SIGNALS:
    /// The key went down (once per hold: the keyboard's repeat is not reported).
    void pressed();
    /// The key came up.
    void released();
    /// The key accepted by setKey() could not be had after all; error() says the same.
    void failed(const QString &why);

private:
    void ungrab();
    void bindThroughPortal(const QString &trigger);

    QString m_name;
    QString m_error;
    quint32 m_keycode = 0;
    PortalShortcut *m_portal = nullptr;
    bool m_down = false;
    quint32 m_releaseTime = 0;
    /// The keyboard's repeat sends a release and a press with the same time: a release is
    /// reported only when no such press follows at once.
    QTimer m_releaseDebounce;
};
