#pragma once
#include "trellis/Log.h"
#include "trellis/Record.h"
#include <QObject>
#include <memory>

class AccountManager;
class CTalker;
class CSettings;
class Database;
class MsgManager;
class ReceiverManager;
class TimerManager;

/// The engine: opens the database, creates the stores and the managers, turns
/// timer ticks into account checks, stores every message a receiver delivers and
/// raises it as MsgArrived, and shuts everything down in a fixed order.
/// Lives on the program's main thread; every event is raised there.
class MUScripting : public QObject
{
    Q_OBJECT
public:
    /// Settings keys owned by the engine.
    static const QString KeyInstallId;
    static const QString KeyStartCount;
    static const QString KeyReportStage;
    static const QString KeyReceivedCount;
    static const QString KeyTalkedCount;

    explicit MUScripting(QObject *parent = nullptr);
    ~MUScripting() override;

    /// Opens (creating on first start) the database and creates the stores and managers.
    /// `agent` is the speaking-character control handed to the talker (may be null).
    /// Throws MUError 524 (database) or 516 (anything else).
    void Init(LogPtr log, QObject *agent);
    /// Starts the check timer of every enabled account.
    void StartDownload();
    void UpdateAccount(Record &account);
    /// Stores the account (giving it its id) and starts its timer when enabled. Errors pass to the caller.
    void AddAccount(Record &account);
    /// Errors pass to the caller.
    void RemoveAccount(const QString &accountId);
    /// Checks every enabled account now, or `account` alone whatever its Disabled flag.
    void CheckForNewMessagesNow(const Record *account = nullptr);
    /// What a check or a test of the account says of its sign-in: `errNumber` Sasl::SignInNeeded
    /// marks the account as waiting for a new sign-in, 0 (signed in) clears the mark, any other
    /// failure leaves it. False for a refused sign-in of an account marked before: said once, it
    /// is only logged from then on. Errors are logged, never thrown.
    bool NoteSignIn(const QString &accountId, qint32 errNumber);
    void Finalize();

    Database *db() const { return m_db.get(); }
    MsgManager *msgManager() const { return m_msgManager.get(); }
    AccountManager *accountManager() const { return m_accountManager.get(); }
    ReceiverManager *receiverManager() const { return m_receiverManager.get(); }
    TimerManager *timerManager() const { return m_timerManager.get(); }
    /// The talker, made in Init when the engine was handed a character (null otherwise).
    CTalker *talker() const { return m_talker; }
    CSettings *settings() const { return m_settings.get(); }
    LogPtr log() const { return m_log; }
    QString installId() const { return m_installId; }

    /// Report number k (1-15) is due when the start count reaches these thresholds.
    static int ReportThreshold(int k);
    /// The statistics address of a due report; empty when no endpoint is configured.
    static QString UsageReportUrl(const QString &endpoint, qint64 starts, qint64 talked, qint64 received,
                                  const QString &installId);
    /// Resets the once-per-process report flag (tests start several engines in one process).
    static void ResetUsageReportDone();
    /// Whether the machine looks online (a non-loopback interface is up).
    static bool IsOnline();

Q_SIGNALS:
    /// A message record that has just been stored (it carries its new id).
    void MsgArrived(const Record &msg);
    /// An account's check timer ticked; raised before the check starts.
    void CheckTimerTick(const QString &accountId);
    /// The usage report was handed to the network (tests); `url` is what was requested.
    void UsageReportSent(const QString &url);

private:
    static QString MessageTableText524();
    void trace(const QString &text, const QString &member) const;
    void logError(const class MUError &e, const QString &member, int level = 4) const;
    void checkAccount(const Record &account);
    void usageReportStep();
    void moReceiverManager_MsgArrived(const Record &msg);
    /// IMAP: the account's push worker (nothing for other accounts).
    void startPush(const Record &account);
    static bool isImap(const Record &account);
    void rememberImapState(const QString &accountId, const QString &server, const QString &user, const QString &folder,
                           qint64 uidValidity, qint64 highestUid, const QStringList &ids);

public:
    /// Handler of the timer manager's ticks (public so a test can tick by hand).
    void moTimerManager_ItsTimeToCheck(const QString &accountId);

private:

    LogPtr m_log;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<CSettings> m_settings;
    std::unique_ptr<MsgManager> m_msgManager;
    std::unique_ptr<AccountManager> m_accountManager;
    std::unique_ptr<ReceiverManager> m_receiverManager;
    std::unique_ptr<TimerManager> m_timerManager;
    // The talker comes from the speech library, loaded only by an engine with a character,
    // so that commands which never speak load no speech, audio or window library.
    std::unique_ptr<QObject> m_talkerObject;
    CTalker *m_talker = nullptr;
    void (*m_finalizeTalker)(CTalker *) = nullptr;
    void makeTalker();
    QObject *m_agent = nullptr;
    QString m_installId;
    bool m_finalized = false;
    bool m_pushStarted = false; // StartDownload ran: accounts added later get their push worker too
};
