#pragma once
#include "mime/CMIMEPart.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Record.h"
#include "trellis/Utility.h"
#include <QCryptographicHash>
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
/// IMAP: a DataBag with "AccountId", "Server", "User", "Folder", "UidValidity" and "HighestUid"
/// (qint64) and "Ids" (QStringList, the identifiers of the messages posted by this check).
/// Posted after those messages; the engine remembers the state once they are all stored.
constexpr int ImapStateSeen = 5;
/// IMAP push worker: data bool, true when it stays connected in IDLE, false when the server
/// has no IDLE (the worker ends after its first check and the account is polled).
constexpr int PushMode = 6;
/// IMAP push worker: data the account Id; a check on the open connection begins (it ends with
/// message 2 or 3, after which the worker goes on waiting for new mail).
constexpr int CheckStart = 7;

/// The data of message 3: what failed, and for which account.
inline DataBag ErrorBag(const MUError &error, const QString &accountId)
{
    DataBag bag;
    bag.Add(error.number(), QStringLiteral("ErrNumber"));
    bag.Add(error.description(), QStringLiteral("ErrDescription"));
    bag.Add(error.source(), QStringLiteral("ErrSource"));
    bag.Add(accountId, QStringLiteral("AccountId"));
    return bag;
}

/// A failed check as the user reads it: a server that cannot be reached (socket and
/// argument errors) is error 515; anything else keeps its number after error 520's text.
inline MUError CheckFailure(const MUError &failure, const QString &server)
{
    const qint32 n = failure.number();
    if (n == 13 || n == 10022 || n == 10110 || n == 11001)
        return MUError(MUError::engineNumber(515), Utility::FormatText(MessageTable::Text(515), {server}),
                       failure.source());
    return MUError(n, Utility::FormatText(MessageTable::Text(520), {server}) + failure.description(),
                   failure.source());
}

/// What a receiver learns of a message from its header.
struct MessageHeader
{
    QString id, from, to, date, subject;
};

/// The header fields of a parsed message; without an identifier, the date and sender stand in.
inline MessageHeader HeaderOf(const CMIMEPart &part)
{
    MessageHeader header;
    header.from = part.from();
    header.to = part.MsgTo();
    header.date = part.SentDate();
    header.subject = part.Subject();
    header.id = part.Id();
    if (header.id.isEmpty())
        header.id = (header.date + header.from).left(255);
    return header;
}

/// The identity of a message whose header gives none and whose server names it by no
/// unique-id: a hash of its header (the raw text up to the blank line), the same whichever
/// receiver meets it.
inline QString HeaderHashId(const QString &raw)
{
    const qsizetype blank = raw.indexOf(QLatin1String("\r\n\r\n"));
    const QByteArray digest =
        QCryptographicHash::hash((blank < 0 ? raw : raw.left(blank)).toLatin1(), QCryptographicHash::Sha1);
    return QStringLiteral("header-sha1:") + QString::fromLatin1(digest.toHex());
}

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
