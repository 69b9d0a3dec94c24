#include "CReceiver.h"
#include <QSslCertificate>
#include "CArriveShell.h"
#include "ReceiverMessages.h"
#include "mime/CMIMEPart.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/Utility.h"
#include <QThread>

namespace {
const QString kClass = QStringLiteral("CReceiver");
QString source(const QString &member) { return kClass + QLatin1Char('.') + member; }

constexpr QLatin1StringView kCrLf("\r\n");

/// Socket and argument errors that mean "the server cannot be reached".
bool isUnreachable(qint32 number)
{
    return number == 13 || number == 10022 || number == 10110 || number == 11001;
}
}

CReceiver::CReceiver() = default;

CReceiver::~CReceiver()
{
    Finalize();
}

void CReceiver::Run(const DataBag &data)
{
    m_log = data.Item(QStringLiteral("Log")).value<LogPtr>();
    const QVariant messanger = data.Item(QStringLiteral("Messanger"));
    m_messanger = messanger.value<MessangerPtr>();
    if (!m_messanger) {
        // A plain Messanger* (tests, benchmarks): not owned, must outlive the run.
        if (auto *plain = qobject_cast<Messanger *>(messanger.value<QObject *>()))
            m_messanger = MessangerPtr(plain, [](Messanger *) {});
    }
    const Record account = data.Item(QStringLiteral("Account")).value<Record>();
    const QString cancelName = data.Item(QStringLiteral("CancelEvent")).toString();
    if (!cancelName.isEmpty())
        m_cancel = CancelEvent::Open(cancelName);
    const bool dontReceiveContent = data.Item(QStringLiteral("DontReceiveContent")).toBool();
    const QString server = account.text(QStringLiteral("Server"));
    const int port = account.Item(QStringLiteral("Port")).toInt();
    const QString user = account.text(QStringLiteral("User"));
    const QString pwd = account.text(QStringLiteral("Pwd"));

    trace(Utility::FormatText(QStringLiteral("Start Check account '%1'/'%2', fDontReceiveContent=%3"),
                              {server, user, dontReceiveContent ? QStringLiteral("True") : QStringLiteral("False")}));
    DataBag received = data.Item(QStringLiteral("ReceivedMsgIds")).value<DataBag>();

    auto post = [this](int msg, const QVariant &value) {
        if (m_messanger)
            m_messanger->Post(msg, value);
    };

    try {
        m_shell = std::make_unique<CArriveShell>();
        m_shell->Init(m_log, m_cancel);
        const QVariant limit = data.Item(QStringLiteral("InactivityLimitMs"));
        if (limit.isValid() && limit.toInt() > 0)
            m_shell->setInactivityLimit(limit.toInt());
        if (port < 1 || port > 65535)
            throw MUError(10022, QStringLiteral("Invalid port %1. ").arg(port), source(QStringLiteral("Run")));
        m_shell->setRemote(server, quint16(port));
        m_shell->setSecurity(CArriveShell::SecurityFromText(account.text(QStringLiteral("Security"))),
                             account.text(QStringLiteral("CertPin")));
        const QString caFile = data.Item(QStringLiteral("CaCertificatesFile")).toString();
        if (!caFile.isEmpty())
            m_shell->setExtraCaCertificates(QSslCertificate::fromPath(caFile));
        trace(Utility::FormatText(QStringLiteral("RemoteHost='%1', LocalPort=%2, RemotePort=%3"),
                                  {m_shell->remoteHost(), QString::number(m_shell->localPort()),
                                   QString::number(m_shell->remotePort())}));

        throwIfCancelled();
        m_shell->Connect();
        throwIfCancelled();
        QString reply;
        m_shell->SendData(QStringLiteral("USER ") + user + kCrLf, false, reply);
        throwIfCancelled();
        m_shell->SendData(QStringLiteral("PASS ") + pwd + kCrLf, false, reply);
        throwIfCancelled();

        while (!cancelled()) {
            Header header;
            const int number = GetFirstUnreceivedNumber(received, header);
            if (number == 0)
                break;
            trace(Utility::FormatText(
                QStringLiteral("After GetFirstUnreceivedNumber. oAlreadyReceived.Count=%1, iNumber=%2, sId='%3'"),
                {QString::number(received.Count()), QString::number(number), header.id}));
            if (cancelled())
                break;
            QString content;
            if (!dontReceiveContent) {
                m_shell->SendData(QStringLiteral("TOP %1 10000").arg(number) + kCrLf, true, reply);
                if (cancelled())
                    break;
                CMIMEPart part;
                part.Init(reply, false);
                header.from = part.from();
                header.to = part.MsgTo();
                header.date = part.SentDate();
                header.subject = part.Subject();
                content = part.TextPlain();
                if (cancelled())
                    break;
            }
            received.Add(header.id, header.id);

            Record msg;
            msg.Add(QStringLiteral("Server"), server);
            msg.Add(QStringLiteral("User"), user);
            msg.Add(QStringLiteral("POP3Id"), header.id);
            msg.Add(QStringLiteral("From"), header.from);
            msg.Add(QStringLiteral("To"), header.to);
            msg.Add(QStringLiteral("Date"), header.date);
            msg.Add(QStringLiteral("Subject"), header.subject);
            if (!dontReceiveContent)
                msg.Add(QStringLiteral("Content"), content);
            post(ReceiverMessages::MsgArrived, QVariant::fromValue(msg));
        }

        m_shell->SendData(QStringLiteral("QUIT") + kCrLf, false, reply);
        trace(QStringLiteral("QUIT Result = ") + reply, source(QStringLiteral("Receive")));
        m_shell->Close();
        post(ReceiverMessages::ReceiveComplete, account.Id());
    } catch (const MUError &failure) {
        MUError error = isUnreachable(failure.number())
            ? MUError(MUError::engineNumber(515),
                      Utility::FormatText(MessageTable::Text(515), {server}), failure.source())
            : MUError(failure.number(),
                      Utility::FormatText(MessageTable::Text(520), {server}) + failure.description(),
                      failure.source());
        try {
            if (m_shell) {
                // A server that failed us once gets only a short while to answer the farewell.
                m_shell->setInactivityLimit(qMin(m_shell->inactivityLimit(), QuitAfterFailureLimitMs));
                QString ignored;
                m_shell->SendData(QStringLiteral("QUIT") + kCrLf, false, ignored);
            }
        } catch (const MUError &) {
        }
        if (m_shell)
            m_shell->Close();
        DataBag bag;
        bag.Add(error.number(), QStringLiteral("ErrNumber"));
        bag.Add(error.description(), QStringLiteral("ErrDescription"));
        bag.Add(error.source(), QStringLiteral("ErrSource"));
        bag.Add(account.Id(), QStringLiteral("AccountId"));
        if (m_log)
            m_log->Write(error.number(), error.description(), Log::LevelError, source(QStringLiteral("Run")));
        post(ReceiverMessages::ErrorOccured, QVariant::fromValue(bag));
    }
    m_cancel.reset();
    Finalize();
}

int CReceiver::GetFirstUnreceivedNumber(const DataBag &receivedMsgIds, Header &header)
{
    header = Header();
    QString reply;
    m_shell->SendData(QStringLiteral("STAT") + kCrLf, false, reply);
    if (cancelled())
        return 0;
    const int count = reply.section(QLatin1Char(' '), 0, 0).trimmed().toInt();
    trace(QStringLiteral("iMailCount = ") + QString::number(count), QStringLiteral("GetFirstUnreceivedNumber"));

    // Mail is never deleted here, so the new messages are the newest ones: walk the last
    // window of the mailbox, oldest first, in server order.
    const int first = qMax(1, count - Window + 1);
    bool longTop = false;
    for (int i = first; i <= count; ++i) {
        for (;;) {
            m_shell->SendData(QStringLiteral("TOP %1 %2").arg(i).arg(longTop ? 100 : 1) + kCrLf, true, reply);
            if (cancelled())
                return 0;
            CMIMEPart part;
            part.Init(reply, true);
            header.from = part.from();
            header.to = part.MsgTo();
            header.date = part.SentDate();
            header.subject = part.Subject();
            header.id = part.Id();
            if (header.id.isEmpty())
                header.id = (header.date + header.from).left(255);
            if (!header.id.isEmpty())
                break;
            if (longTop)
                throw MUError::engine(529, source(QStringLiteral("GetFirstUnreceivedNumber")));
            longTop = true;
        }
        if (cancelled())
            return 0;
        if (!receivedMsgIds.Exists(header.id))
            return i;
    }
    return 0;
}

void CReceiver::throwIfCancelled() const
{
    if (cancelled())
        throw MUError(MUError::Fail, QStringLiteral("Cancelled. "), source(QStringLiteral("Run")));
}

void CReceiver::Finalize()
{
    if (m_shell) {
        m_shell->Finalize();
        m_shell.reset();
    }
}

void CReceiver::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Trace(text, member.contains(QLatin1Char('.')) ? member : source(member));
}
