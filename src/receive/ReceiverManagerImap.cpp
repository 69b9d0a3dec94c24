// The receiver manager's IMAP side: the push workers and the folder state they report.
#include "ReceiverManager.h"
#include "ReceiverMessages.h"
#include "storage/CSettings.h"
#include "trellis/MUError.h"
#include "trellis/ThreadRunner.h"
#include "trellis/Utility.h"
#include <QDBusConnection>
#include <QNetworkInformation>

namespace {
const QString Cls = QStringLiteral("ReceiverManager");
const QString KeyDontReceiveContent = QStringLiteral("{4B11E5F4-D59C-4dfa-AFD7-C58771B6754A}");
}

QString ReceiverManager::ProgIdForAccount(const Record &account)
{
    if (account.text(QStringLiteral("Protocol")).trimmed().compare(QLatin1String("IMAP"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("MUCustom.CImapReceiver");
    return ProgIdForServer(account.text(QStringLiteral("Server")));
}

bool ReceiverManager::IsPushing(const QString &accountId) const
{
    const auto it = m_pushes.constFind(accountId);
    return it != m_pushes.constEnd() && it->idle;
}

void ReceiverManager::StartPush(const Record &account, const DataBag &receivedMsgIds, const QVariantMap &imapState)
{
    const QString source = Cls + QStringLiteral(".StartPush");
    if (m_pushes.contains(account.Id()) || IsReceiving(account.Id()))
        return;
    if (m_log)
        m_log->Trace(QStringLiteral("StartPush call"), source);
    try {
        watchNetwork();
        bool dontReceiveContent = false;
        if (m_settings)
            dontReceiveContent = Utility::ToBool(m_settings->GetSetting(KeyDontReceiveContent, false), false);
        Push p;
        p.number = m_nextDownload++;
        const QString cancelName = account.Id() + QStringLiteral("RC") + QString::number(p.number);
        const QString wakeName = account.Id() + QStringLiteral("IW") + QString::number(p.number);
        p.cancel = CancelEvent::Create(cancelName);
        p.cancel->Reset();
        p.wake = CancelEvent::Create(wakeName);
        p.wake->Reset();
        const QString reconnectName = account.Id() + QStringLiteral("IR") + QString::number(p.number);
        p.reconnect = CancelEvent::Create(reconnectName);
        p.reconnect->Reset();
        p.messanger = Messanger::Create();
        const QString accountId = account.Id();
        const quint64 number = p.number;
        connect(p.messanger.get(), &Messanger::MsgArrived, this,
                [this, accountId, number](int msg, const QVariant &data) { onPushMessage(accountId, number, msg, data); });

        DataBag data;
        data.Add(QVariant::fromValue(p.messanger), QStringLiteral("Messanger"));
        data.Add(QVariant::fromValue(account), QStringLiteral("Account"));
        data.Add(QVariant::fromValue(receivedMsgIds), QStringLiteral("ReceivedMsgIds"));
        data.Add(QVariant::fromValue(m_log), QStringLiteral("Log"));
        data.Add(dontReceiveContent, QStringLiteral("DontReceiveContent"));
        data.Add(cancelName, QStringLiteral("CancelEvent"));
        data.Add(wakeName, QStringLiteral("WakeEvent"));
        data.Add(reconnectName, QStringLiteral("ReconnectEvent"));
        data.Add(imapState, QStringLiteral("ImapState"));
        data.Add(true, QStringLiteral("Push"));
        for (qsizetype i = 1; i <= m_extra.Count(); ++i)
            data.Add(m_extra.Item(i), m_extra.Key(i));
        m_pushes.insert(accountId, p);
        ThreadRunner().Start(QStringLiteral("MUCustom.CImapReceiver"), QStringLiteral("Run"), data);
    } catch (const MUError &e) {
        m_pushes.remove(account.Id());
        if (m_log)
            m_log->Write(e.number(), e.description(), Log::LevelError, source);
    }
}

void ReceiverManager::WakePushWorkers()
{
    for (const Push &p : std::as_const(m_pushes)) {
        p.reconnect->Signal();
        p.wake->Signal();
    }
}

void ReceiverManager::watchNetwork()
{
    if (m_watchingNetwork)
        return;
    m_watchingNetwork = true;
    // Back online (or woken from suspend with a new link): a push connection that waits to
    // retry reconnects now instead of after its pause.
    // Woken from suspend: connections made before it are most likely dead, and a retry
    // pause counted through the sleep would make the user wait on. Without logind (no system
    // bus) only the network's return is watched.
    QDBusConnection::systemBus().connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                                         QStringLiteral("org.freedesktop.login1.Manager"),
                                         QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    if (!QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return;
    QNetworkInformation *info = QNetworkInformation::instance();
    connect(info, &QNetworkInformation::reachabilityChanged, this, [this](QNetworkInformation::Reachability r) {
        if (r == QNetworkInformation::Reachability::Online) {
            if (m_log)
                m_log->Trace(QStringLiteral("The network is back"), Cls + QStringLiteral(".watchNetwork"));
            WakePushWorkers();
        }
    });
}

void ReceiverManager::prepareForSleep(bool suspending)
{
    if (suspending)
        return;
    if (m_log)
        m_log->Trace(QStringLiteral("The machine has woken from suspend"), Cls + QStringLiteral(".prepareForSleep"));
    WakePushWorkers();
}

void ReceiverManager::stopPushes(const QString &accountId)
{
    for (auto it = m_pushes.begin(); it != m_pushes.end();) {
        if (accountId.isEmpty() || it.key() == accountId) {
            it->cancel->Signal();
            it = m_pushes.erase(it);
        } else {
            ++it;
        }
    }
}

void ReceiverManager::relayImapState(const QVariant &data)
{
    const DataBag bag = data.value<DataBag>();
    Q_EMIT ImapStateSeen(bag.Item(QStringLiteral("AccountId")).toString(), bag.Item(QStringLiteral("Server")).toString(),
                         bag.Item(QStringLiteral("User")).toString(), bag.Item(QStringLiteral("Folder")).toString(),
                         bag.Item(QStringLiteral("UidValidity")).toLongLong(),
                         bag.Item(QStringLiteral("HighestUid")).toLongLong(), bag.Item(QStringLiteral("Ids")).toStringList());
}

void ReceiverManager::onPushMessage(const QString &accountId, quint64 number, int msg, const QVariant &data)
{
    if (msg == ReceiverMessages::ImapStateSeen) {
        relayImapState(data);
        return;
    }
    if (msg == ReceiverMessages::MsgArrived) {
        Q_EMIT MsgArrived(data.value<Record>());
        Q_EMIT CurrentReceivesCount(ReceivesCount());
        return;
    }
    // A stopped worker's late words concern nobody.
    auto it = m_pushes.find(accountId);
    if (it == m_pushes.end() || it->number != number)
        return;
    switch (msg) {
    case ReceiverMessages::CheckStart:
        it->busy = true;
        Q_EMIT ReceiveStart();
        break;
    case ReceiverMessages::ReceiveComplete:
        it->busy = false;
        Q_EMIT ReceiveComplete();
        Q_EMIT DownloadComplete(accountId);
        break;
    case ReceiverMessages::ErrorOccured: {
        it->busy = false;
        const DataBag bag = data.value<DataBag>();
        const qint32 errNumber = bag.Item(QStringLiteral("ErrNumber")).toInt();
        const QString description = bag.Item(QStringLiteral("ErrDescription")).toString();
        raiseFailure(accountId, errNumber, description);
        break;
    }
    case ReceiverMessages::PushMode: {
        const bool push = data.toBool();
        it->idle = push;
        if (!push)
            m_pushes.erase(it); // the worker ends; the account's timer polls it
        Q_EMIT PushMode(accountId, push);
        break;
    }
    default:
        return;
    }
    Q_EMIT CurrentReceivesCount(ReceivesCount());
}
