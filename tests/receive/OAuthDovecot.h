#pragma once
// Dovecot signing users in with OAuth2 access tokens, asking a local introspection service
// which tokens are good. Shared by the receiver and the command-line suites.
#include "DovecotFixture.h"
#include "ScriptedHttpServer.h"

class OAuthDovecot : public DovecotFixture
{
public:
    /// Tokens the introspection service calls good; any other one is inactive.
    void acceptToken(const QByteArray &token)
    {
        ScriptedHttpServer::Response good;
        good.headers = {{"Content-Type", "application/json"}};
        good.body = "{\"active\":true,\"username\":\"" + user().toUtf8() + "\"}";
        m_introspection.on("GET", introspectionPath(token), good);
    }
    /// The request Dovecot makes to learn about `token`.
    static QByteArray introspectionPath(const QByteArray &token)
    {
        return "/introspect?token=" + token + "&client_id=&client_secret=";
    }

    /// The token mechanisms offered ("oauthbearer xoauth2" unless set before start()).
    void setMechanisms(const QString &mechanisms) { m_mechanisms = mechanisms; }

    /// Starts POP3 and IMAP with tokens in place of the password.
    bool start(QString *whyNot)
    {
        // An unknown token is inactive (RFC 7662); a 401 here makes Dovecot fail temporarily.
        ScriptedHttpServer::Response refused;
        refused.headers = {{"Content-Type", "application/json"}};
        refused.body = "{\"active\":false}";
        m_introspection.setFallback(refused);
        if (!m_introspection.listen()) {
            *whyNot = QStringLiteral("no port for the introspection service");
            return false;
        }
        enableImap();
        enableOAuth2(m_introspection.url("/introspect?token="), m_mechanisms);
        return DovecotFixture::start(whyNot);
    }

    ScriptedHttpServer &introspection() { return m_introspection; }

private:
    ScriptedHttpServer m_introspection;
    QString m_mechanisms = QStringLiteral("oauthbearer xoauth2");
};
