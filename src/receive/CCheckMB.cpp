#include "CCheckMB.h"
#include "imap/CImapReceiver.h"
#include "CArriveShell.h"
#include "CReceiver.h"
#include "CHotmail.h"
#include "SocketErrorNumbers.h"
#include "trellis/MUError.h"
#include "trellis/ServiceConfig.h"
#include "trellis/Utility.h"
#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>
#include <QUrl>

namespace {
const QString kClass = QStringLiteral("CCheckMB");
QString source(const QString &member) { return kClass + QLatin1Char('.') + member; }

const QString kTls = QStringLiteral("TLS");
const QString kStartTls = QStringLiteral("STARTTLS");
const QString kNone = QStringLiteral("None");
constexpr QLatin1StringView kCrLf("\r\n");
const QString kBusy = QStringLiteral("Another account check is still running. ");

/// "tls", "TLS" ... in the spelling the accounts store; empty stays empty.
QString normalSecurity(const QString &security)
{
    const QString s = security.trimmed().toUpper();
    if (s == QLatin1String("TLS") || s == QLatin1String("SSL"))
        return kTls;
    if (s == QLatin1String("STARTTLS") || s == QLatin1String("STLS"))
        return kStartTls;
    if (s.isEmpty())
        return {};
    return kNone;
}

/// A domain we may build host names from: letters, digits, "-", "." (and non-ASCII letters).
bool plausibleDomain(const QString &domain)
{
    if (domain.isEmpty() || domain.size() > 253 || domain.startsWith(QLatin1Char('.')) || domain.contains(QLatin1String("..")))
        return false;
    for (const QChar c : domain) {
        if (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('.'))
            continue;
        return false;
    }
    return true;
}

/// Ends the dialogue after a failure, within a short while, ignoring what goes wrong.
/// A server that sends a byte now and then holds a test no longer than it may hold a check.
qint64 checkTimeLimitMs()
{
    return qint64(ServiceConfig::Number(QStringLiteral("checkTimeLimitSeconds"), CReceiver::DefaultTimeLimitSeconds)
                  * 1000);
}

void quitQuietly(CArriveShell &shell)
{
    // A connection that is gone (refused, or a refused certificate) gets no farewell at all.
    if (shell.localPort() == 0) {
        shell.Close();
        return;
    }
    try {
        shell.setInactivityLimit(qMin(shell.inactivityLimit(), CCheckMB::QuitLimitMs));
        QString ignored;
        shell.SendData(QStringLiteral("QUIT") + kCrLf, false, ignored);
    } catch (const MUError &) {
    }
    shell.Close();
}
}

CCheckMB::CCheckMB()
    : m_waitLimitMs(CArriveShell::DefaultInactivityLimitMs), m_httpTimeoutMs(CHotmail::RequestTimeoutMs)
{
}

CCheckMB::~CCheckMB() = default;

void CCheckMB::Init(LogPtr log)
{
    m_log = std::move(log);
}

std::unique_ptr<CArriveShell> CCheckMB::DefaultShell(const QString &security)
{
    auto shell = std::make_unique<CArriveShell>();
    // Certificates are verified against the system's trust store and the host name.
    shell->setSecurity(CArriveShell::SecurityFromText(security));
    return shell;
}

bool CCheckMB::CheckMB(const QString &server, const QString &logonName, const QString &logonPwd, int port,
                       QString *falseCouse, const QString &security)
{
    trace(QStringLiteral("CheckMB call"), QStringLiteral("CheckMB"));
    bool ok = false;
    QString reason;
    QString detail;
    m_lastErrorNumber = 0;
    if (runOffThread([&] { ok = checkHere(server, logonName, logonPwd, port, security, reason, detail); }))
        m_lastError = ok ? QString() : detail;
    else
        reason = kBusy;
    if (falseCouse)
        *falseCouse = ok ? QString() : reason;
    return ok;
}

bool CCheckMB::CheckAccount(const Record &account, QString *falseCouse)
{
    trace(QStringLiteral("CheckAccount call"), QStringLiteral("CheckMB"));
    const bool imap = account.text(QStringLiteral("Protocol")).compare(QLatin1String("IMAP"), Qt::CaseInsensitive) == 0;
    DataBag options;
    options.Add(QVariant::fromValue(m_log), QStringLiteral("Log"));
    options.Add(m_waitLimitMs, QStringLiteral("InactivityLimitMs"));
    bool ok = false;
    QString reason;
    qint32 number = 0;
    m_lastErrorNumber = 0;
    if (runOffThread([&] {
            ok = imap ? CImapReceiver::TestAccount(account, options, &reason, &number)
                      : CReceiver::TestAccount(account, options, &reason, &number);
        })) {
        m_lastError = ok ? QString() : reason;
        m_lastErrorNumber = ok ? 0 : number;
    } else {
        reason = kBusy;
    }
    if (falseCouse)
        *falseCouse = ok ? QString() : reason;
    return ok;
}

QString CCheckMB::POPServerByEmailSuffix(const QString &emailSuffix)
{
    return FindServer(emailSuffix).host;
}

CCheckMB::ServerChoice CCheckMB::FindServer(const QString &emailSuffix)
{
    trace(QStringLiteral("POPServerByEmailSuffix(%1) call").arg(emailSuffix), QStringLiteral("POPServerByEmailSuffix"));
    ServerChoice choice;
    runOffThread([&] { choice = findHere(emailSuffix); });
    return choice;
}

QString CCheckMB::LogonNameByServerAndEmail(const QString &server, const QString &email, const QString &pwd,
                                            int port, const QString &security, const QString &protocol)
{
    const bool imap = protocol.compare(QLatin1String("IMAP"), Qt::CaseInsensitive) == 0;
    const QString member = QStringLiteral("LogonNameByServerAndEmail");
    trace(QStringLiteral("LogonNameByServerAndEmail call"), member);
    const QString address = email.trimmed();
    if (CHotmail::IsHttpMailServer(server))
        return address;
    QString result;
    QString detail;
    const bool ran = runOffThread([&] {
        QString reason;
        auto works = [&](const QString &name) {
            if (!imap)
                return checkHere(server, name, pwd, port, security, reason, detail);
            const bool ok = imapHere(server, name, pwd, port, security, reason);
            detail = reason;
            return ok;
        };
        if (works(address)) {
            result = address;
            return;
        }
        const QString local = address.section(QLatin1Char('@'), 0, 0);
        if (!local.isEmpty() && local != address && works(local))
            result = local;
    });
    if (!ran)
        detail = kBusy;
    m_lastError = result.isEmpty() ? detail : QString();
    if (result.isEmpty() && m_log)
        m_log->Write(MUError::Fail, detail, Log::LevelError, source(member));
    return result;
}

bool CCheckMB::IsValidHTTPServer(const QString &server)
{
    return ProbePopServer(server, nullptr);
}

bool CCheckMB::ProbePopServer(const QString &server, ServerChoice *choice)
{
    bool ok = false;
    ServerChoice found;
    runOffThread([&] { ok = probeHere(server, &found); });
    if (choice)
        *choice = ok ? found : ServerChoice();
    return ok;
}

bool CCheckMB::checkHere(const QString &server, const QString &logonName, const QString &logonPwd, int port,
                         const QString &security, QString &reason, QString &detail)
{
    const QString member = QStringLiteral("CheckMB");
    try {
        if (CHotmail::IsHttpMailServer(server))
            checkHttpMail(server, logonName, logonPwd);
        else
            checkPop3(server, logonName, logonPwd, port, security);
        reason.clear();
        return true;
    } catch (const MUError &error) {
        detail = error.description();
        m_lastErrorNumber = error.number();
        // No HTTPMail server at all is reported without a reason, as the dialogs expect.
        reason = error.number() == CHotmail::ResourceNotFound ? QString() : error.description();
        trace(QStringLiteral("FalseCouse =") + reason, member);
        return false;
    }
}

void CCheckMB::checkHttpMail(const QString &server, const QString &logonName, const QString &logonPwd)
{
    const QString src = source(QStringLiteral("CheckMB"));
    CHotmail session;
    session.Init(m_log, server, logonName, logonPwd, nullptr, m_httpTimeoutMs);
    const QUrl root = CHotmail::RootEndpoint(server, logonName);
    if (!root.isValid() || root.isRelative())
        throw MUError(MUError::Fail, QStringLiteral("No HTTPMail endpoint is configured. "), src);
    const CHotmail::Answer answer = session.QueryFolders();
    session.Finalize();
    if (!answer.refused.isEmpty())
        throw MUError(MUError::Fail, answer.refused, src);
    if (answer.timedOut)
        throw CHotmail::TimeLimitError(answer, src);
    if (!answer.received) {
        throw MUError(CHotmail::IsNoServer(answer.error) ? CHotmail::ResourceNotFound : MUError::Fail, answer.errorString + QStringLiteral(". "), src);
    }
    // An error page with a body is a refusal too, not a pass.
    const bool success = answer.status >= 200 && answer.status < 300;
    if (!success || answer.body.isEmpty()) {
        const QString status = answer.statusText.isEmpty() ? QStringLiteral("HTTP status %1").arg(answer.status)
                                                           : answer.statusText;
        throw MUError(MUError::Fail,
                      Utility::FormatText(QStringLiteral("Account '%1' not found or invalid password. "), {logonName})
                          + status,
                      src);
    }
}

void CCheckMB::checkPop3(const QString &server, const QString &logonName, const QString &logonPwd, int port,
                         const QString &security)
{
    const QString src = source(QStringLiteral("CheckMB"));
    QString mode = normalSecurity(security);
    if (port <= 0)
        port = mode == kTls ? 995 : 110;
    if (mode.isEmpty())
        mode = port == 995 ? kTls : kNone;
    if (port > 65535)
        throw MUError(SocketErrorNumbers::InvalidArgument, QStringLiteral("Invalid port %1. ").arg(port), src);
    std::unique_ptr<CArriveShell> shell = makeShell(mode);
    if (!shell)
        throw MUError(MUError::Fail, QStringLiteral("%1 connections are not available yet. ").arg(mode), src);
    if (!m_certPin.isEmpty())
        shell->setSecurity(CArriveShell::SecurityFromText(mode), m_certPin);
    const Target target = resolve(server.trimmed(), quint16(port));
    shell->Init(m_log, nullptr);
    shell->setInactivityLimit(m_waitLimitMs);
    shell->setTimeLimit(checkTimeLimitMs());
    shell->setRemote(target.host, target.port);
    trace(Utility::FormatText(QStringLiteral("RemoteHost='%1', LocalPort=%2, RemotePort=%3"),
                              {server, QString::number(shell->localPort()), QString::number(port)}),
          QStringLiteral("CheckMB"));
    try {
        QString reply;
        shell->Connect();
        shell->SendData(QStringLiteral("USER ") + logonName + kCrLf, false, reply);
        shell->SendData(QStringLiteral("PASS ") + logonPwd + kCrLf, false, reply);
        shell->SendData(QStringLiteral("QUIT") + kCrLf, false, reply);
        shell->Close();
    } catch (const MUError &) {
        quitQuietly(*shell);
        throw;
    }
}

bool CCheckMB::probeHere(const QString &server, ServerChoice *choice)
{
    const QString member = QStringLiteral("IsValidHTTPServer");
    const QString host = server.trimmed();
    if (host.isEmpty())
        return false;
    // Today's servers speak TLS from the first byte on 995; old ones only plain on 110.
    for (const auto &[port, mode] : {std::pair{995, kTls}, std::pair{110, kNone}}) {
        std::unique_ptr<CArriveShell> shell = makeShell(mode);
        if (!shell)
            continue;
        try {
            const Target target = resolve(host, quint16(port));
            shell->Init(m_log, nullptr);
            shell->setInactivityLimit(qMin(m_waitLimitMs, m_probeLimitMs));
            shell->setTimeLimit(checkTimeLimitMs());
            shell->setRemote(target.host, target.port);
            trace(QStringLiteral("Probing %1:%2 (%3)").arg(host).arg(port).arg(mode), member);
            shell->Connect();
            QString security = mode;
            if (mode == kNone) {
                // A plain server that offers STLS is better used with it.
                QString capabilities;
                try {
                    shell->SendData(QStringLiteral("CAPA") + kCrLf, true, capabilities);
                } catch (const MUError &) {
                    capabilities.clear();
                }
                const QStringList lines = capabilities.split(QLatin1Char('\n'));
                for (const QString &line : lines) {
                    if (line.trimmed().compare(QLatin1String("STLS"), Qt::CaseInsensitive) == 0 && makeShell(kStartTls))
                        security = kStartTls;
                }
            }
            quitQuietly(*shell);
            if (choice)
                *choice = ServerChoice{host, port, security, false};
            trace(QStringLiteral("%1 answers on port %2").arg(host).arg(port), member);
            return true;
        } catch (const MUError &error) {
            trace(QStringLiteral("%1:%2 does not answer: %3").arg(host).arg(port).arg(error.description()), member);
            shell->Close();
        }
    }
    return false;
}

CCheckMB::ServerChoice CCheckMB::findHere(const QString &emailSuffix)
{
    const QString domain = emailSuffix.trimmed().toLower();
    if (!plausibleDomain(domain))
        return {};
    const QJsonObject config = ServiceConfig::Load();

    const QJsonArray providers = config.value(QStringLiteral("providers")).toArray();
    for (const QJsonValue &value : providers) {
        const QJsonObject provider = value.toObject();
        const QJsonArray domains = provider.value(QStringLiteral("domains")).toArray();
        for (const QJsonValue &d : domains) {
            if (d.toString().trimmed().toLower() != domain)
                continue;
            const QString imapHost = provider.value(QStringLiteral("imapHost")).toString().trimmed();
            if (!imapHost.isEmpty()) {
                ServerChoice imap{imapHost, 993, kTls, false};
                imap.protocol = QStringLiteral("IMAP");
                return imap;
            }
            ServerChoice choice;
            choice.host = provider.value(QStringLiteral("host")).toString().trimmed();
            choice.security = normalSecurity(provider.value(QStringLiteral("security")).toString());
            choice.port = provider.value(QStringLiteral("port")).toInt();
            if (choice.port <= 0)
                choice.port = choice.security == kTls ? 995 : 110;
            if (choice.security.isEmpty())
                choice.security = choice.port == 995 ? kTls : kNone;
            choice.httpMail = CHotmail::IsHttpMailServer(choice.host);
            if (!choice.host.isEmpty())
                return choice;
        }
    }

    const QJsonObject httpMail = config.value(QStringLiteral("httpmail")).toObject();
    for (const auto &[domainKey, endpointKey] : {std::pair{"hotmailDomain", "hotmailEndpoint"},
                                                 std::pair{"msnDomain", "msnEndpoint"}}) {
        if (httpMail.value(QLatin1String(domainKey)).toString().trimmed().toLower() != domain)
            continue;
        const QUrl endpoint(httpMail.value(QLatin1String(endpointKey)).toString().trimmed());
        if (endpoint.host().isEmpty())
            continue;
        const bool secure = endpoint.scheme() == QLatin1String("https");
        return ServerChoice{endpoint.host(), endpoint.port(secure ? 443 : 80), secure ? kTls : kNone, true};
    }

    for (const char *prefix : {"imap.", "mail."}) {
        ServerChoice choice;
        if (probeImapHere(QLatin1String(prefix) + domain, &choice))
            return choice;
    }
    for (const char *prefix : {"pop.", "pop3.", "mail.", "pop.mail.", "pop3.mail."}) {
        ServerChoice choice;
        if (probeHere(QLatin1String(prefix) + domain, &choice))
            return choice;
    }
    return {};
}

bool CCheckMB::CheckImap(const QString &server, const QString &logonName, const QString &logonPwd, int port,
                         QString *falseCouse, const QString &security)
{
    trace(QStringLiteral("CheckImap call"), QStringLiteral("CheckMB"));
    bool ok = false;
    QString reason;
    m_lastErrorNumber = 0;
    if (runOffThread([&] { ok = imapHere(server, logonName, logonPwd, port, security, reason); }))
        m_lastError = ok ? QString() : reason;
    else
        reason = kBusy;
    if (falseCouse)
        *falseCouse = ok ? QString() : reason;
    return ok;
}

bool CCheckMB::imapHere(const QString &server, const QString &logonName, const QString &logonPwd, int port,
                        const QString &security, QString &reason)
{
    QList<std::pair<int, QString>> tries;
    const QString mode = normalSecurity(security);
    if (port > 0)
        tries.append({port, mode.isEmpty() ? (port == 993 ? kTls : kStartTls) : mode});
    else if (!mode.isEmpty())
        tries.append({mode == kTls ? 993 : 143, mode});
    else
        tries = {{993, kTls}, {143, kStartTls}};
    DataBag options;
    options.Add(QVariant::fromValue(m_log), QStringLiteral("Log"));
    options.Add(m_waitLimitMs, QStringLiteral("InactivityLimitMs"));
    for (const auto &[tryPort, tryMode] : tries) {
        Record account;
        account.Add(QStringLiteral("Server"), server.trimmed());
        account.Add(QStringLiteral("Port"), tryPort);
        account.Add(QStringLiteral("User"), logonName);
        account.Add(QStringLiteral("Pwd"), logonPwd);
        account.Add(QStringLiteral("Security"), tryMode);
        account.Add(QStringLiteral("CertPin"), m_certPin);
        qint32 number = 0;
        if (CImapReceiver::TestAccount(account, options, &reason, &number)) {
            reason.clear();
            return true;
        }
        m_lastErrorNumber = number;
    }
    return false;
}

bool CCheckMB::probeImapHere(const QString &server, ServerChoice *choice)
{
    const QString host = server.trimmed();
    for (const auto &[port, mode] : {std::pair{993, kTls}, std::pair{143, kStartTls}}) {
        try {
            const Target target = resolve(host, quint16(port));
            trace(QStringLiteral("Probing IMAP %1:%2 (%3)").arg(host).arg(port).arg(mode), QStringLiteral("IsValidHTTPServer"));
            if (CImapReceiver::Answers(target.host, target.port, mode, qMin(m_waitLimitMs, m_probeLimitMs))) {
                if (choice) {
                    *choice = ServerChoice{host, port, mode, false};
                    choice->protocol = QStringLiteral("IMAP");
                }
                return true;
            }
        } catch (const MUError &) {
            // An unknown host is no server.
        }
    }
    return false;
}

std::unique_ptr<CArriveShell> CCheckMB::makeShell(const QString &security) const
{
    return m_shellFactory ? m_shellFactory(security) : DefaultShell(security);
}

CCheckMB::Target CCheckMB::resolve(const QString &host, quint16 port) const
{
    if (!m_resolver)
        return Target{host, port};
    if (std::optional<Target> target = m_resolver(host, port))
        return *target;
    throw MUError(SocketErrorNumbers::HostNotFound, QStringLiteral("Host %1 not found").arg(host),
                  source(QStringLiteral("CheckMB")));
}

bool CCheckMB::runOffThread(const std::function<void()> &job)
{
    if (m_busy)
        return false;
    m_busy = true;
    std::unique_ptr<QThread> thread(QThread::create([&job] {
        try {
            job();
        } catch (...) {
            // Nothing may leave the thread; the job reports through its captures.
        }
    }));
    thread->setObjectName(kClass);
    if (QCoreApplication::instance()) {
        QEventLoop loop;
        QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
        thread->start();
        // The quit is queued to this thread, so it cannot be lost before exec runs.
        loop.exec();
    } else {
        thread->start();
    }
    thread->wait();
    m_busy = false;
    return true;
}

void CCheckMB::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Trace(text, source(member));
}
