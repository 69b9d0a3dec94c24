#pragma once
#include "ReceiverMessages.h"
#include "trellis/CancelEvent.h"
#include "trellis/DataBag.h"
#include "trellis/Log.h"
#include "trellis/Messanger.h"
#include "trellis/ThreadRunner.h"
#include "CArriveShell.h"
#include "mime/MessageLimits.h"
#include <QHash>
#include <QList>
#include <QString>
#include <QVariantMap>
#include <memory>
#include <optional>

class CMIMEPart;
class Messanger;
class MUError;

/// Downloads the new messages of one POP3 account and posts them to the receiver
/// manager (ProgID "MUCustom.CReceiver", method "Run"). Never deletes anything on the server.
///
/// The DataBag given to Run:
///   "Messanger"          MessangerPtr (the manager's, kept alive while the run lasts), or
///                        QVariant::fromValue<QObject *>(Messanger *) that must outlive the run
///   "Account"            Record with Id, "Server", "Port", "User", "Pwd", optional "Security"
///                        ("TLS", "STARTTLS", "None": the default) and "CertPin"
///   "ReceivedMsgIds"     DataBag whose keys are the ids already stored for the account
///   "Log"                LogPtr (QVariant::fromValue)
///   "DontReceiveContent" bool: headers only
///   "CancelEvent"        QString, the name of the download's cancel event (absent: never cancelled)
///   "CaCertificatesFile" optional PEM file of more authorities to trust (tests, private CAs)
///   "InactivityLimitMs"  optional int, the shell's inactivity limit (default 180 s; tests shorten it)
///   "KeptMessageBytes"   optional, the most raw bytes kept of a message (default
///                        MessageLimits::KeptBytes; tests shorten it)
///   "KnownUidls"         optional QVariantMap: unique-id -> identifier of the messages of this
///                        mailbox examined by earlier connections
/// Posts ReceiverMessages::MsgArrived / UidlsSeen / ReceiveComplete / ErrorOccured.
///
/// One connection lists the newest window once (UIDL, else STAT). A message whose unique-id
/// this mailbox has not shown before, or any message while nothing is stored for the account,
/// costs one request: it is fetched whole (TOP n FetchLines), and dropped if its header turns
/// out to be stored already. The others are walked (TOP n 1) and only the unknown ones fetched,
/// in server order: so a server without UIDL, or the first check after unique-ids began to be
/// recorded, never downloads whole what is most likely stored. With PIPELINING (RFC 2449) the
/// walk and the fetch go out as batches, QUIT riding on the last one; with UIDL a message
/// whose unique-id was seen before and whose identifier is stored costs no request at all.
/// The identifier stays the one the header gives; the unique-id only saves requests. A
/// message whose header gives none is known by "uidl:" and its unique-id, else by
/// "header-sha1:" and a hash of its header, so it is stored once like any other and never
/// blocks the messages after it.
/// A whole check lasts at most checkTimeLimitSeconds (service configuration, default 600 s);
/// at most MessageLimits::KeptBytes of a message are kept (marked as cut), and the UIDL
/// listing is read as a stream: memory stays bounded whatever the server sends.
/// Thread: created, run and destroyed on its worker thread; one object serves one connection.
class CReceiver : public Worker
{
public:
    /// Only the newest this-many messages of the mailbox are examined on each walk.
    static constexpr int Window = 30;
    /// How long the QUIT of a failed connection may wait for its answer.
    static constexpr int QuitAfterFailureLimitMs = 5000;
    /// The time limit of a whole check when the service configuration names none.
    static constexpr double DefaultTimeLimitSeconds = 600;
    /// The most commands in one pipelined batch: the whole window, a few hundred bytes, far
    /// inside any server's receive window (RFC 2449 section 6.6), so no server is flooded.
    static constexpr int PipelineBatch = Window;
    /// The body lines asked of a message fetched whole. TOP, not RETR: RETR counts as reading
    /// or downloading the message on many servers (flags set, a POP "downloaded" mark that
    /// hides it from the user's own mail program), and a check must change nothing there.
    /// A line holds at least its CR LF, so any message that fits in MessageLimits::KeptBytes
    /// arrives whole; a longer one is cut by the kept size, and marked, never silently by this.
    static constexpr int FetchLines = int(MessageLimits::KeptBytes / 2);

    CReceiver();
    ~CReceiver() override;

    /// Runs on the worker thread: the whole connection; returns when it is over.
    void Run(const DataBag &data) override;
    /// The account test: connects, secures and logs in as a check would (a linked account with
    /// the token or password the desktop or its provider gives now), then QUIT; on the calling
    /// thread. `options` takes the bag's "Log", "InactivityLimitMs" and "CaCertificatesFile".
    /// False with `reason` and `number` (e.g. Sasl::SignInNeeded) on failure.
    static bool TestAccount(const Record &account, const DataBag &options, QString *reason, qint32 *number = nullptr);
    void DoNext() {}
    /// Releases the socket shell.
    void Finalize();

private:
    using Header = ReceiverMessages::MessageHeader;
    /// One message of the examined window.
    struct Slot {
        int number = 0;
        QString uid;              ///< its unique-id; empty when not offered or not trusted
        Header header;            ///< what its header gave, once examined
        bool examined = false;    ///< walked: the header and identifier are known
        bool known = false;       ///< its unique-id and identifier are known: no request
        bool probablyNew = false; ///< new to this mailbox's unique-ids: fetched whole without a walk
    };
    struct Capabilities {
        bool answered = false; ///< CAPA was understood (RFC 2449)
        bool pipelining = false;
        bool uidl = false;
        bool user = false; ///< USER and PASS are allowed on this connection
        QList<QByteArray> sasl; ///< the SASL mechanisms offered (RFC 5034)
    };

    /// The three stages of a check. Connects (TLS as the account asks) and logs in.
    Capabilities ConnectAndLogIn(const DataBag &data, const Record &account);
    /// Examines the newest window and walks it: the messages to fetch, in server order.
    /// `deferred`: a refusal met on the way, thrown once what came before is delivered.
    QList<Slot> Collect(const Capabilities &caps, const DataBag &received, const QVariantMap &knownUidls,
                        bool wantContent, std::optional<MUError> &deferred);
    /// Fetches the wanted messages (or only announces them without content) and posts each.
    void FetchAndDeliver(const QList<Slot> &wanted, DataBag &received, const QString &server,
                         const QString &user, bool wantContent);
    /// Ends a failed check: a short QUIT, the log line and message 3.
    void Fail(const MUError &failure, const Record &account);
    void post(int msg, const QVariant &value) const;
    void postSeenUidls(const Record &account);

    Capabilities ReadCapabilities();
    /// USER and PASS: together in one batch when the server allows both pipelining and USER.
    void Login(const QString &user, const QString &pwd, const Capabilities &caps);
    /// AUTH with an OAuth2 access token (RFC 5034, 7628): OAUTHBEARER, else XOAUTH2.
    void LoginWithToken(const Record &account, const QString &token, const Capabilities &caps);
    /// UIDL when offered (its listing also counts the messages), else STAT: the newest
    /// window of the mailbox, planned. Empty when cancelled.
    QList<Slot> ExamineMailbox(const Capabilities &caps, const DataBag &received, const QVariantMap &knownUidls,
                               bool wantContent);
    /// Walks the slots that need it; returns the number of the message at which the walk
    /// stopped with `deferred` (0: it did not), so the messages before it are still fetched.
    int Walk(QList<Slot> &window, std::optional<MUError> &deferred);
    /// Sends `commands` in pipelined batches when the server allows it, else one by one;
    /// `onReply` sees each positive reply as it completes (and `results` then holds only empty
    /// placeholders, one per reply). Stops early when cancelled; a refusal is thrown. With
    /// `quitAfter` and pipelining, QUIT goes out at the end of the last batch (nothing follows
    /// it anyway) and m_quitSent tells.
    void exchange(const QStringList &commands, bool multiLine, QStringList &results,
                  const CArriveShell::ReplyHandler &onReply = {}, bool quitAfter = false);
    static Header headerOf(const CMIMEPart &part);
    /// Gives a message whose header has no identifier one from what the server says of it:
    /// its unique-id, else a hash of its header (`text`: the reply it came in).
    void identify(Header &header, const Slot &slot, const QString &text);
    void rememberUid(const Slot &slot, const QString &id);
    bool cancelled() const { return ::IsSignalled(m_cancel); }
    void throwIfCancelled() const;
    void trace(const QString &text, const QString &member = QStringLiteral("Run")) const;

    LogPtr m_log;
    MessangerPtr m_messanger;
    CancelEventPtr m_cancel;
    std::unique_ptr<CArriveShell> m_shell;
    bool m_pipelining = false;
    bool m_quitSent = false; // QUIT went out with the last batch
    QString m_quitReply;
    QVariantMap m_seenUidls; // unique-id -> identifier, examined in this connection
    QHash<QString, QString> m_why; // identifier -> why it was not the header's, for the log

};
