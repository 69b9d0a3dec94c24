#include "CReceiver.h"
#include <QSslCertificate>
#include "CArriveShell.h"
#include "ReceiverMessages.h"
#include "OnlineAccounts.h"
#include "Sasl.h"
#include "mime/CMIMEPart.h"
#include "mime/MessageLimits.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/ServiceConfig.h"
#include "trellis/Utility.h"
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <array>
#include <cstdlib>
#include <map>
#include <memory>

namespace {
const QString kClass = QStringLiteral("CReceiver");
QString source(const QString &member) { return kClass + QLatin1Char('.') + member; }

constexpr QLatin1StringView kCrLf("\r\n");
/// The walk's trace lines carry the member name they have always carried.
const QString kWalk = QStringLiteral("GetFirstUnreceivedNumber");

/// What a check needs of a UIDL listing, taken line by line as it arrives: the number of
/// messages (the highest number listed) and the unique-ids of the newest ones. A unique-id
/// listed twice is trusted for neither (RFC 1939 section 7 forbids it). Memory does not grow
/// with the listing: the newest entries are kept in a small map, and each unique-id leaves
/// its trace in two bit sets (seen, seen again) that can only err towards distrust, which
/// costs a request, never a message.
class UidlListing
{
public:
    explicit UidlListing(int keep) : m_keep(keep) {}
    UidlListing(const UidlListing &) = delete;
    UidlListing &operator=(const UidlListing &) = delete;

    void take(QByteArrayView line, bool whole)
    {
        const QList<QByteArrayView> parts = split(line);
        bool ok = false;
        const int number = parts.isEmpty() ? 0 : QByteArray(parts.first().data(), parts.first().size()).toInt(&ok);
        if (!ok || number < 1)
            return;
        m_count = qMax(m_count, number);
        QByteArray uid;
        if (whole && parts.size() == 2 && parts.at(1).size() <= 255) {
            uid = parts.at(1).toByteArray();
            if (mark(m_seen, uid))
                mark(m_twice, uid);
        }
        if (int(m_newest.size()) < m_keep || number >= m_newest.begin()->first) {
            m_newest[number] = uid;
            if (int(m_newest.size()) > m_keep)
                m_newest.erase(m_newest.begin());
        }
    }
    int count() const { return m_count; }
    /// The trusted unique-ids of the messages from `first` on.
    QHash<int, QString> uids(int first) const
    {
        QHash<int, QString> out;
        for (auto it = m_newest.lower_bound(first); it != m_newest.end(); ++it) {
            if (!it->second.isEmpty() && !marked(m_twice, it->second))
                out.insert(it->first, QString::fromLatin1(it->second));
        }
        return out;
    }

private:
    // 2^26 bits each (8 MB of address space); only the pages a listing touches take memory.
    static constexpr quint64 Bits = quint64(1) << 26;
    struct Free {
        void operator()(quint64 *p) const { std::free(p); }
    };
    using BitSet = std::unique_ptr<quint64, Free>;
    static BitSet makeBits() { return BitSet(static_cast<quint64 *>(std::calloc(Bits / 64, sizeof(quint64)))); }

    static QList<QByteArrayView> split(QByteArrayView line)
    {
        QList<QByteArrayView> parts;
        qsizetype pos = 0;
        while (pos < line.size() && parts.size() < 3) {
            while (pos < line.size() && line.at(pos) == ' ')
                ++pos;
            qsizetype end = pos;
            while (end < line.size() && line.at(end) != ' ')
                ++end;
            if (end > pos)
                parts.append(line.sliced(pos, end - pos));
            pos = end;
        }
        return parts;
    }
    static std::array<quint64, 3> positions(QByteArrayView uid)
    {
        const quint64 a = qHash(uid, size_t(0x9E3779B97F4A7C15ull));
        const quint64 b = qHash(uid, size_t(0xC2B2AE3D27D4EB4Full)) | 1;
        return {a % Bits, (a + b) % Bits, (a + 2 * b) % Bits};
    }
    /// Sets the unique-id's bits; true when all of them were set already.
    static bool mark(BitSet &bits, QByteArrayView uid)
    {
        if (!bits)
            bits = makeBits();
        if (!bits)
            return true; // no memory for the trace: trust nothing
        bool all = true;
        for (const quint64 bit : positions(uid)) {
            quint64 &word = bits.get()[bit / 64];
            const quint64 mask = quint64(1) << (bit % 64);
            all = all && (word & mask);
            word |= mask;
        }
        return all;
    }
    static bool marked(const BitSet &bits, QByteArrayView uid)
    {
        if (!bits)
            return false;
        for (const quint64 bit : positions(uid)) {
            if (!(bits.get()[bit / 64] & (quint64(1) << (bit % 64))))
                return false;
        }
        return true;
    }

    int m_keep;
    int m_count = 0;
    std::map<int, QByteArray> m_newest;
    BitSet m_seen, m_twice;
};
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
    const QString user = account.text(QStringLiteral("User"));

    trace(Utility::FormatText(QStringLiteral("Start Check account '%1'/'%2', fDontReceiveContent=%3"),
                              {server, user, dontReceiveContent ? QStringLiteral("True") : QStringLiteral("False")}));
    DataBag received = data.Item(QStringLiteral("ReceivedMsgIds")).value<DataBag>();
    const QVariantMap knownUidls = data.Item(QStringLiteral("KnownUidls")).toMap();

    try {
        const Capabilities caps = ConnectAndLogIn(data, account);
        const bool wantContent = !dontReceiveContent;
        std::optional<MUError> deferred;
        const QList<Slot> wanted = Collect(caps, received, knownUidls, wantContent, deferred);
        FetchAndDeliver(wanted, received, server, user, wantContent);
        if (deferred && !cancelled())
            throw *deferred;

        if (!m_quitSent)
            m_shell->SendData(QStringLiteral("QUIT") + kCrLf, false, m_quitReply);
        trace(QStringLiteral("QUIT Result = ") + m_quitReply, source(QStringLiteral("Receive")));
        m_shell->Close();
        postSeenUidls(account);
        post(ReceiverMessages::ReceiveComplete, account.Id());
    } catch (const MUError &failure) {
        Fail(failure, account);
    }
    m_cancel.reset();
    Finalize();
}

bool CReceiver::TestAccount(const Record &account, const DataBag &options, QString *reason, qint32 *number)
{
    CReceiver r;
    r.m_log = options.Item(QStringLiteral("Log")).value<LogPtr>();
    try {
        r.ConnectAndLogIn(options, account);
    } catch (const MUError &failure) {
        if (r.m_shell) {
            try {
                r.m_shell->setTimeLimit(QuitAfterFailureLimitMs);
                QString ignored;
                r.m_shell->SendData(QStringLiteral("QUIT") + kCrLf, false, ignored);
            } catch (const MUError &) {
            }
            r.m_shell->Close();
        }
        if (reason)
            *reason = failure.description();
        if (number)
            *number = failure.number();
        r.trace(QStringLiteral("Account test failed: ") + failure.description(), QStringLiteral("TestAccount"));
        return false;
    }
    // Signed in: that is the answer, whatever becomes of the goodbye.
    try {
        QString ignored;
        r.m_shell->setTimeLimit(QuitAfterFailureLimitMs);
        r.m_shell->SendData(QStringLiteral("QUIT") + kCrLf, false, ignored);
    } catch (const MUError &) {
    }
    r.m_shell->Close();
    return true;
}

CReceiver::Capabilities CReceiver::ConnectAndLogIn(const DataBag &data, const Record &account)
{
    const int port = account.Item(QStringLiteral("Port")).toInt();
    m_shell = std::make_unique<CArriveShell>();
    m_shell->Init(m_log, m_cancel);
    const QVariant limit = data.Item(QStringLiteral("InactivityLimitMs"));
    if (limit.isValid() && limit.toInt() > 0)
        m_shell->setInactivityLimit(limit.toInt());
    const QVariant kept = data.Item(QStringLiteral("KeptMessageBytes"));
    if (kept.isValid() && kept.toLongLong() > 0)
        m_shell->setKeptBytes(kept.toLongLong());
    // However the server paces its bytes, the check ends in time and the next one can run.
    m_shell->setTimeLimit(qint64(ServiceConfig::Number(QStringLiteral("checkTimeLimitSeconds"),
                                                       DefaultTimeLimitSeconds) * 1000));
    if (port < 1 || port > 65535)
        throw MUError(10022, QStringLiteral("Invalid port %1. ").arg(port), source(QStringLiteral("Run")));
    m_shell->setRemote(account.text(QStringLiteral("Server")), quint16(port));
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
    // Asked before logging in (RFC 2449 allows it), so the login itself can be pipelined.
    Capabilities caps = ReadCapabilities();
    throwIfCancelled();
    m_pipelining = caps.pipelining;
    // An online account's token or password is asked for now, for this login only.
    const Record signIn = OnlineAccounts::WithCredentials(account);
    throwIfCancelled();
    if (signIn.text(QStringLiteral("Auth")).compare(QLatin1String("OAuth2"), Qt::CaseInsensitive) == 0)
        LoginWithToken(signIn, signIn.text(QStringLiteral("Pwd")), caps);
    else
        Login(signIn.text(QStringLiteral("User")), signIn.text(QStringLiteral("Pwd")), caps);
    throwIfCancelled();
    if (caps.answered && !caps.uidl) {
        // A server may announce TOP and UIDL only once logged in.
        const Capabilities after = ReadCapabilities();
        caps.uidl = after.uidl;
        m_pipelining = m_pipelining || after.pipelining;
        throwIfCancelled();
    }
    return caps;
}

QList<CReceiver::Slot> CReceiver::Collect(const Capabilities &caps, const DataBag &received,
                                          const QVariantMap &knownUidls, bool wantContent,
                                          std::optional<MUError> &deferred)
{
    QList<Slot> window = ExamineMailbox(caps, received, knownUidls, wantContent);
    const int stoppedAt = cancelled() ? 0 : Walk(window, deferred);

    // The unknown messages in server order; an identifier met twice is fetched once.
    QList<Slot> wanted;
    QSet<QString> chosen;
    for (const Slot &slot : std::as_const(window)) {
        if (stoppedAt > 0 && slot.number >= stoppedAt)
            break;
        if (slot.probablyNew) {
            wanted.append(slot);
        } else if (slot.examined && !received.Exists(slot.header.id) && !chosen.contains(slot.header.id)) {
            chosen.insert(slot.header.id);
            wanted.append(slot);
        }
    }
    return wanted;
}

void CReceiver::FetchAndDeliver(const QList<Slot> &wanted, DataBag &received, const QString &server,
                                const QString &user, bool wantContent)
{
    auto deliver = [&](const Slot &slot, Header header, const QString &content) {
        trace(Utility::FormatText(
            QStringLiteral("After GetFirstUnreceivedNumber. oAlreadyReceived.Count=%1, iNumber=%2, sId='%3'"),
            {QString::number(received.Count()), QString::number(slot.number), header.id}));
        if (const QString why = m_why.value(header.id); !why.isEmpty() && m_log)
            m_log->Write(0, Utility::FormatText(QStringLiteral("Message %1: %2"), {QString::number(slot.number), why}),
                         Log::LevelError, source(QStringLiteral("Run")));
        received.Add(header.id, header.id);
        const Record msg = ReceiverMessages::MessageRecord(server, user, header, wantContent ? &content : nullptr);
        post(ReceiverMessages::MsgArrived, QVariant::fromValue(msg));
    };

    if (cancelled())
        return;
    if (!wantContent) {
        for (const Slot &slot : wanted) {
            if (cancelled())
                break;
            deliver(slot, slot.header, QString());
        }
        return;
    }
    if (wanted.isEmpty())
        return;
    QStringList commands;
    for (const Slot &slot : wanted)
        commands << QStringLiteral("TOP %1 %2").arg(slot.number).arg(FetchLines) + kCrLf;
    QStringList results;
    exchange(commands, true, results, [&](qsizetype index, const QString &payload) {
        if (cancelled())
            return;
        const Slot &slot = wanted.at(index);
        const bool cut = m_shell->LastReplyTruncated();
        CMIMEPart part;
        part.InitMessage(payload, false);
        Header header = headerOf(part);
        if (slot.probablyNew) {
            // Not walked: the identifier comes from this header, as the walk would have taken it.
            identify(header, slot, payload);
            rememberUid(slot, header.id);
            if (received.Exists(header.id))
                return;
        } else {
            header.id = slot.header.id;
        }
        if (cancelled())
            return;
        if (cut)
            trace(QStringLiteral("Message %1 is longer than %2 bytes: the rest was not downloaded.")
                      .arg(slot.number)
                      .arg(MessageLimits::KeptBytes));
        deliver(slot, header, cut ? MessageLimits::MarkTruncated(payload) : payload);
    }, true);
}

void CReceiver::Fail(const MUError &failure, const Record &account)
{
    const QString server = account.text(QStringLiteral("Server"));
    const MUError error = ReceiverMessages::CheckFailure(failure, server);
    try {
        // A server too slow for the whole check is not waited for again, not even for QUIT.
        if (m_shell && !m_quitSent && failure.number() != MUError::engineNumber(531)) {
            // A server that failed us once gets only a short while to answer the farewell.
            m_shell->setInactivityLimit(qMin(m_shell->inactivityLimit(), QuitAfterFailureLimitMs));
            m_shell->setTimeLimit(QuitAfterFailureLimitMs);
            QString ignored;
            m_shell->SendData(QStringLiteral("QUIT") + kCrLf, false, ignored);
        }
    } catch (const MUError &) {
    }
    if (m_shell)
        m_shell->Close();
    if (m_log)
        m_log->Write(error.number(), error.description(), Log::LevelError, source(QStringLiteral("Run")));
    postSeenUidls(account);
    post(ReceiverMessages::ErrorOccured, QVariant::fromValue(ReceiverMessages::ErrorBag(error, account.Id())));
}

void CReceiver::post(int msg, const QVariant &value) const
{
    if (m_messanger)
        m_messanger->Post(msg, value);
}

void CReceiver::postSeenUidls(const Record &account)
{
    // The unique-ids examined go back to the engine before the connection's last word.
    if (m_seenUidls.isEmpty())
        return;
    DataBag bag;
    bag.Add(account.Id(), QStringLiteral("AccountId"));
    bag.Add(account.text(QStringLiteral("Server")), QStringLiteral("Server"));
    bag.Add(account.text(QStringLiteral("User")), QStringLiteral("User"));
    bag.Add(m_seenUidls, QStringLiteral("Uidls"));
    post(ReceiverMessages::UidlsSeen, QVariant::fromValue(bag));
    m_seenUidls.clear();
}

CReceiver::Capabilities CReceiver::ReadCapabilities()
{
    Capabilities caps;
    QString reply;
    try {
        m_shell->SendData(QStringLiteral("CAPA") + kCrLf, true, reply);
    } catch (const MUError &e) {
        // A server that refuses CAPA (RFC 1939 only) offers nothing beyond the basics.
        if (e.number() != MUError::engineNumber(525))
            throw;
        return caps;
    }
    if (cancelled())
        return caps;
    caps.answered = true;
    const QStringList lines = reply.split(kCrLf);
    for (const QString &line : lines) {
        const QString name = line.section(QLatin1Char(' '), 0, 0).trimmed().toUpper();
        if (name == QLatin1String("PIPELINING"))
            caps.pipelining = true;
        else if (name == QLatin1String("UIDL"))
            caps.uidl = true;
        else if (name == QLatin1String("USER"))
            caps.user = true;
        else if (name == QLatin1String("SASL"))
            caps.sasl = line.section(QLatin1Char(' '), 1).trimmed().toLatin1().split(' ');
    }
    trace(QStringLiteral("Capabilities: PIPELINING=%1, UIDL=%2")
              .arg(caps.pipelining ? QStringLiteral("True") : QStringLiteral("False"),
                   caps.uidl ? QStringLiteral("True") : QStringLiteral("False")),
          QStringLiteral("ReadCapabilities"));
    return caps;
}

void CReceiver::Login(const QString &user, const QString &pwd, const Capabilities &caps)
{
    const QString userCommand = QStringLiteral("USER ") + user + kCrLf;
    const QString passCommand = QStringLiteral("PASS ") + pwd + kCrLf;
    // Without the USER capability the server may refuse USER (say, plain text before TLS):
    // then the password must never have been sent, so it waits for USER's answer.
    // Nothing follows PASS before its answer: RFC 2449 lets it, but a server may hand the
    // logged-in connection from its login process to another, and what it had read ahead
    // then depends on that hand-off; a refused login would also see the session's commands
    // answered as errors. QUIT sent with the last fetch wins that round trip back.
    if (caps.pipelining && caps.user) {
        QStringList replies;
        m_shell->SendPipelined({userCommand, passCommand}, false, replies);
        return;
    }
    QString reply;
    m_shell->SendData(userCommand, false, reply);
    throwIfCancelled();
    m_shell->SendData(passCommand, false, reply);
}

void CReceiver::LoginWithToken(const Record &account, const QString &token, const Capabilities &caps)
{
    const QString server = account.text(QStringLiteral("Server"));
    QList<QByteArray> offered = caps.sasl;
    offered.removeAll(QByteArray());
    const Sasl::Mechanism mechanism = Sasl::Choose(offered);
    if (mechanism == Sasl::Mechanism::None)
        throw MUError(MUError::engineNumber(525), Sasl::NotOfferedText(server, offered), source(QStringLiteral("Login")));
    const QString name = QString::fromLatin1(Sasl::Name(mechanism));
    const QString initial = QString::fromLatin1(
        Sasl::InitialResponse(mechanism, account.text(QStringLiteral("User")), token, m_shell->remoteHost(),
                              m_shell->remotePort())
            .toBase64());
    // A POP3 command holds at most 255 octets (RFC 5034 section 4): a longer token goes in
    // answer to the server's empty challenge.
    const QString withInitial = QStringLiteral("AUTH ") + name + QLatin1Char(' ') + initial + kCrLf;
    const QString user = account.text(QStringLiteral("User"));
    QString challenge;
    bool more = false;
    try {
        if (withInitial.size() <= 255) {
            more = m_shell->SendSasl(withInitial, challenge);
        } else {
            more = m_shell->SendSasl(QStringLiteral("AUTH ") + name + kCrLf, challenge);
            throwIfCancelled();
            if (more)
                more = m_shell->SendSasl(initial + kCrLf, challenge);
        }
    } catch (const MUError &e) {
        // Refused without a word on the token: still nothing a new attempt with it would change,
        // unless the server says it is busy or broken.
        if (e.number() != MUError::engineNumber(525) || Sasl::IsTemporaryRefusal(e.description()))
            throw;
        throw MUError(Sasl::SignInNeeded, Sasl::SignInAgainText(user, server, {}) + e.description(), source(QStringLiteral("Login")));
    }
    throwIfCancelled();
    if (!more)
        return;
    // A challenge now is the server's verdict on the token; the acknowledgement ends the
    // exchange with its -ERR, and the account waits for a new sign-in rather than a retry.
    const Sasl::TokenError error = Sasl::ParseChallenge(challenge.toLatin1());
    try {
        QString ignored;
        m_shell->SendSasl(QString::fromLatin1(Sasl::ErrorAcknowledgement(mechanism).toBase64()) + kCrLf, ignored);
    } catch (const MUError &) {
        // The -ERR expected here says less than the challenge did.
    }
    throw MUError(Sasl::SignInNeeded, Sasl::SignInAgainText(user, server, error), source(QStringLiteral("Login")));
}

QList<CReceiver::Slot> CReceiver::ExamineMailbox(const Capabilities &caps, const DataBag &received,
                                                  const QVariantMap &knownUidls, bool wantContent)
{
    UidlListing listing(Window);
    bool uidlAnswered = false;
    if (caps.uidl) {
        try {
            // "n unique-id" per line (RFC 1939 section 7), taken as it streams in.
            m_shell->SendListing(QStringLiteral("UIDL") + kCrLf,
                                 [&listing](QByteArrayView line, bool whole) { listing.take(line, whole); });
            uidlAnswered = !cancelled();
        } catch (const MUError &e) {
            // A refused UIDL only costs the savings.
            if (e.number() != MUError::engineNumber(525))
                throw;
        }
    }
    if (cancelled())
        return {};

    int count = 0;
    if (uidlAnswered) {
        // The listing names every message of the maildrop, so it also gives STAT's count.
        count = listing.count();
    } else {
        QString reply;
        m_shell->SendData(QStringLiteral("STAT") + kCrLf, false, reply);
        if (cancelled())
            return {};
        count = reply.section(QLatin1Char(' '), 0, 0).trimmed().toInt();
    }
    trace(QStringLiteral("iMailCount = ") + QString::number(count), kWalk);

    // Mail is never deleted here, so the new messages are the newest ones: the last window
    // of the mailbox, oldest first, in server order.
    QList<Slot> window;
    const int first = qMax(1, count - Window + 1);
    const QHash<int, QString> uids = listing.uids(first);
    // Counted from the window's start: a server claiming INT_MAX messages cannot make i overflow.
    for (int k = 0; count > 0 && k <= count - first; ++k) {
        const int i = first + k;
        Slot slot;
        slot.number = i;
        slot.uid = uids.value(i);
        if (!slot.uid.isEmpty() && knownUidls.contains(slot.uid)) {
            const QString id = knownUidls.value(slot.uid).toString();
            if (!id.isEmpty() && received.Exists(id)) {
                slot.known = true;
                slot.header.id = id;
            }
        }
        window.append(slot);
    }
    // A unique-id this mailbox never showed before is a new message (one already stored under
    // its header's identifier is dropped once fetched), so it is fetched whole at once: the
    // header comes with it. So is every message while nothing is stored. A message without a
    // trusted unique-id, or any while this mailbox's unique-ids were never recorded (the first
    // check after they began to be), is most likely stored already: a look at its header first
    // costs far less than its whole text.
    const bool nothingStored = received.Count() == 0;
    for (Slot &slot : window) {
        if (wantContent && !slot.known
            && (nothingStored || (!slot.uid.isEmpty() && !knownUidls.isEmpty())))
            slot.probablyNew = true;
    }
    return window;
}

int CReceiver::Walk(QList<Slot> &window, std::optional<MUError> &deferred)
{
    QList<Slot *> pending;
    for (Slot &slot : window) {
        if (!slot.known && !slot.probablyNew)
            pending.append(&slot);
    }
    bool longTop = false;
    const qsizetype batch = m_pipelining ? PipelineBatch : 1;
    for (qsizetype start = 0; start < pending.size(); start += batch) {
        const QList<Slot *> part = pending.mid(start, batch);
        QStringList commands;
        for (const Slot *slot : part)
            commands << QStringLiteral("TOP %1 %2").arg(slot->number).arg(longTop ? 100 : 1) + kCrLf;
        QStringList results;
        std::optional<MUError> refusal;
        try {
            exchange(commands, true, results);
        } catch (const MUError &e) {
            // The server said no but the connection stands: what came before is still fetched.
            if (e.number() != MUError::engineNumber(525))
                throw;
            refusal = e;
        }
        for (qsizetype k = 0; k < results.size(); ++k) {
            Slot &slot = *part.at(k);
            QString reply = results.at(k);
            for (;;) {
                CMIMEPart parsed;
                parsed.InitMessage(reply, true);
                slot.header = headerOf(parsed);
                if (!slot.header.id.isEmpty())
                    break;
                if (longTop) {
                    // Nothing in the header tells this message apart: what the server says of it does.
                    identify(slot.header, slot, reply);
                    break;
                }
                longTop = true;
                try {
                    m_shell->SendData(QStringLiteral("TOP %1 100").arg(slot.number) + kCrLf, true, reply);
                } catch (const MUError &e) {
                    if (e.number() != MUError::engineNumber(525))
                        throw;
                    deferred = e;
                    return slot.number;
                }
                if (cancelled())
                    return 0;
            }
            slot.examined = true;
            rememberUid(slot, slot.header.id);
        }
        if (cancelled())
            return 0;
        if (refusal) {
            deferred = refusal;
            return part.at(results.size())->number;
        }
    }
    return 0;
}

void CReceiver::exchange(const QStringList &commands, bool multiLine, QStringList &results,
                         const CArriveShell::ReplyHandler &onReply, bool quitAfter)
{
    results.clear();
    const qsizetype batch = m_pipelining ? PipelineBatch : 1;
    for (qsizetype start = 0; start < commands.size(); start += batch) {
        QStringList part = commands.mid(start, batch);
        const qsizetype count = part.size();
        QList<bool> multi(count, multiLine);
        // The server answers in turn (RFC 2449), so QUIT after the last fetch ends the session
        // once they are answered, and saves a round trip; without DELE it changes nothing.
        if (quitAfter && m_pipelining && start + batch >= commands.size()) {
            part << QStringLiteral("QUIT") + kCrLf;
            multi << false;
            m_quitSent = true;
        }
        QStringList replies;
        try {
            if (part.size() == 1) {
                QString reply;
                m_shell->SendData(part.first(), multiLine, reply);
                if (!cancelled()) {
                    replies << (onReply ? QString() : reply);
                    if (onReply)
                        onReply(start, reply);
                }
            } else {
                // Replies that go to `onReply` are not also kept: a batch of large messages never is held at once.
                m_shell->SendPipelined(
                    part, multi, replies,
                    [&](qsizetype index, const QString &payload) {
                        if (index >= count)
                            m_quitReply = payload;
                        else if (onReply)
                            onReply(start + index, payload);
                    },
                    !onReply);
            }
        } catch (const MUError &) {
            results += replies.mid(0, count);
            throw;
        }
        const bool whole = replies.size() == part.size();
        results += replies.mid(0, count);
        if (cancelled() || !whole)
            return;
    }
}

CReceiver::Header CReceiver::headerOf(const CMIMEPart &part)
{
    return ReceiverMessages::HeaderOf(part);
}

void CReceiver::identify(Header &header, const Slot &slot, const QString &text)
{
    if (!header.id.isEmpty())
        return;
    QString why;
    if (!slot.uid.isEmpty()) {
        header.id = (QStringLiteral("uidl:") + slot.uid).left(255);
        why = QStringLiteral("its header gives no identifier (no Message-ID, Date, Received or From); "
                             "it is known by its unique-id '%1'.").arg(slot.uid);
    } else {
        header.id = ReceiverMessages::HeaderHashId(text);
        why = QStringLiteral("its header gives no identifier (no Message-ID, Date, Received or From) and the "
                             "server offers no unique-id; it is known by a hash of its header.");
    }
    m_why.insert(header.id, why);
}

void CReceiver::rememberUid(const Slot &slot, const QString &id)
{
    if (!slot.uid.isEmpty() && !id.isEmpty())
        m_seenUidls.insert(slot.uid, id);
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
