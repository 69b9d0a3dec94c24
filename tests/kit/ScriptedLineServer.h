#pragma once
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <deque>

class QTcpSocket;

/// What the scripted mail servers share: a listener on a loopback port the system picks,
/// the bytes every client sent, the credentials, and an output queue per client whose
/// pieces can wait, be cut into chosen sizes whatever the reply boundaries, or end with a
/// hang-up. The protocol (greeting, reading, answers) is the subclass's.
/// Thread: lives on the thread that calls listen(); the client runs on another thread or
/// in a nested event loop of the same thread.
class ScriptedLineServer : public QObject
{
    Q_OBJECT
public:
    explicit ScriptedLineServer(QObject *parent = nullptr);
    ~ScriptedLineServer() override;

    /// Listens on `address` port 0 (a free port). False on failure.
    bool listen(const QHostAddress &address = QHostAddress::LocalHost) { return m_server.listen(address, 0); }
    quint16 port() const { return m_server.serverPort(); }
    QString host() const { return QStringLiteral("127.0.0.1"); }
    void setCredentials(const QByteArray &user, const QByteArray &password)
    {
        m_user = user;
        m_password = password;
    }
    /// Cuts everything sent after the greeting into pieces of these sizes (repeated in turn),
    /// `gapMs` apart: one piece may end one reply and begin the next. Empty: off.
    void setStreamChunks(const QList<int> &sizes, int gapMs = 1);

    /// Every line received (continuation data too), with its CR LF, across connections.
    QList<QByteArray> received() const { return m_received; }
    /// The received lines as commands (commandOf() each), in order.
    QList<QByteArray> commands() const;
    /// How many commands begin with the word `verb`, in any letter case.
    int countOf(const QByteArray &verb) const;
    int connectionCount() const { return m_connections; }
    /// Hangs up on every client.
    void dropAll();

Q_SIGNALS:
    void clientDisconnected();

protected:
    /// One piece of output waiting for its time.
    struct Piece {
        QByteArray bytes;
        int delayMs = 0;
        bool closeAfter = false;
    };
    /// A client connected: set up its session and greet it (written at once, never cut).
    virtual void opened(QTcpSocket *socket) = 0;
    virtual void readFrom(QTcpSocket *socket) = 0;
    virtual void closed(QTcpSocket *socket) = 0;
    /// A received line as a command: without its line end (and whatever else the protocol adds).
    virtual QByteArray commandOf(const QByteArray &line) const { return line.endsWith("\r\n") ? line.chopped(2) : line; }
    /// Queues `piece`; replies leave strictly in order.
    void enqueue(QTcpSocket *socket, Piece piece);
    bool streaming() const { return !m_streamChunks.isEmpty(); }

    QByteArray m_user = "user";
    QByteArray m_password = "secret";
    QList<QByteArray> m_received;

private:
    struct Outbox {
        std::deque<Piece> pieces;
        bool draining = false;
        int streamChunk = 0; // index into m_streamChunks
    };
    void drain(QTcpSocket *socket);

    QTcpServer m_server;
    QHash<QTcpSocket *, Outbox> m_out;
    QList<int> m_streamChunks;
    int m_streamGapMs = 1;
    int m_connections = 0;
};
