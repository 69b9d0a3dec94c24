// The desktop program end to end on a real X server with a tray host: the demo's mail
// arrives and is announced, the window is opened from the tray, a message is shown, and
// the program is ended by the tray menu, the File menu or a stop signal. Every way out
// must end the process with exit code 0.
#include "XvfbDisplay.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <csignal>

namespace {
XvfbDisplay *g_display = nullptr;
QString g_why;
QString g_xdotool;

QString xdo(const QStringList &args)
{
    QProcess p;
    p.start(g_xdotool, args);
    if (!p.waitForFinished(20000))
        return {};
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

/// The program's mapped windows by id (tray icon, character, balloon, main window, menus).
QHash<QString, QRect> windows()
{
    QHash<QString, QRect> out;
    const QStringList ids = xdo({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                 QStringLiteral("--classname"), QStringLiteral("murmelo")})
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &id : ids) {
        const QString shell = xdo({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
        auto value = [&shell](const char *name) {
            const QRegularExpression re(QStringLiteral("^%1=(-?\\d+)$").arg(QLatin1String(name)),
                                        QRegularExpression::MultilineOption);
            return re.match(shell).captured(1).toInt();
        };
        out.insert(id, QRect(value("X"), value("Y"), value("WIDTH"), value("HEIGHT")));
    }
    return out;
}

/// The docked tray icon: the small window inside the tray host's panel.
QRect trayIcon()
{
    for (const QRect &r : windows()) {
        if (r.width() <= 48 && r.height() <= 48 && r.bottom() > 700)
            return r;
    }
    return {};
}

QRect mainWindow()
{
    for (const QRect &r : windows()) {
        if (r.width() >= 600 && r.height() >= 400)
            return r;
    }
    return {};
}

void click(const QPoint &at, int button = 1)
{
    xdo({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()), QStringLiteral("click"),
         QString::number(button)});
}

/// Clicks where a menu opens and then its last item ("Exit" in both menus). The menu is
/// the window mapped since then at the click (the character may show up elsewhere).
bool clickLastItemOfMenuAt(const QPoint &at, int button)
{
    const QHash<QString, QRect> before = windows();
    click(at, button);
    QRect menu;
    const bool opened = QTest::qWaitFor(
        [&] {
            const QHash<QString, QRect> now = windows();
            for (auto it = now.cbegin(); it != now.cend(); ++it) {
                if (!before.contains(it.key()) && it.value().adjusted(-40, -40, 40, 40).contains(at)) {
                    menu = it.value();
                    return true;
                }
            }
            return false;
        },
        20000);
    if (opened)
        click(QPoint(menu.center().x(), menu.bottom() - 10));
    return opened;
}
}

class TestDesktopXvfb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!g_display)
            QSKIP(qPrintable(g_why));
        g_xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        QVERIFY2(!g_xdotool.isEmpty(), "xdotool is not installed");
    }

    void mailThenExit_data()
    {
        QTest::addColumn<QString>("logLine");
        QTest::newRow("tray-exit") << QStringLiteral("FSplash.mPopExit_Click mPopExit_Click() call");
        QTest::newRow("file-exit") << QStringLiteral("FMain.mnuExit_Click mnuExit_Click() call");
        QTest::newRow("sigterm") << QStringLiteral("FSplash.Terminate Terminate() call");
    }
    void mailThenExit()
    {
        QFETCH(QString, logLine);
        const QString row = QString::fromLatin1(QTest::currentDataTag());
        const QString program = qEnvironmentVariable("MURMELO_BUILD_DIR") + QStringLiteral("/bin/murmelo");
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("MURMELO_AUDIO"), QStringLiteral("null"));
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(program, {QStringLiteral("--demo")});
        QVERIFY(p.waitForStarted(20000));
        QSignalSpy ended(&p, &QProcess::finished);

        QByteArray said;
        QVERIFY(QTest::qWaitFor([&] { return (said += p.readAllStandardOutput()).contains("demo mail server"); }, 60000));
        const QString home = QRegularExpression(QStringLiteral("home folder (\\S+), demo")).match(QString::fromLocal8Bit(said)).captured(1);
        QVERIFY2(QFileInfo::exists(home), said.constData());
        // Held open: the demo removes its folder at exit, the log stays readable.
        QFile log(home + QStringLiteral("/mu.log"));
        QVERIFY(QTest::qWaitFor([&] { return log.open(QIODevice::ReadOnly); }, 60000));
        QString text;
        auto readLog = [&] { text += QString::fromUtf8(log.readAll()); };
        auto logHas = [&](const QString &line, int times = 1) {
            readLog();
            return text.count(line) >= times;
        };
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("Form_Load() Complete")), 120000);

        // The window from the tray icon, then a check at once (F5) rather than after a minute.
        QRect tray;
        QVERIFY(QTest::qWaitFor([&] { return !(tray = trayIcon()).isEmpty(); }, 60000));
        click(tray.center());
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("mnuShow_Click() call")), 30000);
        QRect window;
        QVERIFY(QTest::qWaitFor([&] { return !(window = mainWindow()).isEmpty(); }, 30000));
        xdo({QStringLiteral("mousemove"), QString::number(window.center().x()), QString::number(window.center().y()),
             QStringLiteral("key"), QStringLiteral("F5")});

        // The four messages arrive; the first way out waits until they are announced to the end,
        // the others leave while the character is still talking.
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("moScripting_MsgArrived call"), 4), 180000);
        auto announced = [&] {
            readLog();
            const int arrived = int(text.lastIndexOf(QStringLiteral("moScripting_MsgArrived call")));
            const int started = int(text.lastIndexOf(QStringLiteral("moTalker_StartTalking() call")));
            const int stopped = int(text.lastIndexOf(QStringLiteral("moTalker_StopTalking() call")));
            return stopped > arrived && stopped > started;
        };
        if (row == QLatin1String("tray-exit"))
            QTRY_VERIFY_WITH_TIMEOUT(announced(), 240000);
        QVERIFY(ended.isEmpty());

        // Another message in the view: the third row of the list (its place in the window's layout).
        window = mainWindow();
        QVERIFY(!window.isEmpty());
        click(window.topLeft() + QPoint(100, 144));
        const QString import = QStandardPaths::findExecutable(QStringLiteral("import"));
        const QString out = qEnvironmentVariable("MURMELO_TEST_OUTPUT", QDir::currentPath() + QStringLiteral("/output"));
        if (!import.isEmpty() && QDir().mkpath(out))
            QProcess::execute(import, {QStringLiteral("-window"), QStringLiteral("root"), out + QStringLiteral("/desktop-%1.png").arg(row)});

        if (row == QLatin1String("tray-exit"))
            QVERIFY(clickLastItemOfMenuAt(tray.center(), 3));
        else if (row == QLatin1String("file-exit"))
            QVERIFY(clickLastItemOfMenuAt(window.topLeft() + QPoint(20, 9), 1));   // "File" in the menu bar
        else
            QCOMPARE(::kill(pid_t(p.processId()), SIGTERM), 0);

        QVERIFY(ended.wait(120000) || !ended.isEmpty());
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(logHas(logLine), qPrintable(logLine));
        QVERIFY(!QFileInfo::exists(home));   // the demo's folder went with a clean end
    }
};

int main(int argc, char **argv)
{
    // The X server and the tray host come before the program connects to them.
    XvfbDisplay display;
    if (display.Start(g_why) && display.startTrayHost(g_why))
        g_display = &display;
    QCoreApplication app(argc, argv);
    TestDesktopXvfb test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktop_xvfb.moc"
