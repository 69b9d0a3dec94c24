#include "CHotmail.h"
#include "ReceiverMessages.h"
#include "mime/CMIMEPart.h"
#include "trellis/MUError.h"
#include "mime/MessageLimits.h"
#include "trellis/MessageTable.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/ServiceConfig.h"
#include "trellis/Utility.h"
#include <QAuthenticator>
#include <QBuffer>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <QXmlStreamReader>

namespace {
const QString kClass = QStringLiteral("CHotmail");
QString source(const QString &member) { return kClass + QLatin1Char('.') + member; }

const QString kDav = QStringLiteral("DAV:");
const QString kMailHeader = QStringLiteral("urn:schemas:mailheader:");

/// A larger answer is not a mailbox listing or a mail message we are willing to hold.
constexpr qint64 kMaxAnswerBytes = 64 * 1024 * 1024;
/// Marks a reply whose credentials were already offered once.
constexpr char kAuthTried[] = "murmeloAuthTried";

QJsonObject httpMailConfig()
{
    return ServiceConfig::Load().value(QStringLiteral("httpmail")).toObject();
}

QString configText(const char *key)
{
    return httpMailConfig().value(QLatin1String(key)).toString().trimmed();
}

bool endsWithDomain(const QString &address, const QString &domain)
{
    return !domain.isEmpty() && address.endsWith(QLatin1Char('@') + domain, Qt::CaseInsensitive);
}

QString xmlAttribute(const QString &value)
{
    return value.toHtmlEscaped().replace(QLatin1Char('\''), QLatin1String("&apos;"));
}

/// The few entities a server may leave in the inbox address it returns.
QString unescapeXmlText(QString text)
{
    text.replace(QLatin1String("&lt;"), QLatin1String("<"));
    text.replace(QLatin1String("&gt;"), QLatin1String(">"));
    text.replace(QLatin1String("&quot;"), QLatin1String("\""));
    text.replace(QLatin1String("&apos;"), QLatin1String("'"));
    text.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return text;
}

QString statusDescription(const CHotmail::Answer &answer)
{
    if (!answer.statusText.isEmpty())
        return answer.statusText;
    return QStringLiteral("HTTP status %1").arg(answer.status);
}

MessangerPtr messangerFrom(const QVariant &value)
{
    if (value.canConvert<MessangerPtr>())
        if (auto ptr = value.value<MessangerPtr>())
            return ptr;
    // An owner that keeps its Messanger alive itself may hand a plain pointer.
    if (auto *plain = qobject_cast<Messanger *>(value.value<QObject *>()))
        return MessangerPtr(plain, [](Messanger *) {});
    return {};
}
}

CHotmail::CHotmail() = default;

CHotmail::~CHotmail()
{
    Finalize();
}

void CHotmail::Init(LogPtr log, const QString &server, const QString &user, const QString &pwd, CancelEventPtr cancel,
                    int timeoutMs)
{
    m_log = std::move(log);
    m_user = user;
    m_pwd = pwd;
    m_cancel = std::move(cancel);
    m_timeoutMs = timeoutMs > 0 ? timeoutMs : RequestTimeoutMs;
    m_root = RootEndpoint(server, user);
    m_nam = std::make_unique<QNetworkAccessManager>();
    m_nam->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    QObject::connect(m_nam.get(), &QNetworkAccessManager::authenticationRequired, m_nam.get(),
                     [this](QNetworkReply *reply, QAuthenticator *authenticator) {
                         // Offer the password once per request, and only to the configured
                         // endpoint's scheme, host and port.
                         if (reply->property(kAuthTried).toBool())
                             return;
                         if (!SameOrigin(reply->url(), m_root)) {
                             trace(QStringLiteral("Credentials withheld from %1").arg(reply->url().toDisplayString()),
                                   QStringLiteral("SendAndWait"));
                             return;
                         }
                         reply->setProperty(kAuthTried, true);
                         authenticator->setUser(m_user);
                         authenticator->setPassword(m_pwd);
                     });
}

void CHotmail::Run(const DataBag &data)
{
    m_log = data.Item(QStringLiteral("Log")).value<LogPtr>();
    m_messanger = messangerFrom(data.Item(QStringLiteral("Messanger")));
    const Record account = data.Item(QStringLiteral("Account")).value<Record>();
    CancelEventPtr cancel;
    const QString cancelName = data.Item(QStringLiteral("CancelEvent")).toString();
    if (!cancelName.isEmpty())
        cancel = CancelEvent::Open(cancelName);
    const bool dontReceiveContent = data.Item(QStringLiteral("DontReceiveContent")).toBool();
    const QString server = account.text(QStringLiteral("Server"));
    const QString user = account.text(QStringLiteral("User"));
    const QString pwd = account.text(QStringLiteral("Pwd"));
    const int timeoutMs = data.Item(QStringLiteral("RequestTimeoutMs")).toInt();
    // However fast each answer comes, the download as a whole is bounded too.
    m_checkLimitMs = qint64(ServiceConfig::Number(QStringLiteral("checkTimeLimitSeconds"), 600) * 1000);
    m_checkDeadline = QDeadlineTimer(m_checkLimitMs);
    DataBag received = data.Item(QStringLiteral("ReceivedMsgIds")).value<DataBag>();

    trace(Utility::FormatText(QStringLiteral("Start Check account '%1'/'%2', fDontReceiveContent=%3"),
                              {server, user, dontReceiveContent ? QStringLiteral("True") : QStringLiteral("False")}),
          QStringLiteral("Run"));

    auto post = [this](int msg, const QVariant &value) {
        if (m_messanger)
            m_messanger->Post(msg, value);
    };

    try {
        Init(m_log, server, user, pwd, cancel, timeoutMs);
        const QString inboxUrl = GetInboxUrl();
        if (!cancelled()) {
            const QByteArray listDoc = getMailListDoc(inboxUrl);
            MailList list;
            QString parseError;
            if (!ParseMailList(listDoc, list, &parseError))
                throw MUError(MUError::Fail, MessageTable::Text(527) + parseError, source(QStringLiteral("getMailListDoc")));
            trace(QStringLiteral("=8= %1 messages listed").arg(list.hrefs.size()), QStringLiteral("getMailListDoc"));
            const QUrl inbox(inboxUrl);
            while (!cancelled()) {
                Header header;
                const QString href = GetFirstUnreceived(list, received, header);
                if (href.isEmpty()) {
                    if (!cancelled())
                        post(ReceiverMessages::ReceiveComplete, account.Id());
                    break;
                }
                if (header.to.isEmpty())
                    header.to = user;
                QString content;
                if (!dontReceiveContent) {
                    const QString raw = MessageLimits::Kept(GetMessage(inbox.resolved(QUrl(href)).toString()));
                    CMIMEPart part;
                    part.InitMessage(raw, false);
                    content = part.TextPlain();
                }
                const Record msg =
                    ReceiverMessages::MessageRecord(server, user, header, dontReceiveContent ? nullptr : &content);
                received.Add(header.id, header.id);
                post(ReceiverMessages::MsgArrived, QVariant::fromValue(msg));
            }
        }
    } catch (const MUError &failure) {
        if (cancelled()) {
            // The manager has forgotten this download already: nobody waits for its end.
            trace(QStringLiteral("Ended by cancellation: ") + failure.description(), QStringLiteral("Run"));
        } else {
            if (m_log)
                m_log->Write(failure.number(), failure.description(), Log::LevelError, source(QStringLiteral("Run")));
            post(ReceiverMessages::ErrorOccured, QVariant::fromValue(ReceiverMessages::ErrorBag(failure, account.Id())));
        }
    }
    m_cancel.reset();
    Finalize();
}

CHotmail::Answer CHotmail::QueryFolders()
{
    const QString ns = configText("schemaNamespace");
    QNetworkRequest request(m_root);
    request.setRawHeader("PROPFIND", FolderQuery(ns));
    trace(QStringLiteral("PROPFIND %1").arg(m_root.toDisplayString()), QStringLiteral("GetInboxUrl"));
    return SendAndWait(request, "PROPFIND", {});
}

QString CHotmail::GetInboxUrl()
{
    const QString src = source(QStringLiteral("GetInboxUrl"));
    if (!m_root.isValid() || m_root.isRelative())
        throw MUError(MUError::Fail, QStringLiteral("No HTTPMail endpoint is configured. "), src);
    const Answer answer = QueryFolders();
    CheckResponse(answer);
    QString text = QString::fromUtf8(answer.body);
    const MUError invalid(MUError::Fail, QStringLiteral("Invalid response. "), src);
    qsizetype at = text.indexOf(QLatin1String("inbox>"));
    if (at < 0)
        throw invalid;
    text = text.mid(at + 6);
    at = text.indexOf(QLatin1Char('<'));
    if (at < 0)
        throw invalid;
    const QString address = unescapeXmlText(text.left(at)).trimmed();
    const QUrl inbox = m_root.resolved(QUrl(address));
    if (address.isEmpty() || !inbox.isValid()
        || (inbox.scheme() != QLatin1String("http") && inbox.scheme() != QLatin1String("https")))
        throw invalid;
    if (!SameOrigin(inbox, m_root))
        throw MUError(MUError::Fail,
                      Utility::FormatText(QStringLiteral("The server named an inbox on another server (%1); "
                                                         "the password is sent only to %2. "),
                                          {inbox.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery),
                                           m_root.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemovePath
                                                                  | QUrl::RemoveQuery)}),
                      src);
    trace(QStringLiteral("InboxUrl = ") + inbox.toDisplayString(), QStringLiteral("GetInboxUrl"));
    return inbox.toString();
}

QByteArray CHotmail::getMailListDoc(const QString &inboxUrl)
{
    const QString member = QStringLiteral("getMailListDoc");
    trace(QStringLiteral("=1= ") + inboxUrl, member);
    QNetworkRequest request{QUrl(inboxUrl)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("text/xml"));
    trace(QStringLiteral("=2="), member);
    const Answer answer = SendAndWait(request, "PROPFIND", MailListQuery());
    trace(QStringLiteral("=3= status %1").arg(answer.status), member);
    CheckResponse(answer);
    trace(QStringLiteral("=4= %1 bytes").arg(answer.body.size()), member);
    return answer.body;
}

QString CHotmail::GetMessage(const QString &url)
{
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("GET", url.toUtf8());
    trace(QStringLiteral("GET ") + url, QStringLiteral("GetMessage"));
    const Answer answer = SendAndWait(request, "GET", {});
    CheckResponse(answer);
    // One character per byte, as the POP3 receiver hands messages to the parser.
    return QString::fromLatin1(answer.body);
}

void CHotmail::CheckResponse(const Answer &answer) const
{
    const QString src = source(QStringLiteral("CheckResponse"));
    if (answer.cancelled)
        throw MUError(MUError::Fail, QStringLiteral("Cancelled. "), src);
    if (!answer.refused.isEmpty())
        throw MUError(MUError::Fail, answer.refused, src);
    if (answer.timedOut)
        throw TimeLimitError(answer, src);
    if (!answer.received) {
        const QString text = answer.errorString.isEmpty() ? QStringLiteral("No answer. ")
                                                          : answer.errorString + QStringLiteral(". ");
        throw MUError(IsNoServer(answer.error) ? ResourceNotFound : MUError::Fail, text, src);
    }
    if (answer.status == 407)
        throw MUError(MUError::Fail, statusDescription(answer), src);
    // An error page is a failure even when it has a body: it must never become a message.
    const bool success = answer.status >= 200 && answer.status < 300;
    if (!success || answer.body.isEmpty())
        throw MUError(MUError::Fail, answer.davError.isEmpty() ? statusDescription(answer) : answer.davError, src);
}

CHotmail::Answer CHotmail::SendAndWait(QNetworkRequest request, const QByteArray &verb, const QByteArray &body)
{
    Answer answer;
    if (cancelled() || !m_nam) {
        answer.cancelled = cancelled();
        answer.errorString = m_nam ? QString() : QStringLiteral("Not initialised");
        return answer;
    }
    // One limit for the whole transfer, redirects included: a server that sends a byte
    // now and then does not keep it alive.
    const bool checkFirst = m_checkLimitMs >= 0 && m_checkDeadline.remainingTime() < m_timeoutMs;
    const QDeadlineTimer deadline = checkFirst ? m_checkDeadline : QDeadlineTimer(m_timeoutMs);
    const int limitMs = checkFirst ? int(m_checkLimitMs) : m_timeoutMs;
    if (deadline.hasExpired()) {
        answer.timedOut = true;
        answer.connected = true;
        answer.limitMs = limitMs;
        return answer;
    }
    for (int hop = 0;; ++hop) {
        if (!SameOrigin(request.url(), m_root)) {
            answer.refused = Utility::FormatText(
                QStringLiteral("The server pointed to another server (%1); the password is sent only to %2. "),
                {request.url().toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery),
                 m_root.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery)});
            trace(answer.refused, QStringLiteral("SendAndWait"));
            return answer;
        }
        answer = sendOnce(request, verb, body, deadline);
        answer.limitMs = limitMs;
        if (!answer.redirect.isValid())
            return answer;
        if (hop >= MaxRedirects) {
            answer.redirect = QUrl();
            answer.refused = QStringLiteral("The server redirected the check more than %1 times. ").arg(MaxRedirects);
            return answer;
        }
        request.setUrl(answer.redirect);
    }
}

CHotmail::Answer CHotmail::sendOnce(const QNetworkRequest &request, const QByteArray &verb, const QByteArray &body,
                                    const QDeadlineTimer &deadline)
{
    Answer answer;
    std::unique_ptr<QNetworkReply> reply(
        body.isEmpty() ? m_nam->sendCustomRequest(request, verb) : m_nam->sendCustomRequest(request, verb, body));

    QEventLoop loop;
    bool tooLarge = false;
    bool sent = false;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(reply.get(), &QNetworkReply::requestSent, &loop, [&sent] { sent = true; });
    QObject::connect(reply.get(), &QNetworkReply::downloadProgress, &loop, [&](qint64 bytes, qint64) {
        if (bytes > kMaxAnswerBytes && !tooLarge) {
            tooLarge = true;
            loop.quit();
        }
    });
    bool expired = false;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        expired = true;
        loop.quit();
    });
    limit.start(std::chrono::milliseconds(qMax<qint64>(0, deadline.remainingTime())));
    CancelWatcher watcher(m_cancel);
    QObject::connect(&watcher, &CancelWatcher::signalled, &loop, &QEventLoop::quit);
    while (!reply->isFinished() && !cancelled() && !tooLarge && !expired)
        loop.exec();

    if (!reply->isFinished()) {
        answer.cancelled = cancelled();
        QObject::disconnect(reply.get(), nullptr, &loop, nullptr);
        reply->abort();
        if (tooLarge) {
            answer.errorString = QStringLiteral("The server's answer is larger than %1 bytes").arg(kMaxAnswerBytes);
            answer.error = QNetworkReply::UnknownContentError;
        } else if (!answer.cancelled) {
            answer.timedOut = true;
            answer.connected = sent;
        }
        trace(QStringLiteral("%1 %2 ended unfinished%3")
                  .arg(QString::fromLatin1(verb), request.url().toDisplayString(),
                       answer.timedOut ? QStringLiteral(" at the time limit") : QString()),
              QStringLiteral("SendAndWait"));
        return answer;
    }

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    answer.received = status.isValid();
    answer.status = status.toInt();
    answer.statusText = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    if (reply->isOpen())
        answer.body = reply->readAll();
    answer.davError = QString::fromUtf8(reply->rawHeader("X-Dav-Error")).trimmed();
    answer.error = reply->error();
    answer.errorString = reply->errorString();
    // Redirects are followed here, not by the network layer: only to the endpoint's own
    // scheme, host and port may the credentials go.
    const QVariant target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
    if (answer.received && answer.status >= 300 && answer.status < 400 && target.isValid())
        answer.redirect = request.url().resolved(target.toUrl());
    trace(QStringLiteral("%1 %2: status %3, %4 bytes%5")
              .arg(QString::fromLatin1(verb), reply->url().toDisplayString())
              .arg(answer.status)
              .arg(answer.body.size())
              .arg(answer.redirect.isValid() ? QStringLiteral(", redirected to ") + answer.redirect.toDisplayString()
                                             : QString()),
          QStringLiteral("SendAndWait"));
    return answer;
}

bool CHotmail::SameOrigin(const QUrl &a, const QUrl &b)
{
    auto port = [](const QUrl &url) {
        return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
    };
    return a.isValid() && b.isValid() && !a.host().isEmpty()
        && a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
        && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
}

MUError CHotmail::TimeLimitError(const Answer &answer, const QString &src)
{
    if (!answer.connected)
        return MUError::engine(519, src);
    return MUError(MUError::engineNumber(531),
                   MessageTable::Text(531).arg(QString::number(answer.limitMs / 1000.0, 'g', 4)).trimmed(),
                   src);
}

void CHotmail::Finalize()
{
    // Pending replies are children of the manager and end with it.
    m_nam.reset();
}

bool CHotmail::ParseMailList(const QByteArray &xml, MailList &list, QString *error)
{
    list = MailList();
    // Read through a device: the reader then decodes the answer piece by piece instead
    // of holding all of it a second time as text.
    QBuffer device;
    device.setData(xml);
    device.open(QIODevice::ReadOnly);
    QXmlStreamReader reader(&device);
    // The element whose text is being collected. Only the innermost open one collects:
    // an element nested in another keeps its own text, so every character of the answer
    // is held once however deeply a server nests its elements.
    struct Capture
    {
        int depth;
        QStringList *target;
        qsizetype index;
    };
    QList<Capture> captures;
    int depth = 0;
    int responseDepth = -1;     // depth of the open D:response, -1 when none
    bool hrefPending = false;   // its first child element has not been seen yet

    auto fail = [&](const QString &text) {
        list = MailList();
        if (error)
            *error = text;
        return false;
    };
    auto begin = [&](QStringList &target) {
        target.append(QString());
        captures.append({depth, &target, target.size() - 1});
    };

    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            // Nothing from the network may declare entities or point at other documents.
            return fail(QStringLiteral("A document type declaration is not accepted. "));
        case QXmlStreamReader::StartElement: {
            if (++depth > MaxListDepth)
                return fail(QStringLiteral("The answer nests its elements more than %1 deep. ").arg(MaxListDepth));
            const auto ns = reader.namespaceUri();
            const auto name = reader.name();
            if (hrefPending && depth == responseDepth + 1) {
                hrefPending = false;
                begin(list.hrefs);
            }
            if (ns == kDav && name == QLatin1String("response")) {
                responseDepth = depth;
                hrefPending = true;
            } else if (ns == kMailHeader) {
                if (name == QLatin1String("subject"))
                    begin(list.subjects);
                else if (name == QLatin1String("to"))
                    begin(list.tos);
                else if (name == QLatin1String("from"))
                    begin(list.froms);
                else if (name == QLatin1String("date"))
                    begin(list.dates);
            }
            break;
        }
        case QXmlStreamReader::Characters:
            if (!captures.isEmpty()) {
                const Capture &c = captures.last();
                (*c.target)[c.index] += reader.text();
            }
            break;
        case QXmlStreamReader::EndElement:
            while (!captures.isEmpty() && captures.last().depth == depth) {
                const Capture c = captures.takeLast();
                QString &text = (*c.target)[c.index];
                text = std::move(text).trimmed();
            }
            if (depth == responseDepth) {
                if (hrefPending)
                    list.hrefs.append(QString());
                hrefPending = false;
                responseDepth = -1;
            }
            --depth;
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        return fail(reader.errorString() + QStringLiteral(" (line %1). ").arg(reader.lineNumber()));
    return true;
}

QString CHotmail::GetFirstUnreceived(const MailList &list, const DataBag &received, Header &header)
{
    header = Header();
    qsizetype found = -1;
    QString id;
    for (qsizetype i = 0; i < list.hrefs.size(); ++i) {
        const QString &href = list.hrefs.at(i);
        id = href.mid(href.lastIndexOf(QLatin1Char('/')) + 1);
        // The folder itself (an href ending in "/") is no message.
        if (!id.isEmpty() && !received.Exists(id)) {
            found = i;
            break;
        }
    }
    if (found < 0)
        return {};
    header.id = id;
    // Document-order lists: entry `found` of each, wherever in the document it stands.
    header.subject = list.subjects.value(found);
    header.to = list.tos.value(found);
    header.from = list.froms.value(found);
    header.date = list.dates.value(found).replace(QLatin1Char('T'), QLatin1Char(' '));
    return list.hrefs.at(found);
}

QByteArray CHotmail::FolderQuery(const QString &schemaNamespace)
{
    const QString query = QStringLiteral(
        "<?xml version='1.0'?><D:propfind xmlns:D='DAV:' xmlns:h='%1' xmlns:hm='urn:schemas:httpmail:'>"
        "<D:prop><h:adbar/><hm:contacts/><hm:inbox/><hm:outbox/><hm:sendmsg/><hm:sentitems/>"
        "<hm:deleteditems/><hm:drafts/><hm:msgfolderroot/><h:maxpoll/><h:sig/></D:prop></D:propfind>")
                              .arg(xmlAttribute(schemaNamespace));
    // A header value cannot hold a line end.
    return query.toUtf8().replace('\r', ' ').replace('\n', ' ');
}

QByteArray CHotmail::MailListQuery()
{
    return QByteArrayLiteral(
        "<?xml version='1.0'?><D:propfind xmlns:D='DAV:' xmlns:hm='urn:schemas:httpmail:' "
        "xmlns:m='urn:schemas:mailheader:'><D:prop><D:isfolder/><hm:read/><m:hasattachment/><m:to/>"
        "<m:from/><m:subject/><m:date/><D:getcontentlength/></D:prop></D:propfind>");
}

bool CHotmail::IsHotmailUser(const QString &user)
{
    return endsWithDomain(user, configText("hotmailDomain"));
}

namespace {
QString hostName(const QString &server)
{
    QString host = server.trimmed().toLower();
    while (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    return host;
}

QString endpointHost(const QJsonObject &config, const char *key)
{
    return hostName(QUrl(config.value(QLatin1String(key)).toString().trimmed()).host());
}
}

bool CHotmail::IsHttpMailServer(const QString &server)
{
    const QString host = hostName(server);
    if (host.isEmpty())
        return false;
    const QJsonObject config = httpMailConfig();
    return host == endpointHost(config, "hotmailEndpoint") || host == endpointHost(config, "msnEndpoint");
}

QUrl CHotmail::RootEndpoint(const QString &server, const QString &user)
{
    const QJsonObject config = httpMailConfig();
    const QString host = hostName(server);
    const bool hotmail = !host.isEmpty() && host == endpointHost(config, "hotmailEndpoint");
    const bool msn = !host.isEmpty() && host == endpointHost(config, "msnEndpoint");
    const bool useHotmail = hotmail == msn ? IsHotmailUser(user) : hotmail;
    return QUrl(config.value(QLatin1String(useHotmail ? "hotmailEndpoint" : "msnEndpoint")).toString().trimmed());
}

void CHotmail::trace(const QString &text, const QString &member) const
{
    if (m_log)
        m_log->Trace(text, source(member));
}

void RegisterHttpMailWorkers()
{
    RegisterTrellisMetaTypes();
    ThreadRunner::Register(QStringLiteral("MUCustom.CHotmail"), [] { return std::make_unique<CHotmail>(); });
}

bool CHotmail::IsNoServer(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
        return true;
    default:
        return false;
    }
}
