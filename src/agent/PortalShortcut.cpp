#include "PortalShortcut.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <algorithm>

namespace {
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
const QString kResponse = QStringLiteral("Response");

/// What BindShortcuts takes and its Response gives back: a(sa{sv}), id and properties.
using Shortcuts = QList<QPair<QString, QVariantMap>>;

/// Unique on this connection: the portal makes our request and session paths of them.
QString nextToken()
{
    static int serial = 0;
    return QStringLiteral("murmelo%1").arg(++serial);
}

/// The session handle is a string in the portal's documents and an object path in some portals.
QString pathOf(const QVariant &v)
{
    return v.metaType() == QMetaType::fromType<QDBusObjectPath>() ? v.value<QDBusObjectPath>().path()
                                                                 : v.toString();
}
}

const QString PortalShortcut::Service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString PortalShortcut::ShortcutId = QStringLiteral("listen");

PortalShortcut::Offer PortalShortcut::Probe(const QDBusConnection &bus, int timeoutMs)
{
    if (!bus.isConnected())
        return Offer::NoBus;
    QDBusMessage get = QDBusMessage::createMethodCall(Service, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kInterface << QStringLiteral("version");
    const QDBusMessage reply = bus.call(get, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return reply.arguments().value(0).value<QDBusVariant>().variant().toUInt() > 0 ? Offer::Offered
                                                                                       : Offer::NoGlobalShortcuts;
    const QDBusError error(reply);
    if (error.type() == QDBusError::ServiceUnknown || error.name().startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn")))
        return Offer::NoPortal;
    if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout || error.type() == QDBusError::TimedOut)
        return Offer::NoAnswer;
    if (error.type() == QDBusError::Disconnected)
        return Offer::NoBus;
    return Offer::NoGlobalShortcuts;
}

PortalShortcut::PortalShortcut(const QDBusConnection &bus, QObject *parent) : QObject(parent), m_bus(bus)
{
    qDBusRegisterMetaType<QPair<QString, QVariantMap>>();
    qDBusRegisterMetaType<Shortcuts>();
    m_timeout.setSingleShot(true);
    m_timeout.setInterval(120000);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        closeObject(m_request, kRequest);   // takes down a dialog the portal may still show
        fail(QStringLiteral("The desktop portal did not answer."));
    });
}

PortalShortcut::~PortalShortcut()
{
    closeObject(m_request, kRequest);
    closeObject(m_session, kSession);
}

QString PortalShortcut::handlePath(const QString &kind, const QString &token) const
{
    const QString sender = m_bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("%1/%2/%3/%4").arg(kPath, kind, sender, token);
}

void PortalShortcut::bind(const QString &trigger)
{
    Q_ASSERT(m_state == State::Idle);
    m_trigger = trigger;
    m_state = State::Creating;
    const QString token = nextToken();
    expect(handlePath(QStringLiteral("request"), token));
    callPortal(QStringLiteral("CreateSession"),
               {QVariantMap{{QStringLiteral("handle_token"), token},
                            {QStringLiteral("session_handle_token"), nextToken()}}});
}

void PortalShortcut::expect(const QString &path)
{
    stopExpecting();
    m_request = path;
    m_bus.connect(Service, path, kRequest, kResponse, this, SLOT(onResponse(uint, QVariantMap)));
    m_timeout.start();
}

void PortalShortcut::stopExpecting()
{
    m_timeout.stop();
    if (!m_request.isEmpty())
        m_bus.disconnect(Service, m_request, kRequest, kResponse, this, SLOT(onResponse(uint, QVariantMap)));
    m_request.clear();
}

void PortalShortcut::callPortal(const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Service, kPath, kInterface, method);
    call.setArguments(args);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_timeout.interval()), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, state = m_state](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        // The Response may come before the reply: then this step is over already.
        if (m_state != state)
            return;
        const QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError()) {
            fail(QStringLiteral("The desktop portal refused the request (%1).").arg(reply.error().message()));
            return;
        }
        // Portals older than the handle tokens choose the request's path themselves.
        if (reply.value().path() != m_request)
            expect(reply.value().path());
    });
}

void PortalShortcut::onResponse(uint response, const QVariantMap &results)
{
    const State state = m_state;
    if (state != State::Creating && state != State::Binding)
        return;
    stopExpecting();
    if (response == 1)
        fail(QStringLiteral("The desktop's shortcut dialog was cancelled."));
    else if (response != 0)
        fail(QStringLiteral("The desktop portal turned the shortcut down."));
    else if (state == State::Creating)
        onSessionCreated(results);
    else
        onShortcutBound(results);
}

void PortalShortcut::onSessionCreated(const QVariantMap &results)
{
    m_session = pathOf(results.value(QStringLiteral("session_handle")));
    if (m_session.isEmpty()) {
        fail(QStringLiteral("The desktop portal gave no shortcut session."));
        return;
    }
    // The desktop may end the session later (the shortcut revoked in its settings, the portal
    // restarted): the key is then gone and must be asked for again.
    m_bus.connect(Service, m_session, kSession, QStringLiteral("Closed"), this, SLOT(onSessionClosed(QVariantMap)));
    m_bus.connect(Service, kPath, kInterface, QStringLiteral("Activated"), this,
                  SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    m_bus.connect(Service, kPath, kInterface, QStringLiteral("Deactivated"), this,
                  SLOT(onDeactivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    m_state = State::Binding;
    const QString token = nextToken();
    expect(handlePath(QStringLiteral("request"), token));
    const Shortcuts shortcuts{
        {ShortcutId, QVariantMap{{QStringLiteral("description"), QStringLiteral("Hold to talk to the character")},
                                 {QStringLiteral("preferred_trigger"), m_trigger}}}};
    callPortal(QStringLiteral("BindShortcuts"),
               {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(shortcuts), QString(),
                QVariantMap{{QStringLiteral("handle_token"), token}}});
}

void PortalShortcut::onShortcutBound(const QVariantMap &results)
{
    // The answer lists the shortcuts the user kept (possibly none); a portal that lists
    // nothing at all is taken at its word that the bind went through.
    const QVariant list = results.value(QStringLiteral("shortcuts"));
    if (list.canConvert<QDBusArgument>()) {
        const auto shortcuts = qdbus_cast<Shortcuts>(list.value<QDBusArgument>());
        if (std::none_of(shortcuts.cbegin(), shortcuts.cend(), [](const auto &s) { return s.first == ShortcutId; })) {
            fail(QStringLiteral("The desktop's shortcut dialog gave the listening shortcut no key."));
            return;
        }
    }
    m_state = State::Bound;
    Q_EMIT bound();
}

void PortalShortcut::onActivated(const QDBusObjectPath &session, const QString &id, qulonglong, const QVariantMap &)
{
    if (m_state != State::Bound || session.path() != m_session || id != ShortcutId || m_down)
        return;
    m_down = true;
    Q_EMIT pressed();
}

void PortalShortcut::onDeactivated(const QDBusObjectPath &session, const QString &id, qulonglong, const QVariantMap &)
{
    if (session.path() != m_session || id != ShortcutId || !m_down)
        return;
    m_down = false;
    Q_EMIT released();
}

void PortalShortcut::onSessionClosed(const QVariantMap &)
{
    if (m_state != State::Bound && m_state != State::Binding)
        return;
    m_bus.disconnect(Service, m_session, kSession, QStringLiteral("Closed"), this, SLOT(onSessionClosed(QVariantMap)));
    m_session.clear();   // closed already: nothing to close
    fail(QStringLiteral("The desktop ended the listening shortcut; choose the key again to ask for it."));
}

void PortalShortcut::fail(const QString &why)
{
    stopExpecting();
    closeObject(m_session, kSession);
    m_session.clear();
    m_state = State::Failed;
    m_error = why;
    if (m_down) {
        m_down = false;
        Q_EMIT released();
    }
    Q_EMIT failed(why);
}

void PortalShortcut::closeObject(const QString &path, const QString &interface)
{
    // Sent without waiting: nothing here depends on the answer.
    if (!path.isEmpty())
        m_bus.send(QDBusMessage::createMethodCall(Service, path, interface, QStringLiteral("Close")));
}
