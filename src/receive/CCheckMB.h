#pragma once
#include "trellis/Log.h"
#include "trellis/Record.h"
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class CArriveShell;

/// Tests an account before it is stored (one login, then logout; nothing stored, no
/// message read) and guesses the incoming server and the logon name of an e-mail address.
///
/// Every call looks synchronous to its caller and returns a result, but the work runs on a
/// thread of its own while the caller's thread runs a nested event loop (woken when the
/// work ends), so a window stays responsive. Every wait is bounded: the socket shell's
/// inactivity limit (shorter for autodetection probes) and the HTTP request's time limit.
/// Thread: use one object from one thread; calls do not overlap (a call made while another
/// runs, e.g. from an event handled during the wait, fails at once).
class CCheckMB
{
public:
    /// Where a connection really goes.
    struct Target
    {
        QString host;
        quint16 port = 0;
    };
    /// Maps a host name and port to the address to connect to; nullopt when the host is
    /// unknown. Called on the checker's thread. The default connects to the name as given.
    using Resolver = std::function<std::optional<Target>(const QString &host, quint16 port)>;
    /// Makes the socket shell for a security mode ("TLS", "STARTTLS", "None"); null when
    /// the mode is not available. Called on the checker's thread.
    using ShellFactory = std::function<std::unique_ptr<CArriveShell>(const QString &security)>;

    /// An incoming server found for a domain.
    struct ServerChoice
    {
        QString host;
        int port = 0;
        QString security;       ///< "TLS", "STARTTLS" or "None"
        bool httpMail = false;  ///< a web host of the HTTPMail service
        QString protocol = QStringLiteral("POP3"); ///< "POP3" or "IMAP"
        bool isEmpty() const { return host.isEmpty(); }
    };

    /// A probe waits at most this long for a greeting: a silent host is no mail server.
    static constexpr int ProbeLimitMs = 15 * 1000;
    /// How long the farewell after a failure may take.
    static constexpr int QuitLimitMs = 5 * 1000;

    CCheckMB();
    ~CCheckMB();
    CCheckMB(const CCheckMB &) = delete;
    CCheckMB &operator=(const CCheckMB &) = delete;

    /// Keeps the log (may be null).
    void Init(LogPtr log);

    /// Tests one account: over HTTPMail when `server` is a configured HTTPMail endpoint's
    /// host (CHotmail::IsHttpMailServer), else a POP3 login on `server`:`port` (0: 995 for "TLS", 110 otherwise) with
    /// `security` (empty: "TLS" on port 995, "None" otherwise). Never throws; on failure
    /// `falseCouse` gets the reason (empty when no HTTPMail server answered at all).
    bool CheckMB(const QString &server, const QString &logonName, const QString &logonPwd, int port = 0,
                 QString *falseCouse = nullptr, const QString &security = {});
    /// Tests an IMAP account (log in, open `folder` read-only, log out) on `server`:`port` with
    /// `security`; port 0 tries 993 with TLS, then 143 with STARTTLS (`security` empty) or the
    /// given mode's usual port. The certificate pin applies; the resolver and shell factory do not.
    bool CheckImap(const QString &server, const QString &logonName, const QString &logonPwd, int port = 0,
                   QString *falseCouse = nullptr, const QString &security = {});
    /// Tests an account as its check signs in (its "Protocol"'s receiver, its "Security" and
    /// "CertPin"): the way for an account linked to an online account ("OnlineAccount") or a
    /// browser sign-in ("OAuth2Provider"), whose token only the receiver asks for. Never
    /// throws; lastErrorNumber() tells a refused token (Sasl::SignInNeeded) from the rest.
    bool CheckAccount(const Record &account, QString *falseCouse = nullptr);
    /// The incoming server's host for the part of an address after "@", or empty.
    QString POPServerByEmailSuffix(const QString &emailSuffix);
    /// The incoming server with its port, security and protocol: the provider table (its IMAP
    /// host first), then the HTTPMail service domains, then the first IMAP candidate that
    /// answers ("imap.", "mail." + the domain; 993 with TLS before 143 with STARTTLS), then the
    /// first POP3 candidate ("pop.", "pop3.", "mail.", "pop.mail.", "pop3.mail." + the domain;
    /// each on port 995 with TLS before port 110). Empty when none answers.
    ServerChoice FindServer(const QString &emailSuffix);
    /// The logon name `server` accepts for `email` and `pwd`: the full address, else its
    /// local part, else empty. On an HTTPMail server the address is returned as it is.
    QString LogonNameByServerAndEmail(const QString &server, const QString &email, const QString &pwd,
                                      int port = 110, const QString &security = QStringLiteral("None"),
                                      const QString &protocol = QStringLiteral("POP3"));
    /// True when a POP3 server greets positively on port 110 of `server` (995 with TLS is
    /// tried first when available).
    bool IsValidHTTPServer(const QString &server);
    /// The probe behind IsValidHTTPServer; fills `choice` with where the server answered.
    bool ProbePopServer(const QString &server, ServerChoice *choice);

    /// The reason of the last failed check or logon search, also when `falseCouse` was left empty.
    QString lastError() const { return m_lastError; }
    /// The error number of the last failed check (0 after a success), e.g.
    /// CArriveShell::CertificateNotTrusted when the user may choose to pin the certificate.
    qint32 lastErrorNumber() const { return m_lastErrorNumber; }
    /// The SHA-256 fingerprint of the one certificate POP3 checks accept whatever the trust
    /// store says (the account's pin); empty: the store decides.
    void setCertPin(const QString &fingerprint) { m_certPin = fingerprint; }

    void setResolver(Resolver resolver) { m_resolver = std::move(resolver); }
    void setShellFactory(ShellFactory factory) { m_shellFactory = std::move(factory); }
    /// The inactivity limit of a login's waits (default the shell's 180 s).
    void setWaitLimit(int ms) { m_waitLimitMs = ms; }
    /// The greeting limit of an autodetection probe (default ProbeLimitMs).
    void setProbeLimit(int ms) { m_probeLimitMs = ms; }
    /// The time limit of the HTTPMail request, in all (default 20 s).
    void setHttpTimeout(int ms) { m_httpTimeoutMs = ms; }

    /// The shell for a security mode, certificates verified by the system's trust store.
    static std::unique_ptr<CArriveShell> DefaultShell(const QString &security);

private:
    bool checkHere(const QString &server, const QString &logonName, const QString &logonPwd, int port,
                   const QString &security, QString &reason, QString &detail);
    void checkPop3(const QString &server, const QString &logonName, const QString &logonPwd, int port,
                   const QString &security);
    void checkHttpMail(const QString &server, const QString &logonName, const QString &logonPwd);
    bool probeHere(const QString &server, ServerChoice *choice);
    /// IMAP: the login test of CheckImap on this thread; throws nothing.
    bool imapHere(const QString &server, const QString &logonName, const QString &logonPwd, int port,
                  const QString &security, QString &reason);
    bool probeImapHere(const QString &server, ServerChoice *choice);
    ServerChoice findHere(const QString &emailSuffix);
    std::unique_ptr<CArriveShell> makeShell(const QString &security) const;
    Target resolve(const QString &host, quint16 port) const;
    /// Runs `job` on a new thread while this thread's nested event loop waits for its end.
    /// False (nothing run) while another call is running. The job touches no member
    /// that the caller's thread may change meanwhile.
    bool runOffThread(const std::function<void()> &job);
    void trace(const QString &text, const QString &member) const;

    LogPtr m_log;
    Resolver m_resolver;
    ShellFactory m_shellFactory;
    int m_waitLimitMs;
    int m_probeLimitMs = ProbeLimitMs;
    int m_httpTimeoutMs;
    bool m_busy = false;
    QString m_lastError;
    qint32 m_lastErrorNumber = 0;
    QString m_certPin;
};
