#include "CArriveShell.h"
#include <QScopeGuard>
#include "ServerCertificate.h"
#include "SocketErrorNumbers.h"
#include "mime/MessageLimits.h"
#include "trellis/MUError.h"
#include "trellis/Utility.h"
#include <QEventLoop>
#include <QCryptographicHash>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <optional>
#include <utility>

namespace {
const QString kClass = QStringLiteral("CArriveShell");

QString source(const QString &member) { return kClass + QLatin1Char('.') + member; }

/// The command as it may appear in the log: no password, no line end.
QString loggable(const QString &command)
{
    QString line = command;
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    if (line.left(4).toUpper() == QLatin1String("PASS"))
        return QStringLiteral("PASS ****");
    return line;
}

/// A SASL step as it may appear in the log: the verb and mechanism, never the response.
QString loggableSasl(const QString &command)
{
    if (command.left(5).toUpper() == QLatin1String("AUTH ")) {
        const QStringList words = command.trimmed().split(QLatin1Char(' '));
        return words.size() > 2 ? words.mid(0, 2).join(QLatin1Char(' ')) + QStringLiteral(" ****") : command.trimmed();
    }
    return QStringLiteral("****");
}

/// The text of a negative status line: what follows "-ERR" and one blank.
QString negativeText(const QString &statusLine) { return statusLine.mid(5); }

QString seconds(qint64 ms) { return QString::number(double(ms) / 1000.0); }

/// Hands payload lines to a sink for as long as it lives.
class SinkScope
{
public:
    SinkScope(Pop3ReplyFramer &framer, const Pop3ReplyFramer::LineSink &sink) : m_framer(framer)
    {
        m_framer.setLineSink(sink);
    }
    ~SinkScope() { m_framer.setLineSink({}); }
    SinkScope(const SinkScope &) = delete;
    SinkScope &operator=(const SinkScope &) = delete;

private:
    Pop3ReplyFramer &m_framer;
};
}

CArriveShell::CArriveShell(QObject *parent) : QObject(parent)
{
    m_framer.setKeptBytes(MessageLimits::KeptBytes);
}

void CArriveShell::setTimeLimit(qint64 ms)
{
    m_timeLimitMs = ms;
    m_deadline = ms < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(ms, Qt::PreciseTimer);
}

bool CArriveShell::waitEnded(WaitEnd end, int silence, const QString &member) const
{
    switch (end) {
    case WaitEnd::Complete:
        return true;
    case WaitEnd::Cancelled:
        return false;
    case WaitEnd::OverTime:
        throw MUError::engine(531, source(member), {seconds(m_timeLimitMs)});
    case WaitEnd::TimedOut:
        break;
    }
    // "Cannot connect" only when there is no connection; a server that went quiet says so.
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        throw MUError::engine(519, source(member));
    throw MUError::engine(silence, source(member), {seconds(m_inactivityLimitMs)});
}

CArriveShell::~CArriveShell()
{
    Finalize();
}

void CArriveShell::Init(LogPtr log, CancelEventPtr cancelEvent)
{
    m_log = std::move(log);
    m_cancel = std::move(cancelEvent);
}

void CArriveShell::setRemote(const QString &host, quint16 port)
{
    m_host = host;
    m_port = port;
}

quint16 CArriveShell::localPort() const
{
    return m_socket ? m_socket->localPort() : 0;
}

CArriveShell::Security CArriveShell::SecurityFromText(const QString &text)
{
    const QString t = text.trimmed().toUpper();
    if (t == QLatin1String("TLS"))
        return Security::Tls;
    if (t == QLatin1String("STARTTLS"))
        return Security::StartTls;
    return Security::None;
}

QString CArriveShell::SecurityText(Security security)
{
    switch (security) {
    case Security::Tls:
        return QStringLiteral("TLS");
    case Security::StartTls:
        return QStringLiteral("STARTTLS");
    case Security::None:
        break;
    }
    return QStringLiteral("None");
}

QString CArriveShell::Fingerprint(const QSslCertificate &certificate)
{
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

void CArriveShell::setSecurity(Security security, const QString &certPin)
{
    m_security = security;
    m_certPin = certPin.trimmed().toUpper();
}

QTcpSocket *CArriveShell::createSocket()
{
    if (m_security == Security::None)
        return new QTcpSocket;
    return NewVerifyingSocket(m_host, m_extraCa);
}

void CArriveShell::ensureSocket()
{
    if (m_socket)
        return;
    m_socket = createSocket();
    m_socket->setParent(this);
    // Every write is a whole command or batch that waits for its answer: nothing to coalesce.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Plain sockets only: a TLS socket decrypts whole records and is drained on each readyRead anyway.
    if (!qobject_cast<QSslSocket *>(m_socket))
        m_socket->setReadBufferSize(ReadBufferBytes);
    connect(m_socket, &QTcpSocket::readyRead, this, &CArriveShell::onReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &CArriveShell::onSocketError);
    connect(m_socket, &QTcpSocket::disconnected, this, &CArriveShell::onDisconnected);
    if (auto *ssl = qobject_cast<QSslSocket *>(m_socket)) {
        connect(ssl, &QSslSocket::sslErrors, this, &CArriveShell::onSslErrors);
        connect(ssl, &QSslSocket::encrypted, this, &CArriveShell::onEncrypted);
    }
}

void CArriveShell::onSslErrors(const QList<QSslError> &errors)
{
    auto *ssl = qobject_cast<QSslSocket *>(m_socket);
    if (!ssl)
        return;
    m_peerCertificate = ssl->peerCertificate();
    // A certificate the user pinned for this account is accepted whatever the store says.
    if (!m_certPin.isEmpty() && !m_peerCertificate.isNull() && Fingerprint(m_peerCertificate) == m_certPin) {
        ssl->ignoreSslErrors(errors);
        return;
    }
    const QString text = UntrustedCertificateText(errors, !m_certPin.isEmpty());
    trace(text, QStringLiteral("ws_Error"));
    fail(CertificateNotTrusted, text, source(QStringLiteral("ws_Error")));
    ssl->abort();
}

void CArriveShell::onEncrypted()
{
    auto *ssl = qobject_cast<QSslSocket *>(m_socket);
    m_peerCertificate = ssl ? ssl->peerCertificate() : QSslCertificate();
    if (!m_certPin.isEmpty() && Fingerprint(m_peerCertificate) != m_certPin) {
        // Valid for the store, but not the one the user accepted: refuse it all the same.
        fail(CertificateNotTrusted,
             QStringLiteral("The server's certificate %1 is not the certificate pinned for this account. ")
                 .arg(Fingerprint(m_peerCertificate)),
             source(QStringLiteral("ws_Error")));
        ssl->abort();
        return;
    }
    m_encrypted = true;
    trace(QStringLiteral("Encrypted (%1)").arg(ssl ? ssl->sessionCipher().name() : QString()), QStringLiteral("Connect"));
    wake();
}

void CArriveShell::startEncryption()
{
    auto *ssl = qobject_cast<QSslSocket *>(m_socket);
    m_encrypted = false;
    ssl->startClientEncryption();
    if (!waitEnded(waitUntil([this] { return m_encrypted || m_failed; }), 533, QStringLiteral("Connect")))
        return;
    if (m_failed)
        throw MUError(m_errNumber, m_errDescription, m_errSource);
}

void CArriveShell::Connect()
{
    trace(QStringLiteral("Connect() call"), QStringLiteral("Connect"));
    ensureSocket();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    m_failed = false;
    m_encrypted = false;
    m_framer.begin(false);
    if (m_security == Security::Tls)
        static_cast<QSslSocket *>(m_socket)->connectToHostEncrypted(m_host, m_port);
    else
        m_socket->connectToHost(m_host, m_port);

    if (!waitEnded(waitForReply(), 532, QStringLiteral("Connect")))
        return;
    if (m_failed)
        throw MUError(m_errNumber, m_errDescription, m_errSource);
    const QString greeting = QString::fromLatin1(m_framer.statusLine());
    if (greeting.size() > 3 && !greeting.startsWith(QLatin1String("+OK"))) {
        const QString text = greeting.startsWith(QLatin1Char('-')) ? negativeText(greeting) : greeting;
        throw MUError(MUError::engineNumber(525), text, source(QStringLiteral("Connect")));
    }
    if (m_security == Security::Tls && !m_encrypted && !IsSignalled(m_cancel))
        throw MUError(CertificateNotTrusted, QStringLiteral("The connection is not encrypted. "),
                      source(QStringLiteral("Connect")));
    if (m_security == Security::StartTls) {
        // RFC 2595: STLS before anything else; a server that does not offer it gets nothing more.
        QString reply;
        try {
            SendData(QStringLiteral("STLS\r\n"), false, reply);
        } catch (const MUError &e) {
            if (e.number() != MUError::engineNumber(525))
                throw;
            throw MUError(StartTlsRefused,
                          QStringLiteral("The server does not offer STARTTLS (STLS): %1").arg(e.description()),
                          source(QStringLiteral("Connect")));
        }
        if (IsSignalled(m_cancel))
            return;
        startEncryption();
    }
}

void CArriveShell::SendData(const QString &command, bool multiLine, QString &result)
{
    result.clear();
    try {
        trace(QStringLiteral("SendData(%1)").arg(m_saslStep ? loggableSasl(command) : loggable(command)),
              QStringLiteral("SendData"));
        ensureSocket();
        m_failed = false;
        m_framer.begin(multiLine);
        // Anything still unread belongs to no command of ours.
        m_socket->readAll();
        m_carry.clear();
        writeCommand(command.toUtf8());
        m_writtenBeforeFailure = !m_failed;
        if (!awaitReply(multiLine, QStringLiteral("SendData")))
            return;
        interpretReply(command, result);
    } catch (const MUError &e) {
        // A server of RFC 1939 alone refuses CAPA on every check: an answer, not a fault.
        const bool routine = e.number() == MUError::engineNumber(525) && command.left(4).toUpper() == QLatin1String("CAPA");
        if (m_log)
            m_log->Write(e.number(), e.description(), routine ? Log::LevelTrace : Log::LevelError,
                         source(QStringLiteral("SendData")));
        throw;
    }
}

bool CArriveShell::SendSasl(const QString &command, QString &challenge)
{
    m_saslStep = true;
    m_challenged = false;
    const auto done = qScopeGuard([this] { m_saslStep = false; });
    SendData(command, false, challenge);
    return m_challenged;
}

void CArriveShell::SendListing(const QString &command, const Pop3ReplyFramer::LineSink &onLine)
{
    const SinkScope scope(m_framer, onLine);
    QString status;
    SendData(command, true, status);
}

void CArriveShell::SendPipelined(const QStringList &commands, bool multiLine, QStringList &results,
                                 const ReplyHandler &onReply, bool keepPayloads)
{
    SendPipelined(commands, QList<bool>(commands.size(), multiLine), results, onReply, keepPayloads);
}

void CArriveShell::SendPipelined(const QStringList &commands, const QList<bool> &multiLine, QStringList &results,
                                 const ReplyHandler &onReply, bool keepPayloads)
{
    Q_ASSERT(multiLine.size() == commands.size());
    results.clear();
    if (commands.isEmpty())
        return;
    try {
        QByteArray batch;
        for (const QString &command : commands) {
            trace(QStringLiteral("SendData(%1)").arg(loggable(command)), QStringLiteral("SendData"));
            batch += command.toUtf8();
        }
        ensureSocket();
        m_failed = false;
        m_framer.begin(multiLine.value(0));
        m_socket->readAll();
        m_carry.clear();
        writeCommand(batch);
        m_writtenBeforeFailure = !m_failed;

        std::optional<MUError> refusal;
        for (qsizetype i = 0; i < commands.size(); ++i) {
            if (!awaitReply(multiLine.value(i), QStringLiteral("SendData")))
                return;
            QString payload;
            try {
                interpretReply(commands.at(i), payload);
            } catch (const MUError &e) {
                // A broken connection has nothing more to give; a refusal leaves the rest in flight.
                if (m_failed)
                    throw;
                if (!refusal)
                    refusal = e;
                continue;
            }
            if (refusal)
                continue;
            results.append(keepPayloads ? payload : QString());
            if (onReply)
                onReply(i, payload);
        }
        m_carry.clear();
        if (refusal)
            throw *refusal;
    } catch (const MUError &e) {
        if (m_log)
            m_log->Write(e.number(), e.description(), Log::LevelError, source(QStringLiteral("SendData")));
        throw;
    }
}

bool CArriveShell::awaitReply(bool multiLine, const QString &member)
{
    m_framer.begin(multiLine);
    if (!m_carry.isEmpty()) {
        const QByteArray carried = std::exchange(m_carry, QByteArray());
        m_framer.feed(carried);
    }
    // A server that hung up after an earlier reply of a batch sends nothing more.
    if (!m_framer.isComplete() && !m_failed && m_socket->state() == QAbstractSocket::UnconnectedState
        && m_socket->bytesAvailable() == 0)
        fail(SocketErrorNumbers::ConnectionReset, QStringLiteral("The server closed the connection. "),
             source(QStringLiteral("ws_Error")));
    if (!waitEnded(waitForReply(), 533, member))
        return false;
    if (m_framer.isComplete())
        m_carry = m_framer.surplus();
    return true;
}

void CArriveShell::interpretReply(const QString &command, QString &result)
{
    result.clear();
    const QString verb = command.left(4).toUpper();
    if (m_failed) {
        // The server hung up on our farewell before answering it: what QUIT asked for.
        if (verb == QLatin1String("QUIT") && m_errNumber == SocketErrorNumbers::ConnectionReset
            && m_writtenBeforeFailure)
            return;
        throw MUError(m_errNumber, m_errDescription, m_errSource);
    }

    const QString first = QString::fromLatin1(m_framer.statusLine());
    if (m_saslStep && (first == QLatin1String("+") || first.startsWith(QLatin1String("+ ")))) {
        m_challenged = true;
        result = first.mid(2);
        return;
    }
    if (first.left(3).toUpper() != QLatin1String("+OK")) {
        QString text = negativeText(first);
        // Some servers answer TOP with the message itself and no status line.
        if (text.size() >= 2 && first.toLower().startsWith(QLatin1String("received: from"))) {
            result = QString::fromLatin1(m_framer.content());
            return;
        }
        if (text.size() < 2) {
            if (verb == QLatin1String("PASS"))
                text = QStringLiteral("Invalid password");
            else if (verb == QLatin1String("USER"))
                text = QStringLiteral("Invalid logon name");
            else if (verb == QLatin1String("QUIT"))
                return;
            else
                text.clear();
        }
        if (verb == QLatin1String("QUIT"))
            return;
        throw MUError(MUError::engineNumber(525), text, source(QStringLiteral("SendData")));
    }
    result = QString::fromLatin1(m_framer.payload());
}

void CArriveShell::writeCommand(const QByteArray &bytes)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        fail(SocketErrorNumbers::NotConnected, QStringLiteral("The connection is not open. "),
             source(QStringLiteral("SendData")));
        return;
    }
    if (m_socket->write(bytes) != bytes.size()) {
        fail(SocketErrorNumbers::FromQt(m_socket->error()), m_socket->errorString(),
             source(QStringLiteral("SendData")));
        return;
    }
    // Hand the bytes to the system now: after a cancelled QUIT no event loop runs again.
    m_socket->flush();
}

CArriveShell::WaitEnd CArriveShell::waitForReply()
{
    return waitUntil([this] { return m_framer.isComplete() || m_failed; });
}

CArriveShell::WaitEnd CArriveShell::waitUntil(const std::function<bool()> &done)
{
    if (IsSignalled(m_cancel))
        return WaitEnd::Cancelled;

    if (m_deadline.hasExpired())
        return WaitEnd::OverTime;

    QEventLoop loop;
    QTimer idle;
    idle.setSingleShot(true);
    bool timedOut = false;
    connect(&idle, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    // The whole check's limit, to the millisecond: a coarse timer could run late by minutes.
    QTimer overall;
    overall.setSingleShot(true);
    overall.setTimerType(Qt::PreciseTimer);
    bool overTime = false;
    connect(&overall, &QTimer::timeout, &loop, [&] {
        overTime = true;
        loop.quit();
    });
    if (!m_deadline.isForever())
        overall.start(std::chrono::milliseconds(qMax<qint64>(1, m_deadline.remainingTime())));
    CancelWatcher watcher(m_cancel);
    connect(&watcher, &CancelWatcher::signalled, &loop, &QEventLoop::quit);

    m_loop = &loop;
    m_idleTimer = &idle;
    idle.start(m_inactivityLimitMs);
    // Bytes that arrived while no loop ran have already announced themselves.
    if (m_socket && m_socket->bytesAvailable() > 0)
        onReadyRead();
    while (!done() && !timedOut && !overTime && !IsSignalled(m_cancel))
        loop.exec();
    m_loop = nullptr;
    m_idleTimer = nullptr;

    if (IsSignalled(m_cancel))
        return WaitEnd::Cancelled;
    if (done())
        return WaitEnd::Complete;
    return overTime ? WaitEnd::OverTime : WaitEnd::TimedOut;
}

void CArriveShell::onReadyRead()
{
    if (!m_socket)
        return;
    const QByteArray chunk = m_socket->readAll();
    if (IsSignalled(m_cancel))
        return;
    if (m_idleTimer)
        m_idleTimer->start();
    if (chunk.isEmpty())
        return;
    if (m_framer.feed(chunk))
        wake();
}

void CArriveShell::onSocketError(QAbstractSocket::SocketError error)
{
    const qint32 number = SocketErrorNumbers::FromQt(error);
    const QString description = m_socket ? m_socket->errorString() : QString();
    trace(Utility::FormatText(QStringLiteral("ws_Error(%1, '%2') call"), {QString::number(number), description}),
          QStringLiteral("ws_Error"));
    if (IsSignalled(m_cancel))
        return;
    // A close after a complete reply (the answer to QUIT) is no failure of that reply.
    if (m_framer.isComplete() && error == QAbstractSocket::RemoteHostClosedError)
        return;
    fail(number, description, source(QStringLiteral("ws_Error")));
}

void CArriveShell::onDisconnected()
{
    if (IsSignalled(m_cancel) || m_failed || m_framer.isComplete())
        return;
    fail(SocketErrorNumbers::ConnectionReset, QStringLiteral("The server closed the connection. "),
         source(QStringLiteral("ws_Error")));
}

void CArriveShell::fail(qint32 number, const QString &description, const QString &errSource)
{
    if (!m_failed) {
        m_failed = true;
        m_errNumber = number;
        m_errDescription = description;
        m_errSource = errSource;
    }
    if (m_idleTimer)
        m_idleTimer->start();
    wake();
}

void CArriveShell::wake()
{
    if (m_loop)
        m_loop->quit();
}

void CArriveShell::Close()
{
    if (!m_socket)
        return;
    m_socket->flush();
    m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
}

void CArriveShell::Finalize()
{
    if (!m_socket)
        return;
    Close();
    delete m_socket;
    m_socket = nullptr;
}

void CArriveShell::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Trace(text, source(member));
}
