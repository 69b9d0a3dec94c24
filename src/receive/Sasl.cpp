#include "Sasl.h"
#include <QJsonDocument>
#include <QJsonObject>

namespace Sasl {

Mechanism Choose(const QList<QByteArray> &offered)
{
    bool xoauth2 = false;
    for (const QByteArray &name : offered) {
        const QByteArray upper = name.trimmed().toUpper();
        if (upper == "OAUTHBEARER")
            return Mechanism::OAuthBearer;
        xoauth2 = xoauth2 || upper == "XOAUTH2";
    }
    return xoauth2 ? Mechanism::XOAuth2 : Mechanism::None;
}

QByteArray Name(Mechanism mechanism)
{
    switch (mechanism) {
    case Mechanism::OAuthBearer:
        return "OAUTHBEARER";
    case Mechanism::XOAuth2:
        return "XOAUTH2";
    case Mechanism::None:
        break;
    }
    return {};
}

QByteArray InitialResponse(Mechanism mechanism, const QString &user, const QString &token, const QString &host,
                           quint16 port)
{
    const QByteArray bearer = "auth=Bearer " + token.toUtf8();
    if (mechanism == Mechanism::XOAuth2)
        return "user=" + user.toUtf8() + '\x01' + bearer + "\x01\x01";
    // RFC 5801 saslname: "," and "=" would end the authorization identity early.
    QByteArray name = user.toUtf8();
    name.replace("=", "=3D").replace(",", "=2C");
    return "n,a=" + name + ",\x01host=" + host.toUtf8() + "\x01port=" + QByteArray::number(port) + '\x01' + bearer
        + "\x01\x01";
}

QByteArray ErrorAcknowledgement(Mechanism mechanism)
{
    return mechanism == Mechanism::OAuthBearer ? QByteArray("\x01") : QByteArray();
}

TokenError ParseChallenge(const QByteArray &base64)
{
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromBase64(base64.trimmed())).object();
    TokenError error;
    error.status = json.value(QStringLiteral("status")).toVariant().toString();
    error.scope = json.value(QStringLiteral("scope")).toString();
    return error;
}

QString SignInAgainText(const QString &user, const QString &server, const TokenError &error)
{
    const QString why = error.status.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(error.status);
    return QStringLiteral("The server refused the sign-in of %1 on %2%3: the access has expired or was revoked. "
                          "Sign in again to this account. ")
        .arg(user, server, why);
}

bool IsTemporaryRefusal(const QString &serverText)
{
    static const QStringList codes{QStringLiteral("SYS/TEMP"),    QStringLiteral("IN-USE"),    QStringLiteral("LOGIN-DELAY"),
                                   QStringLiteral("UNAVAILABLE"), QStringLiteral("SERVERBUG"), QStringLiteral("INUSE"),
                                   QStringLiteral("LIMIT")};
    const QString text = serverText.trimmed();
    if (!text.startsWith(QLatin1Char('[')))
        return false;
    const qsizetype end = text.indexOf(QLatin1Char(']'));
    const QString code = text.mid(1, end < 0 ? -1 : end - 1).section(QLatin1Char(' '), 0, 0);
    return codes.contains(code, Qt::CaseInsensitive);
}

QString NotOfferedText(const QString &server, const QList<QByteArray> &offered)
{
    QStringList names;
    for (const QByteArray &name : offered)
        names << QString::fromLatin1(name);
    return QStringLiteral("The server %1 does not accept an OAuth2 sign-in (OAUTHBEARER or XOAUTH2); it offers: %2. ")
        .arg(server, names.isEmpty() ? QStringLiteral("no sign-in mechanism") : names.join(QLatin1Char(' ')));
}

}
