#pragma once
#include "trellis/CancelEvent.h"
#include "trellis/DataBag.h"
#include "trellis/Log.h"
#include "trellis/Messanger.h"
#include "trellis/Record.h"
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <memory>

class QLockFile;

class CSettings;

/// Runs the downloads: one receiver per account on a worker thread, a second check
/// of an account still being received refused, downloads cancelled on request, and
/// what the workers post turned into events on the engine's thread.
///
/// Each download has its own cancel event and its own Messanger, so a late message
/// of a cancelled download touches only its own (already forgotten) entry and never
/// a newer download of the same account.
///
/// One download per account also across processes (the desktop program beside the CLI):
/// a download holds the account's lock file in the data folder, and a check that finds it
/// taken is refused like a second check in the same process. The lock of a process that
/// died is taken over.
class ReceiverManager : public QObject
{
    Q_OBJECT
public:
    explicit ReceiverManager(QObject *parent = nullptr);
    ~ReceiverManager() override;

    void Init(LogPtr log, CSettings *settings);
    /// Starts the download of `account`, skipping the ids in `receivedMsgIds`. `knownUidls`
    /// (unique-id -> identifier, MsgManager::GetKnownUidls) spares the POP3 receiver requests.
    /// `imapState` (MsgManager::GetImapState) tells an IMAP receiver what it examined before.
    /// An account with a push connection is checked on that connection instead.
    void Check(const Record &account, const DataBag &receivedMsgIds, const QVariantMap &knownUidls = {},
               const QVariantMap &imapState = {});
    /// Cancels the download of one account, or of every account when `accountId` is empty.
    void StopReceiving(const QString &accountId = QString());
    /// Called by a MsgArrived handler that could not keep the message: its download then
    /// ends as failed (ErrorOccured, DownloadFailed) saying how many messages were lost and
    /// why, instead of ReceiveComplete. Outside a MsgArrived delivery it does nothing.
    void MessageNotStored(qint32 errNumber, const QString &errDescription);
    /// A check of the account that could not even start (its stored ids unreadable):
    /// raised as a failed download, ErrorOccured and DownloadFailed.
    void CheckFailed(const QString &accountId, qint32 errNumber, const QString &errDescription);
    void Finalize();

    /// Number of downloads running (checks on push connections included).
    int ReceivesCount() const;
    bool IsReceiving(const QString &accountId) const;

    /// The ProgID that receives `server`: the HTTPMail receiver for a configured HTTPMail
    /// endpoint's host (CHotmail::IsHttpMailServer), the POP3 receiver otherwise.
    static QString ProgIdForServer(const QString &server);
    /// The IMAP receiver for an account whose "Protocol" is IMAP, else ProgIdForServer.
    static QString ProgIdForAccount(const Record &account);

    /// IMAP push (ReceiverManagerImap.cpp): starts the long-lived worker of an IMAP account that
    /// checks at once and then waits in IDLE; nothing when one runs already. Its checks raise
    /// the same events as Check's. It ends with StopReceiving, or by itself when the server has
    /// no IDLE (PushMode false).
    void StartPush(const Record &account, const DataBag &receivedMsgIds, const QVariantMap &imapState = {});
    /// True while the account has a push worker whose server offers IDLE.
    bool IsPushing(const QString &accountId) const;
    /// True while the account has a push worker (also before its mode is known).
    bool HasPushWorker(const QString &accountId) const { return m_pushes.contains(accountId); }
    /// The network changed (back online, woken from suspend): every push worker checks at once
    /// on a new connection, since the old one has most likely died unnoticed.
    void WakePushWorkers();

    /// Decides whether a failed check is raised as ErrorOccured (true) or, for an account that
    /// already said what it needs, only logged (false). DownloadFailed is raised either way.
    /// Called on this object's thread; unset, every failure is raised.
    using FailureFilter = std::function<bool(const QString &accountId, qint32 errNumber)>;
    void setFailureFilter(FailureFilter filter) { m_failureFilter = std::move(filter); }

    /// Test hook: extra values put into every worker's bag (e.g. a short inactivity limit).
    void setExtraWorkerData(const DataBag &extra) { m_extra = extra; }

    /// The lock file that one process's download of the account holds: `folder` (empty: the
    /// data folder) / "receiving-" + the id's letters, digits and dashes + ".lock".
    static QString LockFilePath(const QString &accountId, const QString &folder = QString());

Q_SIGNALS:
    void MsgArrived(const Record &msg);
    void ErrorOccured(qint32 errNumber, const QString &errDescription);
    void CurrentReceivesCount(int receivesCount);
    void ReceiveStart();
    void ReceiveComplete();
    /// Beside ErrorOccured: which account's download failed (for scripts and logs).
    void DownloadFailed(const QString &accountId, qint32 errNumber, const QString &errDescription);
    /// Beside ReceiveComplete: which account's download ended without error.
    void DownloadComplete(const QString &accountId);
    /// A POP3 receiver examined these messages of the mailbox (`server`, `user`): unique-id ->
    /// identifier, for MsgManager::AddUidls. Not a change of the downloads: no CurrentReceivesCount.
    void UidlsSeen(const QString &server, const QString &user, const QVariantMap &uidls);
    /// An IMAP receiver examined the folder up to `highestUid` and posted `ids` before: for
    /// MsgManager::SetImapState once those messages are stored.
    void ImapStateSeen(const QString &accountId, const QString &server, const QString &user, const QString &folder,
                       qint64 uidValidity, qint64 highestUid, const QStringList &ids);
    /// A push worker found whether its server offers IDLE: true it stays ("push"), false the
    /// account is polled by its timer ("poll").
    void PushMode(const QString &accountId, bool push);

private Q_SLOTS:
    /// logind's PrepareForSleep: false when the machine has woken from suspend.
    void prepareForSleep(bool suspending);

private:
    struct Download
    {
        QString accountId;
        QString server;
        CancelEventPtr cancel;
        MessangerPtr messanger;
        std::shared_ptr<QLockFile> lock;   // released when the download is forgotten
        int delivered = 0;                  // messages handed to MsgArrived
        int notStored = 0;                  // of those, reported by MessageNotStored
        qint32 storeErrNumber = 0;          // the first of those failures
        QString storeErrDescription;
    };
    /// Takes the account's lock file into `*lock`. False when another process holds it; true
    /// with `*lock` null when no lock file can be made (logged; the check goes on without).
    bool lockAccount(const QString &accountId, const QString &source, std::shared_ptr<QLockFile> *lock) const;
    QString storeFailureText(const Download &d) const;
    /// ErrorOccured (unless the filter keeps it quiet) and DownloadFailed.
    void raiseFailure(const QString &accountId, qint32 errNumber, const QString &errDescription);
    void onMessage(quint64 download, int msg, const QVariant &data);
    void forget(quint64 download);
    /// What push workers post (ReceiverManagerImap.cpp).
    void onPushMessage(const QString &accountId, quint64 number, int msg, const QVariant &data);
    void stopPushes(const QString &accountId);
    void watchNetwork();
    /// Emits ImapStateSeen for message ImapStateSeen's bag.
    void relayImapState(const QVariant &data);

    struct Push
    {
        quint64 number = 0;
        CancelEventPtr cancel;
        CancelEventPtr wake;
        CancelEventPtr reconnect;   ///< signalled with wake when the network changed
        MessangerPtr messanger;
        bool idle = false;  ///< the server offers IDLE: the worker stays
        bool busy = false;  ///< a check on its connection is running
    };
    QHash<QString, Push> m_pushes; // account id -> its push worker
    bool m_watchingNetwork = false;

    LogPtr m_log;
    CSettings *m_settings = nullptr;
    QHash<quint64, Download> m_downloads;   // download number -> its entry
    quint64 m_nextDownload = 1;
    quint64 m_delivering = 0;   // the download whose message MsgArrived is delivering
    DataBag m_extra;
    FailureFilter m_failureFilter;
};
