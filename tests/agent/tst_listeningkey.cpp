// The key held to listen, grabbed on a private X server and pressed through XTest (xdotool).
#include "ListeningKey.h"
#include "XvfbDisplay.h"

#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <xcb/xcb.h>

class TestListeningKey : public QObject
{
    Q_OBJECT
public:
    TestListeningKey(bool haveX, QString why) : m_haveX(haveX), m_why(std::move(why)) {}

private:
    bool m_haveX;
    QString m_why;

    static void xdotool(const QStringList &args)
    {
        QProcess p;
        p.start(QStringLiteral("xdotool"), args);
        QVERIFY2(p.waitForFinished(10000) && p.exitCode() == 0, p.readAllStandardError().constData());
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!m_haveX)
            QSKIP(qPrintable(m_why));
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    }

    void heldKeyIsReportedOncePerHold()
    {
        ListeningKey key;
        QVERIFY2(key.setKey(QStringLiteral("Scroll_Lock")), qPrintable(key.error()));
        QSignalSpy pressed(&key, &ListeningKey::pressed);
        QSignalSpy released(&key, &ListeningKey::released);
        // Held longer than the keyboard's repeat delay: the server repeats it, we do not.
        xdotool({QStringLiteral("keydown"), QStringLiteral("Scroll_Lock"), QStringLiteral("sleep"),
                 QStringLiteral("1.2"), QStringLiteral("keyup"), QStringLiteral("Scroll_Lock")});
        QVERIFY(released.wait(5000));
        QCOMPARE(pressed.count(), 1);
        QCOMPARE(released.count(), 1);

        // Another key is not ours; after "None" ours is not either.
        xdotool({QStringLiteral("key"), QStringLiteral("Pause")});
        QVERIFY(key.setKey(QString()));
        xdotool({QStringLiteral("key"), QStringLiteral("Scroll_Lock")});
        QVERIFY(!pressed.wait(300));
        QCOMPARE(pressed.count(), 1);
        QCOMPARE(released.count(), 1);
    }

    void keyTakenByAnotherProgramIsAnError()
    {
        xcb_connection_t *other = xcb_connect(nullptr, nullptr);
        QVERIFY(!xcb_connection_has_error(other));
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
        ListeningKey key;
        // Another client holds every key code (whichever is Pause on this server).
        for (int code = xcb_get_setup(other)->min_keycode; code <= xcb_get_setup(other)->max_keycode; ++code)
            xcb_grab_key(other, 0, root, XCB_MOD_MASK_ANY, xcb_keycode_t(code), XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        free(xcb_get_input_focus_reply(other, xcb_get_input_focus(other), nullptr));   // the grabs are in
        QVERIFY(!key.setKey(QStringLiteral("Pause")));
        QCOMPARE(key.error(), QStringLiteral("The Pause key is taken by another program."));
        xcb_disconnect(other);
        QVERIFY2(key.setKey(QStringLiteral("Pause")), qPrintable(key.error()));
    }

    void keysThatCannotBeHad_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("waylandDisplay");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown-key") << QStringLiteral("Caps_Lock") << QByteArray()
                                     << QStringLiteral("\"Caps_Lock\" is not a key Murmelo can listen for.");
        QTest::newRow("wayland-session")
            << QStringLiteral("Scroll_Lock") << QByteArray("wayland-0")
            << QStringLiteral("A listening key is not available in this session (Wayland gives no program a key of "
                              "its own). Use \"Listen\" in the tray menu.");
    }
    void keysThatCannotBeHad()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, waylandDisplay);
        QFETCH(QString, error);
        if (!waylandDisplay.isEmpty())
            qputenv("WAYLAND_DISPLAY", waylandDisplay);
        ListeningKey key;
        const bool had = key.setKey(name);
        const QString unavailable = ListeningKey::Unavailable();
        qunsetenv("WAYLAND_DISPLAY");
        QVERIFY(!had);
        QCOMPARE(key.error(), error);
        QCOMPARE(unavailable.isEmpty(), waylandDisplay.isEmpty());
    }
};

int main(int argc, char **argv)
{
    XvfbDisplay x;
    QString why;
    const bool haveX = x.Start(why);
    qunsetenv("WAYLAND_DISPLAY");
    qunsetenv("XDG_SESSION_TYPE");
    QGuiApplication app(argc, argv);
    TestListeningKey test(haveX, why);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_listeningkey.moc"
