#pragma once
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

/// A minimal HTTP/1.1 server on 127.0.0.1 and a port the system picks, standing in for
/// the feedback service: it records each request and answers with a chosen status line,
/// or stays silent. One request per connection.
/// Thread: the thread that calls listen(); the client waits in a nested event loop.
class FeedbackHttpServer : public QObject
{
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; ///< names in lower case
        QByteArray body;
    };

    explicit FeedbackHttpServer(QObject *parent = nullptr);
    ~FeedbackHttpServer() override;

    bool listen();
    /// The endpoint address ("http://127.0.0.1:<port>/php/ic.php").
    QUrl url() const;
    quint16 port() const { return m_server.serverPort(); }

    /// The status line to answer with (default 200 "OK").
    void setStatus(int status, const QByteArray &reason);
    /// Read requests but never answer.
    void setSilent(bool on) { m_silent = on; }

    QList<Request> requests() const { return m_requests; }
    int connectionCount() const { return m_connections; }
    int disconnectCount() const { return m_disconnects; }

Q_SIGNALS:
    /// A whole request arrived, before it is answered.
    void requestReceived();
    void clientDisconnected();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QList<Request> m_requests;
    int m_status = 200;
    QByteArray m_reason = "OK";
    bool m_silent = false;
    int m_connections = 0;
    int m_disconnects = 0;
};
