#pragma once
#include "ImapProtocol.h"
#include "receive/CArriveShell.h"
#include "trellis/CancelEvent.h"
#include "trellis/Log.h"
#include "trellis/MUError.h"
#include <QAbstractSocket>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <functional>

class QEventLoop;
class QTcpSocket;
class QTimer;

/// One IMAP connection as blocking calls on the worker thread: Connect waits for the greeting,
/// Run sends one command and waits for its tagged completion, Idle waits in IDLE (RFC 2177)
/// for new mail. Every wait runs a nested event loop woken by the socket, the cancel event,
/// the wake event and a timer; nothing polls. Untagged responses go to the handler as they
/// arrive, whatever command is running. The transport is secured exactly as the POP3 shell's:
/// TLS from the first byte or STARTTLS, verified against the system store and the host name,
/// or the account's pinned certificate; nothing is sent before TLS when TLS is chosen.
/// Failures are thrown as MUError; a cancelled wait throws Cancelled().
/// Thread: created, used and destroyed on one thread.
class ImapSession : public QObject
{
    Q_OBJECT
public:
    using Security = CArriveShell::Security;
    using UntaggedHandler = std::function<void(const Imap::Response &)>;

    explicit ImapSession(QObject *parent = nullptr);
    ~ImapSession() override;

    /// `wake` (may be null) ends an Idle early ("check now", "the network is back").
    void Init(LogPtr log, CancelEventPtr cancel, CancelEventPtr wake = {});
    void setRemote(const QString &host, quint16 port);
    void setSecurity(Security security, const QString &certPin = {});
    void setExtraCaCertificates(const QList<QSslCertificate> &certificates) { m_extraCa = certificates; }
    void setInactivityLimit(int ms) { m_inactivityLimitMs = ms; }
    int inactivityLimit() const { return m_inactivityLimitMs; }
    void setUntaggedHandler(UntaggedHandler handler) { m_onUntagged = std::move(handler); }

    /// Connects (TLS at once when chosen) and waits for the greeting; returns it. Throws 525 on
    /// BYE, 519 on time-out, the socket or certificate error.
    Imap::Response Connect();
    /// STARTTLS (RFC 9051 section 6.2.1) and the handshake; throws StartTlsRefused when refused.
    void StartTls();
    /// A fresh tag ("a1", "a2" ...).
    QByteArray NextTag();
    /// Sends `command` (waiting for a continuation between its parts) and returns its tagged
    /// response (OK, NO or BAD). A tagged BAD or NO is returned, not thrown.
    Imap::Response Run(const Imap::Command &command);

    /// Why an Idle ended.
    enum class IdleEnd { NewMail, Renew, Woken };
    /// IDLE until `newMail()` turns true (checked after each untagged response), `renewMs`
    /// passed, or the wake event was signalled; then DONE, without waiting for IDLE's completion
    /// (the next command follows at once). Throws on failure and Cancelled() when cancelled
    /// (after DONE and LOGOUT have been sent).
    IdleEnd Idle(int renewMs, const std::function<bool()> &newMail);
    /// LOGOUT, waiting at most `limitMs` for its completion even when cancelled; never throws.
    void Logout(int limitMs);
    /// The text of the last continuation request (a SASL challenge's base64).
    QByteArray lastContinuation() const { return m_continuation; }
    void Close();
    bool isEncrypted() const { return m_encrypted; }
    /// The server's certificate once a secured connection was attempted (also when refused).
    QSslCertificate peerCertificate() const { return m_peerCertificate; }
    /// The number of the cancellation "error".
    static MUError Cancelled();
    static bool IsCancellation(const MUError &error);

private:
    enum class WaitEnd { Done, Cancelled, TimedOut, Woken, Deadline };
    /// Waits until `done` (or failure). `deadlineMs` > 0 ends it with Deadline; `wakeable`
    /// lets the wake event end it; `ignoreCancel` keeps waiting through a cancellation.
    WaitEnd wait(const std::function<bool()> &done, int deadlineMs = 0, bool wakeable = false,
                 bool ignoreCancel = false, bool inactivity = true);
    QTcpSocket *createSocket();
    void ensureSocket();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onDisconnected();
    void onSslErrors(const QList<QSslError> &errors);
    void onEncrypted();
    void fail(qint32 number, const QString &description);
    void throwIfFailed() const;
    void write(const QByteArray &bytes);
    /// Waits for the tagged response to `tag`; continuation responses set m_continued.
    Imap::Response awaitTagged(const QByteArray &tag, bool ignoreCancel = false, int deadlineMs = 0);
    void handle(const Imap::Response &r);
    /// The first words were no IMAP greeting.
    void notImap(const Imap::Response &r);
    void trace(const QString &text, const QString &member) const;

    LogPtr m_log;
    CancelEventPtr m_cancel;
    CancelEventPtr m_wake;
    QTcpSocket *m_socket = nullptr; // owned (child)
    QString m_host;
    quint16 m_port = 0;
    Security m_security = Security::None;
    QString m_certPin;
    QList<QSslCertificate> m_extraCa;
    int m_inactivityLimitMs = CArriveShell::DefaultInactivityLimitMs;
    UntaggedHandler m_onUntagged;

    Imap::Framer m_framer;
    QList<Imap::Response> m_tagged;    // tagged responses not yet claimed
    std::optional<Imap::Response> m_greeting;
    bool m_continued = false;          // a continuation request arrived
    QByteArray m_continuation;         // the text of the last one
    bool m_loggingOut = false;
    QByteArray m_doneTag;              // an IDLE ended by DONE whose completion is still to come
    bool m_encrypted = false;
    QSslCertificate m_peerCertificate;
    int m_nextTag = 1;
    QEventLoop *m_loop = nullptr;
    QTimer *m_idleTimer = nullptr;
    bool m_failed = false;
    qint32 m_errNumber = 0;
    QString m_errDescription;
};
