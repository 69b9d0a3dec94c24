#pragma once
// The helper processes the suites start (dbus-daemon, Dovecot, Xvfb, fake portals): started
// so that they die with the test, and stopped politely first.
#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <csignal>
#include <sys/prctl.h>

/// Ends `p` (politely first) and waits for it.
inline void stopProcess(QProcess &p, int politeMs = 5000)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(politeMs))
        p.kill();
    p.waitForFinished(5000);
}

/// Starts a session bus daemon of the test's own; its address, empty when it did not start.
inline QByteArray startBus(QProcess &bus, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                           const QString &logFile = {})
{
    // A test that aborts must not leave its daemons behind.
    bus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    bus.setProcessEnvironment(env);
    if (!logFile.isEmpty())
        bus.setStandardErrorFile(logFile);
    bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                              QStringLiteral("--print-address=1")});
    if (!bus.waitForStarted(10000) || !bus.waitForReadyRead(10000))
        return {};
    return bus.readLine().trimmed();
}
