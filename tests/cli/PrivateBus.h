#pragma once
// A D-Bus session bus of the test's own, and GNOME Keyring's Secret Service on it: shared by
// the keyring, browser sign-in and online account suites.
#include "ChildProcess.h"
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <csignal>
#include <sys/prctl.h>

/// A session bus of the test's own with gnome-keyring-daemon's Secret Service, its login
/// keyring created and unlocked with a known password, made this process's session bus. No
/// display: an unlock prompt cannot be shown, which the keyring reports as a dismissed prompt.
class KeyringSession
{
public:
    static inline const QString Secrets = QStringLiteral("org.freedesktop.secrets");

    ~KeyringSession()
    {
        stopProcess(m_keyring);
        stopProcess(m_bus);
    }

    /// Why the keyring cannot run here; "" when it can.
    static QString missing()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty())
            return QStringLiteral("dbus-daemon or gnome-keyring-daemon is not installed (scripts/setup-deps --test)");
        return {};
    }

    /// Call before anything in the process touches the session bus.
    bool start(QString *why)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(QString::fromLatin1(name));
        QDir(m_dir.path()).mkpath(QStringLiteral("data"));
        QDir(m_dir.path()).mkpath(QStringLiteral("run"));
        QFile::setPermissions(m_dir.filePath(QStringLiteral("run")), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                                         QFileDevice::ExeOwner);
        env.insert(QStringLiteral("HOME"), m_dir.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_dir.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath(QStringLiteral("run")));
        m_keyring.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        const QByteArray address = startBus(m_bus, env, m_dir.filePath(QStringLiteral("bus.log")));
        if (address.isEmpty()) {
            *why = QStringLiteral("dbus-daemon did not start");
            return false;
        }
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromUtf8(address));

        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            *why = QStringLiteral("the private bus does not answer: ") + bus.lastError().message();
            return false;
        }
        QDBusServiceWatcher watcher(Secrets, bus, QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        m_keyring.setProcessEnvironment(env);
        m_keyring.start(QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")),
                        {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
        m_keyring.write("keyring-test-password");
        m_keyring.closeWriteChannel();
        if (!bus.interface()->isServiceRegistered(Secrets).value() && !registered.wait(20000)) {
            *why = QStringLiteral("gnome-keyring-daemon did not register the Secret Service: ") +
                   m_keyring.readAllStandardError();
            return false;
        }
        return true;
    }

    /// Unlock prompts the keyring has tried to show so far (the bus starts the prompter).
    int prompts() const
    {
        QFile log(m_dir.filePath(QStringLiteral("bus.log")));
        return log.open(QIODevice::ReadOnly) ? int(log.readAll().count("name='org.gnome.keyring.SystemPrompter'")) : -1;
    }

    /// The keyring's items of an account (the locked ones with `locked`).
    static QList<QDBusObjectPath> items(const QString &accountId, bool locked = false)
    {
        qDBusRegisterMetaType<QMap<QString, QString>>();
        const QDBusMessage reply = call("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "SearchItems",
                                        {QVariant::fromValue(QMap<QString, QString>{{"server", "murmelo"}, {"user", accountId}})});
        return qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().value(locked ? 1 : 0));
    }

    static QString label(const QDBusObjectPath &item)
    {
        const QDBusMessage reply = call(item.path(), "org.freedesktop.DBus.Properties", "Get",
                                        {QStringLiteral("org.freedesktop.Secret.Item"), QStringLiteral("Label")});
        return qdbus_cast<QDBusVariant>(reply.arguments().value(0)).variant().toString();
    }

    static bool lockAll()
    {
        const QList<QDBusObjectPath> login{QDBusObjectPath("/org/freedesktop/secrets/collection/login")};
        return call("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "Lock", {QVariant::fromValue(login)})
                   .type() == QDBusMessage::ReplyMessage;
    }

private:
    static QDBusMessage call(const QString &path, const QString &interface, const QString &method, const QVariantList &args)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(Secrets, path, interface, method);
        message.setArguments(args);
        return QDBusConnection::sessionBus().call(message);
    }

    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_keyring;
};
