#include "CImapReceiver.h"
#include "receive/OnlineAccounts.h"
#include "receive/Sasl.h"
#include <algorithm>
#include "mime/MessageLimits.h"
#include "mime/CMIMEPart.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/MetaTypes.h"
#include "trellis/Utility.h"
#include <QEventLoop>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QTimer>
#include <algorithm>

namespace {
const QString kClass = QStringLiteral("CImapReceiver");
QString source(const QString &member) { return kClass + QLatin1Char('.') + member; }

QByteArray upper(const QByteArray &text)
{
    return text.toUpper();
}

/// "1:5", "7,9,12": a sequence set of sorted numbers.
QByteArray joined(const QList<quint64> &numbers)
{
    QByteArrayList parts;
    for (const quint64 n : numbers)
        parts << QByteArray::number(n);
    return parts.join(',');
}
}

CImapReceiver::CImapReceiver() = default;

CImapReceiver::~CImapReceiver() = default;

void CImapReceiver::Run(const DataBag &data)
{
    m_data = data;
    m_log = data.Item(QStringLiteral("Log")).value<LogPtr>();
    const QVariant messanger = data.Item(QStringLiteral("Messanger"));
    m_messanger = messanger.value<MessangerPtr>();
    if (!m_messanger) {
        if (auto *plain = qobject_cast<Messanger *>(messanger.value<QObject *>()))
            m_messanger = MessangerPtr(plain, [](Messanger *) {});
    }
    m_account = data.Item(QStringLiteral("Account")).value<Record>();
    const QString cancelName = data.Item(QStringLiteral("CancelEvent")).toString();
    if (!cancelName.isEmpty())
        m_cancel = CancelEvent::Open(cancelName);
    const QString wakeName = data.Item(QStringLiteral("WakeEvent")).toString();
    if (!wakeName.isEmpty())
        m_wake = CancelEvent::Open(wakeName);
    const QString reconnectName = data.Item(QStringLiteral("ReconnectEvent")).toString();
    if (!reconnectName.isEmpty())
        m_reconnect = CancelEvent::Open(reconnectName);
    m_wantContent = !data.Item(QStringLiteral("DontReceiveContent")).toBool();
    m_server = m_account.text(QStringLiteral("Server"));
    m_user = m_account.text(QStringLiteral("User"));
    m_folder = m_account.text(QStringLiteral("Folder")).trimmed().isEmpty() ? QStringLiteral("INBOX")
                                                                            : m_account.text(QStringLiteral("Folder"));
    m_received = data.Item(QStringLiteral("ReceivedMsgIds")).value<DataBag>();
    const QVariantMap state = data.Item(QStringLiteral("ImapState")).toMap();
    m_stateKnown = state.contains(QStringLiteral("UidValidity"));
    m_stateValidity = state.value(QStringLiteral("UidValidity")).toULongLong();
    m_stateHighest = state.value(QStringLiteral("HighestUid")).toULongLong();
    const bool push = data.Item(QStringLiteral("Push")).toBool();

    trace(Utility::FormatText(QStringLiteral("Start Check account '%1'/'%2', fDontReceiveContent=%3, folder '%4'%5"),
                              {m_server, m_user, m_wantContent ? QStringLiteral("False") : QStringLiteral("True"),
                               m_folder, push ? QStringLiteral(", push") : QString()}));
    if (push)
        runPush();
    else
        runOnce();
    m_session.reset();
    m_cancel.reset();
    m_wake.reset();
    m_reconnect.reset();
}

bool CImapReceiver::TestAccount(const Record &account, const DataBag &options, QString *reason, qint32 *number)
{
    CImapReceiver r;
    r.m_data = options;
    r.m_log = options.Item(QStringLiteral("Log")).value<LogPtr>();
    r.m_account = account;
    r.m_server = account.text(QStringLiteral("Server"));
    r.m_user = account.text(QStringLiteral("User"));
    r.m_folder = account.text(QStringLiteral("Folder")).trimmed().isEmpty() ? QStringLiteral("INBOX")
                                                                            : account.text(QStringLiteral("Folder"));
    try {
        r.Open();
        r.m_session->Logout(LogoutLimitMs);
        r.m_session->Close();
        return true;
    } catch (const MUError &failure) {
        if (r.m_session) {
            r.m_session->Logout(LogoutLimitMs);
            r.m_session->Close();
        }
        const MUError error = r.wrap(failure);
        if (reason)
            *reason = error.description();
        if (number)
            *number = failure.number();
        r.trace(QStringLiteral("Account test failed: ") + error.description(), QStringLiteral("TestAccount"));
        return false;
    }
}

bool CImapReceiver::Answers(const QString &host, quint16 port, const QString &security, int limitMs)
{
    ImapSession session;
    session.Init(nullptr, nullptr);
    session.setRemote(host, port);
    const ImapSession::Security mode = CArriveShell::SecurityFromText(security);
    session.setSecurity(mode);
    session.setInactivityLimit(limitMs);
    QSet<QByteArray> capabilities;
    session.setUntaggedHandler([&capabilities](const Imap::Response &r) {
        if (r.keyword == "CAPABILITY") {
            for (const Imap::Value &v : r.values)
                capabilities.insert(upper(v.bytes()));
        }
    });
    try {
        const Imap::Response greeting = session.Connect();
        if (greeting.keyword != "OK")
            return false;
        if (mode == ImapSession::Security::StartTls) {
            for (const Imap::Value &v : greeting.codeArgs)
                capabilities.insert(upper(v.bytes()));
            if (greeting.code != "CAPABILITY")
                session.Run(Imap::CommandBuilder(session.NextTag()).atom("CAPABILITY").build());
            if (!capabilities.contains("STARTTLS")) {
                session.Logout(LogoutLimitMs);
                return false;
            }
        }
        session.Logout(LogoutLimitMs);
        session.Close();
        return true;
    } catch (const MUError &) {
        return false;
    }
}

void CImapReceiver::runOnce()
{
    bool loggedIn = false;
    try {
        Open();
        loggedIn = true;
        CheckNew();
        m_session->Logout(m_session->inactivityLimit());
        m_session->Close();
        post(ReceiverMessages::ReceiveComplete, m_account.Id());
    } catch (const MUError &failure) {
        if (m_session) {
            m_session->Logout(LogoutLimitMs);
            m_session->Close();
        }
        // As for POP3: cancelled once logged in is a completed check, before it a failed one.
        if (ImapSession::IsCancellation(failure) && loggedIn)
            post(ReceiverMessages::ReceiveComplete, m_account.Id());
        else
            postError(wrap(failure));
    }
}

void CImapReceiver::runPush()
{
    const int renewMs = m_data.Exists(QStringLiteral("IdleRenewMs")) ? m_data.Item(QStringLiteral("IdleRenewMs")).toInt()
                                                                     : DefaultIdleRenewMs;
    const int firstPause = m_data.Exists(QStringLiteral("RetryFirstMs"))
        ? m_data.Item(QStringLiteral("RetryFirstMs")).toInt()
        : DefaultRetryFirstMs;
    int pauseMs = firstPause;
    bool failing = false;   // the last attempt failed and was reported: retry quietly
    bool announced = false;
    while (!cancelled()) {
        bool checking = false;
        try {
            if (!failing) {
                post(ReceiverMessages::CheckStart, m_account.Id());
                checking = true;
            }
            Open();
            if (!checking) {
                post(ReceiverMessages::CheckStart, m_account.Id());
                checking = true;
            }
            CheckNew();
            checking = false;
            post(ReceiverMessages::ReceiveComplete, m_account.Id());
            failing = false;
            pauseMs = firstPause;
            if (!hasCapability("IDLE")) {
                trace(QStringLiteral("The server offers no IDLE: the account is polled"));
                post(ReceiverMessages::PushMode, false);
                m_session->Logout(m_session->inactivityLimit());
                m_session->Close();
                return;
            }
            if (!announced) {
                post(ReceiverMessages::PushMode, true);
                announced = true;
            }
            for (;;) {
                // An EXISTS that came during the check is new mail already.
                const ImapSession::IdleEnd end = m_existsGrew
                    ? ImapSession::IdleEnd::NewMail
                    : m_session->Idle(renewMs, [this] { return m_existsGrew; });
                if (end == ImapSession::IdleEnd::Renew)
                    continue;
                if (end == ImapSession::IdleEnd::Woken && m_wake)
                    m_wake->Reset();
                if (IsSignalled(m_reconnect)) {
                    m_reconnect->Reset();
                    trace(QStringLiteral("The network changed: checking on a new connection"));
                    m_session->Logout(LogoutLimitMs);
                    m_session->Close();
                    break;
                }
                post(ReceiverMessages::CheckStart, m_account.Id());
                checking = true;
                CheckNew();
                checking = false;
                post(ReceiverMessages::ReceiveComplete, m_account.Id());
            }
        } catch (const MUError &failure) {
            if (ImapSession::IsCancellation(failure) || cancelled()) {
                if (m_session) {
                    m_session->Logout(LogoutLimitMs);
                    m_session->Close();
                }
                break;
            }
            if (m_session)
                m_session->Close();
            const MUError error = wrap(failure);
            if (checking) {
                postError(error);
            } else if (m_log) {
                m_log->Write(error.number(), error.description(), Log::LevelError, source(QStringLiteral("Run")));
            }
            failing = true;
            // Jitter keeps many accounts of one server from knocking all at once.
            const int jittered =
                qMin(RetryMaxMs, int(pauseMs * (0.8 + 0.4 * QRandomGenerator::global()->generateDouble())));
            trace(QStringLiteral("Reconnecting in %1 ms").arg(jittered));
            if (!pause(jittered))
                break;
            pauseMs = qMin(pauseMs * 2, RetryMaxMs);
        }
    }
    trace(QStringLiteral("Push ended"));
}

bool CImapReceiver::pause(int ms)
{
    if (cancelled())
        return false;
    if (!IsSignalled(m_wake)) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        CancelWatcher cancelWatcher(m_cancel);
        QObject::connect(&cancelWatcher, &CancelWatcher::signalled, &loop, &QEventLoop::quit);
        CancelWatcher wakeWatcher(m_wake);
        QObject::connect(&wakeWatcher, &CancelWatcher::signalled, &loop, &QEventLoop::quit);
        timer.start(ms);
        loop.exec();
    }
    // Woken ("the network is back", "check now"): reconnect at once.
    if (IsSignalled(m_wake))
        m_wake->Reset();
    if (IsSignalled(m_reconnect))
        m_reconnect->Reset();   // a new connection is what comes next anyway
    return !cancelled();
}

void CImapReceiver::Open()
{
    m_session = std::make_unique<ImapSession>();
    m_session->Init(m_log, m_cancel, m_wake);
    const int port = m_account.Item(QStringLiteral("Port")).toInt();
    if (port < 1 || port > 65535)
        throw MUError(10022, QStringLiteral("Invalid port %1. ").arg(port), source(QStringLiteral("Run")));
    m_session->setRemote(m_server, quint16(port));
    const ImapSession::Security security = CArriveShell::SecurityFromText(m_account.text(QStringLiteral("Security")));
    m_session->setSecurity(security, m_account.text(QStringLiteral("CertPin")));
    const QString caFile = m_data.Item(QStringLiteral("CaCertificatesFile")).toString();
    if (!caFile.isEmpty())
        m_session->setExtraCaCertificates(QSslCertificate::fromPath(caFile));
    const QVariant limit = m_data.Item(QStringLiteral("InactivityLimitMs"));
    if (limit.isValid() && limit.toInt() > 0)
        m_session->setInactivityLimit(limit.toInt());
    m_session->setUntaggedHandler([this](const Imap::Response &r) { onUntagged(r); });
    m_capabilities.clear();
    m_capabilitiesKnown = false;
    m_exists = 0;
    m_existsGrew = false;
    m_uidValidity = 0;
    m_uidNext = 0;
    trace(Utility::FormatText(QStringLiteral("RemoteHost='%1', RemotePort=%2, Security=%3"),
                              {m_server, QString::number(port), CArriveShell::SecurityText(security)}));

    const Imap::Response greeting = m_session->Connect();
    if (greeting.code == "CAPABILITY") {
        for (const Imap::Value &v : greeting.codeArgs)
            m_capabilities.insert(upper(v.bytes()));
        m_capabilitiesKnown = true;
    }
    const bool preauth = greeting.keyword == "PREAUTH";
    if (security == ImapSession::Security::StartTls) {
        // RFC 9051 section 6.2.1: STARTTLS only before authentication; without it nothing more is sent.
        if (preauth)
            throw MUError(CArriveShell::StartTlsRefused,
                          QStringLiteral("The server logged in before STARTTLS, so the connection cannot be secured. "),
                          source(QStringLiteral("Connect")));
        if (!m_capabilitiesKnown)
            ReadCapabilities();
        if (!hasCapability("STARTTLS"))
            throw MUError(CArriveShell::StartTlsRefused, QStringLiteral("The server does not offer STARTTLS. "),
                          source(QStringLiteral("Connect")));
        m_session->StartTls();
        m_capabilities.clear();
        m_capabilitiesKnown = false;
    }
    if (!preauth)
        Login();
    if (!m_capabilitiesKnown)
        ReadCapabilities();

    const Imap::Response examined = m_session->Run(Imap::CommandBuilder(m_session->NextTag())
                                                       .atom("EXAMINE")
                                                       .string(Imap::EncodeMailboxName(m_folder))
                                                       .build(hasCapability("LITERAL+")));
    if (!examined.isOk())
        throw MUError(MUError::engineNumber(525),
                      QStringLiteral("Folder '%1': %2").arg(m_folder, QString::fromLatin1(examined.text)),
                      source(QStringLiteral("Run")));
    m_uidNextFresh = true;
    m_existsChecked = m_exists;
    trace(QStringLiteral("EXISTS=%1, UIDVALIDITY=%2, UIDNEXT=%3").arg(m_exists).arg(m_uidValidity).arg(m_uidNext));
}

void CImapReceiver::ReadCapabilities()
{
    m_session->Run(Imap::CommandBuilder(m_session->NextTag()).atom("CAPABILITY").build());
    m_capabilitiesKnown = true;
    trace(QStringLiteral("Capabilities: IDLE=%1, STARTTLS=%2, LOGINDISABLED=%3")
              .arg(hasCapability("IDLE") ? QStringLiteral("True") : QStringLiteral("False"),
                   hasCapability("STARTTLS") ? QStringLiteral("True") : QStringLiteral("False"),
                   hasCapability("LOGINDISABLED") ? QStringLiteral("True") : QStringLiteral("False")),
          QStringLiteral("ReadCapabilities"));
}

void CImapReceiver::LoginWithToken(const QString &token)
{
    QList<QByteArray> offered;
    for (const QByteArray &capability : std::as_const(m_capabilities)) {
        if (capability.startsWith("AUTH="))
            offered << capability.mid(5);
    }
    std::sort(offered.begin(), offered.end());
    const Sasl::Mechanism mechanism = Sasl::Choose(offered);
    if (mechanism == Sasl::Mechanism::None)
        throw MUError(MUError::engineNumber(525), Sasl::NotOfferedText(m_server, offered), source(QStringLiteral("Login")));
    const quint16 port = quint16(m_account.Item(QStringLiteral("Port")).toInt());
    const QByteArray initial = Sasl::InitialResponse(mechanism, m_user, token, m_server, port).toBase64();
    const QByteArray tag = m_session->NextTag();
    const QByteArray verb = tag + " AUTHENTICATE " + Sasl::Name(mechanism);
    Imap::Command command;
    command.tag = tag;
    command.loggable = verb + " ****";
    // Each later part goes only when the server asks: the last one answers its error challenge.
    if (hasCapability("SASL-IR"))
        command.parts = {verb + ' ' + initial + "\r\n"};
    else
        command.parts = {verb + "\r\n", initial + "\r\n"};
    command.parts << Sasl::ErrorAcknowledgement(mechanism).toBase64() + "\r\n";
    m_capabilitiesKnown = false;
    const Imap::Response r = m_session->Run(command);
    if (!r.isOk()) {
        const QString text = QString::fromUtf8(r.text).trimmed();
        // BAD is a protocol fault and a busy or broken server is no verdict on the token: an
        // ordinary failed check, not a new sign-in.
        if (r.keyword == "BAD" || Sasl::IsTemporaryRefusal(QStringLiteral("[%1] ").arg(QString::fromLatin1(r.code))))
            throw MUError(MUError::engineNumber(525), text, source(QStringLiteral("Login")));
        const Sasl::TokenError error = Sasl::ParseChallenge(m_session->lastContinuation());
        throw MUError(Sasl::SignInNeeded, Sasl::SignInAgainText(m_user, m_server, error) + QString::fromUtf8(r.text).trimmed(),
                      source(QStringLiteral("Login")));
    }
    takeCapabilities(r);
}

void CImapReceiver::Login()
{
    // An online account's token or password is asked for now, for this login only.
    const Record signIn = OnlineAccounts::WithCredentials(m_account);
    if (signIn.text(QStringLiteral("Auth")).compare(QLatin1String("OAuth2"), Qt::CaseInsensitive) == 0) {
        LoginWithToken(signIn.text(QStringLiteral("Pwd")));
        return;
    }
    const QByteArray user = m_user.toUtf8();
    const QByteArray pwd = signIn.text(QStringLiteral("Pwd")).toUtf8();
    const bool plain = hasCapability("AUTH=PLAIN");
    const bool loginDisabled = hasCapability("LOGINDISABLED");
    if (loginDisabled && !plain)
        throw MUError(MUError::engineNumber(525),
                      QStringLiteral("The server does not allow logging in with a password on this connection "
                                     "(LOGINDISABLED). "),
                      source(QStringLiteral("Login")));
    const QByteArray tag = m_session->NextTag();
    Imap::Command command;
    const QByteArray initial = (QByteArray(1, '\0') + user + QByteArray(1, '\0') + pwd).toBase64();
    if (plain && (hasCapability("SASL-IR") || loginDisabled)) {
        // RFC 4959: the credentials ride with the command, one round trip like LOGIN.
        command.tag = tag;
        command.loggable = tag + " AUTHENTICATE PLAIN ****";
        if (hasCapability("SASL-IR"))
            command.parts = {tag + " AUTHENTICATE PLAIN " + initial + "\r\n"};
        else
            command.parts = {tag + " AUTHENTICATE PLAIN\r\n", initial + "\r\n"};
    } else {
        command = Imap::CommandBuilder(tag).atom("LOGIN").string(user).secret(pwd).build(hasCapability("LITERAL+"));
    }
    m_capabilitiesKnown = false;
    const Imap::Response r = m_session->Run(command);
    if (!r.isOk()) {
        const QString text = r.text.trimmed().isEmpty() ? QStringLiteral("Invalid password") : QString::fromUtf8(r.text);
        throw MUError(MUError::engineNumber(525), text, source(QStringLiteral("Login")));
    }
    takeCapabilities(r);
}

void CImapReceiver::takeCapabilities(const Imap::Response &r)
{
    if (r.code == "CAPABILITY") {
        m_capabilities.clear();
        for (const Imap::Value &v : r.codeArgs)
            m_capabilities.insert(upper(v.bytes()));
        m_capabilitiesKnown = true;
    }
}

void CImapReceiver::onUntagged(const Imap::Response &r)
{
    if (r.keyword == "CAPABILITY" && !r.number) {
        m_capabilities.clear();
        for (const Imap::Value &v : r.values)
            m_capabilities.insert(upper(v.bytes()));
        m_capabilitiesKnown = true;
        return;
    }
    if (r.isStatus()) {
        const quint64 arg = r.codeArgs.isEmpty() ? 0 : r.codeArgs.first().number;
        if (r.code == "UIDVALIDITY")
            m_uidValidity = arg;
        else if (r.code == "UIDNEXT")
            m_uidNext = arg;
        return;
    }
    if (r.keyword == "EXISTS" && r.number) {
        if (*r.number > m_exists)
            m_existsGrew = true;
        m_exists = *r.number;
    } else if (r.keyword == "EXPUNGE" && r.number) {
        if (m_exists > 0)
            --m_exists;
    } else if (r.keyword == "SEARCH") {
        for (const Imap::Value &v : r.values) {
            if (v.kind == Imap::Value::Kind::Number)
                m_searched.append(v.number);
        }
    } else if (r.keyword == "FETCH" && r.number && !r.values.isEmpty()
               && r.values.first().kind == Imap::Value::Kind::List) {
        Fetched f;
        f.sequence = *r.number;
        const QList<Imap::Value> &items = r.values.first().items;
        for (qsizetype i = 0; i + 1 < items.size(); i += 2) {
            const Imap::Value &name = items.at(i);
            const Imap::Value &value = items.at(i + 1);
            if (name.isAtom("UID") && value.kind == Imap::Value::Kind::Number) {
                f.uid = value.number;
            } else if (name.kind == Imap::Value::Kind::Atom && upper(name.text).startsWith("BODY[")) {
                f.bytes = value.bytes();
                f.hasBody = true;
            }
        }
        // A server may split one message's items over several responses.
        for (Fetched &known : m_fetched) {
            if (known.sequence == f.sequence) {
                if (f.uid)
                    known.uid = f.uid;
                if (f.hasBody) {
                    known.bytes = f.bytes;
                    known.hasBody = true;
                }
                return;
            }
        }
        m_fetched.append(f);
    }
}

void CImapReceiver::Fetch(const QByteArray &command, const QByteArray &set)
{
    // Partial fetches: no message, not even a header, can hold more than the stored limit.
    // One byte more than is kept tells a message that was cut from one that just fits.
    const QByteArray items = (m_wantContent ? QByteArray("(UID BODY.PEEK[]<0.") : QByteArray("(UID BODY.PEEK[HEADER]<0."))
                           + QByteArray::number(MaxStoredBytes + 1) + ">)";
    const Imap::Response r =
        m_session->Run(Imap::CommandBuilder(m_session->NextTag()).atom(command).atom(set).atom(items).build());
    if (!r.isOk())
        throw MUError(MUError::engineNumber(525), QString::fromLatin1(r.text), source(QStringLiteral("Fetch")));
}

void CImapReceiver::CheckNew()
{
    m_existsGrew = false;
    m_fetched.clear();
    const quint64 grown = m_exists > m_existsChecked ? m_exists - m_existsChecked : 0;
    m_existsChecked = m_exists;
    const bool sameFolder = m_stateKnown && m_uidValidity != 0 && m_stateValidity == m_uidValidity;
    quint64 highest = sameFolder ? m_stateHighest : 0;
    quint64 searchedHighest = highest;
    if (sameFolder) {
        if (m_uidNextFresh && m_uidNext > 0 && m_uidNext <= m_stateHighest + 1) {
            trace(QStringLiteral("Nothing new: UIDNEXT=%1, highest UID %2").arg(m_uidNext).arg(m_stateHighest));
        } else if (!m_uidNextFresh && grown > 0 && grown <= quint64(Window)) {
            // EXISTS said how many arrived: fetched at once, no search ("n:*" names at least
            // the last message; one at or below the highest UID is dropped below).
            Fetch("UID FETCH", QByteArray::number(m_stateHighest + 1) + ":*");
        } else {
            m_searched.clear();
            const Imap::Response r = m_session->Run(Imap::CommandBuilder(m_session->NextTag())
                                                        .atom("UID SEARCH UID")
                                                        .atom(QByteArray::number(m_stateHighest + 1) + ":*")
                                                        .build());
            if (!r.isOk())
                throw MUError(MUError::engineNumber(525), QString::fromLatin1(r.text), source(QStringLiteral("Search")));
            // "n:*" also names the last message when nothing is above n.
            QList<quint64> fresh;
            for (const quint64 uid : std::as_const(m_searched)) {
                if (uid > m_stateHighest)
                    fresh.append(uid);
            }
            std::sort(fresh.begin(), fresh.end());
            fresh.erase(std::unique(fresh.begin(), fresh.end()), fresh.end());
            if (!fresh.isEmpty()) {
                searchedHighest = fresh.last();
                Fetch("UID FETCH", joined(fresh.mid(qMax<qsizetype>(0, fresh.size() - Window))));
            }
        }
    } else {
        trace(QStringLiteral("UIDVALIDITY %1, remembered %2: the folder is walked like a new one")
                  .arg(m_uidValidity)
                  .arg(m_stateKnown ? QString::number(m_stateValidity) : QStringLiteral("none")));
        if (m_exists > 0) {
            const quint64 first = m_exists > quint64(Window) ? m_exists - Window + 1 : 1;
            Fetch("FETCH", QByteArray::number(first) + ':' + QByteArray::number(m_exists));
        } else if (m_uidNext > 0) {
            searchedHighest = m_uidNext - 1;
        }
    }
    m_uidNextFresh = false;

    QList<Fetched> fetched;
    for (const Fetched &f : std::as_const(m_fetched)) {
        if (f.hasBody && f.uid > highest)
            fetched.append(f);
    }
    std::sort(fetched.begin(), fetched.end(), [](const Fetched &a, const Fetched &b) { return a.uid < b.uid; });
    m_fetched.clear();

    QStringList ids;
    bool stopped = false;
    for (const Fetched &f : std::as_const(fetched)) {
        if (cancelled()) {
            stopped = true;
            break;
        }
        // Cut and marked as the other receivers keep a long message.
        const QString text = m_wantContent ? MessageLimits::Kept(QString::fromLatin1(f.bytes)) : QString::fromLatin1(f.bytes);
        CMIMEPart part;
        part.InitMessage(text, !m_wantContent);
        ReceiverMessages::MessageHeader header = ReceiverMessages::HeaderOf(part);
        if (header.id.isEmpty()) {
            // No identifier in the header: known by a hash of its header, as POP3 knows such a
            // message without unique-ids, so it is stored once and never blocks the folder.
            header.id = ReceiverMessages::HeaderHashId(text);
            if (m_log)
                m_log->Write(0, QStringLiteral("UID %1: its header gives no identifier (no Message-ID, Date, Received or "
                                               "From); it is known by a hash of its header.").arg(f.uid),
                             Log::LevelError, source(QStringLiteral("CheckNew")));
        }
        highest = f.uid;
        if (m_received.Exists(header.id))
            continue;
        trace(Utility::FormatText(QStringLiteral("UID %1 is new, sId='%2'"), {QString::number(f.uid), header.id}));
        m_received.Add(header.id, header.id);
        const QString content = m_wantContent ? part.TextPlain() : QString();
        post(ReceiverMessages::MsgArrived,
             QVariant::fromValue(ReceiverMessages::MessageRecord(m_server, m_user, header,
                                                                 m_wantContent ? &content : nullptr)));
        ids << header.id;
    }
    if (!stopped)
        highest = qMax(highest, searchedHighest);

    if (!sameFolder || highest != m_stateHighest) {
        DataBag bag;
        bag.Add(m_account.Id(), QStringLiteral("AccountId"));
        bag.Add(m_server, QStringLiteral("Server"));
        bag.Add(m_user, QStringLiteral("User"));
        bag.Add(m_folder, QStringLiteral("Folder"));
        bag.Add(qint64(m_uidValidity), QStringLiteral("UidValidity"));
        bag.Add(qint64(highest), QStringLiteral("HighestUid"));
        bag.Add(ids, QStringLiteral("Ids"));
        post(ReceiverMessages::ImapStateSeen, QVariant::fromValue(bag));
        m_stateKnown = true;
        m_stateValidity = m_uidValidity;
        m_stateHighest = highest;
    }
}

bool CImapReceiver::hasCapability(const QByteArray &name) const
{
    return m_capabilities.contains(name);
}

void CImapReceiver::post(int msg, const QVariant &data)
{
    if (m_messanger)
        m_messanger->Post(msg, data);
}

MUError CImapReceiver::wrap(const MUError &failure) const
{
    return ReceiverMessages::CheckFailure(failure, m_server);
}

void CImapReceiver::postError(const MUError &error)
{
    if (m_log)
        m_log->Write(error.number(), error.description(), Log::LevelError, source(QStringLiteral("Run")));
    post(ReceiverMessages::ErrorOccured, QVariant::fromValue(ReceiverMessages::ErrorBag(error, m_account.Id())));
}

void CImapReceiver::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Trace(text, source(member));
}
