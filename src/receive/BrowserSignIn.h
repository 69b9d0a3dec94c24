#pragma once
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

/// OAuth2 sign-in in the system browser for providers whose entry in the service configuration
/// carries an "oauth2" block ("authorizationEndpoint", "tokenEndpoint", "scopes", "clientId",
/// optional "clientSecret"): the authorization code flow with PKCE (RFC 7636) and a loopback
/// redirect (RFC 8252). The refresh token it gives is kept in the keyring as the account's
/// secret; access tokens are made from it before each login and kept in memory only, until
/// shortly before they expire.
namespace BrowserSignIn {

struct Provider
{
    QString name; ///< the domain the account names it by
    QUrl authorizationEndpoint;
    QUrl tokenEndpoint;
    QString scopes;
    QString clientId;
    QString clientSecret;
};

/// The provider one of whose domains is `name`, when its block names both endpoints and a
/// client id (the shipped configuration names no client id: a user or distributor adds one).
std::optional<Provider> FindProvider(const QString &name);

/// Runs the flow: `openBrowser` is given the address to open; waits (running this thread's
/// events) for the browser to come back to the loopback address, at most `timeoutMs`. The
/// refresh token, or empty with `error` set.
QString SignIn(const Provider &provider, const std::function<void(const QUrl &)> &openBrowser, QString *error,
               int timeoutMs = 5 * 60 * 1000);

/// An access token for `refreshToken`: the one in memory while it lasts, else a fresh one from
/// the token endpoint. Empty with `error` set (and `rejected` true when the provider refused the
/// refresh token: the user must sign in again). Blocking; any thread.
QString AccessToken(const Provider &provider, const QString &refreshToken, QString *error, bool *rejected = nullptr);

}
