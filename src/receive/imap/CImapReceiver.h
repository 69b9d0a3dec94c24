#pragma once
#include "mime/MessageLimits.h"
#include "ImapSession.h"
#include "receive/ReceiverMessages.h"
#include "trellis/CancelEvent.h"
#include "trellis/DataBag.h"
#include "trellis/Log.h"
#include "trellis/Messanger.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class CMIMEPart;

/// Receives the new messages of one IMAP account (ProgID "MUCustom.CImapReceiver", method
/// "Run") and posts them to the receiver manager exactly as the POP3 receiver does: the same
/// message records, the same identity rule (the header's Message-ID, Date or Received, else
/// Date and From), the same end messages. It never changes the mailbox: the folder is opened
/// with EXAMINE and bodies are fetched with BODY.PEEK, so no flag is ever set.
///
/// The DataBag is the POP3 receiver's (see CReceiver) plus:
///   "ImapState"     QVariantMap {"UidValidity", "HighestUid"} remembered for the folder
///                   (empty: never examined)
///   "Push"          bool: stay connected and wait in IDLE for new mail (RFC 2177)
///   "WakeEvent"     QString, the name of the event that asks a push connection to check now
///   "ReconnectEvent" optional QString, the name of the event that says the network changed
///                   (back online, woken from suspend): signalled before the wake event, it
///                   makes the check run on a new connection
///   "IdleRenewMs"   optional int, the IDLE renewal period (default 29 minutes)
///   "RetryFirstMs"  optional int, the first pause before reconnecting (default 2 s)
/// The account's "Folder" names the mailbox (default INBOX).
///
/// What is new: with the folder's UIDVALIDITY unchanged, the messages whose UID is above the
/// remembered highest one (none when UIDNEXT says so, without a search). A folder never
/// examined, or one whose UIDVALIDITY changed (the remembered UIDs mean nothing there), is
/// walked like a new account: its newest Window messages are fetched and those whose identity
/// is already stored are not announced again. After the messages it posts ImapStateSeen with
/// the folder's UIDVALIDITY and the highest UID examined, which the engine keeps only once
/// those messages are stored. Posting that later than the messages is what makes a failed
/// store ask again rather than skip a message.
///
/// Push: one connection for the life of the worker. After each check it waits in IDLE; an
/// EXISTS ends the wait and the check runs at once on that connection, as does the wake event.
/// IDLE is renewed every IdleRenewMs. A lost connection is reopened after growing pauses
/// (2 s doubling to 5 minutes, with jitter), or at once when woken. After the network changed
/// the old connection has most likely died unnoticed, so it is replaced at once instead of
/// checking on it and waiting out its reply limit. A server without IDLE
/// ends the worker after its first check (PushMode false: the account is polled).
/// Thread: created, run and destroyed on its worker thread.
class CImapReceiver : public Worker
{
public:
    static constexpr int Window = 30;
    /// The most bytes of a message fetched and stored.
    static constexpr qint64 MaxStoredBytes = MessageLimits::KeptBytes;
    static constexpr int DefaultIdleRenewMs = 29 * 60 * 1000;
    static constexpr int DefaultRetryFirstMs = 2000;
    static constexpr int RetryMaxMs = 5 * 60 * 1000;
    /// How long a farewell may wait for its answer (so StopReceiving ends within a second).
    static constexpr int LogoutLimitMs = 500;

    CImapReceiver();
    ~CImapReceiver() override;
    void Run(const DataBag &data) override;

    /// The account test: connects and secures as a check would, logs in, opens the folder
    /// read-only and logs out, on the calling thread (nested event loops). `options` takes the
    /// bag's "Log", "InactivityLimitMs" and "CaCertificatesFile". False with `reason` and
    /// `number` (the failure's number, e.g. CArriveShell::CertificateNotTrusted) on failure.
    static bool TestAccount(const Record &account, const DataBag &options, QString *reason, qint32 *number = nullptr);
    /// Whether an IMAP server greets on `host`:`port` with `security` ("TLS", or "STARTTLS":
    /// then it must offer STARTTLS; the certificate is not judged here). Logs out again.
    static bool Answers(const QString &host, quint16 port, const QString &security, int limitMs);

private:
    struct Fetched
    {
        quint64 sequence = 0;
        quint64 uid = 0;
        QByteArray bytes;
        bool hasBody = false;
    };

    /// Connects, secures, logs in and EXAMINEs the folder.
    void Open();
    void Login();
    /// AUTHENTICATE with an OAuth2 access token (RFC 7628): OAUTHBEARER, else XOAUTH2.
    void LoginWithToken(const QString &token);
    /// The capabilities a tagged OK carries in its response code, when it does.
    void takeCapabilities(const Imap::Response &r);
    void ReadCapabilities();
    /// Finds, fetches and posts the new messages; then posts the folder's state.
    void CheckNew();
    void Fetch(const QByteArray &command, const QByteArray &set);
    void onUntagged(const Imap::Response &r);
    void runOnce();
    void runPush();
    /// Waits `ms` (cancel or wake end it early). False when cancelled.
    bool pause(int ms);
    bool cancelled() const { return IsSignalled(m_cancel); }
    void post(int msg, const QVariant &data);
    void postError(const MUError &failure);
    MUError wrap(const MUError &failure) const;
    void trace(const QString &text, const QString &member = QStringLiteral("Run")) const;
    bool hasCapability(const QByteArray &name) const;

    LogPtr m_log;
    MessangerPtr m_messanger;
    CancelEventPtr m_cancel;
    CancelEventPtr m_wake;
    CancelEventPtr m_reconnect;
    Record m_account;
    DataBag m_data;
    QString m_server;
    QString m_user;
    QString m_folder;
    bool m_wantContent = true;
    DataBag m_received;
    std::unique_ptr<ImapSession> m_session;

    // The folder as the server describes it.
    QSet<QByteArray> m_capabilities; // upper case
    bool m_capabilitiesKnown = false;
    quint64 m_exists = 0;
    bool m_existsGrew = false;
    quint64 m_existsChecked = 0; // the message count the last check started from
    quint64 m_uidValidity = 0;
    quint64 m_uidNext = 0;
    bool m_uidNextFresh = false; // UIDNEXT came with this EXAMINE, nothing has happened since
    QList<quint64> m_searched;
    QList<Fetched> m_fetched;

    // What is remembered of the folder (from the bag, then from each check).
    bool m_stateKnown = false;
    quint64 m_stateValidity = 0;
    quint64 m_stateHighest = 0;
};
