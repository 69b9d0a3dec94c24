#include "ListeningKey.h"
#include "PortalShortcut.h"
#include "X11Connection.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QGuiApplication>
#include <xcb/xcb.h>
#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {
xcb_window_t rootWindow(xcb_connection_t *c)
{
    const xcb_setup_t *setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    return it.rem ? it.data->root : XCB_NONE;
}

bool waylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland")
           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

/// The key code that gives `keysym` without modifiers or with Shift; 0 when none does.
quint32 keycodeOf(xcb_connection_t *c, quint32 keysym)
{
    const xcb_setup_t *setup = xcb_get_setup(c);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> mapping(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, uint8_t(count)), nullptr),
        &std::free);
    if (!mapping)
        return 0;
    const xcb_keysym_t *keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int perCode = mapping->keysyms_per_keycode;
    for (int i = 0; i < count; ++i) {
        for (int j = 0; j < perCode && j < 2; ++j) {
            if (keysyms[i * perCode + j] == keysym)
                return quint32(setup->min_keycode + i);
        }
    }
    return 0;
}
}

const QList<ListeningKey::Choice> &ListeningKey::Choices()
{
    static const QList<Choice> choices = {
        {QString(), QStringLiteral("None"), 0},
        {QStringLiteral("Scroll_Lock"), QStringLiteral("Scroll Lock"), 0xff14},
        {QStringLiteral("Pause"), QStringLiteral("Pause"), 0xff13},
        {QStringLiteral("Menu"), QStringLiteral("Menu"), 0xff67},
        {QStringLiteral("Control_R"), QStringLiteral("Right Ctrl"), 0xffe4},
        {QStringLiteral("Super_R"), QStringLiteral("Right Windows key"), 0xffec},
        {QStringLiteral("F9"), QStringLiteral("F9"), 0xffc6},
        {QStringLiteral("F10"), QStringLiteral("F10"), 0xffc7},
        {QStringLiteral("F11"), QStringLiteral("F11"), 0xffc8},
        {QStringLiteral("F12"), QStringLiteral("F12"), 0xffc9},
    };
    return choices;
}

QString ListeningKey::Unavailable()
{
    // Under Wayland the program runs on XWayland, whose grabs see keys only while one of its
    // own windows has the focus: the desktop portal's shortcut is the only global key.
    if (waylandSession()) {
        const QString start = QStringLiteral("A listening key is not available in this session (Wayland gives ");
        const QString end = QStringLiteral("). Use \"Listen\" in the tray menu.");
        const QString viaPortal = QStringLiteral("a program a key only through the desktop portal, and ");
        switch (PortalShortcut::Probe(QDBusConnection::sessionBus())) {
        case PortalShortcut::Offer::Offered:
            return {};
        case PortalShortcut::Offer::NoBus:
            return start + QStringLiteral("no program a key of its own") + end;
        case PortalShortcut::Offer::NoPortal:
            return start + viaPortal + QStringLiteral("no portal is running") + end;
        case PortalShortcut::Offer::NoGlobalShortcuts:
            return start + viaPortal + QStringLiteral("this desktop's portal offers no global shortcuts") + end;
        case PortalShortcut::Offer::NoAnswer:
            return start + viaPortal + QStringLiteral("the portal did not answer") + end;
        }
    }
    if (!X11Connection())
        return QStringLiteral("A listening key needs an X11 desktop. Use \"Listen\" in the tray menu.");
    return {};
}

ListeningKey::ListeningKey(QObject *parent) : QObject(parent)
{
    m_releaseDebounce.setSingleShot(true);
    m_releaseDebounce.setInterval(40);
    connect(&m_releaseDebounce, &QTimer::timeout, this, [this] {
        m_down = false;
        Q_EMIT released();
    });
    QCoreApplication::instance()->installNativeEventFilter(this);
}

ListeningKey::~ListeningKey()
{
    ungrab();
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

void ListeningKey::ungrab()
{
    if (xcb_connection_t *c = m_keycode ? X11Connection() : nullptr) {
        xcb_ungrab_key(c, xcb_keycode_t(m_keycode), rootWindow(c), XCB_MOD_MASK_ANY);
        xcb_flush(c);
    }
    m_keycode = 0;
    if (m_portal) {
        // Deleted later: this may run inside one of its signals.
        m_portal->disconnect(this);
        m_portal->deleteLater();
        m_portal = nullptr;
    }
    if (m_down) {
        m_releaseDebounce.stop();
        m_down = false;
        Q_EMIT released();
    }
}

bool ListeningKey::setKey(const QString &name)
{
    if (name == m_name && (m_keycode || name.isEmpty() || (m_portal && m_portal->error().isEmpty())))
        return true;
    ungrab();
    m_name = name;
    m_error.clear();
    if (name.isEmpty())
        return true;
    const auto choice = std::find_if(Choices().cbegin(), Choices().cend(),
                                     [&](const Choice &c) { return c.name == name; });
    if (choice == Choices().cend()) {
        m_error = QStringLiteral("\"%1\" is not a key Murmelo can listen for.").arg(name);
        return false;
    }
    m_error = Unavailable();
    if (!m_error.isEmpty())
        return false;
    if (waylandSession()) {
        bindThroughPortal(choice->name);
        return true;
    }
    xcb_connection_t *c = X11Connection();
    const quint32 keycode = keycodeOf(c, choice->keysym);
    if (!keycode) {
        m_error = QStringLiteral("This keyboard has no %1 key.").arg(choice->caption);
        return false;
    }
    // Any modifiers: Num Lock or Caps Lock being on must not lose the key.
    std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> error(
        xcb_request_check(c, xcb_grab_key_checked(c, 0, rootWindow(c), XCB_MOD_MASK_ANY, xcb_keycode_t(keycode),
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)),
        &std::free);
    if (error) {
        m_error = QStringLiteral("The %1 key is taken by another program.").arg(choice->caption);
        return false;
    }
    m_keycode = keycode;
    return true;
}

void ListeningKey::bindThroughPortal(const QString &trigger)
{
    m_portal = new PortalShortcut(QDBusConnection::sessionBus(), this);
    connect(m_portal, &PortalShortcut::pressed, this, [this] {
        if (!m_down) {
            m_down = true;
            Q_EMIT pressed();
        }
    });
    connect(m_portal, &PortalShortcut::released, this, [this] {
        if (m_down) {
            m_down = false;
            Q_EMIT released();
        }
    });
    connect(m_portal, &PortalShortcut::failed, this, [this](const QString &why) {
        m_error = QStringLiteral("The listening key could not be set up. %1 Choose the key again to retry, or "
                                 "use \"Listen\" in the tray menu.")
                      .arg(why);
        Q_EMIT failed(m_error);
    });
    // The X key names are the XDG shortcut names too.
    m_portal->bind(trigger);
}

bool ListeningKey::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (!m_keycode || eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    const uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    const auto *key = reinterpret_cast<const xcb_key_press_event_t *>(event);
    if (key->detail != m_keycode)
        return false;
    if (type == XCB_KEY_PRESS) {
        if (m_releaseDebounce.isActive()) {
            m_releaseDebounce.stop();
            if (key->time == m_releaseTime)
                return true;   // the keyboard's repeat: still held
            m_down = false;
            Q_EMIT released();
        }
        if (!m_down) {
            m_down = true;
            Q_EMIT pressed();
        }
    } else if (m_down) {
        m_releaseTime = key->time;
        m_releaseDebounce.start();
    }
    return true;
}
