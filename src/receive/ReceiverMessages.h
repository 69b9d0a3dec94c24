#pragma once

/// Numbers of the messages the receivers post to the receiver manager's Messanger.
namespace ReceiverMessages {
/// Data: the message Record (QVariant::fromValue<Record>).
constexpr int MsgArrived = 1;
/// Data: the account Id (QString). The connection ended without error (also when cancelled after login).
constexpr int ReceiveComplete = 2;
/// Data: a DataBag with "ErrNumber" (qint32), "ErrDescription", "ErrSource", "AccountId".
constexpr int ErrorOccured = 3;
/// Data: a DataBag with "AccountId", "Server", "User" and "Uidls" (QVariantMap from each
/// unique-id examined in this connection to the identifier that message gave). Posted
/// before message 2 or 3, only when there are such pairs, for the engine to remember.
constexpr int UidlsSeen = 4;
}
