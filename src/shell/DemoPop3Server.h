#pragma once
#include <QByteArrayList>
#include <QHash>
#include <QTcpServer>

class QTcpSocket;

/// The demo's mail server: a small POP3 server (RFC 1939, with CAPA) on a free loopback
/// port, holding a fixed list of messages for one user and password. Nothing is ever
/// deleted. Answers on the thread it lives on; clients may pipeline.
class DemoPop3Server : public QTcpServer
{
    Q_OBJECT
public:
    DemoPop3Server(QByteArray user, QByteArray password, QByteArrayList messages, QObject *parent = nullptr);

    /// Listens on 127.0.0.1, on a port the system picks.
    bool start();
    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return serverPort(); }

    /// The reply to one command line (without its CRLF) in the state of `session`; sets
    /// `close` after QUIT.
    struct Session {
        QByteArray user;
        bool authorised = false;
    };
    QByteArray answer(Session &session, const QByteArray &line, bool &close) const;

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    /// `text` as a multi-line reply body: CRLF line ends, leading dots doubled, ending ".".
    static QByteArray multiLine(const QByteArray &text);
    QByteArray top(int index, int lines) const;

    QByteArray m_user;
    QByteArray m_password;
    QByteArrayList m_messages;
    QHash<QTcpSocket *, Session> m_sessions;
};
