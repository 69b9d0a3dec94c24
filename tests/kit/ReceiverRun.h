#pragma once
// Builders and a harness shared by the receiver suites: an account, a numbered message, one
// receiver run with everything it posted, and the error of a failed run.
#include "trellis/DataBag.h"
#include "trellis/Log.h"
#include "trellis/Messanger.h"
#include "trellis/Record.h"
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

namespace TestAccounts {
inline const QString kId = QStringLiteral("{6F1C2A4B-0000-4000-8000-00000000A001}");
/// A receiver's account: Server, Port, User, Pwd (and Protocol when given), with id `kId`.
Record mailbox(const QString &server, int port, const QString &user = QStringLiteral("bob"),
               const QString &pwd = QStringLiteral("secret"), const QString &protocol = {});
/// An account as the engine stores it: also CheckInterval 10, Disabled, an empty Email and
/// no security; no id (the engine gives one).
Record engine(const QString &server, int port, const QString &user, const QString &pwd, bool disabled = false);
}

/// Message `n` of a test mailbox: Message-ID <PREFIXn@example.org>, "Sender n", To Bob, a
/// date, "Message n" and a body (`body` when given, with what the protocol must escape).
struct TestMail
{
    int n = 1;
    QByteArray prefix = "msg";
    QByteArray body;
    QByteArray extraHeaders;

    QByteArray bytes() const;
    QString id() const { return QStringLiteral("<%1%2@example.org>").arg(QString::fromLatin1(prefix)).arg(n); }
};

/// The message numbers from `from` to `to`, both included.
inline QList<int> range(int from, int to)
{
    QList<int> out;
    for (int n = from; n <= to; ++n)
        out << n;
    return out;
}

/// What message 3 (ErrorOccured) carried.
struct PostedError
{
    qint32 number = 0;
    QString description;
    QString source;
    QString accountId;
};

/// One receiver worker ("MUCustom.CReceiver", "MUCustom.CImapReceiver" ...) run on its own
/// thread against a Messanger on the test's thread, and everything it posted.
class ReceiverRun : public QObject
{
    Q_OBJECT
public:
    explicit ReceiverRun(LogPtr log, QObject *parent = nullptr);

    /// Starts the worker with `data`; the Messanger, the log, "DontReceiveContent" false and
    /// an inactivity limit of 10 s are added unless `data` has them.
    void start(const Record &account, const DataBag &data = {}, const QString &progId = QStringLiteral("MUCustom.CReceiver"));
    /// Waits for the one end message and the worker's end; nothing may be posted after the end.
    [[nodiscard]] bool finish(int ms = 30000);
    /// start() and finish().
    [[nodiscard]] bool run(const Record &account, const DataBag &data = {},
                           const QString &progId = QStringLiteral("MUCustom.CReceiver"));
    /// Forgets what was posted.
    void clear();
    bool completed() const;
    PostedError error() const;
    /// The identifiers of the arrived messages, in order.
    QStringList arrivedIds() const;

    Messanger messanger;
    QList<Record> arrived;
    QList<int> order;
    QVariantMap seenUidls;   ///< what the UidlsSeen messages carried
    QList<DataBag> states;   ///< ImapStateSeen
    QList<bool> modes;       ///< PushMode
    int endMsg = 0;
    QVariant endData;

private:
    LogPtr m_log;
};
