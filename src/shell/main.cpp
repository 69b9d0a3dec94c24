#include "DemoMode.h"
#include "FAccounts.h"
#include "FSplash.h"
#include "ShellServices.h"
#include "CharacterWindow.h"
#include "engine/MUScripting.h"
#include "trellis/Paths.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {
/// Options are read before the GUI starts, so --help and --version need no display.
struct Args
{
    bool help = false;
    bool version = false;
    bool demo = false;
    QString home;
    QString error;
    QString helpText;
};

Args parseArgs(int argc, char **argv)
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Murmelo, the talking mail announcer: checks your mailboxes and a speaking character\n"
        "reads the new messages aloud. It lives in the notification area of the desktop."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption home(QStringLiteral("home"),
                                  QStringLiteral("Keep the database, logs and characters in DIR (also MURMELO_HOME)."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption demo(QStringLiteral("demo"),
                                  QStringLiteral("A first look without a mailbox: a throw-away home folder and a "
                                                 "local demo mail server with a few sample messages."));
    parser.addOptions({help, version, home, demo});
    Args a;
    if (!parser.parse(list)) {
        a.error = parser.errorText();
        return a;
    }
    if (!parser.positionalArguments().isEmpty()) {
        a.error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first());
        return a;
    }
    a.help = parser.isSet(help);
    a.version = parser.isSet(version);
    a.demo = parser.isSet(demo);
    a.home = parser.value(home);
    a.helpText = parser.helpText();
    return a;
}
}

namespace {
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    // Only async-signal-safe work here: the event loop does the rest.
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}
}

int main(int argc, char **argv)
{
    const Args args = parseArgs(argc, argv);
    if (!args.error.isEmpty()) {
        std::fprintf(stderr, "murmelo: %s\nTry 'murmelo --help'.\n", qPrintable(args.error));
        return 2;
    }
    if (args.help) {
        QString text = args.helpText;
        // Parsed before the application object exists, Qt names the program by a placeholder.
        text.replace(QStringLiteral("Usage: ") + QString::fromLocal8Bit(argv[0]), QStringLiteral("Usage: murmelo"));
        text.replace(QStringLiteral("<executable_name>"), QStringLiteral("murmelo"));
        text += QStringLiteral(
            "\nEnvironment:\n"
            "  MURMELO_HOME=DIR                      Same as --home DIR.\n"
            "  MURMELO_AUDIO=device|null|file:PATH   Where speech and sounds go: the sound card, nowhere\n"
            "                                        (silence in real time), or a WAV file. Default: the\n"
            "                                        sound card when there is one, otherwise null.\n");
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (args.version) {
        std::printf("murmelo %s\n", MURMELO_VERSION);
        return 0;
    }
    if (args.demo && !args.home.isEmpty()) {
        std::fprintf(stderr, "murmelo: --demo makes its own home folder; leave out --home.\n");
        return 2;
    }

    CharacterWindow::preferPlaceableWindows();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("murmelo"));
    QApplication::setApplicationDisplayName(QStringLiteral("Murmelo"));
    QApplication::setApplicationVersion(QStringLiteral(MURMELO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("murmelo"));
    // The program lives in the tray: a hidden main window is not the end.
    QApplication::setQuitOnLastWindowClosed(false);

    if (!args.home.isEmpty())
        Paths::SetHome(args.home);

    // What the windows reach beyond themselves: made once, here, and handed to them.
    ShellServices services;
    services.openAccounts = [&services](QWidget *parent, MUScripting *engine, LogPtr log) {
        FAccounts::ShowAccounts(services, parent, engine, std::move(log));
    };
    installOptions(services);
    installFeedback(services);

    DemoMode demo;
    FSplash::Options options;
    if (args.demo) {
        QString why;
        if (!demo.Prepare(why)) {
            std::fprintf(stderr, "murmelo: %s\n", qPrintable(why));
            return 1;
        }
        std::printf("Murmelo demo: home folder %s, demo mail server on 127.0.0.1:%u.\n"
                    "Start 'murmelo' without --demo to use your own mail.\n",
                    qPrintable(demo.home()), unsigned(demo.port()));
        std::fflush(stdout);
        options.afterEngineInit = [&demo](MUScripting *engine) { demo.AddAccount(engine); };
    }

    FSplash splash(services, std::move(options));
    // Every event loop returns, the nested ones of a dialog or of the character's speech
    // included, so the tear-down below runs with nothing of the program on the stack.
    QObject::connect(&splash, &FSplash::finished, &app, [](int code) { QCoreApplication::exit(code); });
    // Logging out, shutting down or Ctrl+C in a terminal: end as the Exit command does, so the
    // engine is finalised and a demo's throw-away folder is removed.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &splash, [&splash, notifier] {
            char byte = 0;
            [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
            notifier->setEnabled(false);
            splash.Terminate();
        });
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            sigaction(signal, &sa, nullptr);
    }
    if (!splash.Start())
        return splash.exitCode();
    const int code = app.exec();
    splash.Unload();
    return code;
}
