#pragma once
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <memory>
#include <optional>

class QSslCertificate;
class QSslKey;
class QTcpSocket;

/// A small HTTP/1.1 server on a loopback port the system picks, answering each request
/// (method and path) with a scripted response, or with the fallback (404 unless set).
/// Records every request and counts connections. Optionally demands Basic credentials
/// first (401 with a challenge until they are right). A "silent" response never answers
/// (the connection stays open); a dribbling one sends its body a byte at a time; a
/// closing one ends the connection after the answer.
/// Thread: lives on the thread that calls listen(); a blocking client must run on another
/// thread, an asynchronous one may share it.
class ScriptedHttpServer : public QObject
{
    Q_OBJECT
public:
    struct Response
    {
        int status = 200;
        QByteArray reason = "OK";
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        bool silent = false;
        int dribbleMs = 0; ///< > 0: the body goes out one byte every so many ms
        bool close = false; ///< "Connection: close", and the server hangs up after answering
    };
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; ///< names in lower case
        QByteArray body;
    };

    explicit ScriptedHttpServer(QObject *parent = nullptr);
    ~ScriptedHttpServer() override;

    bool listen();
    /// Listens for HTTPS with this certificate and key instead.
    bool listenTls(const QSslCertificate &certificate, const QSslKey &key);
    quint16 port() const { return m_server ? m_server->serverPort() : 0; }
    /// "http(s)://127.0.0.1:PORT" followed by `path`.
    QString url(const QByteArray &path) const;

    /// Answers `method` on `path` with `response` (replacing an earlier script).
    void on(const QByteArray &method, const QByteArray &path, const Response &response);
    /// Answers every unscripted request with `response` instead of 404.
    void setFallback(const Response &response) { m_fallback = response; }
    /// Demands these Basic credentials on every request.
    void requireCredentials(const QByteArray &user, const QByteArray &password);

    QList<Request> requests() const { return m_requests; }
    int countOf(const QByteArray &method, const QByteArray &path = {}) const;
    int connectionCount() const { return m_connections; }

Q_SIGNALS:
    /// A whole request arrived, before it is answered.
    void requestReceived(const QByteArray &method, const QByteArray &path);
    /// A client's connection ended (either side hung up).
    void clientDisconnected();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Request &request);

    std::unique_ptr<QTcpServer> m_server;
    bool m_tls = false;
    int m_connections = 0;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QHash<QByteArray, Response> m_script; // "METHOD path" -> response
    std::optional<Response> m_fallback;
    QList<Request> m_requests;
    QByteArray m_authorization;           // expected Authorization header, empty: none
};
