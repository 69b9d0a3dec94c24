#pragma once
#include "trellis/Record.h"
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

/// A real Dovecot POP3 server for integration tests and benchmarks: its own
/// configuration, passwd-file user and Maildir in a temporary folder, listening on a free
/// loopback port. As root the login processes run as "dovenull" and mail is accessed as
/// "dovecot" (the Maildir is handed to it); as an ordinary user everything runs as that
/// user. Stopped (and the folder removed) by stop() or the destructor.
/// Thread: use from one thread; start() waits in a nested event loop for the server to
/// be ready, stop() blocks until it has ended.
class DovecotFixture
{
public:
    DovecotFixture() = default;
    ~DovecotFixture();
    DovecotFixture(const DovecotFixture &) = delete;
    DovecotFixture &operator=(const DovecotFixture &) = delete;

    /// Also listen for POP3 over TLS (pop3s) with these PEM files; call before start().
    void enableTls(const QString &certFile, const QString &keyFile);

    /// Also serve IMAP (plain with STARTTLS on imapPort(), and imaps when TLS is enabled);
    /// call before start(). Needs dovecot-imapd.
    void enableImap() { m_imap = true; }

    /// Sign in with OAuth2 access tokens instead of the password: Dovecot asks the
    /// introspection service at `introspectionUrl` (the token appended) about each one and
    /// offers `mechanisms` ("oauthbearer xoauth2"); call before start().
    void enableOAuth2(const QString &introspectionUrl, const QString &mechanisms)
    {
        m_introspectionUrl = introspectionUrl;
        m_tokenMechanisms = mechanisms;
    }

    /// Writes the configuration and starts the server. False with `whyNot` filled when
    /// Dovecot is missing or cannot start (the caller skips).
    bool start(QString *whyNot);
    /// Stops the server and waits for its master process to end.
    void stop();

    /// Adds a raw message (CR LF or LF line ends) to the Maildir as a new message; messages
    /// are numbered by the server in the order they were added.
    bool addMessage(const QByteArray &raw);

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return m_port; }
    /// The pop3s port, 0 without TLS.
    quint16 tlsPort() const { return m_tlsPort; }
    /// The IMAP ports (0 without IMAP, or without TLS for the second).
    quint16 imapPort() const { return m_imapPort; }
    quint16 imapTlsPort() const { return m_imapTlsPort; }
    QString user() const { return QStringLiteral("murmelo"); }
    QString password() const { return QStringLiteral("Secret-Pop3-Pw"); }
    /// The test user's account on `port` (default: plain POP3), as a receiver takes it.
    Record account(quint16 port = 0, const QString &security = {}, const QString &protocol = {}) const;
    /// The server's log so far (for failure messages).
    QString logText() const;

    /// A loopback port that was free a moment ago: nobody listens there until someone binds it.
    static quint16 freePort();

private:
    QString configPath() const;
    bool writeConfig(QString *whyNot);
    bool handToMailUser(const QString &path) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process; // the master
    QString m_certFile;
    QString m_keyFile;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
    bool m_imap = false;
    quint16 m_imapPort = 0;
    quint16 m_imapTlsPort = 0;
    int m_mailUid = -1;
    int m_mailGid = -1;
    int m_nextMessage = 0;
    QString m_introspectionUrl;
    QString m_tokenMechanisms;
};
