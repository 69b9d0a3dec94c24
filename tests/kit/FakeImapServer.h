#pragma once
#include "ScriptedLineServer.h"

/// A scriptable IMAP server (RFC 9051 subset) on a loopback port the system picks. It holds
/// one folder, INBOX, of raw messages with UIDs and answers CAPABILITY, LOGIN, AUTHENTICATE
/// PLAIN (with or without an initial response), EXAMINE, SELECT, UID SEARCH, FETCH and UID
/// FETCH (BODY[], BODY.PEEK[], partial <0.n>, HEADER), IDLE/DONE, NOOP and LOGOUT; it asks for
/// synchronising literals with "+". A script can make it answer a verb with NO, BYE (then
/// hang up), nothing, or raw bytes; insert bytes into the middle of a FETCH answer; cut its
/// whole output into chosen pieces; renumber the UIDs. Messages added while a client idles
/// are announced at once with EXISTS. It records every line received, byte for byte, and
/// remembers whether anything asked for a body without PEEK (which would set \Seen).
class FakeImapServer : public ScriptedLineServer
{
    Q_OBJECT
public:
    enum class Action { Answer, No, Bye, Silent, Raw };

    using ScriptedLineServer::ScriptedLineServer;

    /// The greeting line without CR LF; default "* OK [CAPABILITY ...] Fake IMAP ready".
    void setGreeting(const QByteArray &line) { m_greeting = line; }
    /// Default IMAP4rev1 IDLE LITERAL+ AUTH=PLAIN SASL-IR.
    void setCapabilities(const QByteArray &capabilities) { m_capabilities = capabilities; }
    /// Gives every message a fresh UID from `firstUid` on (as a server that rebuilt its index).
    void renumber(quint32 firstUid);

    /// Appends a message; returns its UID. A client in IDLE hears "* n EXISTS" at once.
    quint32 addMessage(const QByteArray &raw);
    int messageCount() const { return int(m_messages.size()); }

    /// What to do with `verb` (upper case, e.g. "LOGIN", "UID", "FETCH", "IDLE").
    void setAction(const QByteArray &verb, Action action, const QByteArray &text = {});
    /// Bytes sent after the first untagged line of the next FETCH answer (e.g. "* 4 EXISTS\r\n").
    void setInjectDuringFetch(const QByteArray &bytes) { m_inject = bytes; }

    /// A FETCH asked for a body without PEEK (or the folder was SELECTed).
    bool wouldHaveSetSeen() const { return m_seenRisk; }

Q_SIGNALS:
    /// A whole command arrived (without tag and CR LF), before it is answered.
    void commandReceived(const QByteArray &command);
    void idling();

private:
    struct Message
    {
        quint32 uid = 0;
        QByteArray raw;
    };
    struct Session
    {
        QByteArray pending;  // bytes of the command being read
        qsizetype literalLeft = 0;
        bool authenticated = false;
        QByteArray idleTag;  // non-empty while in IDLE
        QByteArray authTag;  // waiting for a SASL response
    };
    struct Rule
    {
        Action action = Action::Answer;
        QByteArray text;
    };

    /// Without tag and CR LF ("LOGIN alice ****" is not masked here).
    QByteArray commandOf(const QByteArray &line) const override;
    void opened(QTcpSocket *socket) override;
    void readFrom(QTcpSocket *socket) override;
    void closed(QTcpSocket *socket) override { m_sessions.remove(socket); }
    void handleCommand(QTcpSocket *socket, const QByteArray &command);
    void answer(QTcpSocket *socket, const QByteArray &tag, const QByteArray &verb, const QByteArray &command);
    QByteArray fetch(const QByteArray &args, bool byUid);
    QList<int> resolve(const QByteArray &set, bool byUid) const;
    /// Whether a SASL PLAIN response names the user and password.
    bool plain(const QByteArray &base64) const;
    /// The answer to a login, remembered in `s`.
    QByteArray loggedIn(Session &s, const QByteArray &tag, bool ok, bool withCapabilities = true) const;
    void send(QTcpSocket *socket, const QByteArray &bytes, bool closeAfter = false);

    QHash<QTcpSocket *, Session> m_sessions;
    QHash<QByteArray, Rule> m_rules;
    QList<Message> m_messages;
    QByteArray m_greeting;
    QByteArray m_capabilities = "IMAP4rev1 IDLE LITERAL+ AUTH=PLAIN SASL-IR";
    QByteArray m_inject;
    quint32 m_uidValidity = 1000;
    quint32 m_nextUid = 1;
    bool m_seenRisk = false;
};
