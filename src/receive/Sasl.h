#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include "trellis/MUError.h"

/// Signing in with an OAuth2 access token over SASL: OAUTHBEARER (RFC 7628) and the older
/// XOAUTH2 that the big providers still speak. Pure: the POP3 and IMAP receivers send what
/// this builds and hand back what the server answered.
namespace Sasl {

/// The error of a check whose sign-in the server or the provider refused: the token expired or
/// was revoked, and only a new sign-in helps, not another try. The engine marks the account.
constexpr qint32 SignInNeeded = MUError::engineNumber(534);

enum class Mechanism { None, OAuthBearer, XOAuth2 };

/// The mechanism to use among those the server offers (names in any case): OAUTHBEARER, the
/// standard one, before XOAUTH2; None when it offers neither.
Mechanism Choose(const QList<QByteArray> &offered);
QByteArray Name(Mechanism mechanism);

/// The client's first message, not yet in base64. OAUTHBEARER carries the user in its GS2
/// header ("," and "=" escaped) and the host and port the client connected to.
QByteArray InitialResponse(Mechanism mechanism, const QString &user, const QString &token, const QString &host,
                           quint16 port);
/// What the client answers to the server's error challenge so that the exchange ends with the
/// server's failure: %x01 for OAUTHBEARER (RFC 7628 section 3.2.3), nothing for XOAUTH2.
QByteArray ErrorAcknowledgement(Mechanism mechanism);

/// The JSON a server sends in its challenge when it refuses a token
/// ({"status":"invalid_token","scope":...}), decoded from base64. `status` is empty when the
/// challenge held no such object.
struct TokenError
{
    QString status;
    QString scope;
};
TokenError ParseChallenge(const QByteArray &base64);

/// The text a person reads when `account` must sign in again (the token expired or was revoked).
QString SignInAgainText(const QString &user, const QString &server, const TokenError &error);
/// Whether a refusal's text begins with a response code that blames the server, not the
/// token: busy, unavailable, a mailbox in use or broken (POP3 RFC 3206 SYS/TEMP, IN-USE,
/// LOGIN-DELAY; IMAP RFC 5530 UNAVAILABLE, SERVERBUG, INUSE, LIMIT). Such a refusal is an
/// ordinary failed check: the next one may well succeed with the same token.
bool IsTemporaryRefusal(const QString &serverText);
/// The text when the server offers no token sign-in; `offered` as the server listed them.
QString NotOfferedText(const QString &server, const QList<QByteArray> &offered);

}
