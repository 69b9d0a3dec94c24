#include "ReceiverRun.h"
#include "receive/ReceiverMessages.h"
#include "trellis/ThreadRunner.h"
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

Record TestAccounts::mailbox(const QString &server, int port, const QString &user, const QString &pwd,
                             const QString &protocol)
{
    Record a;
    a.setId(kId);
    a.Add(QStringLiteral("Server"), server);
    a.Add(QStringLiteral("Port"), port);
    a.Add(QStringLiteral("User"), user);
    a.Add(QStringLiteral("Pwd"), pwd);
    if (!protocol.isEmpty())
        a.Add(QStringLiteral("Protocol"), protocol);
    return a;
}

Record TestAccounts::engine(const QString &server, int port, const QString &user, const QString &pwd, bool disabled)
{
    Record a = mailbox(server, port, user, pwd);
    a.setId(QString());
    a.Add(QStringLiteral("CheckInterval"), 10);
    a.Add(QStringLiteral("Disabled"), disabled);
    a.Add(QStringLiteral("Email"), QString());
    a.Add(QStringLiteral("Security"), QStringLiteral("None"));
    return a;
}

QByteArray TestMail::bytes() const
{
    const QByteArray k = QByteArray::number(n);
    return "Message-ID: " + id().toLatin1() + "\r\n"
         + "From: \"Sender " + k + "\" <sender" + k + "@example.org>\r\n"
         + "To: Bob <bob@example.org>\r\n"
         + "Date: Sun, 6 Dec 2026 20:" + QByteArray::number(10 + n % 50) + ":00 +0000\r\n"
         + "Subject: Message " + k + "\r\n" + extraHeaders + "\r\n"
         + (body.isEmpty() ? "Hello number " + k + ".\r\nBye.\r\n" : body);
}

PostedError ReceiverRun::error() const
{
    const DataBag bag = endData.value<DataBag>();
    return {bag.Item(QStringLiteral("ErrNumber")).toInt(), bag.Item(QStringLiteral("ErrDescription")).toString(),
            bag.Item(QStringLiteral("ErrSource")).toString(), bag.Item(QStringLiteral("AccountId")).toString()};
}

ReceiverRun::ReceiverRun(LogPtr log, QObject *parent) : QObject(parent), m_log(std::move(log))
{
    connect(&messanger, &Messanger::MsgArrived, this, [this](int msg, const QVariant &data) {
        order.append(msg);
        switch (msg) {
        case ReceiverMessages::MsgArrived:
            arrived.append(data.value<Record>());
            break;
        case ReceiverMessages::UidlsSeen:
            seenUidls.insert(data.value<DataBag>().Item(QStringLiteral("Uidls")).toMap());
            break;
        case ReceiverMessages::ImapStateSeen:
            states.append(data.value<DataBag>());
            break;
        case ReceiverMessages::PushMode:
            modes.append(data.toBool());
            break;
        case ReceiverMessages::ReceiveComplete:
        case ReceiverMessages::ErrorOccured:
            endMsg = msg;
            endData = data;
            break;
        default:
            break;
        }
    });
}

void ReceiverRun::start(const Record &account, const DataBag &extra, const QString &progId)
{
    DataBag data = extra;
    auto add = [&data](const QVariant &value, const QString &key) {
        if (!data.Exists(key))
            data.Add(value, key);
    };
    add(QVariant::fromValue<QObject *>(&messanger), QStringLiteral("Messanger"));
    add(QVariant::fromValue(account), QStringLiteral("Account"));
    add(QVariant::fromValue(DataBag()), QStringLiteral("ReceivedMsgIds"));
    add(QVariant::fromValue(m_log), QStringLiteral("Log"));
    add(false, QStringLiteral("DontReceiveContent"));
    add(10000, QStringLiteral("InactivityLimitMs"));
    ThreadRunner().Start(progId, QStringLiteral("Run"), data);
}

bool ReceiverRun::finish(int ms)
{
    const QDeadlineTimer deadline(ms);
    while (endMsg == 0 && !deadline.hasExpired()) {
        // Woken by the next post, or by the deadline.
        QEventLoop loop;
        connect(&messanger, &Messanger::MsgArrived, &loop, &QEventLoop::quit);
        QTimer::singleShot(qMax<qint64>(1, deadline.remainingTime()), &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (endMsg == 0 || !ThreadRunner::WaitForAll(20000))
        return false;
    QCoreApplication::processEvents(); // nothing may follow the last message, and it comes once
    return order.last() == endMsg
        && order.count(ReceiverMessages::ReceiveComplete) + order.count(ReceiverMessages::ErrorOccured) == 1;
}

bool ReceiverRun::run(const Record &account, const DataBag &data, const QString &progId)
{
    start(account, data, progId);
    return finish();
}

void ReceiverRun::clear()
{
    arrived.clear();
    order.clear();
    seenUidls.clear();
    states.clear();
    modes.clear();
    endMsg = 0;
    endData = QVariant();
}

bool ReceiverRun::completed() const
{
    return endMsg == ReceiverMessages::ReceiveComplete;
}

QStringList ReceiverRun::arrivedIds() const
{
    QStringList ids;
    for (const Record &r : arrived)
        ids << r.text(QStringLiteral("POP3Id"));
    return ids;
}
