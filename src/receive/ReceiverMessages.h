#pragma once
#include "trellis/Record.h"
#include <QString>

/// Numbers of the messages the receivers post to the receiver manager's Messanger.
namespace ReceiverMessages {
/// Data: the message Record (QVariant::fromValue<Record>), as MessageRecord makes it.
constexpr int MsgArrived = 1;
/// Data: the account Id (QString). The connection ended without error (also when cancelled after login).
constexpr int ReceiveComplete = 2;
/// Data: a DataBag with "ErrNumber" (qint32), "ErrDescription", "ErrSource", "AccountId".
constexpr int ErrorOccured = 3;
/// Data: a DataBag with "AccountId", "Server", "User" and "Uidls" (QVariantMap from each
/// unique-id examined in this connection to the identifier that message gave). Posted
/// before message 2 or 3, only when there are such pairs, for the engine to remember.
constexpr int UidlsSeen = 4;

/// What a receiver learns of a message from its header.
struct MessageHeader
{
    QString id, from, to, date, subject;
};

/// The record of message 1: Server, User, POP3Id, From, To, Date, Subject, and Content
/// when the body was downloaded (`content` not null).
inline Record MessageRecord(const QString &server, const QString &user, const MessageHeader &header,
                            const QString *content)
{
    Record msg;
    msg.Add(QStringLiteral("Server"), server);
    msg.Add(QStringLiteral("User"), user);
    msg.Add(QStringLiteral("POP3Id"), header.id);
    msg.Add(QStringLiteral("From"), header.from);
    msg.Add(QStringLiteral("To"), header.to);
    msg.Add(QStringLiteral("Date"), header.date);
    msg.Add(QStringLiteral("Subject"), header.subject);
    if (content)
        msg.Add(QStringLiteral("Content"), *content);
    return msg;
}
}
