#pragma once
#include "trellis/CancelEvent.h"
#include "trellis/DataBag.h"
#include "trellis/Log.h"
#include "trellis/Messanger.h"
#include "trellis/ThreadRunner.h"
#include <QString>
#include <memory>

class CArriveShell;
class Messanger;

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
/// Posts ReceiverMessages::MsgArrived / ReceiveComplete / ErrorOccured.
/// Thread: created, run and destroyed on its worker thread; one object serves one connection.
class CReceiver : public Worker
{
public:
    /// Only the newest this-many messages of the mailbox are examined on each walk.
    static constexpr int Window = 30;
    /// How long the QUIT of a failed connection may wait for its answer.
    static constexpr int QuitAfterFailureLimitMs = 5000;

    CReceiver();
    ~CReceiver() override;

    /// Runs on the worker thread: the whole connection; returns when it is over.
    void Run(const DataBag &data) override;
    void DoNext() {}
    /// Releases the socket shell.
    void Finalize();

private:
    struct Header {
        QString id, from, to, date, subject;
    };

    int GetFirstUnreceivedNumber(const DataBag &receivedMsgIds, Header &header);
    bool cancelled() const { return ::IsSignalled(m_cancel); }
    void throwIfCancelled() const;
    void trace(const QString &text, const QString &member = QStringLiteral("Run")) const;

    LogPtr m_log;
    MessangerPtr m_messanger;
    CancelEventPtr m_cancel;
    std::unique_ptr<CArriveShell> m_shell;
};
