// The tray on a real X server: the icon docks in a tray host (trayer), a click
// shows the window, and a screenshot of the window with a few messages is written
// to the test's output folder.
#include "shell/ShellFixture.h"
#include "XvfbDisplay.h"

#include "DemoMode.h"
#include "FMain.h"
#include "FSplash.h"
#include "MessageListModel.h"

#include "engine/MUScripting.h"
#include "storage/MsgManager.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTest>

namespace {
XvfbDisplay *g_display = nullptr;
QString g_why;

QString header(const QByteArray &raw, const char *name)
{
    const QRegularExpression re(QStringLiteral("^%1: (.*)$").arg(QLatin1String(name)),
                                QRegularExpression::MultilineOption);
    return re.match(QString::fromLatin1(raw)).captured(1).trimmed();
}

bool runTool(const QString &tool, const QStringList &args)
{
    QProcess p;
    p.start(tool, args);
    return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}
}

class TestTrayXvfb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!g_display)
            QSKIP(qPrintable(g_why));
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 15000);
    }

    void trayIconDocksAndClickShowsWindow()
    {
        ShellFixture fx;
        FSplash splash(fx.services);
        QVERIFY(splash.Start());
        QSystemTrayIcon *tray = splash.trayIcon();
        QVERIFY(tray);
        QVERIFY(tray->isVisible());
        // Docked: the tray host gave the icon a place on the screen.
        // (The tray host reparents the icon into its panel at the bottom of the screen.)
        QTRY_VERIFY_WITH_TIMEOUT(!tray->geometry().isEmpty() && tray->geometry().top() > 0, 20000);
        FMain *w = splash.mainWindow();
        QVERIFY(!w->isVisible());

        const QPoint centre = tray->geometry().center();
        qInfo("tray geometry %d,%d %dx%d", tray->geometry().x(), tray->geometry().y(), tray->geometry().width(),
              tray->geometry().height());
        QSignalSpy activated(tray, &QSystemTrayIcon::activated);
        const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        QVERIFY2(!xdotool.isEmpty(), "xdotool is not installed");
        QVERIFY(runTool(xdotool, {QStringLiteral("mousemove"), QString::number(centre.x()), QString::number(centre.y()),
                                  QStringLiteral("click"), QStringLiteral("1")}));
        QTRY_VERIFY_WITH_TIMEOUT(!activated.isEmpty(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(w->isVisible(), 10000);

        // A few messages, the newsletter selected, then the pictures.
        const QByteArrayList samples = DemoMode::SampleMessages();
        for (const QByteArray &raw : samples) {
            Record msg;
            msg.Add(QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
            msg.Add(QStringLiteral("User"), QStringLiteral("newcomer"));
            msg.Add(QStringLiteral("POP3Id"), header(raw, "Message-ID"));
            msg.Add(QStringLiteral("From"), header(raw, "From").replace(QStringLiteral("=?utf-8?q?J=C3=B6rg_M=C3=BCller?="),
                                                                        QStringLiteral("Jörg Müller")));
            msg.Add(QStringLiteral("To"), header(raw, "To"));
            msg.Add(QStringLiteral("Date"), header(raw, "Date"));
            msg.Add(QStringLiteral("Subject"), header(raw, "Subject").replace(QStringLiteral("=?utf-8?q?Lunch_on_Friday=3F?="),
                                                                              QStringLiteral("Lunch on Friday?")));
            msg.Add(QStringLiteral("Content"), QString::fromLatin1(raw));
            QVERIFY(splash.scripting()->msgManager()->add(msg));
            w->moScripting_MsgArrived(msg);
        }
        w->resize(1000, 640);
        w->move(40, 40);
        const int newsletter = w->model()->rowOf(w->model()->key(2));
        w->selectRow(newsletter);
        w->ShowSelectedMessage();
        QCOMPARE(w->headerText(2), QStringLiteral("Spring newsletter: tulips are here"));
        QVERIFY(QTest::qWaitForWindowExposed(w));

        const QString out = qEnvironmentVariable("MURMELO_TEST_OUTPUT", QDir::currentPath() + QStringLiteral("/output"));
        QVERIFY(QDir().mkpath(out));
        const QString shot = out + QStringLiteral("/main-window.png");
        QFile::remove(shot);
        QVERIFY(w->grab().save(shot));
        QVERIFY(QFileInfo(shot).size() > 10000);
        const QString import = QStandardPaths::findExecutable(QStringLiteral("import"));
        if (!import.isEmpty())
            runTool(import, {QStringLiteral("-window"), QStringLiteral("root"), out + QStringLiteral("/desktop.png")});
        qInfo("Screenshot: %s", qPrintable(shot));

        splash.mPopExit_Click();
        splash.Unload();
        QVERIFY(!splash.trayIcon());
    }
};

int main(int argc, char **argv)
{
    // The X server and the tray host come before the application connects to them.
    XvfbDisplay display;
    if (display.Start(g_why) && display.startTrayHost(g_why))
        g_display = &display;
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestTrayXvfb test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tray_xvfb.moc"
