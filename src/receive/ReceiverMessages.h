#pragma once

/// Numbers of the messages the receivers post to the receiver manager's Messanger.
namespace ReceiverMessages {
/// Data: the message Record (QVariant::fromValue<Record>).
constexpr int MsgArrived = 1;
/// Data: the account Id (QString). The connection ended without error (also when cancelled after login).
constexpr int ReceiveComplete = 2;
/// Data: a DataBag with "ErrNumber" (qint32), "ErrDescription", "ErrSource", "AccountId".
constexpr int ErrorOccured = 3;
}
