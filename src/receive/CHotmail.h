#pragma once
#include "ReceiverMessages.h"
#include "trellis/CancelEvent.h"
#include "trellis/DataBag.h"
#include "trellis/Log.h"
#include "trellis/MUError.h"
#include "trellis/Messanger.h"
#include "trellis/ThreadRunner.h"
#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QNetworkReply>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <memory>

class QNetworkAccessManager;
class QNetworkRequest;

/// Downloads the new messages of one Hotmail or MSN account over HTTPMail (WebDAV)
/// and posts them to the receiver manager (ProgID "MUCustom.CHotmail", method "Run").
/// Never deletes anything on the server.
///
/// The DataBag given to Run (as for the POP3 receiver):
///   "Messanger"          MessangerPtr (QVariant::fromValue), the manager's
///   "Account"            Record with Id, "Server" (copied into the records only), "User", "Pwd"
///   "ReceivedMsgIds"     DataBag whose keys are the ids already stored for the account
///   "Log"                LogPtr
///   "DontReceiveContent" bool: headers only
///   "CancelEvent"        QString, the name of the download's cancel event (absent: never cancelled)
///   "RequestTimeoutMs"   optional int, the time limit of each request in all (default 20 s)
/// The whole download ends at the service configuration's "checkTimeLimitSeconds"
/// (default 600) like a request that passes its limit.
/// Endpoints, the service domains and the schema namespace come from the service
/// configuration ("httpmail"). Posts ReceiverMessages::MsgArrived / ReceiveComplete /
/// ErrorOccured; a download ended by its cancel event posts neither 2 nor 3.
/// Thread: created, run and destroyed on one thread; the network access manager lives
/// there too. One object serves one connection.
class CHotmail : public Worker
{
public:
    /// How long one request (its redirects included) may take in all before it is given up.
    static constexpr int RequestTimeoutMs = 20 * 1000;
    /// Redirects followed for one request (each within the endpoint's scheme, host and port).
    static constexpr int MaxRedirects = 5;
    /// The deepest element nesting a message list may have.
    static constexpr int MaxListDepth = 64;
    /// The request found no server (host unknown, refused, unreachable).
    static constexpr qint32 ResourceNotFound = qint32(0x800C0005u);
    /// Network failures that mean "no server answered at that address" (ResourceNotFound).
    static bool IsNoServer(QNetworkReply::NetworkError error);

    /// What one request brought back.
    struct Answer
    {
        bool received = false;  ///< an HTTP status line arrived
        bool timedOut = false;  ///< the time limit passed first
        bool connected = false; ///< with timedOut: the request had been sent
        int limitMs = 0;        ///< with timedOut: the limit that passed (the request's or the check's)
        bool cancelled = false;
        QString refused;        ///< why the request was not sent (another server's address)
        QUrl redirect;          ///< a redirect's target, not followed yet
        int status = 0;
        QString statusText;
        QByteArray body;
        QString davError;       ///< the "X-Dav-Error" header, when sent
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        QString errorString;
    };

    CHotmail();
    ~CHotmail() override;

    /// Runs on the worker thread: the whole download; returns when it is over.
    void Run(const DataBag &data) override;

    /// Prepares a connection on the calling thread (Run does this itself; the account
    /// checker uses it for its single request). `cancel` may be null.
    void Init(LogPtr log, const QString &server, const QString &user, const QString &pwd, CancelEventPtr cancel,
              int timeoutMs = RequestTimeoutMs);

    /// The folder query (PROPFIND with the query in a header of that name) to the root
    /// endpoint of the user's service; the answer unchecked.
    Answer QueryFolders();
    /// The inbox address from the folder query's answer. Throws MUError.
    QString GetInboxUrl();
    /// The message list of the inbox (PROPFIND with the list query as body). Throws MUError.
    QByteArray getMailListDoc(const QString &inboxUrl);
    /// The raw message at `url`, one character per byte. Throws MUError.
    QString GetMessage(const QString &url);
    /// Throws MUError unless `answer` is a 2xx answer with a body.
    void CheckResponse(const Answer &answer) const;
    /// Sends one request and waits for its end, the time limit or the cancel event;
    /// follows redirects within the endpoint's scheme, host and port and refuses any
    /// other address (nothing is sent there).
    Answer SendAndWait(QNetworkRequest request, const QByteArray &verb, const QByteArray &body);
    /// True when both addresses have the same scheme, host and port (default ports filled in).
    static bool SameOrigin(const QUrl &a, const QUrl &b);
    /// The error of a request that passed the time limit: "too slow" once the request was
    /// sent, else the connect time-out.
    static MUError TimeLimitError(const Answer &answer, const QString &source);
    /// Aborts what is pending and releases the network access manager.
    void Finalize();

    /// The message list of a PROPFIND answer, as the document-order node lists of its
    /// elements: a response's href is the text of its first child element; subjects,
    /// tos, froms and dates are every such element of the document, in document order.
    struct MailList
    {
        QStringList hrefs;
        QStringList subjects, tos, froms, dates;
    };
    /// Parses a multistatus document. No DTD is accepted (none is ever expanded), nor
    /// elements nested deeper than MaxListDepth (a listing is six deep). Memory stays
    /// linear in the document's size. False with `error` filled (and `list` empty) when the
    /// document is refused or not well-formed.
    static bool ParseMailList(const QByteArray &xml, MailList &list, QString *error);

    using Header = ReceiverMessages::MessageHeader;
    /// The href of the first listed message whose id (the href's last segment) is not a
    /// key of `received`, with its header fields; empty when every message is known.
    static QString GetFirstUnreceived(const MailList &list, const DataBag &received, Header &header);

    /// The folder query document carried in the "PROPFIND" request header.
    static QByteArray FolderQuery(const QString &schemaNamespace);
    /// The message list query sent as the body of the inbox PROPFIND.
    static QByteArray MailListQuery();
    /// True when `user` ends with "@" and the configured Hotmail domain (any case).
    static bool IsHotmailUser(const QString &user);
    /// The one rule that picks the receiver (check, account test, autodetection): true
    /// when `server` is the host of a configured HTTPMail endpoint (any case), so an
    /// account of those mail domains on a POP3 host is checked over POP3.
    static bool IsHttpMailServer(const QString &server);
    /// The root endpoint for an account: the endpoint whose host `server` is; when both
    /// or neither are, the Hotmail one for Hotmail users, else the MSN one.
    static QUrl RootEndpoint(const QString &server, const QString &user);

private:
    Answer sendOnce(const QNetworkRequest &request, const QByteArray &verb, const QByteArray &body,
                    const QDeadlineTimer &deadline);
    bool cancelled() const { return ::IsSignalled(m_cancel); }
    void trace(const QString &text, const QString &member) const;

    LogPtr m_log;
    MessangerPtr m_messanger;
    CancelEventPtr m_cancel;
    std::unique_ptr<QNetworkAccessManager> m_nam;
    QString m_user;
    QString m_pwd;
    QUrl m_root;
    int m_timeoutMs = RequestTimeoutMs;
    qint64 m_checkLimitMs = -1;     ///< the whole download's limit; -1: none (the account test)
    QDeadlineTimer m_checkDeadline{QDeadlineTimer::Forever};
};

/// Registers "MUCustom.CHotmail" with ThreadRunner. Calling it again is harmless.
void RegisterHttpMailWorkers();
