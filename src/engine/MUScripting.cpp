#include "MUScripting.h"
#include "EngineInfo.h"
#include "receive/ReceiverManager.h"
#include "receive/Sasl.h"
#include "speech/SpeechModule.h"
#include "storage/AccountManager.h"
#include "storage/CSettings.h"
#include "storage/Database.h"
#include "storage/MsgManager.h"
#include "timing/TimerManager.h"
#include "trellis/MUError.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"
#include "trellis/ServiceConfig.h"
#include "trellis/ThreadRunner.h"
#include "trellis/Utility.h"
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QLibrary>
#include <QUrl>
#include <atomic>

namespace {
const QString Cls = QStringLiteral("MUScripting");
std::atomic<bool> g_usageReportDone{false};
constexpr int UsageReportTimeoutMs = 10000;
}

const QString MUScripting::KeyInstallId = QStringLiteral("{CE9C6AC2-B484-48af-A0E2-5A8FB19F7F1A}");
const QString MUScripting::KeyStartCount = QStringLiteral("{CA42128C-3C0D-402f-BF6F-B9C7350C9598}");
const QString MUScripting::KeyReportStage = QStringLiteral("{D71C389E-60C6-463d-8E5D-112C29C179C3}");
const QString MUScripting::KeyReceivedCount = QStringLiteral("{C0036CAF-535F-4d32-B489-1E3BA61B7A89}");
const QString MUScripting::KeyTalkedCount = QStringLiteral("{1CB50200-A1F0-4747-AC11-4786DFE17FFF}");

MUScripting::MUScripting(QObject *parent) : QObject(parent)
{
    RegisterTrellisMetaTypes();
}

MUScripting::~MUScripting()
{
    Finalize();
}

void MUScripting::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Trace(text, Cls + QLatin1Char('.') + member);
}

void MUScripting::logError(const MUError &e, const QString &member, int level) const
{
    if (m_log)
        m_log->Write(e.number(), e.description(), level, Cls + QLatin1Char('.') + member);
}

void MUScripting::Init(LogPtr log, QObject *agent)
{
    m_log = log ? std::move(log) : std::make_shared<Log>();
    m_agent = agent;
    m_finalized = false;
    trace(QStringLiteral("Murmelo Components ver.") + EngineVersion(), QStringLiteral("Init"));

    // Database, settings and installation id: any failure here is the data components'.
    try {
        if (!Paths::EnsureDir(Paths::DataDir()))
            throw MUError(MUError::Fail, QStringLiteral("Cannot create the folder '%1'. ").arg(Paths::DataDir()),
                          Cls + QStringLiteral(".Init"));
        m_db = std::make_unique<Database>(Paths::DataDir());
        m_settings = std::make_unique<CSettings>();
        m_settings->Init(m_db.get(), m_log.get());
        m_installId = m_settings->GetSetting(KeyInstallId, QString()).toString();
        if (m_installId.isEmpty()) {
            m_installId = Utility::NewGuidString();
            m_settings->SaveSetting(KeyInstallId, m_installId);
        }
    } catch (const MUError &e) {
        const MUError wrapped(MUError::engineNumber(524), MessageTableText524() + e.description(),
                              Cls + QStringLiteral(".Init"));
        m_log->Write(e.number(), wrapped.description(), Log::LevelError, Cls + QStringLiteral(".Init"));
        m_settings.reset();
        m_db.reset();
        throw wrapped;
    }

    try {
        m_msgManager = std::make_unique<MsgManager>();
        m_msgManager->Init(m_db.get(), m_log.get());
        m_accountManager = std::make_unique<AccountManager>();
        m_accountManager->Init(m_db.get());
        m_accountManager->UseKeyring(m_log.get());

        if (m_agent)
            makeTalker();

        m_receiverManager = std::make_unique<ReceiverManager>();
        m_receiverManager->Init(m_log, m_settings.get());
        connect(m_receiverManager.get(), &ReceiverManager::MsgArrived, this, &MUScripting::moReceiverManager_MsgArrived);
        // The unique-ids a POP3 check examined: the next check skips them without asking.
        connect(m_receiverManager.get(), &ReceiverManager::UidlsSeen, this,
                [this](const QString &server, const QString &user, const QVariantMap &uidls) {
                    if (m_msgManager)
                        m_msgManager->AddUidls(server, user, uidls);
                });
        // An IMAP folder's highest UID is remembered only once its messages are all stored:
        // a message whose store failed is then found again by the next check.
        connect(m_receiverManager.get(), &ReceiverManager::ImapStateSeen, this,
                [this](const QString &accountId, const QString &server, const QString &user, const QString &folder,
                       qint64 uidValidity, qint64 highestUid, const QStringList &ids) {
                    rememberImapState(accountId, server, user, folder, uidValidity, highestUid, ids);
                });
        // A refused sign-in is said once; the account is marked until it signs in again.
        m_receiverManager->setFailureFilter(
            [this](const QString &accountId, qint32 errNumber) { return NoteSignIn(accountId, errNumber); });
        connect(m_receiverManager.get(), &ReceiverManager::DownloadComplete, this,
                [this](const QString &accountId) { NoteSignIn(accountId, 0); });
        m_timerManager = std::make_unique<TimerManager>();
        m_timerManager->Init(m_log);
        connect(m_timerManager.get(), &TimerManager::ItsTimeToCheck, this, &MUScripting::moTimerManager_ItsTimeToCheck);

        const qint64 starts = Utility::ToInt(m_settings->GetSetting(KeyStartCount, 0), 0);
        m_settings->SaveSetting(KeyStartCount, starts + 1);
    } catch (const MUError &e) {
        m_log->Write(e.number(), e.description(), Log::LevelError, Cls + QStringLiteral(".Init"));
        throw MUError::engine(516, Cls + QStringLiteral(".Init"), {}, e.description());
    }
    trace(QStringLiteral("Init complete"), QStringLiteral("Init"));
}

QString MUScripting::MessageTableText524()
{
    return MUError::engine(524, QString()).description();
}

void MUScripting::StartDownload()
{
    trace(QStringLiteral("StartDownload call"), QStringLiteral("StartDownload"));
    m_pushStarted = true;
    try {
        const DataBag accounts = m_accountManager->AccountList();
        for (const QVariant &v : accounts) {
            const Record account = v.value<Record>();
            if (!Utility::ToBool(account.Item(QStringLiteral("Disabled")), false)) {
                m_timerManager->add(account);
                startPush(account);
            }
        }
    } catch (const MUError &e) {
        logError(e, QStringLiteral("StartDownload"));
    }
}

void MUScripting::UpdateAccount(Record &account)
{
    trace(QStringLiteral("UpdateAccount call"), QStringLiteral("UpdateAccount"));
    try {
        m_timerManager->StopTiming(account.Id());
        m_receiverManager->StopReceiving(account.Id());
        m_accountManager->Update(account);
        if (!Utility::ToBool(account.Item(QStringLiteral("Disabled")), false)) {
            m_timerManager->add(account);
            if (m_pushStarted)
                startPush(account);
        }
    } catch (const MUError &e) {
        logError(e, QStringLiteral("UpdateAccount"));
    }
}

void MUScripting::AddAccount(Record &account)
{
    trace(QStringLiteral("AddAccount call"), QStringLiteral("AddAccount"));
    m_accountManager->add(account);
    if (!Utility::ToBool(account.Item(QStringLiteral("Disabled")), false)) {
        m_timerManager->add(account);
        if (m_pushStarted)
            startPush(account);
    }
}

void MUScripting::RemoveAccount(const QString &accountId)
{
    trace(QStringLiteral("RemoveAccount call"), QStringLiteral("RemoveAccount"));
    m_timerManager->StopTiming(accountId);
    m_receiverManager->StopReceiving(accountId);
    m_accountManager->Remove(accountId);
}

void MUScripting::checkAccount(const Record &account)
{
    // The keyring refused or failed: that account's check fails, it never logs in without.
    if (const QString why = account.text(QStringLiteral("PwdError")); !why.isEmpty()) {
        m_receiverManager->CheckFailed(account.Id(), MUError::Fail, why);
        return;
    }
    MUError why;
    const std::optional<DataBag> received = m_msgManager->GetMsgIds(account.Id(), &why);
    if (!received) {
        // Without the ids already received the whole mailbox would be announced again; the
        // check is skipped, and that is a failure the user and the CLI's status must see.
        m_receiverManager->CheckFailed(
            account.Id(), why.number(),
            QStringLiteral("The messages already received from e-mail server '%1' cannot be read; its check is "
                           "skipped: %2")
                .arg(account.text(QStringLiteral("Server")), why.description()));
        return;
    }
    m_receiverManager->Check(account, *received, m_msgManager->GetKnownUidls(account.Id()),
                             isImap(account) ? m_msgManager->GetImapState(account.Id()) : QVariantMap());
}

bool MUScripting::isImap(const Record &account)
{
    return AccountManager::ProtocolText(account.text(QStringLiteral("Protocol"))) == QLatin1String("IMAP");
}

void MUScripting::startPush(const Record &account)
{
    if (!isImap(account))
        return;
    const std::optional<DataBag> received = m_msgManager->GetMsgIds(account.Id());
    if (!received)
        return; // the timer's checks report it
    m_receiverManager->StartPush(account, *received, m_msgManager->GetImapState(account.Id()));
}

void MUScripting::rememberImapState(const QString &accountId, const QString &server, const QString &user,
                                    const QString &folder, qint64 uidValidity, qint64 highestUid, const QStringList &ids)
{
    if (!ids.isEmpty()) {
        const std::optional<DataBag> stored = m_msgManager->GetMsgIds(accountId);
        for (const QString &id : ids) {
            if (!stored || !stored->Exists(id)) {
                trace(QStringLiteral("Message '%1' was not stored: the folder's highest UID stays").arg(id),
                      QStringLiteral("rememberImapState"));
                return;
            }
        }
    }
    m_msgManager->SetImapState(server, user, folder, uidValidity, highestUid);
}

void MUScripting::CheckForNewMessagesNow(const Record *account)
{
    trace(Utility::FormatText(QStringLiteral("CheckForNewMessagesNow(%1) call"),
                              {account ? QStringLiteral("Account") : QString()}),
          QStringLiteral("CheckForNewMessagesNow"));
    try {
        if (account) {
            checkAccount(*account);
            return;
        }
        const DataBag accounts = m_accountManager->AccountList();
        for (const QVariant &v : accounts) {
            const Record a = v.value<Record>();
            if (!Utility::ToBool(a.Item(QStringLiteral("Disabled")), false))
                checkAccount(a);
        }
    } catch (const MUError &e) {
        logError(e, QStringLiteral("CheckForNewMessagesNow"));
    }
}

bool MUScripting::NoteSignIn(const QString &accountId, qint32 errNumber)
{
    if (errNumber != 0 && errNumber != Sasl::SignInNeeded)
        return true;
    const bool refused = errNumber == Sasl::SignInNeeded;
    try {
        // Kept in the database: the other process and the next start see it too.
        if (m_accountManager && m_accountManager->SetSignInNeeded(accountId, refused)) {
            trace(refused ? QStringLiteral("Account %1 must sign in again").arg(accountId)
                          : QStringLiteral("Account %1 signed in again").arg(accountId),
                  QStringLiteral("NoteSignIn"));
            return true;
        }
    } catch (const MUError &e) {
        logError(e, QStringLiteral("NoteSignIn"));
        return true;
    }
    return !refused;
}

void MUScripting::moTimerManager_ItsTimeToCheck(const QString &accountId)
{
    trace(QStringLiteral("moTimerManager_ItsTimeToCheck call"), QStringLiteral("moTimerManager_ItsTimeToCheck"));
    Q_EMIT CheckTimerTick(accountId);
    if (m_receiverManager->IsPushing(accountId)) {
        // Its server tells of new mail itself; the timer is for accounts without IDLE.
        trace(QStringLiteral("Pushed account: no timed check"), QStringLiteral("moTimerManager_ItsTimeToCheck"));
        return;
    }
    try {
        if (!g_usageReportDone.exchange(true))
            usageReportStep();
        checkAccount(m_accountManager->GetAccount(accountId));
    } catch (const MUError &e) {
        // That tick's check is lost; the next tick tries again.
        logError(e, QStringLiteral("moTimerManager_ItsTimeToCheck"));
    }
}

void MUScripting::moReceiverManager_MsgArrived(const Record &arrived)
{
    trace(QStringLiteral("moReceiverManager_MsgArrived call"), QStringLiteral("moReceiverManager_MsgArrived"));
    Record msg = arrived;
    bool alreadyStored = false;
    MUError why;
    if (!m_msgManager->add(msg, &alreadyStored, &why)) {
        // Announcing a message that was not stored would repeat it at every check; the
        // download reports the loss when it ends.
        const MUError e(why.number(),
                        QStringLiteral("Message '%1' from server '%2' was not stored. %3")
                            .arg(msg.text(QStringLiteral("POP3Id")), msg.text(QStringLiteral("Server")),
                                 why.description()),
                        Cls + QStringLiteral(".moReceiverManager_MsgArrived"));
        logError(e, QStringLiteral("moReceiverManager_MsgArrived"), Log::LevelFatal);
        m_receiverManager->MessageNotStored(why.number(), why.description());
        return;
    }
    if (alreadyStored) {
        // Another check (this process or another) stored it first and announced it.
        trace(QStringLiteral("Message '%1' from server '%2' is stored already; not announced again")
                  .arg(msg.text(QStringLiteral("POP3Id")), msg.text(QStringLiteral("Server"))),
              QStringLiteral("moReceiverManager_MsgArrived"));
        return;
    }
    try {
        const qint64 count = Utility::ToInt(m_settings->GetSetting(KeyReceivedCount, 0), 0);
        m_settings->SaveSetting(KeyReceivedCount, count + 1);
    } catch (const MUError &e) {
        // Only the statistics lose a count: the message is stored and is announced.
        logError(e, QStringLiteral("moReceiverManager_MsgArrived"));
    }
    Q_EMIT MsgArrived(msg);
}

int MUScripting::ReportThreshold(int k)
{
    static const int thresholds[] = {0, 2, 4, 7, 14, 21, 28, 35, 50, 75, 100, 150, 250, 366, 500};
    return (k >= 1 && k <= 15) ? thresholds[k - 1] : -1;
}

QString MUScripting::UsageReportUrl(const QString &endpoint, qint64 starts, qint64 talked, qint64 received,
                                    const QString &installId)
{
    if (endpoint.isEmpty())
        return {};
    QString base = endpoint;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return Utility::FormatText(base + QStringLiteral("/stat.htm?r=%1&t=%2&m=%3&dbg=%4"),
                               {QString::number(starts), QString::number(talked), QString::number(received),
                                installId.mid(1, 36)});
}

void MUScripting::ResetUsageReportDone()
{
    g_usageReportDone = false;
}

bool MUScripting::IsOnline()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &i : interfaces) {
        const auto flags = i.flags();
        if (flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning)
            && !flags.testFlag(QNetworkInterface::IsLoopBack))
            return true;
    }
    return false;
}

void MUScripting::usageReportStep()
{
    const qint64 stage = Utility::ToInt(m_settings->GetSetting(KeyReportStage, 0), 0);
    const qint64 starts = Utility::ToInt(m_settings->GetSetting(KeyStartCount, 0), 0);
    if (stage >= 15 || starts < ReportThreshold(int(stage) + 1))
        return;
    const QString url = UsageReportUrl(ServiceConfig::Text(QStringLiteral("statisticsEndpoint")), starts,
                                       Utility::ToInt(m_settings->GetSetting(KeyTalkedCount, 0), 0),
                                       Utility::ToInt(m_settings->GetSetting(KeyReceivedCount, 0), 0), m_installId);
    if (!url.isEmpty() && IsOnline()) {
        // Sent in the background with a short limit; its outcome is ignored.
        auto *nam = new QNetworkAccessManager(this);
        QNetworkRequest request{QUrl(url)};
        request.setTransferTimeout(UsageReportTimeoutMs);
        QNetworkReply *reply = nam->get(request);
        connect(reply, &QNetworkReply::finished, nam, [reply, nam] {
            reply->deleteLater();
            nam->deleteLater();
        });
        Q_EMIT UsageReportSent(url);
    }
    m_settings->SaveSetting(KeyReportStage, stage + 1);
}

void MUScripting::makeTalker()
{
    // Kept loaded for the life of the process: the talker's code must outlive every talker.
    static QLibrary library;
    if (!library.isLoaded()) {
        library.setFileName(Paths::FindLibrary(QStringLiteral(MURMELO_SPEECH_LIBRARY)));
        library.setLoadHints(QLibrary::PreventUnloadHint);
    }
    using Make = bool (*)(CSettings *, const LogPtr *, QObject *, CTalker **, QObject **, qint32 *, QString *);
    const auto make = reinterpret_cast<Make>(library.resolve("murmelo_make_talker"));
    m_finalizeTalker = reinterpret_cast<void (*)(CTalker *)>(library.resolve("murmelo_finalize_talker"));
    if (!make || !m_finalizeTalker)
        throw MUError(MUError::Fail,
                      QStringLiteral("The speech library could not be loaded: %1").arg(library.errorString()));
    QObject *object = nullptr;
    qint32 number = 0;
    QString description;
    if (!make(m_settings.get(), &m_log, m_agent, &m_talker, &object, &number, &description))
        throw MUError(number, description);
    m_talkerObject.reset(object);
}

void MUScripting::Finalize()
{
    if (m_finalized || !m_log)
        return;
    m_finalized = true;
    trace(QStringLiteral("Finalize call"), QStringLiteral("Finalize"));
    if (m_timerManager) {
        m_timerManager->StopTiming();
        trace(QStringLiteral("StopTiming() complete"), QStringLiteral("Finalize"));
    }
    if (m_receiverManager) {
        m_receiverManager->StopReceiving();
        trace(QStringLiteral("StopReceiving() complete"), QStringLiteral("Finalize"));
    }
    if (m_timerManager) {
        m_timerManager->Finalize();
        trace(QStringLiteral("moTimerManager.Finalize() complete"), QStringLiteral("Finalize"));
        m_timerManager.reset();
    }
    if (m_receiverManager) {
        m_receiverManager->Finalize();
        trace(QStringLiteral("moReceiverManager.Finalize() complete"), QStringLiteral("Finalize"));
        m_receiverManager.reset();
    }
    m_msgManager.reset();
    m_accountManager.reset();
    if (m_talker) {
        m_finalizeTalker(m_talker);
        trace(QStringLiteral("moTalker.Finalize() complete"), QStringLiteral("Finalize"));
        m_talker = nullptr;
        m_talkerObject.reset();
    }
    // Every worker was cancelled above; give them a moment to wind down so none
    // outlives the engine's process exit.
    if (!ThreadRunner::WaitForAll(5000))
        trace(QStringLiteral("Workers still running after Finalize"), QStringLiteral("Finalize"));
}
