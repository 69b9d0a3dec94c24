// New-mail notifications against python3-dbusmock's notification daemon on a private
// session bus: one notification per check, replaced as messages arrive; none for spam
// or when switched off; "Open" shows the message.
#include "shell/ShellFixture.h"

#include "DesktopNotifier.h"
#include "cli/GoaMock.h"
#include "FMain.h"

#include "engine/MUScripting.h"
#include "speech/Announcer.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusArgument>
#include <QDBusVariant>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

namespace {
struct NotifyCall
{
    uint replaces = 0;
    QString summary, body;
};

QDBusMessage mockCall(const QString &method, const QVariantList &args)
{
    QDBusMessage m = QDBusMessage::createMethodCall(DesktopNotifier::Service, DesktopNotifier::Path,
                                                    QStringLiteral("org.freedesktop.DBus.Mock"), method);
    m.setArguments(args);
    return QDBusConnection::sessionBus().call(m);
}

/// The Notify calls the daemon received, oldest first.
QList<NotifyCall> notifyCalls()
{
    const QDBusMessage reply = mockCall(QStringLiteral("GetMethodCalls"), {QStringLiteral("Notify")});
    QList<NotifyCall> out;
    if (reply.type() != QDBusMessage::ReplyMessage)
        return out;
    const QDBusArgument arg = reply.arguments().first().value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        quint64 stamp = 0;
        QVariantList args;
        arg.beginStructure();
        arg >> stamp;
        arg.beginArray();
        while (!arg.atEnd()) {
            QDBusVariant v;
            arg >> v;
            args << v.variant();
        }
        arg.endArray();
        arg.endStructure();
        if (args.size() >= 5)
            out.append({args.at(1).toUInt(), args.at(3).toString(), args.at(4).toString()});
    }
    arg.endArray();
    return out;
}

void emitAction(uint id, const QString &action)
{
    mockCall(QStringLiteral("EmitSignal"),
             {DesktopNotifier::Service, QStringLiteral("ActionInvoked"), QStringLiteral("us"),
              QVariantList{id, action}});
}
}

class TestNotifications : public QObject
{
    Q_OBJECT

    GoaMock m_bus;   // only for its session bus
    QProcess m_daemon;

private Q_SLOTS:
    void initTestCase()
    {
        // A bus of our own, set before anything in this process first asks for the session bus.
        QVERIFY2(m_bus.startBus(), "dbus-daemon is missing (scripts/setup-deps --test)");
        m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Debian's python3 (where python3-dbusmock is), whatever else is first on PATH.
        m_daemon.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                                                   QStringLiteral("--template"), QStringLiteral("notification_daemon")});
        QVERIFY(m_daemon.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(m_daemon.state() != QProcess::Running
                                     || QDBusConnection::sessionBus().interface()->isServiceRegistered(DesktopNotifier::Service),
                                 20000);
        QVERIFY2(m_daemon.state() == QProcess::Running, "python3-dbusmock is missing (scripts/setup-deps --test)");
    }
    void init() { mockCall(QStringLiteral("ClearCalls"), {}); }
    void cleanupTestCase()
    {
        m_daemon.terminate();
        m_daemon.waitForFinished();
    }

    void oneCheckOneNotificationReplaced()
    {
        DesktopNotifier n;
        n.beginCheck();
        // Sent back to back: the later ones must wait for the first's id, not stack.
        n.notify(QStringLiteral("m1"), QStringLiteral("Anna Berg <anna@example.org>"), QStringLiteral("Tulips"));
        n.notify(QStringLiteral("m2"), QStringLiteral("Bo"), QStringLiteral("Roses"));
        n.notify(QStringLiteral("m3"), QStringLiteral("Cy"), QString());
        QTRY_VERIFY(n.notificationId() != 0);
        QTRY_VERIFY(notifyCalls().size() >= 2);
        QList<NotifyCall> calls = notifyCalls();
        QCOMPARE(calls.first().replaces, 0u);
        QCOMPARE(calls.first().summary, QStringLiteral("New mail from Anna Berg <anna@example.org>"));
        QCOMPARE(calls.first().body, QStringLiteral("Tulips"));
        for (int i = 1; i < calls.size(); ++i)
            QCOMPARE(calls.at(i).replaces, n.notificationId());
        QTRY_COMPARE(notifyCalls().last().summary, QStringLiteral("3 new messages"));
        const QString body = notifyCalls().last().body;
        QVERIFY2(body.contains(QStringLiteral("Cy: (no subject)")) && body.contains(QStringLiteral("Roses"))
                     && body.contains(QStringLiteral("anna@example.org&gt;: Tulips")),
                 qPrintable(body));

        // Open in it asks for the message announced last; another notification's action does not.
        QSignalSpy open(&n, &DesktopNotifier::openRequested);
        emitAction(n.notificationId() + 100, QStringLiteral("open"));
        emitAction(n.notificationId(), QStringLiteral("open"));
        QVERIFY(open.wait());
        QCOMPARE(open.count(), 1);
        QCOMPARE(open.first().first().toString(), QStringLiteral("m3"));

        // The next check opens a notification of its own.
        const uint first = n.notificationId();
        n.beginCheck();
        n.notify(QStringLiteral("m4"), QStringLiteral("Di"), QStringLiteral("Lilies"));
        QTRY_VERIFY(n.notificationId() != 0);
        QVERIFY(n.notificationId() != first);
        QCOMPARE(notifyCalls().last().replaces, 0u);
    }

    void newMailInTheWindow_data()
    {
        QTest::addColumn<bool>("spam");
        QTest::addColumn<bool>("switchedOn");
        QTest::addColumn<bool>("notified");
        QTest::newRow("mail") << false << true << true;
        QTest::newRow("spam-read-out-as-spam") << true << true << false;
        QTest::newRow("switched-off") << false << false << false;
    }
    void newMailInTheWindow()
    {
        QFETCH(bool, spam);
        QFETCH(bool, switchedOn);
        QFETCH(bool, notified);
        ShellWindow t;
        if (!switchedOn)
            t.ef.engine()->settings()->SaveSetting(FMain::KeyDesktopNotification, false);
        t.ef.engine()->settings()->SaveSetting(Announcer::KeyPhrases, spam ? QVariantList{QStringLiteral(",")} : QVariantList{});
        Record older = ShellFixture::message(QStringLiteral("old@example.org"), QStringLiteral("Older"));
        Record msg = ShellFixture::message(QStringLiteral("Garden Club <news@garden.example>"), QStringLiteral("Spring"));
        QVERIFY(t.arrive(older));
        QVERIFY(t.arrive(msg));   // on top: the one announced last
        // Handed to the talker (spam as spam only); what is said is tst_announcer's.
        QCOMPARE(t.ef.talker()->spool().join(QLatin1Char('\n')).contains(QStringLiteral("Garden Club")), !spam);
        if (!notified) {
            // A call sent now reaches the daemon after anything sent before.
            QCOMPARE(notifyCalls().size(), 0);
        } else {
            QTRY_COMPARE(notifyCalls().last().summary, QStringLiteral("2 new messages"));
            const uint id = notifyCalls().last().replaces;
            QVERIFY(id != 0);
            // Open shows that message, even with the window hidden and another one selected.
            t.w.hide();
            t.w.selectRow(1);
            QCOMPARE(t.w.headerText(2), QStringLiteral("Older"));
            emitAction(id, QStringLiteral("open"));
            QTRY_VERIFY(t.w.isVisible());
            QCOMPARE(t.w.headerText(2), QStringLiteral("Spring"));
        }
    }
};

QTEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
