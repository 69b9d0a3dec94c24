#pragma once
// GNOME Online Accounts served by python3-dbusmock (goa_template.py) on a session bus of the
// test's own, for the tests of the CLI and of the account form.
#include "PrivateBus.h"

class GoaMock
{
public:
    static inline const QString Service = QStringLiteral("org.gnome.OnlineAccounts");

    ~GoaMock()
    {
        stopProcess(m_mock);
        stopProcess(m_bus);
    }

    /// Why the mock cannot run here; "" when it can.
    static QString missing()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()
            || QProcess::execute(python(), {QStringLiteral("-c"), QStringLiteral("import dbusmock")}) != 0)
            return QStringLiteral("dbus-daemon or python3-dbusmock is not installed");
        return {};
    }

    /// Starts the private bus and makes it this process's session bus: call it before anything
    /// here touches the session bus.
    bool startBus()
    {
        const QByteArray address = ::startBus(m_bus);
        if (address.isEmpty())
            return false;
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        return QDBusConnection::sessionBus().isConnected();
    }

    /// Starts the mocked service; true once it is on the bus.
    bool startService()
    {
        QDBusServiceWatcher watcher(Service, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        m_mock.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_mock.start(python(), {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                                qEnvironmentVariable("MURMELO_SOURCE_DIR") + QStringLiteral("/tests/cli/goa_template.py")});
        if (!m_mock.waitForStarted(10000))
            return false;
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(Service) || registered.wait(20000);
    }

    bool serviceRunning() const { return m_mock.state() == QProcess::Running; }

    /// One of the template's methods (AddMailAccount, RemoveMailAccount, TokenCalls).
    static QDBusMessage call(const QString &method, const QVariantList &args)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(Service, QStringLiteral("/org/gnome/OnlineAccounts"),
                                                           QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(args);
        return QDBusConnection::sessionBus().call(call);
    }

private:
    static QString python() { return QStringLiteral("/usr/bin/python3"); }

    QProcess m_bus;
    QProcess m_mock;
};
