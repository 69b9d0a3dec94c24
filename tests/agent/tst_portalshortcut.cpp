// The listening key in a Wayland session: the desktop portal's global shortcut, against
// python3-dbusmock's fake portal (portal_template.py) on a session bus of the test's own.
#include "ChildProcess.h"
#include "ListeningKey.h"
#include "PortalShortcut.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QString kPath = u"/org/freedesktop/portal/desktop"_s;

QDBusMessage mockCall(const QString &method, const QVariantList &args = {})
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(PortalShortcut::Service, kPath, u"org.freedesktop.DBus.Mock"_s, method);
    call.setArguments(args);
    return QDBusConnection::sessionBus().call(call);
}

void press(const QString &id, bool down)
{
    const QDBusMessage reply = mockCall(u"Press"_s, {id, down});
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

}

/// Hears the portal's Deactivated itself: once it did, every signal the portal sent before that
/// one has reached its receivers here too (QtDBus delivers a connection's signals in order).
class SeenByTheTest : public QObject
{
    Q_OBJECT
public:
    SeenByTheTest()
    {
        const QString shortcuts = u"org.freedesktop.portal.GlobalShortcuts"_s;
        QDBusConnection::sessionBus().connect(PortalShortcut::Service, kPath, shortcuts, u"Deactivated"_s, this,
                                              SIGNAL(deactivated()));
    }
Q_SIGNALS:
    void deactivated();
};

class TestPortalShortcut : public QObject
{
    Q_OBJECT
    QProcess m_bus;
    QProcess m_portal;

    /// The fake portal with `parameters` (JSON for the template) in place of any earlier one.
    bool startPortal(const QByteArray &parameters = "{}")
    {
        stopPortal();
        QDBusServiceWatcher watcher(PortalShortcut::Service, QDBusConnection::sessionBus(),
                                    QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        m_portal.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_portal.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_portal.start(u"/usr/bin/python3"_s,
                       {u"-m"_s, u"dbusmock"_s, u"--template"_s,
                        qEnvironmentVariable("MURMELO_SOURCE_DIR") + u"/tests/agent/portal_template.py"_s,
                        u"-p"_s, QString::fromLatin1(parameters)});
        return m_portal.waitForStarted(10000) && (registered.count() > 0 || registered.wait(20000));
    }
    void stopPortal()
    {
        QDBusServiceWatcher watcher(PortalShortcut::Service, QDBusConnection::sessionBus(),
                                    QDBusServiceWatcher::WatchForUnregistration);
        QSignalSpy gone(&watcher, &QDBusServiceWatcher::serviceUnregistered);
        stopProcess(m_portal);
        if (QDBusConnection::sessionBus().interface()->isServiceRegistered(PortalShortcut::Service))
            QVERIFY(gone.wait(10000));
    }

    /// Binds "Pause" for `key` on a fresh fake portal; the portal object, once bound.
    PortalShortcut *bindPause(ListeningKey &key)
    {
        if (!startPortal() || !key.setKey(u"Pause"_s))
            return nullptr;
        auto *portal = key.findChild<PortalShortcut *>();
        QSignalSpy bound(portal, &PortalShortcut::bound);
        return bound.wait(10000) ? portal : nullptr;
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QByteArray address = startBus(m_bus);
        QVERIFY2(!address.isEmpty(), "dbus-daemon is missing");
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        QVERIFY2(startPortal(), "python3-dbusmock is missing");
    }
    void cleanupTestCase()
    {
        stopProcess(m_portal);
        stopProcess(m_bus);
    }

    void heldShortcutIsReportedOncePerHold()
    {
        ListeningKey key;
        QVERIFY2(bindPause(key), qPrintable(key.error()));
        const auto asked = qdbus_cast<QVariantMap>(mockCall(u"LastBind"_s).arguments().value(0));
        QCOMPARE(asked.value(u"description"_s).toString(), u"Hold to talk to the character"_s);
        QCOMPARE(asked.value(u"preferred_trigger"_s).toString(), u"Pause"_s);

        QSignalSpy pressed(&key, &ListeningKey::pressed);
        QSignalSpy released(&key, &ListeningKey::released);
        SeenByTheTest seen;
        QSignalSpy deactivated(&seen, &SeenByTheTest::deactivated);
        // Another shortcut of the session is not ours, neither alone nor while ours is held.
        press(u"other"_s, true);
        press(u"other"_s, false);
        QVERIFY(deactivated.wait(5000));
        QCOMPARE(pressed.count(), 0);
        press(u"listen"_s, true);
        press(u"listen"_s, true);   // the same hold
        press(u"other"_s, true);
        press(u"other"_s, false);
        QVERIFY(deactivated.wait(5000));
        QCOMPARE(pressed.count(), 1);
        QCOMPARE(released.count(), 0);
        press(u"listen"_s, false);
        QVERIFY(released.wait(5000));
        QCOMPARE(pressed.count(), 1);
        QCOMPARE(released.count(), 1);

        // Giving the key up while it is held lets go of it.
        press(u"listen"_s, true);
        QVERIFY(pressed.wait(5000));
        QVERIFY(key.setKey(QString()));
        QCOMPARE(released.count(), 2);
    }

    void sessionEndedByTheDesktopLetsGoAndCanBeAskedAgain()
    {
        ListeningKey key;
        PortalShortcut *portal = bindPause(key);
        QVERIFY2(portal, qPrintable(key.error()));
        QSignalSpy pressed(&key, &ListeningKey::pressed);
        QSignalSpy released(&key, &ListeningKey::released);
        QSignalSpy failed(portal, &PortalShortcut::failed);
        press(u"listen"_s, true);
        QVERIFY(pressed.wait(5000));
        QCOMPARE(mockCall(u"CloseSession"_s).type(), QDBusMessage::ReplyMessage);
        QVERIFY(failed.wait(5000));
        QCOMPARE(released.count(), 1);   // the hold ends with the session
        QVERIFY(key.error().contains(u"choose the key again"_s));
        QVERIFY(key.setKey(u"Pause"_s));
        portal = key.findChildren<PortalShortcut *>().last();   // the old one is still being deleted
        QSignalSpy boundAgain(portal, &PortalShortcut::bound);
        QVERIFY(boundAgain.wait(10000));
    }

    void keyThePortalCannotGive_data()
    {
        QTest::addColumn<QByteArray>("parameters");   // empty: no portal at all
        QTest::addColumn<bool>("asked");              // the portal was asked and turned the key down
        QTest::addColumn<QString>("error");
        const QString unavailable = u"A listening key is not available in this session (Wayland gives a program a key "
                                    "only through the desktop portal, and %1). Use \"Listen\" in the tray menu."_s;
        const QString refused = u"The listening key could not be set up. %1 Choose the key again to retry, or use "
                                "\"Listen\" in the tray menu."_s;
        QTest::newRow("no-portal") << QByteArray() << false << unavailable.arg(u"no portal is running"_s);
        QTest::newRow("no-global-shortcuts") << QByteArray(R"({"global_shortcuts": false})") << false
                                             << unavailable.arg(u"this desktop's portal offers no global shortcuts"_s);
        QTest::newRow("dialog-cancelled") << QByteArray(R"({"bind_response": 1})") << true
                                          << refused.arg(u"The desktop's shortcut dialog was cancelled."_s);
        QTest::newRow("ended-otherwise") << QByteArray(R"({"bind_response": 2})") << true
                                         << refused.arg(u"The desktop portal turned the shortcut down."_s);
    }
    void keyThePortalCannotGive()
    {
        QFETCH(QByteArray, parameters);
        QFETCH(bool, asked);
        QFETCH(QString, error);
        if (parameters.isEmpty())
            stopPortal();
        else
            QVERIFY(startPortal(parameters));
        QCOMPARE(ListeningKey::Unavailable(), asked ? QString() : error);
        ListeningKey key;
        QSignalSpy failed(&key, &ListeningKey::failed);
        QCOMPARE(key.setKey(u"Scroll_Lock"_s), asked);
        if (asked) {
            QVERIFY(key.error().isEmpty());
            QVERIFY(failed.wait(10000));
            QCOMPARE(failed.value(0).value(0).toString(), error);
            // Choosing it again asks again.
            QVERIFY(key.setKey(u"Scroll_Lock"_s));
            QVERIFY(failed.wait(10000));
            QCOMPARE(failed.count(), 2);
        }
        QCOMPARE(key.error(), error);
    }

    void silentPortalIsGivenUpOn()
    {
        QVERIFY(startPortal(R"({"answer": false})"));
        PortalShortcut portal(QDBusConnection::sessionBus());
        portal.setTimeout(300);
        QSignalSpy failed(&portal, &PortalShortcut::failed);
        QSignalSpy bound(&portal, &PortalShortcut::bound);
        portal.bind(u"F9"_s);
        QVERIFY(failed.wait(10000));
        QCOMPARE(portal.error(), u"The desktop portal did not answer."_s);
        QCOMPARE(bound.count(), 0);

        // A portal that does not even answer the question whether it offers shortcuts.
        ::kill(m_portal.processId(), SIGSTOP);
        const PortalShortcut::Offer offer = PortalShortcut::Probe(QDBusConnection::sessionBus(), 300);
        ::kill(m_portal.processId(), SIGCONT);
        QCOMPARE(offer, PortalShortcut::Offer::NoAnswer);
    }
};

int main(int argc, char **argv)
{
    qputenv("WAYLAND_DISPLAY", "wayland-murmelo-test");
    QCoreApplication app(argc, argv);
    TestPortalShortcut test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_portalshortcut.moc"
