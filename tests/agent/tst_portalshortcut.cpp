// The listening key in a Wayland session: the desktop portal's global shortcut, against
// python3-dbusmock's fake portal (portal_template.py) on a session bus of the test's own.
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
#include <csignal>
#include <sys/prctl.h>

namespace {
const QString kTray = QStringLiteral(" Use \"Listen\" in the tray menu.");
const QString kViaPortal =
    QStringLiteral("A listening key is not available in this session (Wayland gives a program a key only through "
                   "the desktop portal, and ");

QDBusMessage mockCall(const QString &method, const QVariantList &args = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(PortalShortcut::Service, QStringLiteral("/org/freedesktop/portal/desktop"),
                                                       QStringLiteral("org.freedesktop.DBus.Mock"), method);
    call.setArguments(args);
    return QDBusConnection::sessionBus().call(call);
}

void press(const QString &id, bool down)
{
    const QDBusMessage reply = mockCall(QStringLiteral("Press"), {id, down});
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

void stop(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(5000))
        p.kill();
    p.waitForFinished(5000);
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
        QDBusConnection::sessionBus().connect(PortalShortcut::Service, QStringLiteral("/org/freedesktop/portal/desktop"),
                                              QStringLiteral("org.freedesktop.portal.GlobalShortcuts"),
                                              QStringLiteral("Deactivated"), this, SIGNAL(deactivated()));
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
        m_portal.start(QStringLiteral("/usr/bin/python3"),
                       {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                        qEnvironmentVariable("MURMELO_SOURCE_DIR") + QStringLiteral("/tests/agent/portal_template.py"),
                        QStringLiteral("-p"), QString::fromLatin1(parameters)});
        return m_portal.waitForStarted(10000) && (registered.count() > 0 || registered.wait(20000));
    }
    void stopPortal()
    {
        QDBusServiceWatcher watcher(PortalShortcut::Service, QDBusConnection::sessionBus(),
                                    QDBusServiceWatcher::WatchForUnregistration);
        QSignalSpy gone(&watcher, &QDBusServiceWatcher::serviceUnregistered);
        stop(m_portal);
        if (QDBusConnection::sessionBus().interface()->isServiceRegistered(PortalShortcut::Service))
            QVERIFY(gone.wait(10000));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_bus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        QVERIFY2(m_bus.waitForStarted(10000) && m_bus.waitForReadyRead(10000), "dbus-daemon is missing");
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        QVERIFY2(startPortal(), "python3-dbusmock is missing");
    }
    void cleanupTestCase()
    {
        stop(m_portal);
        stop(m_bus);
    }

    void heldShortcutIsReportedOncePerHold()
    {
        QVERIFY(startPortal());
        QCOMPARE(ListeningKey::Unavailable(), QString());
        ListeningKey key;
        QVERIFY2(key.setKey(QStringLiteral("Pause")), qPrintable(key.error()));
        auto *portal = key.findChild<PortalShortcut *>();
        QVERIFY(portal);
        QSignalSpy bound(portal, &PortalShortcut::bound);
        QVERIFY(bound.wait(10000));
        const auto asked = qdbus_cast<QVariantMap>(mockCall(QStringLiteral("LastBind")).arguments().value(0));
        QCOMPARE(asked.value(QStringLiteral("description")).toString(), QStringLiteral("Hold to talk to the character"));
        QCOMPARE(asked.value(QStringLiteral("preferred_trigger")).toString(), QStringLiteral("Pause"));

        QSignalSpy pressed(&key, &ListeningKey::pressed);
        QSignalSpy released(&key, &ListeningKey::released);
        SeenByTheTest seen;
        QSignalSpy deactivated(&seen, &SeenByTheTest::deactivated);
        // Another shortcut of the session is not ours, neither alone nor while ours is held.
        press(QStringLiteral("other"), true);
        press(QStringLiteral("other"), false);
        QVERIFY(deactivated.wait(5000));
        QCOMPARE(pressed.count(), 0);
        press(QStringLiteral("listen"), true);
        press(QStringLiteral("listen"), true);   // the same hold
        press(QStringLiteral("other"), true);
        press(QStringLiteral("other"), false);
        QVERIFY(deactivated.wait(5000));
        QCOMPARE(pressed.count(), 1);
        QCOMPARE(released.count(), 0);
        press(QStringLiteral("listen"), false);
        QVERIFY(released.wait(5000));
        QCOMPARE(pressed.count(), 1);
        QCOMPARE(released.count(), 1);

        // Giving the key up while it is held lets go of it.
        press(QStringLiteral("listen"), true);
        QVERIFY(pressed.wait(5000));
        QVERIFY(key.setKey(QString()));
        QCOMPARE(released.count(), 2);
    }

    void portalThatCannotGiveAKey_data()
    {
        QTest::addColumn<QByteArray>("parameters");   // empty: no portal at all
        QTest::addColumn<QString>("why");
        QTest::newRow("no-portal") << QByteArray() << QStringLiteral("no portal is running");
        QTest::newRow("no-global-shortcuts") << QByteArray(R"({"global_shortcuts": false})")
                                             << QStringLiteral("this desktop's portal offers no global shortcuts");
    }
    void portalThatCannotGiveAKey()
    {
        QFETCH(QByteArray, parameters);
        QFETCH(QString, why);
        if (parameters.isEmpty())
            stopPortal();
        else
            QVERIFY(startPortal(parameters));
        const QString expected = kViaPortal + why + QStringLiteral(").") + kTray;
        QCOMPARE(ListeningKey::Unavailable(), expected);
        ListeningKey key;
        QVERIFY(!key.setKey(QStringLiteral("Scroll_Lock")));
        QCOMPARE(key.error(), expected);
    }

    void refusedBindSaysWhy_data()
    {
        QTest::addColumn<QByteArray>("parameters");
        QTest::addColumn<QString>("why");
        QTest::newRow("dialog-cancelled") << QByteArray(R"({"bind_response": 1})")
                                          << QStringLiteral("The desktop's shortcut dialog was cancelled.");
        QTest::newRow("ended-otherwise") << QByteArray(R"({"bind_response": 2})")
                                         << QStringLiteral("The desktop portal turned the shortcut down.");
    }
    void refusedBindSaysWhy()
    {
        QFETCH(QByteArray, parameters);
        QFETCH(QString, why);
        QVERIFY(startPortal(parameters));
        ListeningKey key;
        QSignalSpy failed(&key, &ListeningKey::failed);
        QVERIFY(key.setKey(QStringLiteral("Scroll_Lock")));
        QVERIFY(key.error().isEmpty());
        QVERIFY(failed.wait(10000));
        const QString expected = QStringLiteral("The listening key could not be set up. ") + why
                                 + QStringLiteral(" Choose the key again to retry, or use \"Listen\" in the tray menu.");
        QCOMPARE(failed.value(0).value(0).toString(), expected);
        QCOMPARE(key.error(), expected);
        // Choosing it again asks again.
        QVERIFY(key.setKey(QStringLiteral("Scroll_Lock")));
        QVERIFY(failed.wait(10000));
        QCOMPARE(failed.count(), 2);
    }

    void silentPortalIsGivenUpOn()
    {
        QVERIFY(startPortal(R"({"answer": false})"));
        PortalShortcut portal(QDBusConnection::sessionBus());
        portal.setTimeout(300);
        QSignalSpy failed(&portal, &PortalShortcut::failed);
        QSignalSpy bound(&portal, &PortalShortcut::bound);
        portal.bind(QStringLiteral("F9"));
        QVERIFY(failed.wait(10000));
        QCOMPARE(portal.error(), QStringLiteral("The desktop portal did not answer."));
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
