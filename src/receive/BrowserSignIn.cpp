#include "BrowserSignIn.h"
#include "trellis/ServiceConfig.h"
#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QOAuth2AuthorizationCodeFlow>
#include <QOAuthHttpServerReplyHandler>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrlQuery>

namespace BrowserSignIn {
namespace {
/// A token is renewed this long before the provider said it expires.
constexpr qint64 RenewEarlySeconds = 120;
constexpr int TokenRequestTimeoutMs = 30000;

struct Cached
{
    QString token;
    QDateTime renewAt;
};
QMutex g_mutex;
QHash<QByteArray, Cached> g_tokens; // by a hash of the refresh token: the token itself is not a key anyone prints

QByteArray keyOf(const QString &refreshToken)
{
    return QCryptographicHash::hash(refreshToken.toUtf8(), QCryptographicHash::Sha256);
}

QString scopesOf(const QJsonValue &value)
{
    if (!value.isArray())
        return value.toString();
    QStringList scopes;
    for (const QJsonValue &v : value.toArray())
        scopes << v.toString();
    return scopes.join(QLatin1Char(' '));
}
}

std::optional<Provider> FindProvider(const QString &name)
{
    const QJsonArray providers = ServiceConfig::Load().value(QStringLiteral("providers")).toArray();
    for (const QJsonValue &v : providers) {
        const QJsonObject entry = v.toObject();
        bool matches = false;
        for (const QJsonValue &domain : entry.value(QStringLiteral("domains")).toArray())
            matches = matches || domain.toString().compare(name, Qt::CaseInsensitive) == 0;
        const QJsonObject block = entry.value(QStringLiteral("oauth2")).toObject();
        if (!matches || block.isEmpty())
            continue;
        Provider p;
        p.name = name.toLower();
        p.authorizationEndpoint = QUrl(block.value(QStringLiteral("authorizationEndpoint")).toString());
        p.tokenEndpoint = QUrl(block.value(QStringLiteral("tokenEndpoint")).toString());
        p.scopes = scopesOf(block.value(QStringLiteral("scopes")));
        p.clientId = block.value(QStringLiteral("clientId")).toString();
        p.clientSecret = block.value(QStringLiteral("clientSecret")).toString();
        if (p.authorizationEndpoint.isValid() && p.tokenEndpoint.isValid() && !p.clientId.isEmpty())
            return p;
    }
    return std::nullopt;
}

QString SignIn(const Provider &provider, const std::function<void(const QUrl &)> &openBrowser, QString *error,
               int timeoutMs)
{
    // RFC 7636: a verifier of 43 to 128 unreserved characters; 32 random bytes in base64url give 43.
    QByteArray random(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    const QByteArray verifier = random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    const QByteArray challenge = QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
                                     .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);

    QNetworkAccessManager network;
    QOAuth2AuthorizationCodeFlow flow(&network);
    flow.setAuthorizationUrl(provider.authorizationEndpoint);
    flow.setAccessTokenUrl(provider.tokenEndpoint);
    flow.setClientIdentifier(provider.clientId);
    if (!provider.clientSecret.isEmpty())
        flow.setClientIdentifierSharedKey(provider.clientSecret);
    flow.setScope(provider.scopes);
    // The loopback redirect of RFC 8252: any free port, on this machine only.
    auto *handler = new QOAuthHttpServerReplyHandler(QHostAddress::LocalHost, 0, &flow);
    if (!handler->isListening()) {
        if (error)
            *error = QStringLiteral("No loopback port is free for the browser to come back to.");
        return {};
    }
    flow.setReplyHandler(handler);
    flow.setModifyParametersFunction([&](QAbstractOAuth::Stage stage, QMultiMap<QString, QVariant> *parameters) {
        if (stage == QAbstractOAuth::Stage::RequestingAuthorization) {
            parameters->insert(QStringLiteral("code_challenge"), QString::fromLatin1(challenge));
            parameters->insert(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
        } else if (stage == QAbstractOAuth::Stage::RequestingAccessToken) {
            parameters->insert(QStringLiteral("code_verifier"), QString::fromLatin1(verifier));
            // Qt hands the code on percent-encoded; the token endpoint wants it as it came.
            if (parameters->contains(QStringLiteral("code"))) {
                const QString code = QUrl::fromPercentEncoding(parameters->value(QStringLiteral("code")).toByteArray());
                parameters->replace(QStringLiteral("code"), code);
            }
        }
    });
    QEventLoop loop;
    QString why;
    QObject::connect(&flow, &QAbstractOAuth::authorizeWithBrowser, &loop, [&](const QUrl &url) { openBrowser(url); });
    QObject::connect(&flow, &QAbstractOAuth::granted, &loop, &QEventLoop::quit);
    QObject::connect(&flow, &QAbstractOAuth2::error, &loop,
                     [&](const QString &code, const QString &description, const QUrl &) {
                         why = description.isEmpty() ? code : code + QStringLiteral(": ") + description;
                         loop.quit();
                     });
    QObject::connect(&flow, &QAbstractOAuth::statusChanged, &loop, [&](QAbstractOAuth::Status status) {
        if (status == QAbstractOAuth::Status::NotAuthenticated && flow.token().isEmpty() && !why.isEmpty())
            loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        why = QStringLiteral("The browser did not come back in time.");
        loop.quit();
    });
    limit.start(timeoutMs);
    flow.grant();
    if (flow.status() != QAbstractOAuth::Status::Granted && why.isEmpty())
        loop.exec();
    if (flow.status() != QAbstractOAuth::Status::Granted || flow.refreshToken().isEmpty()) {
        if (error)
            *error = why.isEmpty() ? QStringLiteral("The provider gave no refresh token.") : why;
        return {};
    }
    const QString refresh = flow.refreshToken();
    if (!flow.token().isEmpty() && flow.expirationAt().isValid()) {
        QMutexLocker lock(&g_mutex);
        g_tokens.insert(keyOf(refresh), {flow.token(), flow.expirationAt().addSecs(-RenewEarlySeconds)});
    }
    return refresh;
}

QString AccessToken(const Provider &provider, const QString &refreshToken, QString *error, bool *rejected)
{
    if (rejected)
        *rejected = false;
    const QByteArray key = keyOf(refreshToken);
    {
        QMutexLocker lock(&g_mutex);
        const auto it = g_tokens.constFind(key);
        if (it != g_tokens.constEnd() && QDateTime::currentDateTimeUtc() < it->renewAt)
            return it->token;
    }
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("refresh_token"));
    form.addQueryItem(QStringLiteral("refresh_token"), QString::fromLatin1(QUrl::toPercentEncoding(refreshToken)));
    form.addQueryItem(QStringLiteral("client_id"), QString::fromLatin1(QUrl::toPercentEncoding(provider.clientId)));
    if (!provider.clientSecret.isEmpty())
        form.addQueryItem(QStringLiteral("client_secret"), QString::fromLatin1(QUrl::toPercentEncoding(provider.clientSecret)));
    QNetworkAccessManager network;
    QNetworkRequest request(provider.tokenEndpoint);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setTransferTimeout(TokenRequestTimeoutMs);
    QNetworkReply *reply = network.post(request, form.query(QUrl::FullyEncoded).toLatin1());
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QJsonObject json = QJsonDocument::fromJson(reply->readAll()).object();
    const QString transportError = reply->errorString();
    reply->deleteLater();
    const QString token = json.value(QStringLiteral("access_token")).toString();
    if (token.isEmpty()) {
        // RFC 6749 section 5.2: invalid_grant is a refresh token that expired or was revoked.
        const QString code = json.value(QStringLiteral("error")).toString();
        if (rejected)
            *rejected = code == QLatin1String("invalid_grant") || status == 400 || status == 401;
        if (error)
            *error = code.isEmpty() ? QStringLiteral("The token endpoint answered %1 (%2).").arg(status).arg(transportError)
                                    : QStringLiteral("The provider refused the sign-in (%1).").arg(code);
        return {};
    }
    const qint64 lifetime = json.value(QStringLiteral("expires_in")).toVariant().toLongLong();
    if (lifetime > RenewEarlySeconds) {
        QMutexLocker lock(&g_mutex);
        g_tokens.insert(key, {token, QDateTime::currentDateTimeUtc().addSecs(lifetime - RenewEarlySeconds)});
    }
    return token;
}

}
