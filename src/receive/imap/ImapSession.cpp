#include "ImapSession.h"
#include "receive/ServerCertificate.h"
#include "receive/SocketErrorNumbers.h"
#include <QEventLoop>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

namespace {
const QString kClass = QStringLiteral("ImapSession");
QString source(const QString &member) { return kClass + QLatin1Char('.') + member; }
const QString kCancelled = QStringLiteral("Cancelled. ");

/// A status response as it may appear in the log (never a literal's bytes).
QString loggableResponse(const Imap::Response &r)
{
    // Ours are short ("a12"): a long one is a line of ours thrown back, which may be a SASL response.
    QByteArray line = r.type != Imap::Response::Type::Tagged ? QByteArray("*") : r.tag.size() > 12 ? QByteArray("****") : r.tag;
    line += ' ' + r.keyword;
    if (!r.code.isEmpty())
        line += " [" + r.code + "]";
    line += ' ' + r.text.left(200);
    return QString::fromLatin1(line);
}
}

ImapSession::ImapSession(QObject *parent) : QObject(parent) {}

ImapSession::~ImapSession()
{
    Close();
}

void ImapSession::Init(LogPtr log, CancelEventPtr cancel, CancelEventPtr wake)
{
    m_log = std::move(log);
    m_cancel = std::move(cancel);
    m_wake = std::move(wake);
}

void ImapSession::setRemote(const QString &host, quint16 port)
{
    m_host = host;
    m_port = port;
}

void ImapSession::setSecurity(Security security, const QString &certPin)
{
    m_security = security;
    m_certPin = certPin.trimmed().toUpper();
}

MUError ImapSession::Cancelled()
{
    return MUError(MUError::Fail, kCancelled, source(QStringLiteral("Run")));
}

bool ImapSession::IsCancellation(const MUError &error)
{
    return error.number() == MUError::Fail && error.description() == kCancelled;
}

QTcpSocket *ImapSession::createSocket()
{
    if (m_security == Security::None)
        return new QTcpSocket;
    return NewVerifyingSocket(m_host, m_extraCa);
}

void ImapSession::ensureSocket()
{
    if (m_socket)
        return;
    m_socket = createSocket();
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_socket, &QTcpSocket::readyRead, this, &ImapSession::onReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ImapSession::onSocketError);
    connect(m_socket, &QTcpSocket::disconnected, this, &ImapSession::onDisconnected);
    if (auto *ssl = qobject_cast<QSslSocket *>(m_socket)) {
        connect(ssl, &QSslSocket::sslErrors, this, &ImapSession::onSslErrors);
        connect(ssl, &QSslSocket::encrypted, this, &ImapSession::onEncrypted);
    }
}

void ImapSession::onSslErrors(const QList<QSslError> &errors)
{
    auto *ssl = qobject_cast<QSslSocket *>(m_socket);
    if (!ssl)
        return;
    const QSslCertificate peer = ssl->peerCertificate();
    m_peerCertificate = peer;
    // A certificate the user pinned for this account is accepted whatever the store says.
    if (!m_certPin.isEmpty() && !peer.isNull() && CArriveShell::Fingerprint(peer) == m_certPin) {
        ssl->ignoreSslErrors(errors);
        return;
    }
    const QString text = UntrustedCertificateText(errors, !m_certPin.isEmpty());
    trace(text, QStringLiteral("ws_Error"));
    fail(CArriveShell::CertificateNotTrusted, text);
    ssl->abort();
}

void ImapSession::onEncrypted()
{
    auto *ssl = qobject_cast<QSslSocket *>(m_socket);
    const QSslCertificate peer = ssl ? ssl->peerCertificate() : QSslCertificate();
    m_peerCertificate = peer;
    if (!m_certPin.isEmpty() && CArriveShell::Fingerprint(peer) != m_certPin) {
        fail(CArriveShell::CertificateNotTrusted,
             QStringLiteral("The server's certificate %1 is not the certificate pinned for this account. ")
                 .arg(CArriveShell::Fingerprint(peer)));
        ssl->abort();
        return;
    }
    m_encrypted = true;
    trace(QStringLiteral("Encrypted (%1)").arg(ssl ? ssl->sessionCipher().name() : QString()), QStringLiteral("Connect"));
    if (m_loop)
        m_loop->quit();
}

Imap::Response ImapSession::Connect()
{
    trace(QStringLiteral("Connect() call"), QStringLiteral("Connect"));
    ensureSocket();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    m_failed = false;
    m_encrypted = false;
    m_loggingOut = false;
    m_greeting.reset();
    m_framer.reset();
    m_tagged.clear();
    if (m_security == Security::Tls)
        static_cast<QSslSocket *>(m_socket)->connectToHostEncrypted(m_host, m_port);
    else
        m_socket->connectToHost(m_host, m_port);
    switch (wait([this] { return m_greeting.has_value(); })) {
    case WaitEnd::Cancelled:
        throw Cancelled();
    case WaitEnd::Done:
        break;
    default:
        throw MUError::engine(519, source(QStringLiteral("Connect")));
    }
    throwIfFailed();
    if (m_security == Security::Tls && !m_encrypted)
        throw MUError(CArriveShell::CertificateNotTrusted, QStringLiteral("The connection is not encrypted. "),
                      source(QStringLiteral("Connect")));
    return *m_greeting;
}

void ImapSession::StartTls()
{
    const Imap::Response r = Run(Imap::CommandBuilder(NextTag()).atom("STARTTLS").build());
    if (!r.isOk())
        throw MUError(CArriveShell::StartTlsRefused,
                      QStringLiteral("The server refuses STARTTLS: %1").arg(QString::fromLatin1(r.text)),
                      source(QStringLiteral("Connect")));
    // Anything the server sent after its OK came before the encryption: it cannot be trusted.
    m_framer.reset();
    m_tagged.clear();
    auto *ssl = qobject_cast<QSslSocket *>(m_socket);
    m_encrypted = false;
    ssl->startClientEncryption();
    switch (wait([this] { return m_encrypted; })) {
    case WaitEnd::Cancelled:
        throw Cancelled();
    case WaitEnd::Done:
        break;
    default:
        throw MUError::engine(519, source(QStringLiteral("Connect")));
    }
    throwIfFailed();
}

QByteArray ImapSession::NextTag()
{
    return "a" + QByteArray::number(m_nextTag++);
}

Imap::Response ImapSession::Run(const Imap::Command &command)
{
    trace(QStringLiteral("SendData(%1)").arg(QString::fromUtf8(command.loggable)), QStringLiteral("SendData"));
    throwIfFailed();
    for (qsizetype i = 0; i < command.parts.size(); ++i) {
        if (i > 0) {
            // A synchronising literal or a SASL response: the server must ask for it first.
            auto tagged = [&] {
                for (const Imap::Response &r : std::as_const(m_tagged)) {
                    if (r.tag == command.tag)
                        return true;
                }
                return false;
            };
            switch (wait([&] { return m_continued || tagged(); })) {
            case WaitEnd::Cancelled:
                throw Cancelled();
            case WaitEnd::Done:
                break;
            default:
                throw MUError::engine(519, source(QStringLiteral("SendData")));
            }
            if (!m_continued)
                return awaitTagged(command.tag);
            throwIfFailed();
        }
        m_continued = false;
        write(command.parts.at(i));
    }
    return awaitTagged(command.tag);
}

Imap::Response ImapSession::awaitTagged(const QByteArray &tag, bool ignoreCancel, int deadlineMs)
{
    auto index = [&]() -> qsizetype {
        for (qsizetype i = 0; i < m_tagged.size(); ++i) {
            if (m_tagged.at(i).tag == tag)
                return i;
        }
        return -1;
    };
    const WaitEnd end = wait([&] { return index() >= 0; }, deadlineMs, false, ignoreCancel);
    const qsizetype i = index();
    if (i >= 0)
        return m_tagged.takeAt(i);
    if (end == WaitEnd::Cancelled)
        throw Cancelled();
    throwIfFailed();
    throw MUError::engine(519, source(QStringLiteral("SendData")));
}

ImapSession::IdleEnd ImapSession::Idle(int renewMs, const std::function<bool()> &newMail)
{
    const QByteArray tag = NextTag();
    trace(QStringLiteral("SendData(%1 IDLE)").arg(QString::fromLatin1(tag)), QStringLiteral("Idle"));
    throwIfFailed();
    m_continued = false;
    write(tag + " IDLE\r\n");
    auto refused = [&] {
        for (const Imap::Response &r : std::as_const(m_tagged)) {
            if (r.tag == tag)
                return true;
        }
        return false;
    };
    switch (wait([&] { return m_continued || refused(); })) {
    case WaitEnd::Cancelled:
        // IDLE has left: the server idles whether or not its "+" came back yet.
        write("DONE\r\n");
        Logout(500);
        throw Cancelled();
    case WaitEnd::Done:
        break;
    default:
        throw MUError::engine(519, source(QStringLiteral("Idle")));
    }
    throwIfFailed();
    if (!m_continued) {
        const Imap::Response r = awaitTagged(tag);
        throw MUError(MUError::engineNumber(525), QStringLiteral("IDLE: ") + QString::fromLatin1(r.text),
                      source(QStringLiteral("Idle")));
    }
    // No inactivity limit here: a server may rightly say nothing until the renewal.
    IdleEnd end = IdleEnd::NewMail;
    switch (wait(newMail, renewMs, true, false, false)) {
    case WaitEnd::Cancelled:
        write("DONE\r\n");
        Logout(500);
        throw Cancelled();
    case WaitEnd::Done:
        throwIfFailed();
        end = IdleEnd::NewMail;
        break;
    case WaitEnd::Woken:
        end = IdleEnd::Woken;
        break;
    case WaitEnd::Deadline:
    case WaitEnd::TimedOut:
        end = IdleEnd::Renew;
        break;
    }
    trace(QStringLiteral("SendData(DONE)"), QStringLiteral("Idle"));
    write("DONE\r\n");
    // The next command goes out at once behind DONE (a round trip saved when new mail waits);
    // IDLE's own completion is dropped when it comes.
    m_doneTag = tag;
    return end;
}

void ImapSession::Logout(int limitMs)
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState || m_failed || m_loggingOut)
        return;
    m_loggingOut = true;
    const QByteArray tag = NextTag();
    trace(QStringLiteral("SendData(%1 LOGOUT)").arg(QString::fromLatin1(tag)), QStringLiteral("Logout"));
    write(tag + " LOGOUT\r\n");
    try {
        awaitTagged(tag, true, limitMs);
    } catch (const MUError &) {
        // The farewell is a courtesy: the connection is closed whatever the answer.
    }
}

void ImapSession::Close()
{
    if (!m_socket)
        return;
    m_loggingOut = true;
    m_socket->flush();
    m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
}

void ImapSession::write(const QByteArray &bytes)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        fail(SocketErrorNumbers::NotConnected, QStringLiteral("The connection is not open. "));
        throwIfFailed();
    }
    if (m_socket->write(bytes) != bytes.size()) {
        fail(SocketErrorNumbers::FromQt(m_socket->error()), m_socket->errorString());
        throwIfFailed();
    }
    m_socket->flush();
}

ImapSession::WaitEnd ImapSession::wait(const std::function<bool()> &done, int deadlineMs, bool wakeable,
                                       bool ignoreCancel, bool inactivity)
{
    auto cancelled = [&] { return !ignoreCancel && IsSignalled(m_cancel); };
    auto woken = [&] { return wakeable && IsSignalled(m_wake); };
    // Bytes that arrived while no loop ran have not been read yet.
    if (m_socket && m_socket->bytesAvailable() > 0)
        onReadyRead();
    if (cancelled())
        return WaitEnd::Cancelled;
    if (done() || m_failed)
        return WaitEnd::Done;
    if (woken())
        return WaitEnd::Woken;

    QEventLoop loop;
    QTimer idle;
    QTimer deadline;
    idle.setSingleShot(true);
    deadline.setSingleShot(true);
    bool timedOut = false;
    bool deadlinePassed = false;
    connect(&idle, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    connect(&deadline, &QTimer::timeout, &loop, [&] {
        deadlinePassed = true;
        loop.quit();
    });
    CancelWatcher cancelWatcher(ignoreCancel ? CancelEventPtr() : m_cancel);
    connect(&cancelWatcher, &CancelWatcher::signalled, &loop, &QEventLoop::quit);
    CancelWatcher wakeWatcher(wakeable ? m_wake : CancelEventPtr());
    connect(&wakeWatcher, &CancelWatcher::signalled, &loop, &QEventLoop::quit);

    m_loop = &loop;
    m_idleTimer = inactivity ? &idle : nullptr;
    if (inactivity)
        idle.start(m_inactivityLimitMs);
    if (deadlineMs > 0)
        deadline.start(deadlineMs);
    while (!done() && !m_failed && !timedOut && !deadlinePassed && !cancelled() && !woken())
        loop.exec();
    m_loop = nullptr;
    m_idleTimer = nullptr;

    if (cancelled())
        return WaitEnd::Cancelled;
    if (done() || m_failed)
        return WaitEnd::Done;
    if (woken())
        return WaitEnd::Woken;
    return deadlinePassed ? WaitEnd::Deadline : WaitEnd::TimedOut;
}

void ImapSession::onReadyRead()
{
    if (!m_socket)
        return;
    const QByteArray chunk = m_socket->readAll();
    if (chunk.isEmpty())
        return;
    if (m_idleTimer)
        m_idleTimer->start();
    m_framer.feed(chunk);
    while (const std::optional<QByteArray> raw = m_framer.next())
        handle(Imap::Parse(*raw));
    if (m_framer.failed()) {
        fail(SocketErrorNumbers::MessageTooLong,
             QStringLiteral("The server's response exceeds %1 bytes. ").arg(Imap::Framer::DefaultMaxResponseBytes));
        m_socket->abort();
    }
    if (m_loop)
        m_loop->quit();
}

void ImapSession::handle(const Imap::Response &r)
{
    switch (r.type) {
    case Imap::Response::Type::Invalid:
        if (!m_greeting) {
            notImap(r);
            return;
        }
        // Extensions we never asked for may look odd; what we asked for is checked where it is used.
        trace(QStringLiteral("Unreadable response ignored: %1").arg(QString::fromLatin1(r.error)), QStringLiteral("Read"));
        return;
    case Imap::Response::Type::Continuation:
        if (!m_greeting) {
            notImap(r); // "+OK ...": a POP3 server
            return;
        }
        m_continued = true;
        m_continuation = r.text;
        return;
    case Imap::Response::Type::Tagged:
        if (!m_greeting) {
            notImap(r);
            return;
        }
        trace(loggableResponse(r), QStringLiteral("Read"));
        if (!m_doneTag.isEmpty() && r.tag == m_doneTag)
            m_doneTag.clear();
        else
            m_tagged.append(r);
        return;
    case Imap::Response::Type::Untagged:
        break;
    }
    if (!m_greeting) {
        trace(loggableResponse(r), QStringLiteral("Connect"));
        m_greeting = r;
        if (r.keyword == "BYE")
            fail(MUError::engineNumber(525), QString::fromLatin1(r.text));
        return;
    }
    if (r.isStatus())
        trace(loggableResponse(r), QStringLiteral("Read"));
    if (r.keyword == "BYE" && !m_loggingOut) {
        fail(MUError::engineNumber(525),
             QStringLiteral("The server ended the connection: %1").arg(QString::fromLatin1(r.text)));
        return;
    }
    if (m_onUntagged)
        m_onUntagged(r);
}

void ImapSession::notImap(const Imap::Response &r)
{
    const QString first = QString::fromLatin1(r.type == Imap::Response::Type::Continuation ? "+" + r.text
                                                                                            : r.tag + ' ' + r.keyword);
    fail(MUError::engineNumber(525), QStringLiteral("The server does not speak IMAP: %1").arg(first.left(80)));
}

void ImapSession::onSocketError(QAbstractSocket::SocketError error)
{
    const qint32 number = SocketErrorNumbers::FromQt(error);
    trace(QStringLiteral("ws_Error(%1, '%2') call").arg(number).arg(m_socket ? m_socket->errorString() : QString()),
          QStringLiteral("ws_Error"));
    // Also while logging out: a server that hung up has nothing more to say, so the wait ends.
    fail(number, m_socket ? m_socket->errorString() : QString());
}

void ImapSession::onDisconnected()
{
    if (m_failed)
        return;
    fail(SocketErrorNumbers::ConnectionReset, QStringLiteral("The server closed the connection. "));
}

void ImapSession::fail(qint32 number, const QString &description)
{
    if (!m_failed) {
        m_failed = true;
        m_errNumber = number;
        m_errDescription = description;
    }
    if (m_loop)
        m_loop->quit();
}

void ImapSession::throwIfFailed() const
{
    if (m_failed)
        throw MUError(m_errNumber, m_errDescription, source(QStringLiteral("ws_Error")));
}

void ImapSession::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Trace(text, source(member));
}
