#pragma once
#include "ScriptedLineServer.h"

/// A scriptable POP3 server (RFC 1939) on a loopback port the system picks. It holds a
/// mailbox of raw messages and answers USER, PASS, STAT, LIST, TOP, RETR, UIDL, CAPA,
/// NOOP and QUIT (byte-stuffing multi-line replies); a script can make it refuse chosen
/// commands, stay silent, drop the connection half-way through a reply, split replies
/// into chosen chunks, or never greet. It records every command line it receives, byte
/// for byte, and counts round trips. Messages are never deleted (DELE is refused).
class FakePop3Server : public ScriptedLineServer
{
    Q_OBJECT
public:
    /// What the server does with a command.
    enum class Action {
        Answer,       ///< the normal answer
        Error,        ///< "-ERR" followed by the rule's text (if any)
        Silent,       ///< no answer at all; later commands are still read
        DropMidReply, ///< half of the normal answer, then the connection is closed
        Raw,          ///< the rule's text, sent as it is
    };

    using ScriptedLineServer::ScriptedLineServer;

    /// Replaces the greeting line (without CR LF); default "+OK Fake POP3 ready".
    void setGreeting(const QByteArray &line) { m_greeting = line; }
    /// Accept connections but never send the greeting.
    void setNeverGreet(bool on) { m_neverGreet = on; }
    /// Greet, then answer nothing at all.
    void setSilentAfterGreeting(bool on) { m_silentAfterGreeting = on; }

    /// The lines of the CAPA listing; default CAPA, TOP, UIDL, USER (no PIPELINING).
    void setCapabilities(const QList<QByteArray> &capabilities) { m_capabilities = capabilities; }
    /// A different listing before login (RFC 2449 lets a server announce some only after it).
    void setCapabilitiesBeforeLogin(const QList<QByteArray> &capabilities)
    {
        m_capabilitiesBeforeLogin = capabilities;
        m_splitCapabilities = true;
    }
    /// Appends a raw message (CR LF line ends; a missing final CR LF is added). Returns its number.
    int addMessage(const QByteArray &raw);

    /// Sets the rule for `command`: either a whole command line without CR LF ("TOP 3 1")
    /// or a verb ("PASS"); the whole line wins. `text` is the -ERR text or the raw reply.
    void setAction(const QByteArray &command, Action action, const QByteArray &text = {});

    /// Resets received(), turns() and maxBurst().
    void clearReceived();
    /// Round trips: the times the client sent after the server had sent something (the
    /// greeting included), across connections.
    int turns() const { return m_turns; }
    /// The most command lines that arrived from the client before the server could answer
    /// the first of them (1 for a client that waits for each reply).
    int maxBurst() const { return m_maxBurst; }

Q_SIGNALS:
    /// A command line arrived (without its CR LF), before it is answered.
    void commandReceived(const QByteArray &line);

private:
    struct Session {
        QByteArray pending;
        QByteArray user;
        bool authorised = false;
        bool sentSinceLastTurn = true; // the greeting
    };
    struct Rule {
        Action action = Action::Answer;
        QByteArray text;
    };

    void opened(QTcpSocket *socket) override;
    void readFrom(QTcpSocket *socket) override;
    void closed(QTcpSocket *socket) override { m_sessions.remove(socket); }
    void handleLine(QTcpSocket *socket, const QByteArray &line);
    QByteArray normalAnswer(Session &session, const QByteArray &line, bool &closeAfter);
    void out(QTcpSocket *socket, Piece piece);
    Rule ruleFor(const QByteArray &line) const;
    QByteArray top(int index, int lines) const;
    static QByteArray stuffed(const QByteArray &text);
    QByteArray uid(int index) const;

    QHash<QTcpSocket *, Session> m_sessions;
    QHash<QByteArray, Rule> m_rules;
    QList<QByteArray> m_messages;
    QByteArray m_greeting = "+OK Fake POP3 ready";
    bool m_neverGreet = false;
    bool m_silentAfterGreeting = false;
    QList<QByteArray> m_capabilities = {"CAPA", "TOP", "UIDL", "USER"};
    QList<QByteArray> m_capabilitiesBeforeLogin;
    bool m_splitCapabilities = false;
    int m_turns = 0;
    int m_maxBurst = 0;
};
