#pragma once
// Dovecot signing users in with OAuth2 access tokens: the kit's server (its Maildir, user and
// configuration) plus a second master on its own ports whose passdb is Dovecot's oauth2 driver,
// asking a local introspection service which tokens are good. Shared by the receiver and the
// command-line suites.
#include "DovecotFixture.h"
#include "ScriptedHttpServer.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <memory>

class OAuthDovecot
{
public:
    OAuthDovecot() = default;
    ~OAuthDovecot() { stop(); }
    OAuthDovecot(const OAuthDovecot &) = delete;
    OAuthDovecot &operator=(const OAuthDovecot &) = delete;

    /// Tokens the introspection service calls good; any other one gets 401.
    void acceptToken(const QByteArray &token)
    {
        ScriptedHttpServer::Response good;
        good.headers = {{"Content-Type", "application/json"}};
        good.body = "{\"active\":true,\"username\":\"" + m_base.user().toUtf8() + "\"}";
        m_introspection.on("GET", introspectionPath(token), good);
    }
    /// The request Dovecot makes to learn about `token`.
    static QByteArray introspectionPath(const QByteArray &token)
    {
        return "/introspect?token=" + token + "&client_id=&client_secret=";
    }

    /// The token mechanisms offered ("oauthbearer xoauth2" unless set before start()).
    void setMechanisms(const QString &mechanisms) { m_mechanisms = mechanisms; }

    bool start(QString *whyNot)
    {
        // An unknown token is inactive (RFC 7662); a 401 here makes Dovecot fail temporarily.
        ScriptedHttpServer::Response refused;
        refused.headers = {{"Content-Type", "application/json"}};
        refused.body = "{\"active\":false}";
        m_introspection.setFallback(refused);
        if (!m_introspection.listen())
            return fail(whyNot, QStringLiteral("no port for the introspection service"));
        m_base.enableImap();
        if (!m_base.start(whyNot))
            return false;
        const QString dir = QFileInfo(m_base.configPath()).absolutePath();
        QFile original(m_base.configPath());
        if (!original.open(QIODevice::ReadOnly))
            return fail(whyNot, QStringLiteral("cannot read the kit's configuration"));
        QString conf = QString::fromUtf8(original.readAll());
        m_pop3Port = DovecotFixture::freePort();
        m_imapPort = DovecotFixture::freePort();
        conf.replace(QStringLiteral("port = %1\n").arg(m_base.port()), QStringLiteral("port = %1\n").arg(m_pop3Port));
        conf.replace(QStringLiteral("port = %1\n").arg(m_base.imapPort()), QStringLiteral("port = %1\n").arg(m_imapPort));
        conf.replace(QStringLiteral("base_dir = %1/run\n").arg(dir), QStringLiteral("base_dir = %1/run-oauth\n").arg(dir));
        conf.replace(QStringLiteral("state_dir = %1/state\n").arg(dir), QStringLiteral("state_dir = %1/state-oauth\n").arg(dir));
        conf.replace(QRegularExpression(QStringLiteral("instance_name = (\\S+)")), QStringLiteral("instance_name = \\1-oauth"));
        conf.replace(QRegularExpression(QStringLiteral("auth_mechanisms = [^\n]*")),
                     QStringLiteral("auth_mechanisms = plain ") + m_mechanisms);
        conf.replace(QRegularExpression(QStringLiteral("passdb \\{[^}]*\\}")),
                     QStringLiteral("passdb {\n  driver = oauth2\n  mechanisms = %2\n  args = %1/oauth2.conf.ext\n}")
                         .arg(dir, m_mechanisms));
        QDir(dir).mkpath(QStringLiteral("run-oauth"));
        QDir(dir).mkpath(QStringLiteral("state-oauth"));
        QFile ext(dir + QStringLiteral("/oauth2.conf.ext"));
        if (!ext.open(QIODevice::WriteOnly))
            return fail(whyNot, QStringLiteral("cannot write the oauth2 settings"));
        ext.write("introspection_mode = get\n"
                  "introspection_url = " + m_introspection.url("/introspect?token=").toUtf8() + "\n"
                  "force_introspection = yes\n"
                  "username_attribute = username\n"
                  "active_attribute = active\n"
                  "active_value = true\n");
        ext.close();
        const QString configPath = dir + QStringLiteral("/dovecot-oauth.conf");
        QFile out(configPath);
        if (!out.open(QIODevice::WriteOnly) || out.write(conf.toUtf8()) < 0)
            return fail(whyNot, QStringLiteral("cannot write the configuration"));
        out.close();

        m_process = DovecotFixture::startMaster(configPath, dir + QStringLiteral("/run-oauth"), whyNot);
        return m_process != nullptr;
    }

    void stop()
    {
        DovecotFixture::stopMaster(m_process);
        m_base.stop();
    }

    DovecotFixture &base() { return m_base; }
    ScriptedHttpServer &introspection() { return m_introspection; }
    QString host() const { return m_base.host(); }
    QString user() const { return m_base.user(); }
    quint16 pop3Port() const { return m_pop3Port; }
    quint16 imapPort() const { return m_imapPort; }
    QString logText() const { return m_base.logText(); }

private:
    static bool fail(QString *whyNot, const QString &why)
    {
        if (whyNot)
            *whyNot = why;
        return false;
    }

    DovecotFixture m_base;
    ScriptedHttpServer m_introspection;
    std::unique_ptr<QProcess> m_process;
    QString m_mechanisms = QStringLiteral("oauthbearer xoauth2");
    quint16 m_pop3Port = 0;
    quint16 m_imapPort = 0;
};
