#include "ReceiverManager.h"
#include "CHotmail.h"
#include "ReceiveWorkers.h"
#include "ReceiverMessages.h"
#include "storage/CSettings.h"
#include "trellis/MUError.h"
#include "trellis/Paths.h"
#include "trellis/ServiceConfig.h"
#include "trellis/ThreadRunner.h"
#include "trellis/Utility.h"
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QLockFile>
#include <QScopedValueRollback>

namespace {
const QString Cls = QStringLiteral("ReceiverManager");
const QString KeyDontReceiveContent = QStringLiteral("{4B11E5F4-D59C-4dfa-AFD7-C58771B6754A}");
}

ReceiverManager::ReceiverManager(QObject *parent) : QObject(parent)
{
    RegisterReceiveWorkers();
}

ReceiverManager::~ReceiverManager()
{
    if (m_log)
        m_log->Trace(QStringLiteral("Class_Terminate()"), Cls + QStringLiteral(".Class_Terminate"));
    for (const Download &d : std::as_const(m_downloads))
        d.cancel->Signal();
    for (const Push &p : std::as_const(m_pushes))
        p.cancel->Signal();
}

void ReceiverManager::Init(LogPtr log, CSettings *settings)
{
    m_log = std::move(log);
    m_settings = settings;
}

int ReceiverManager::ReceivesCount() const
{
    int busyPushes = 0;
    for (const Push &p : m_pushes)
        busyPushes += p.busy ? 1 : 0;
    return int(m_downloads.size()) + busyPushes;
}

bool ReceiverManager::IsReceiving(const QString &accountId) const
{
    for (const Download &d : m_downloads) {
        if (d.accountId == accountId)
            return true;
    }
    return false;
}

QString ReceiverManager::ProgIdForServer(const QString &server)
{
    return CHotmail::IsHttpMailServer(server) ? QStringLiteral("MUCustom.CHotmail") : QStringLiteral("MUCustom.CReceiver");
}

QString ReceiverManager::LockFilePath(const QString &accountId, const QString &folder)
{
    QString name;
    for (const QChar c : accountId) {
        if ((c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('-'))
            name.append(c);
    }
    return QDir(folder.isEmpty() ? Paths::DataDir() : folder)
        .filePath(QStringLiteral("receiving-%1.lock").arg(name));
}

bool ReceiverManager::lockAccount(const QString &accountId, const QString &source,
                                  std::shared_ptr<QLockFile> *lock) const
{
    lock->reset();
    const QString path = LockFilePath(accountId);
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo(folder).isDir())
        Paths::EnsureDir(folder);
    auto file = std::make_shared<QLockFile>(path);
    // A download may rightly take many minutes: only a lock whose process has died is stale.
    file->setStaleLockTime(0);
    if (file->tryLock(0)) {
        *lock = std::move(file);
        return true;
    }
    if (file->error() == QLockFile::LockFailedError)
        return false;
    if (m_log)
        m_log->Write(MUError::Fail,
                     QStringLiteral("Cannot take the lock file '%1'; the account is checked without it. ").arg(path),
                     Log::LevelError, source);
    return true;
}

void ReceiverManager::Check(const Record &account, const DataBag &receivedMsgIds, const QVariantMap &knownUidls,
                            const QVariantMap &imapState)
{
    const QString source = Cls + QStringLiteral(".Check");
    if (m_pushes.contains(account.Id())) {
        // The open connection checks at once; its events follow as for any check.
        if (m_log)
            m_log->Trace(QStringLiteral("Checking on the push connection. "), source);
        m_pushes.value(account.Id()).wake->Signal();
        return;
    }
    std::shared_ptr<QLockFile> lock;
    if (IsReceiving(account.Id()) || !lockAccount(account.Id(), source, &lock)) {
        if (m_log)
            m_log->Trace(QStringLiteral("Already receiving from this account. "), source);
        return;
    }
    quint64 number = 0;
    try {
        Q_EMIT ReceiveStart();
        bool dontReceiveContent = false;
        if (m_settings)
            dontReceiveContent = Utility::ToBool(m_settings->GetSetting(KeyDontReceiveContent, false), false);

        number = m_nextDownload++;
        Download d;
        d.accountId = account.Id();
        d.server = account.text(QStringLiteral("Server"));
        d.lock = std::move(lock);
        const QString eventName = account.Id() + QStringLiteral("RC") + QString::number(number);
        d.cancel = CancelEvent::Create(eventName);
        d.cancel->Reset();
        d.messanger = Messanger::Create();
        connect(d.messanger.get(), &Messanger::MsgArrived, this,
                [this, number](int msg, const QVariant &data) { onMessage(number, msg, data); });

        DataBag data;
        data.Add(QVariant::fromValue(d.messanger), QStringLiteral("Messanger"));
        data.Add(QVariant::fromValue(account), QStringLiteral("Account"));
        data.Add(QVariant::fromValue(receivedMsgIds), QStringLiteral("ReceivedMsgIds"));
        data.Add(QVariant::fromValue(m_log), QStringLiteral("Log"));
        data.Add(dontReceiveContent, QStringLiteral("DontReceiveContent"));
        data.Add(eventName, QStringLiteral("CancelEvent"));
        data.Add(knownUidls, QStringLiteral("KnownUidls"));
        data.Add(imapState, QStringLiteral("ImapState"));
        for (qsizetype i = 1; i <= m_extra.Count(); ++i)
            data.Add(m_extra.Item(i), m_extra.Key(i));

        m_downloads.insert(number, d);
        const QString progId = ProgIdForAccount(account);
        try {
            ThreadRunner().Start(progId, QStringLiteral("Run"), data);
        } catch (const MUError &e) {
            // A receiver that cannot be created ends like a failed download.
            if (m_log)
                m_log->Write(e.number(), e.description(), Log::LevelError, source);
            d.messanger->Post(ReceiverMessages::ErrorOccured, QVariant::fromValue(ReceiverMessages::ErrorBag(e, account.Id())));
        }
        Q_EMIT CurrentReceivesCount(ReceivesCount());
    } catch (const MUError &e) {
        if (number)
            forget(number);
        if (m_log)
            m_log->Write(e.number(), e.description(), Log::LevelError, source);
    }
}

void ReceiverManager::StopReceiving(const QString &accountId)
{
    if (m_log)
        m_log->Trace(Utility::FormatText(QStringLiteral("StopReceiving(%1) call"), {accountId}),
                     Cls + QStringLiteral(".StopReceiving"));
    for (auto it = m_downloads.begin(); it != m_downloads.end();) {
        if (accountId.isEmpty() || it->accountId == accountId) {
            it->cancel->Signal();
            it = m_downloads.erase(it);
        } else {
            ++it;
        }
    }
    stopPushes(accountId);
    Q_EMIT CurrentReceivesCount(ReceivesCount());
}

void ReceiverManager::MessageNotStored(qint32 errNumber, const QString &errDescription)
{
    auto it = m_downloads.find(m_delivering);
    if (!m_delivering || it == m_downloads.end())
        return;
    if (it->notStored++ == 0) {
        it->storeErrNumber = errNumber;
        it->storeErrDescription = errDescription.trimmed();
    }
}

void ReceiverManager::CheckFailed(const QString &accountId, qint32 errNumber, const QString &errDescription)
{
    if (m_log)
        m_log->Write(errNumber, errDescription, Log::LevelError, Cls + QStringLiteral(".CheckFailed"));
    raiseFailure(accountId, errNumber, errDescription);
}

void ReceiverManager::raiseFailure(const QString &accountId, qint32 errNumber, const QString &errDescription)
{
    if (!m_failureFilter || m_failureFilter(accountId, errNumber))
        Q_EMIT ErrorOccured(errNumber, errDescription);
    else if (m_log)
        m_log->Trace(QStringLiteral("Account %1 failed as before; not shown again").arg(accountId),
                     Cls + QStringLiteral(".raiseFailure"));
    Q_EMIT DownloadFailed(accountId, errNumber, errDescription);
}

QString ReceiverManager::storeFailureText(const Download &d) const
{
    return QStringLiteral("%1 of %2 downloaded messages could not be stored: %3")
        .arg(d.notStored)
        .arg(d.delivered)
        .arg(d.storeErrDescription);
}

void ReceiverManager::Finalize()
{
    if (m_log)
        m_log->Trace(QStringLiteral("moThreads.Count=") + QString::number(m_downloads.size()),
                     Cls + QStringLiteral(".Finalize"));
    StopReceiving();
}

void ReceiverManager::forget(quint64 download)
{
    m_downloads.remove(download);
}

void ReceiverManager::onMessage(quint64 download, int msg, const QVariant &data)
{
    if (msg == ReceiverMessages::UidlsSeen) {
        // Worth keeping even from a cancelled download: the pairs stay true.
        const DataBag bag = data.value<DataBag>();
        Q_EMIT UidlsSeen(bag.Item(QStringLiteral("Server")).toString(), bag.Item(QStringLiteral("User")).toString(),
                         bag.Item(QStringLiteral("Uidls")).toMap());
        return;
    }
    if (msg == ReceiverMessages::ImapStateSeen) {
        relayImapState(data);
        return;
    }
    switch (msg) {
    case ReceiverMessages::MsgArrived: {
        // A message fully downloaded before a cancel is still delivered: dropping it
        // would only make the next check download it again.
        auto it = m_downloads.find(download);
        if (it != m_downloads.end())
            ++it->delivered;
        const QScopedValueRollback<quint64> delivering(m_delivering, download);
        Q_EMIT MsgArrived(data.value<Record>());
        break;
    }
    case ReceiverMessages::ReceiveComplete: {
        Download d = m_downloads.value(download);
        const bool known = m_downloads.contains(download);
        forget(download);
        d.lock.reset();   // free before the events: a handler may check the account again
        if (known && d.notStored > 0) {
            // Received but not kept: the user must hear of it, and the next check brings them again.
            const MUError error =
                MUError::engine(520, Cls + QStringLiteral(".ReceiveComplete"), {d.server}, storeFailureText(d));
            if (m_log)
                m_log->Write(d.storeErrNumber, error.description(), Log::LevelError, error.source());
            raiseFailure(d.accountId, d.storeErrNumber, error.description());
        } else if (known) {
            Q_EMIT ReceiveComplete();
            Q_EMIT DownloadComplete(d.accountId);
        }
        break;
    }
    case ReceiverMessages::ErrorOccured: {
        const DataBag bag = data.value<DataBag>();
        Download d = m_downloads.value(download);
        const bool known = m_downloads.contains(download);
        forget(download);
        d.lock.reset();
        // A cancelled download's late failure ("Cancelled.") is not the user's concern.
        if (known) {
            const qint32 number = bag.Item(QStringLiteral("ErrNumber")).toInt();
            QString description = bag.Item(QStringLiteral("ErrDescription")).toString();
            if (d.notStored > 0)
                description = description.trimmed() + QLatin1Char(' ') + storeFailureText(d);
            raiseFailure(bag.Item(QStringLiteral("AccountId")).toString(), number, description);
        }
        break;
    }
    default:
        break;
    }
    Q_EMIT CurrentReceivesCount(ReceivesCount());
}
