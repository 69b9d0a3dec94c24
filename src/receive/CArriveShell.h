#pragma once
#include "Pop3ReplyFramer.h"
#include "trellis/CancelEvent.h"
#include "trellis/Log.h"
#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class MUError;
class QEventLoop;
class QTcpSocket;
class QTimer;

/// Blocking, line-oriented POP3 calls over an event-driven socket. Connect waits for
/// the greeting; SendData sends one command and waits for its whole reply. Both waits
/// run a nested event loop of the calling thread (woken by the socket, the cancel event
/// and an inactivity timer), and both return at once, without error, when the cancel
/// event is signalled.
/// Thread: created, used and destroyed on one thread (a worker's, or the main thread
/// for the account checker). Failures are thrown as MUError.
class CArriveShell : public QObject
{
    Q_OBJECT
public:
    /// A wait gives up when nothing has arrived for this long (519).
    static constexpr int DefaultInactivityLimitMs = 180 * 1000;
    /// The socket holds at most this much unread: a fast server cannot fill memory while
    /// the reader is busy.
    static constexpr qint64 ReadBufferBytes = 256 * 1024;

    /// How the connection is secured: TLS from the first byte (port 995), STLS after the
    /// greeting (RFC 2595), or not at all. A secured connection never falls back to plain text.
    enum class Security { None, Tls, StartTls };
    /// "TLS", "STARTTLS" or "None" (any case); anything else is None.
    static Security SecurityFromText(const QString &text);
    static QString SecurityText(Security security);
    /// The number of a certificate that cannot be trusted (SEC_E_UNTRUSTED_ROOT).
    static constexpr qint32 CertificateNotTrusted = qint32(0x80090325u);
    /// The number of a STARTTLS that the server does not offer.
    static constexpr qint32 StartTlsRefused = qint32(0x80090331u);
    /// The SHA-256 fingerprint of a certificate as the account stores it: hex, colon-separated, upper case.
    static QString Fingerprint(const QSslCertificate &certificate);

    explicit CArriveShell(QObject *parent = nullptr);
    ~CArriveShell() override;

    /// Keeps the log and the cancel event (null: never cancelled).
    void Init(LogPtr log, CancelEventPtr cancelEvent);
    void setRemote(const QString &host, quint16 port);
    QString remoteHost() const { return m_host; }
    quint16 remotePort() const { return m_port; }
    /// The local port of the connection (0 before it is made).
    quint16 localPort() const;
    /// The inactivity limit of both waits, in milliseconds (tests shorten it).
    void setInactivityLimit(int ms) { m_inactivityLimitMs = ms; }
    int inactivityLimit() const { return m_inactivityLimitMs; }
    /// The most payload bytes kept of one multi-line reply (default: MessageLimits::KeptBytes);
    /// the rest is read and dropped, and LastReplyTruncated() tells.
    void setKeptBytes(qsizetype bytes) { m_framer.setKeptBytes(bytes); }
    /// Whether the payload of the last reply completed was cut at the kept size. Inside a
    /// ReplyHandler: of the reply handed to it.
    bool LastReplyTruncated() const { return m_framer.truncated(); }
    /// Every wait from now on ends, with 531, once `ms` milliseconds have passed in all:
    /// a server that keeps sending a byte now and then cannot hold a check for ever.
    /// Negative: no limit.
    void setTimeLimit(qint64 ms);
    /// Secures the next Connect. `certPin` (a Fingerprint) makes exactly that certificate the
    /// only one accepted, even a self-signed one; empty: the system's trust store decides.
    void setSecurity(Security security, const QString &certPin = {});
    Security security() const { return m_security; }
    /// More certificate authorities to trust besides the system's (tests, private CAs).
    void setExtraCaCertificates(const QList<QSslCertificate> &certificates) { m_extraCa = certificates; }
    /// The server's certificate once a secured connection was attempted (also when it was refused).
    QSslCertificate peerCertificate() const { return m_peerCertificate; }

    /// Connects and waits for a positive greeting. Throws 519 when no connection was made
    /// in time, 532 when it was made but no greeting came, 531 past the time limit, the
    /// socket error, or 525 with the server's text on a negative greeting.
    void Connect();
    /// Sends `command` (with its CR LF) and waits for its reply; `result` gets the
    /// reply's payload (single-line: the text after "+OK "; multi-line: the lines
    /// between the status line and the terminating "."). Text is one character per byte.
    /// Throws 525 on a negative reply (except to QUIT), 533 when the server stops answering,
    /// 531 past the time limit, or the socket error.
    void SendData(const QString &command, bool multiLine, QString &result);
    /// One step of a SASL exchange (RFC 5034): sends `command` (AUTH or a base64 response,
    /// with its CR LF; never logged as it is) and waits for a single-line reply. True when the
    /// server asks for more ("+ "), `challenge` then holding its base64; false on +OK. Errors,
    /// -ERR included, as SendData.
    bool SendSasl(const QString &command, QString &challenge);
    /// Sends a multi-line `command` (with its CR LF) and hands each line of its payload to
    /// `onLine` as it arrives, keeping none of them (a listing of millions of lines costs no
    /// memory). Errors and cancellation as SendData.
    void SendListing(const QString &command, const Pop3ReplyFramer::LineSink &onLine);

    /// Called with the index and payload of each positive reply of a pipelined batch as soon
    /// as it is complete, on the shell's thread; must not throw.
    using ReplyHandler = std::function<void(qsizetype index, const QString &payload)>;
    /// RFC 2449 PIPELINING: sends all `commands` (each with its CR LF) in one write, then reads
    /// their replies in order, each framed as SendData frames one (bytes past the end of one
    /// reply start the next) and each under the inactivity limit. `results` gets the payloads
    /// in order and `onReply` sees each one. After a negative reply the rest of the batch is
    /// still read (and dropped) so the connection stays usable; then that first refusal is
    /// thrown as SendData would throw it, `results` holding the replies before it. A socket
    /// error or time-out is thrown at once. Cancelled: returns at once without error,
    /// `results` holding the replies completed before. With `keepPayloads` false, `results`
    /// gets an empty text for each reply: `onReply` alone sees them, and a batch of large
    /// messages is never held at once.
    void SendPipelined(const QStringList &commands, bool multiLine, QStringList &results,
                       const ReplyHandler &onReply = {}, bool keepPayloads = true);
    /// The same with a multi-line flag for each command (e.g. STAT and UIDL in one batch).
    void SendPipelined(const QStringList &commands, const QList<bool> &multiLine, QStringList &results,
                       const ReplyHandler &onReply = {}, bool keepPayloads = true);
    /// Whether the last multi-line reply ended in a later chunk than its first.
    bool EndedLate() const { return m_framer.endedLate(); }
    /// Closes the connection (pending bytes are flushed first).
    void Close();
    /// Releases the socket.
    void Finalize();

    /// True when `event` is not null and is signalled.
    static bool IsSignalled(const CancelEventPtr &event) { return ::IsSignalled(event); }

protected:
    /// The one place the transport is made. A TLS mode returns a QSslSocket here.
    virtual QTcpSocket *createSocket();

private:
    enum class WaitEnd { Complete, Cancelled, TimedOut, OverTime };
    /// How every wait ends: true when complete, false when cancelled; a wait that ran out
    /// throws 531 past the time limit, else 519 before the connection was made, `silence`
    /// (532 or 533) after.
    bool waitEnded(WaitEnd end, int silence, const QString &member) const;

    WaitEnd waitUntil(const std::function<bool()> &done);
    void startEncryption();
    void onSslErrors(const QList<QSslError> &errors);
    void onEncrypted();

    void ensureSocket();
    WaitEnd waitForReply();
    /// Frames the next reply, starting with the bytes left over from the previous one.
    /// False when cancelled; throws 519 (source `member`) on time-out.
    bool awaitReply(bool multiLine, const QString &member);
    /// The payload of the complete reply to `command`; throws the socket error, or 525 on a
    /// negative reply (none for QUIT). Empties `result` first.
    void interpretReply(const QString &command, QString &result);
    void writeCommand(const QByteArray &bytes);
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onDisconnected();
    void fail(qint32 number, const QString &description, const QString &source);
    void wake();
    void trace(const QString &text, const QString &member) const;

    LogPtr m_log;
    CancelEventPtr m_cancel;
    QTcpSocket *m_socket = nullptr; // owned (child)
    QString m_host;
    quint16 m_port = 0;
    int m_inactivityLimitMs = DefaultInactivityLimitMs;
    QDeadlineTimer m_deadline = QDeadlineTimer::Forever;
    qint64 m_timeLimitMs = -1;
    Security m_security = Security::None;
    QString m_certPin;
    QList<QSslCertificate> m_extraCa;
    QSslCertificate m_peerCertificate;
    bool m_encrypted = false;

    Pop3ReplyFramer m_framer;
    QByteArray m_carry;             // bytes received past the end of the last reply
    QEventLoop *m_loop = nullptr;   // the running wait, if any
    QTimer *m_idleTimer = nullptr;  // the running wait's inactivity timer
    bool m_failed = false;
    bool m_saslStep = false;  // a "+ " reply is the server's challenge, not a refusal
    bool m_challenged = false;
    bool m_writtenBeforeFailure = false; // the command left before the connection failed
    qint32 m_errNumber = 0;
    QString m_errDescription;
    QString m_errSource;
};
