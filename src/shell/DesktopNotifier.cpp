#include "DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QVariantMap>

const QString DesktopNotifier::Service = QStringLiteral("org.freedesktop.Notifications");
const QString DesktopNotifier::Path = QStringLiteral("/org/freedesktop/Notifications");
const QString DesktopNotifier::DesktopEntry = QStringLiteral("io.github.murmelo.Murmelo");

namespace {
constexpr int MaxLines = 5;

/// A desktop session names its bus (or has the user bus socket). Without either, asking for
/// the session bus would have libdbus autolaunch a daemon of its own that outlives us.
bool sessionBusExpected()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}
const QString OpenAction = QStringLiteral("open");
const QString DefaultAction = QStringLiteral("default");
}

DesktopNotifier::DesktopNotifier(QObject *parent) : QObject(parent), m_enabled(sessionBusExpected())
{
    if (!m_enabled)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.connect(Service, Path, Service, QStringLiteral("ActionInvoked"), this, SLOT(onActionInvoked(uint, QString)));
    bus.connect(Service, Path, Service, QStringLiteral("NotificationClosed"), this, SLOT(onClosed(uint, uint)));
}

void DesktopNotifier::beginCheck()
{
    m_id = 0;
    m_count = 0;
    m_lines.clear();
    m_again = false;
    ++m_batch;   // a reply still on its way belongs to the check before
    m_pending = false;
}

void DesktopNotifier::notify(const QString &msgId, const QString &sender, const QString &subject)
{
    m_msgId = msgId;
    ++m_count;
    const QString shownSubject = subject.trimmed().isEmpty() ? QStringLiteral("(no subject)") : subject.trimmed();
    m_lines.prepend(sender.trimmed() + QStringLiteral(": ") + shownSubject);
    if (m_lines.size() > MaxLines)
        m_lines.removeLast();
    if (m_pending) {
        // Replacing needs the id of the first: one more call when it is known.
        m_again = true;
        return;
    }
    send();
}

void DesktopNotifier::send()
{
    if (!m_enabled)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QString summary;
    QString body;
    if (m_count == 1) {
        summary = QStringLiteral("New mail from ") + m_lines.first().section(QStringLiteral(": "), 0, 0);
        body = m_lines.first().section(QStringLiteral(": "), 1);
    } else {
        summary = QStringLiteral("%1 new messages").arg(m_count);
        body = m_lines.join(QLatin1Char('\n'));
    }
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("category"), QStringLiteral("email.arrived"));
    hints.insert(QStringLiteral("desktop-entry"), DesktopEntry);
    // Servers that read markup in the body would take "<a@b>" for a tag.
    call << QStringLiteral("Murmelo") << m_id << QStringLiteral("murmelo") << summary << body.toHtmlEscaped()
         << QStringList{DefaultAction, QStringLiteral("Open"), OpenAction, QStringLiteral("Open")} << hints
         << qint32(-1);
    m_pending = true;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, batch = m_batch] {
        watcher->deleteLater();
        if (batch != m_batch)
            return;
        m_pending = false;
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            m_again = false;   // no server: nothing to replace
            return;
        }
        m_id = reply.value();
        if (m_again) {
            m_again = false;
            send();
        }
    });
}

void DesktopNotifier::onActionInvoked(uint id, const QString &action)
{
    if (id == 0 || id != m_id || (action != OpenAction && action != DefaultAction))
        return;
    Q_EMIT openRequested(m_msgId);
}

void DesktopNotifier::onClosed(uint id, uint)
{
    // Once closed it cannot be replaced: the next message opens a new one.
    if (id != 0 && id == m_id)
        beginCheck();
}
