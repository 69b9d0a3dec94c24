// The start-up and its ways out: a fresh home, a second start, a database that
// cannot be opened, the character checks, a desktop without a tray, the tray animation.
#include "shell/ShellFixture.h"

#include "FMain.h"
#include "FSplash.h"
#include "InstanceLock.h"

#include "AgentControl.h"
#include "ShellIcons.h"
#include "ConversionProgressWindow.h"
#include "storage/MsgManager.h"
#include "storage/StorageFixture.h"

#include "engine/MUScripting.h"
#include "receive/ReceiverManager.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "trellis/MessageTable.h"
#include "trellis/Paths.h"

#include "timing/TimerManager.h"

#include <QApplication>
#include <QMenu>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <csignal>

class TestFSplash : public QObject
{
    Q_OBJECT

private:
    static FSplash::Options options(bool tray = true)
    {
        FSplash::Options o;
        o.trayAvailable = tray;
        return o;
    }
    /// The real program, started with `args` offscreen and silent.
    static void startProgram(QProcess &p, const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("MURMELO_AUDIO"), QStringLiteral("null"));
        p.setProcessEnvironment(env);
        p.start(program(), args);
    }
    static QString program() { return qEnvironmentVariable("MURMELO_BUILD_DIR") + QStringLiteral("/bin/murmelo"); }
    /// Whether the instance lock is free again.
    static bool lockFree() { return InstanceLock(InstanceLock::DefaultFolder()).tryLock(); }

private Q_SLOTS:
    void freshHomeWaitsInTheTray()
    {
        ShellFixture fx;
        FSplash splash(fx.services, options());
        QVERIFY(splash.Start());

        // First start: the welcome is queued and no box interrupts the newcomer.
        QVERIFY(splash.talker());
        QCOMPARE(splash.talker()->spool(), QStringList{MessageTable::Text(120)});
        QVERIFY(fx.boxes.isEmpty());
        // The window waits hidden behind the tray icon.
        FMain *w = splash.mainWindow();
        QVERIFY(w);
        QVERIFY(!w->isVisible());
        QVERIFY(splash.trayIcon());
        QCOMPARE(splash.trayIcon()->toolTip(), QStringLiteral("Murmelo"));
        QStringList menu;
        for (QAction *a : splash.trayMenu()->actions())
            menu << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(menu, (QStringList{"&About Murmelo...", "-", "&Check Mail", "&Listen", "-", "&Show", "&Exit"}));
        QVERIFY(splash.scripting()->timerManager()->IsTiming(FMain::SpeechPulseId));

        // The close box and Esc only hide the window.
        QSignalSpy finished(&splash, &FSplash::finished);
        for (const bool escape : {false, true}) {
            w->show();
            QVERIFY(QTest::qWaitForWindowExposed(w));
            if (escape)
                QTest::keyClick(w, Qt::Key_Escape);
            else
                w->close();
            QVERIFY(!w->isVisible());
        }
        QCOMPARE(finished.count(), 0);
        QVERIFY(fx.boxes.isEmpty());

        // Check Mail without an account offers the Accounts dialog (No keeps it shut).
        fx.answer = 7;
        splash.trayMenu()->findChild<QAction *>(QStringLiteral("mnuCheckMail"))->trigger();
        QCOMPARE(fx.boxes.size(), 1);
        QVERIFY2(fx.boxes.first().prompt.contains(QStringLiteral("no mail account")), qPrintable(fx.boxes.first().prompt));
        QVERIFY(fx.boxes.first().prompt.contains(QStringLiteral("Accounts")));
        QCOMPARE(fx.boxes.first().buttons, 4 + 32);

        // Listen: the tick shows whether listening really started (no microphone here: it did not),
        // and follows listening started or ended elsewhere (the character's item, hands-free).
        QAction *listen = splash.trayMenu()->findChild<QAction *>(QStringLiteral("mnuListen"));
        QVERIFY(listen && listen->isCheckable());
        listen->trigger();
        QCOMPARE(listen->isChecked(), splash.agent()->isListening());
        Q_EMIT splash.agent()->ListeningChanged(true);
        QVERIFY(listen->isChecked());
        Q_EMIT splash.agent()->ListeningChanged(false);
        QVERIFY(!listen->isChecked());

        // File > Exit: the clocks stop at once, the rest goes once the event loop returned;
        // then the lock is free again.
        w->mnuExit_Click();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toInt(), 0);
        QVERIFY(!splash.scripting()->timerManager()->IsTiming(FMain::SpeechPulseId));
        splash.Unload();
        QVERIFY(!splash.trayIcon());
        QCOMPARE(splash.scripting()->timerManager(), nullptr);
        QVERIFY(lockFree());
        QVERIFY(fx.logText().contains(QStringLiteral("moFMain_Unloading() call")));
    }

    void notFirstStartWithoutAccounts()
    {
        ShellFixture fx;
        FSplash::Options o = options();
        o.afterEngineInit = [](MUScripting *engine) {
            engine->settings()->SaveSetting(FMain::KeyFirstStart, false);
            engine->settings()->SaveSetting(FMain::KeyName, QStringLiteral("Ann"));
            engine->settings()->SaveSetting(FMain::KeyTitle, QStringLiteral("Doctor"));
        };
        FSplash splash(fx.services, o);
        QVERIFY(splash.Start());
        QCOMPARE(fx.prompts(), QStringList{MessageTable::Text(119)});
        QCOMPARE(fx.boxes.first().buttons, 64);
        QCOMPARE(fx.boxes.first().title, MessageTable::Text(104));
        QVERIFY(splash.mainWindow()->isVisible());
        QCOMPARE(splash.talker()->spool(),
                 (QStringList{QStringLiteral("Hello, Doctor Ann!"), MessageTable::Text(121)}));
    }

    void secondInstanceExitsSilently()
    {
        ShellFixture fx;
        FSplash first(fx.services, options());
        QVERIFY(first.Start());
        QVERIFY(!first.mainWindow()->isVisible());

        // The second start-up ends at the lock and says nothing (a box would hold it open);
        // the first one brings its window forward.
        QProcess p;
        startProgram(p, {QStringLiteral("--home"), fx.home()});
        QVERIFY(p.waitForStarted());
        // The running instance answers on this thread: let events run while waiting.
        QSignalSpy ended(&p, &QProcess::finished);
        QVERIFY(ended.wait(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(fx.logText().count(QStringLiteral("Application is already running")), 1);
        QTRY_VERIFY(first.mainWindow()->isVisible());
    }

    void olderDatabaseShowsConversion()
    {
        // When to convert and in which batches is the store's rule (tst_msgmanager); here the
        // window that shows it.
        ShellFixture fx;
        const int olderRows = 1200;
        {
            Database db(fx.home(), TestHome::templatePath());
            StorageFixture::fillOlderForm(db, olderRows, true);
        }
        QStringList texts;
        bool allVisible = true;
        ConversionProgressWindow::SetShownHook([&](QWidget *window, const QString &text) {
            texts << text;
            allVisible = allVisible && window->isVisible()
                         && window->objectName() == QLatin1String(ConversionProgressWindow::ObjectName);
        });
        FSplash splash(fx.services, options());
        const bool started = splash.Start();
        ConversionProgressWindow::SetShownHook({});
        QVERIFY(started);
        QCOMPARE(texts.value(0), QStringLiteral("Converting stored messages: 0 of 1200"));
        QVERIFY(texts.contains(QStringLiteral("Converting stored messages: 1200 of 1200")));
        QCOMPARE(texts.value(texts.size() - 1), QStringLiteral("Compacting the database..."));
        QVERIFY(allVisible);
        // Gone once the engine is up, and the storage reports to no one any more.
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY(w->objectName() != QLatin1String(ConversionProgressWindow::ObjectName));
        QCOMPARE(splash.scripting()->msgManager()->CountMsgs(), olderRows);
    }

    void databaseThatCannotBeOpened()
    {
        ShellFixture fx;
        const QString bad = fx.home() + QStringLiteral("/MU.mdb");
        const QByteArray shopping = QByteArray("This is not a database, it is a shopping list: eggs, milk, bread.\n").repeated(200);
        QVERIFY(fx.writeFile(bad, shopping));

        FSplash splash(fx.services, options());
        QVERIFY(!splash.Start());
        QCOMPARE(splash.exitCode(), 1);
        QCOMPARE(splash.mainWindow(), nullptr);
        QVERIFY(fx.boxes.isEmpty());   // not the "contact support" path
        QCOMPARE(fx.opened.size(), 1);
        QVERIFY(fx.opened.first().isLocalFile());
        QFile page(fx.opened.first().toLocalFile());
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(page.readAll());
        QVERIFY(html.contains(QStringLiteral("cannot open its database")));
        QVERIFY(html.contains(QDir(fx.home()).absoluteFilePath(QStringLiteral("MU.mdb")).toHtmlEscaped()));
        QVERIFY(html.contains(QStringLiteral("MDAC or Jet components error")));   // what failed
        QVERIFY(fx.logText().contains(QString::number(qint64(0x8004020C) - (qint64(1) << 32))) ||
                fx.logText().contains(QStringLiteral("2147746316")));
        // The lock is given back: the user can try again at once.
        QVERIFY(lockFree());
        // And the broken file is still there, untouched.
        QCOMPARE(QFileInfo(bad).size(), qint64(shopping.size()));
    }

    void missingCharacterFallsBack_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("message");
        QTest::addColumn<bool>("fallback");
        QTest::newRow("stored-name-missing-says-128") << QStringLiteral("Nobody") << true << true;
        QTest::newRow("blank-name-silently-replaced") << QStringLiteral("  ") << false << true;
        // Listed without regard to case, so found that way too.
        QTest::newRow("file-in-other-case-is-kept") << QStringLiteral("Robby") << false << false;
    }
    void missingCharacterFallsBack()
    {
        QFETCH(QString, stored);
        QFETCH(bool, message);
        QFETCH(bool, fallback);
        ShellFixture fx;
        QTemporaryDir chars;
        QVERIFY(QFile::copy(Paths::FindShared(QStringLiteral("chars/Robby.acs")), chars.path() + QStringLiteral("/robby.acs")));
        QVERIFY(QFile::copy(Paths::FindShared(QStringLiteral("chars/Merlin.acs")), chars.path() + QStringLiteral("/zed.acs")));
        FSplash::Options o = options();
        o.characterFolders = {fx.home() + QStringLiteral("/chars"), chars.path()};
        o.afterEngineInit = [stored](MUScripting *engine) {
            engine->settings()->SaveSetting(CTalker::KeyCharacterName, stored);
        };
        FSplash splash(fx.services, o);
        QVERIFY(splash.Start());
        // The first file in name order, its first letter upper-cased.
        QCOMPARE(splash.scripting()->settings()->GetSetting(CTalker::KeyCharacterName).toString(), QStringLiteral("Robby"));
        if (message)
            QCOMPARE(fx.prompts(), QStringList{QStringLiteral("Character Nobody not found. Robby will be loaded. ")});
        else
            QVERIFY(fx.boxes.isEmpty());
        QCOMPARE(fx.logText().contains(QStringLiteral("sAnyoneChar = 'robby.acs'. ")), fallback);
        QVERIFY(splash.mainWindow());
    }

    void noCharacterAtAll()
    {
        ShellFixture fx;
        QTemporaryDir empty;
        FSplash::Options o = options();
        o.characterFolders = {empty.path()};
        FSplash splash(fx.services, o);
        QSignalSpy finished(&splash, &FSplash::finished);
        QVERIFY(!splash.Start());
        QCOMPARE(fx.prompts(), QStringList{MessageTable::Text(127)});
        QCOMPARE(fx.boxes.first().buttons, 64);
        QCOMPARE(fx.opened.size(), 1);   // the manual
        QVERIFY(fx.opened.first().toLocalFile().endsWith(QStringLiteral("help/index.html")));
        QCOMPARE(splash.mainWindow(), nullptr);
        QCOMPARE(splash.trayIcon(), nullptr);
        QCOMPARE(splash.exitCode(), 1);
        QVERIFY(lockFree());
    }

    void noTrayShowsWindowAndAsksOnClose()
    {
        ShellFixture fx;
        FSplash splash(fx.services, options(false));
        QVERIFY(splash.Start());
        QCOMPARE(splash.trayIcon(), nullptr);
        FMain *w = splash.mainWindow();
        QVERIFY(w->isVisible());
        QSignalSpy finished(&splash, &FSplash::finished);

        fx.answer = 7;   // No
        w->close();
        QCOMPARE(fx.boxes.size(), 1);
        QVERIFY(w->isVisible());
        QCOMPARE(finished.count(), 0);

        fx.answer = 6;   // Yes
        w->close();
        QCOMPARE(finished.count(), 1);
    }

    void trayAnimationCyclesAndClickStops()
    {
        ShellFixture fx;
        FSplash splash(fx.services, options());
        QVERIFY(splash.Start());
        QVERIFY(!splash.animating());
        // Each delivery a new message: one delivered again is stored and announced once only.
        const auto another = [] { return ShellFixture::message(QStringLiteral("a@b.c"), QStringLiteral("Hi")); };
        Q_EMIT splash.scripting()->receiverManager()->MsgArrived(another());
        QVERIFY(splash.animating());
        QList<int> frames;
        for (int i = 0; i < 20; ++i) {
            splash.Timer1_Timer();
            frames << splash.animationFrame();
        }
        QCOMPARE(frames.first(), 1);
        QCOMPARE(frames.at(17), 18);
        QCOMPARE(frames.at(18), 1);
        QCOMPARE(frames.at(19), 2);
        splash.trayClicked();
        QVERIFY(!splash.animating());
        QVERIFY(splash.mainWindow()->isVisible());
        QCOMPARE(splash.trayIcon()->icon().cacheKey(), ShellIcons::tray(0).cacheKey());

        // Left unclicked, the animation ends after a while on the envelope, which stays until
        // clicked; the next message starts it again.
        Q_EMIT splash.scripting()->receiverManager()->MsgArrived(another());
        int ticks = 0;
        while (splash.animating() && ticks < FSplash::AnimationTicks + 100) {
            splash.Timer1_Timer();
            ++ticks;
        }
        QVERIFY(!splash.animating());
        QVERIFY(ticks >= FSplash::AnimationTicks && ticks < FSplash::AnimationTicks + 19);
        QCOMPARE(splash.trayIcon()->icon().cacheKey(), ShellIcons::tray(1).cacheKey());
        Q_EMIT splash.scripting()->receiverManager()->MsgArrived(another());
        QVERIFY(splash.animating());
        splash.trayClicked();
        QCOMPARE(splash.trayIcon()->icon().cacheKey(), ShellIcons::tray(0).cacheKey());

        // Switched off in the options: mail arrives, the icon stays still.
        splash.scripting()->settings()->SaveSetting(QStringLiteral("{D6795EFA-8EC7-40CE-8A28-34433D2B5AC3}"), false);
        Q_EMIT splash.scripting()->receiverManager()->MsgArrived(another());
        QVERIFY(!splash.animating());
        // Exit in the tray menu is the end-to-end run's (tst_desktop_xvfb), File > Exit's unloading above.
    }

    void stopSignalEndsCleanly_data()
    {
        // SIGTERM on a running program is the end-to-end run's (tst_desktop_xvfb); here each stop
        // signal while the start-up waits in a box (not the first start, no account: message 119).
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void stopSignalEndsCleanly()
    {
        QFETCH(int, signal);
        ShellFixture fx;
        {
            ShellEngine ef;
            ef.engine()->settings()->SaveSetting(FMain::KeyFirstStart, false);
        }
        QProcess p;
        startProgram(p, {QStringLiteral("--home"), fx.home()});
        QVERIFY(p.waitForStarted(10000));
        const QString boxUp = QStringLiteral("FMain.Init No accounts are configured");
        QTRY_VERIFY_WITH_TIMEOUT(fx.logText().contains(boxUp), 60000);
        QCOMPARE(::kill(pid_t(p.processId()), signal), 0);
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(!fx.logText().contains(QStringLiteral("StartDownload call")));   // nothing was started after the box
    }

    void programHelpAndVersion()
    {
        QProcess p;
        p.start(program(), {QStringLiteral("--version")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()).trimmed(),
                 QStringLiteral("murmelo ") + QStringLiteral(MURMELO_VERSION));
        p.start(program(), {QStringLiteral("--help")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        const QString help = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(help.startsWith(QStringLiteral("Usage: murmelo [options]")), qPrintable(help));
        p.start(program(), {QStringLiteral("--no-such-option")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
    }
};

QTEST_MAIN(TestFSplash)
#include "tst_fsplash.moc"
