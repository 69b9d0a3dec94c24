#include "ReceiverRun.h"
#include "ScriptedHttpServer.h"
#include "TestCertificates.h"
#include "TestHome.h"
#include "mime/MessageLimits.h"
#include "receive/CHotmail.h"
#include "receive/ReceiverMessages.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/MetaTypes.h"
#include "trellis/ThreadRunner.h"
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QTest>
#include <optional>

using Response = ScriptedHttpServer::Response;
Q_DECLARE_METATYPE(ScriptedHttpServer::Response)

namespace {
const QByteArray kHotmailRoot = "/svcs/hotmail/httpmail.asp";
const QByteArray kMsnRoot = "/cgi-bin/hmdata";
const QByteArray kInbox = "/folders/inbox/";
const QString kSchema = QStringLiteral("http://schemas.microsoft.com/hotmail/");
const QString kUser = QStringLiteral("bob@hotmail.com");
const QString kPassword = QStringLiteral("Http-Mail-Pw");

struct Entry
{
    QByteArray id;
    std::optional<QByteArray> to;
    QByteArray from, subject, date;
    QByteArray body; // what a GET of it answers
};

Response status(int code, const QByteArray &reason, const QByteArray &body = {},
                const QByteArray &davError = {})
{
    Response r{code, reason, {}, body};
    if (!davError.isEmpty())
        r.headers.append(qMakePair(QByteArray("X-Dav-Error"), QByteArray(davError)));
    return r;
}

Response xml(const QByteArray &body)
{
    Response r = status(207, "Multi-Status", body);
    r.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/xml; charset=\"utf-8\"")));
    return r;
}

QByteArray rootDoc(const QByteArray &inboxUrl)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<D:multistatus xmlns:D=\"DAV:\" xmlns:h=\"http://schemas.microsoft.com/hotmail/\" "
           "xmlns:hm=\"urn:schemas:httpmail:\"><D:response><D:href>/svcs/hotmail/httpmail.asp</D:href>"
           "<D:propstat><D:prop><h:adbar>AdPane=Off</h:adbar><hm:contacts>/folders/contacts/</hm:contacts>"
           "<hm:inbox>" + inboxUrl + "</hm:inbox><hm:sendmsg>/sendmsg</hm:sendmsg>"
           "<hm:sentitems>/folders/sent/</hm:sentitems></D:prop><D:status>HTTP/1.1 200 OK</D:status>"
           "</D:propstat></D:response></D:multistatus>";
}

QByteArray listDoc(const QString &base, const QList<Entry> &entries)
{
    QByteArray doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<D:multistatus xmlns:D=\"DAV:\" "
                     "xmlns:hm=\"urn:schemas:httpmail:\" xmlns:m=\"urn:schemas:mailheader:\">\r\n";
    for (const Entry &e : entries) {
        doc += " <D:response>\r\n  <D:href>" + base.toUtf8() + e.id + "</D:href>\r\n"
               "  <D:propstat><D:prop><D:isfolder>0</D:isfolder><hm:read>0</hm:read>"
               "<m:hasattachment>0</m:hasattachment>";
        if (e.to)
            doc += "<m:to>" + *e.to + "</m:to>";
        doc += "<m:from>" + e.from + "</m:from><m:subject>" + e.subject + "</m:subject><m:date>" + e.date
             + "</m:date><D:getcontentlength>321</D:getcontentlength></D:prop>"
               "<D:status>HTTP/1.1 200 OK</D:status></D:propstat>\r\n";
        if (!e.to) // a property the server does not have comes back empty, under 404
            doc += "  <D:propstat><D:prop><m:to/></D:prop><D:status>HTTP/1.1 404 Not Found</D:status></D:propstat>\r\n";
        doc += " </D:response>\r\n";
    }
    return doc + "</D:multistatus>\r\n";
}

QByteArray rawMail(int n)
{
    return "Message-ID: <hm" + QByteArray::number(n) + "@hotmail.test>\r\n"
           "From: Alice <alice@example.org>\r\nTo: bob@hotmail.com\r\n"
           "Subject: Raw subject " + QByteArray::number(n) + "\r\n"
           "Date: Sun, 6 Dec 2026 10:0" + QByteArray::number(n) + ":00 +0000\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n\r\n"
           "Body of message " + QByteArray::number(n) + ".\r\nSecond line.\r\n";
}

const QStringList kRecordNames = {"Server", "User", "POP3Id", "From", "To", "Date", "Subject", "Content"};

/// One check as data: the account, the inbox's entries and what is stored, then the distinct
/// requests made ("METHOD path", in order). The entries not stored must arrive, in order.
struct Dialogue
{
    QString user = kUser;
    QList<Entry> entries;
    QStringList known;
    bool headersOnly = false;
    QList<QByteArray> requests;
};
}
Q_DECLARE_METATYPE(Dialogue)

/// The HTTPMail receiver on a worker thread against a scripted HTTP server on the test's thread.
class TestCHotmail : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
        RegisterHttpMailWorkers();
    }

    void init()
    {
        m_home = std::make_unique<TestHome>();
        QVERIFY(m_home->isValid());
        m_http = std::make_unique<ScriptedHttpServer>();
        QVERIFY(m_http->listen());
        m_http->requireCredentials(kUser.toUtf8(), kPassword.toUtf8());
        // The service endpoints of this test: the scripted server.
        const QJsonObject httpmail{{"hotmailDomain", "hotmail.com"},
                                   {"msnDomain", "msn.com"},
                                   {"hotmailEndpoint", m_http->url(kHotmailRoot)},
                                   {"msnEndpoint", m_http->url(kMsnRoot)},
                                   {"schemaNamespace", kSchema}};
        m_services = QJsonObject{{"httpmail", httpmail}};
        QVERIFY(writeServices(m_services));
        m_run = std::make_unique<ReceiverRun>(m_home->log());
    }

    void cleanup()
    {
        QVERIFY(ThreadRunner::WaitForAll(30000));
        // Whatever happened, the password never reaches the log.
        QVERIFY(!m_home->logText().contains(kPassword));
        m_run.reset();
        m_http.reset();
        m_home.reset();
    }

    void parseMailListKeepsDocumentOrder()
    {
        // The third entry has no subject element at all: the document-order list is shorter,
        // and entry i takes the i-th subject of the document.
        const QByteArray doc =
            "<D:multistatus xmlns:D='DAV:' xmlns:m='urn:schemas:mailheader:' xmlns:x='urn:schemas:mailheader:'>"
            "<D:response><D:href> /a/1 </D:href><D:prop><m:subject>one</m:subject><m:date>2026-01-02T03:04:05</m:date></D:prop></D:response>"
            "<D:response><D:href>/a/2</D:href><D:prop><x:subject>t&amp;wo</x:subject></D:prop></D:response>"
            "<D:response><D:href>/a/3</D:href><D:prop></D:prop></D:response>"
            "<other:subject xmlns:other='urn:other'>not a header</other:subject>"
            "</D:multistatus>";
        CHotmail::MailList list;
        QString error;
        QVERIFY2(CHotmail::ParseMailList(doc, list, &error), qPrintable(error));
        QCOMPARE(list.hrefs, QStringList({"/a/1", "/a/2", "/a/3"}));
        QCOMPARE(list.subjects, QStringList({"one", "t&wo"}));
        QCOMPARE(list.dates, QStringList({"2026-01-02T03:04:05"}));
        // Which entry is the first unknown one, and its fields by index: dialogues.
    }

    void parseMailListRejects_data()
    {
        QTest::addColumn<QByteArray>("doc");
        QTest::addColumn<QString>("why"); // a part of the error, empty: not compared
        // A document type declaration at all: failures' list-with-doctype. Any reader error:
        QTest::newRow("undeclared-entity")
            << QByteArray("<D:multistatus xmlns:D='DAV:'><D:response><D:href>&x;</D:href></D:response></D:multistatus>")
            << QString();
        QByteArray deep = "<?xml version='1.0'?><D:multistatus xmlns:D='DAV:' xmlns:m='urn:schemas:mailheader:'>"
                          "<D:response><D:href>/folders/inbox/MSG6001.eml</D:href><D:propstat><D:prop>";
        deep += QByteArray("<m:subject>").repeated(1000) + QByteArray(200 * 1024, 'x')
              + QByteArray("</m:subject>").repeated(1000) + "</D:prop></D:propstat></D:response></D:multistatus>";
        QTest::newRow("depth-1000-200-kb") << deep << QStringLiteral("deep");
    }

    void parseMailListRejects()
    {
        QFETCH(QByteArray, doc);
        QFETCH(QString, why);
        CHotmail::MailList list;
        QString error;
        QVERIFY(!CHotmail::ParseMailList(doc, list, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY2(error.contains(why), qPrintable(error));
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<Response>("response");
        QTest::addColumn<qint32>("number");      // 0: not compared
        QTest::addColumn<QString>("description"); // ending in "...": the start of it
        QTest::addColumn<QString>("source");      // empty: not compared
        const QString invalid = QStringLiteral("Invalid response. "), check = QStringLiteral("CHotmail.CheckResponse");
        auto root = [](const char *name, const Response &response, const QString &description, const QString &source = {}) {
            QTest::newRow(name) << QByteArray("PROPFIND") << kHotmailRoot << response << qint32(MUError::Fail)
                                << description << source;
        };
        // The root answer names no inbox.
        root("root-without-inbox-element",
             xml("<D:multistatus xmlns:D='DAV:' xmlns:hm='urn:schemas:httpmail:'><D:response><D:propstat><D:prop>"
                 "<hm:sendmsg>/x</hm:sendmsg></D:prop></D:propstat></D:response></D:multistatus>"),
             invalid);
        root("root-inbox-text-never-ends", xml("<hm:inbox>http://127.0.0.1/folders/inbox/"), invalid);
        root("root-empty-inbox-address", xml("<hm:inbox></hm:inbox>"), invalid);
        // The root answer is refused: the status text (any status but 2xx alike), or the server's own reason.
        root("root-401-empty-body-with-dav-error", status(401, "Unauthorized", {}, "Account is blocked"), "Account is blocked",
             check);
        root("root-407-with-body", status(407, "Proxy Authentication Required", "<html>proxy</html>", "ignored"),
             "Proxy Authentication Required", check);
        root("root-500-error-page-with-body", status(500, "Internal Server Error", "<html>inbox>trap<</html>"),
             "Internal Server Error", check);
        root("root-2xx-empty-body", status(207, "Multi-Status"), "Multi-Status", check);
        // The list is refused before anything is fetched (the parser's refusals are parseMailListRejects').
        QTest::newRow("list-with-doctype")
            << QByteArray("PROPFIND") << kInbox
            << xml("<?xml version='1.0'?><!DOCTYPE D:multistatus [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;'>]>"
                   "<D:multistatus xmlns:D='DAV:'><D:response><D:href>/x/&b;</D:href></D:response></D:multistatus>")
            << 0 << MessageTable::Text(527) + "..." << QString();
        // A message that cannot be fetched posts no message (the answer's rules are the root's).
        QTest::newRow("get-404-error-page") << QByteArray("GET") << kInbox + "MSG3001.eml"
                                            << status(404, "Not Found", "<html>gone</html>") << 0 << "Not Found"
                                            << QString();
    }

    void failures()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(Response, response);
        QFETCH(qint32, number);
        QFETCH(QString, description);
        QFETCH(QString, source);
        scriptInbox({{"MSG3001.eml", "bob@hotmail.com", "alice@example.org", "Broken", "2026-12-06T10:00:00"}});
        m_http->on(method, path, response);
        start(kUser);
        QVERIFY(m_run->finish(60000));
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        const PostedError error = m_run->error();
        QCOMPARE(error.accountId, TestAccounts::kId);
        if (number)
            QCOMPARE(error.number, number);
        if (!source.isEmpty())
            QCOMPARE(error.source, source);
        if (const qsizetype dots = description.indexOf(QLatin1String("...")); dots >= 0)
            QVERIFY2(error.description.startsWith(description.left(dots)) && error.description.contains(description.mid(dots + 3)),
                     qPrintable(error.description));
        else
            QCOMPARE(error.description, description);
        QVERIFY(m_run->arrived.isEmpty());
        // A refused root answer goes no further.
        if (path == kHotmailRoot)
            QCOMPARE(m_http->countOf("PROPFIND", kInbox), 0);
    }

    void dialogues_data()
    {
        QTest::addColumn<Dialogue>("d");
        auto row = [](const char *name, const Dialogue &d) { QTest::newRow(name) << d; };
        const QByteArray root = "PROPFIND " + kHotmailRoot, list = "PROPFIND " + kInbox, get = "GET " + kInbox;
        const Entry one{"MSG1001.eml", "bob@hotmail.com", "Alice &lt;alice@example.org&gt;", "Lunch at noon",
                        "2026-12-06T10:01:00", rawMail(1)};
        Entry two{"MSG1002.eml", "bob@hotmail.com", "carol@example.org", "Re: Tickets", "2026-12-06T11:02:00", rawMail(2)};
        // Longer than a message is kept: it arrives cut after a whole line, marked.
        while (two.body.size() <= MessageLimits::KeptBytes)
            two.body += QByteArray(70, 'x') + "\r\n";
        const Entry noTo{"MSG2001.eml", std::nullopt, "alice@example.org", "No recipient", "2026-12-06T09:30:00"};
        const Entry withTo{"MSG2002.eml", "team@example.org", "carol@example.org", "Team", "2026-12-06T09:40:00"};
        // Folder query in a header with an empty body, list query as the body, each message
        // fetched once with its address in a "GET" header.
        row("full-download", {.entries = {one, two}, .known = {"OLDER.eml"},
                              .requests = {root, list, get + "MSG1001.eml", get + "MSG1002.eml"}});
        row("every-message-known-fetches-nothing",
            {.entries = {one, two}, .known = {"MSG1001.eml", "MSG1002.eml"}, .requests = {root, list}});
        // An entry whose To comes back empty under 404 gets the user; the next entry keeps its own.
        row("first-entry-without-to", {.entries = {noTo, withTo}, .headersOnly = true, .requests = {root, list}});
        row("hotmail-address-mixed-case", {.user = "Bob@HotMail.COM", .requests = {root, list}});
        row("msn-address", {.user = "bob@msn.com", .requests = {"PROPFIND " + kMsnRoot, list}});
    }

    void dialogues()
    {
        QFETCH(Dialogue, d);
        m_http->requireCredentials(d.user.toUtf8(), kPassword.toUtf8());
        m_http->on("PROPFIND", kMsnRoot, xml(rootDoc(inboxUrl().toUtf8())));
        scriptInbox(d.entries);
        DataBag known;
        for (const QString &id : std::as_const(d.known))
            known.Add(id, id);
        start(d.user, known, d.headersOnly);
        QVERIFY(m_run->finish());
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->endData.toString(), TestAccounts::kId);
        const QList<ScriptedHttpServer::Request> requests = m_http->requests();
        QList<QByteArray> asked;
        for (const auto &r : requests) {
            if (!asked.contains(r.method + ' ' + r.path))
                asked << r.method + ' ' + r.path;
            if (!r.headers.contains("authorization"))
                continue;
            if (r.path == kHotmailRoot) {
                QVERIFY(r.body.isEmpty());
                QCOMPARE(r.headers.value("propfind"), CHotmail::FolderQuery(kSchema));
            } else if (r.path == kInbox) {
                QCOMPARE(r.body, CHotmail::MailListQuery());
            } else if (r.method == "GET") {
                QCOMPARE(r.headers.value("get"), m_http->url(r.path).toUtf8());
            }
        }
        QCOMPARE(asked, d.requests);
        QList<Entry> fresh;
        for (const Entry &e : std::as_const(d.entries))
            if (!d.known.contains(QString::fromUtf8(e.id)))
                fresh << e;
        QCOMPARE(m_run->arrived.size(), fresh.size());
        for (qsizetype i = 0; i < fresh.size(); ++i) {
            const Entry &e = fresh.at(i);
            const Record &r = m_run->arrived.at(i);
            QCOMPARE(r.names(), d.headersOnly ? kRecordNames.mid(0, 7) : kRecordNames);
            QCOMPARE(r.text("Server"), QStringLiteral("www.hotmail.com"));
            QCOMPARE(r.text("User"), d.user);
            QCOMPARE(r.text("POP3Id"), QString::fromUtf8(e.id));
            QCOMPARE(r.text("From"), QString::fromUtf8(e.from).replace("&lt;", "<").replace("&gt;", ">"));
            QCOMPARE(r.text("To"), e.to ? QString::fromUtf8(*e.to) : d.user);
            QCOMPARE(r.text("Date"), QString::fromUtf8(e.date).replace(QLatin1Char('T'), QLatin1Char(' ')));
            QCOMPARE(r.text("Subject"), QString::fromUtf8(e.subject));
            const QString content = r.text("Content");
            if (d.headersOnly || e.body.size() <= MessageLimits::KeptBytes) {
                // The content is the message as received, byte for byte.
                QCOMPARE(content, QString::fromLatin1(e.body));
            } else {
                QVERIFY(MessageLimits::IsTruncated(content));
                QVERIFY(content.size() <= MessageLimits::KeptBytes + 64);
                QVERIFY(content.endsWith(QStringLiteral("x\r\n")));
            }
        }
    }

    void slowServerIsStopped_data()
    {
        QTest::addColumn<bool>("slowRoot");     // the root answers slowly, else every message
        QTest::addColumn<int>("messages");
        QTest::addColumn<int>("dribbleMs");
        QTest::addColumn<int>("requestMs");     // the limit of one request
        QTest::addColumn<double>("checkLimit"); // seconds for the whole check, 0: the default
        // Each request is bounded as a whole: every byte comes well within the limit, the
        // whole answer far after it (a GET is bounded by the same code as the root's PROPFIND,
        // and a server that never answers sooner than one that dribbles).
        QTest::newRow("root-sends-a-byte-every-20-ms") << true << 1 << 20 << 500 << 0.0;
        // Each answer (some 20 bytes: 200 ms) well within its own limit, the whole download
        // far beyond the check's.
        QTest::newRow("check-as-a-whole") << false << 20 << 10 << 2000 << 0.8;
    }

    void slowServerIsStopped()
    {
        QFETCH(bool, slowRoot);
        QFETCH(int, messages);
        QFETCH(int, dribbleMs);
        QFETCH(int, requestMs);
        QFETCH(double, checkLimit);
        if (checkLimit > 0) {
            QJsonObject services = m_services;
            services.insert(QStringLiteral("checkTimeLimitSeconds"), checkLimit);
            QVERIFY(writeServices(services));
        }
        QList<Entry> entries;
        for (int n = 0; n < messages; ++n)
            entries.append({"MSG5" + QByteArray::number(100 + n) + ".eml", "bob@hotmail.com", "a@example.org", "s",
                            "2026-12-06T10:00:00", "Subject: s\r\n\r\nbody\r\n"});
        scriptInbox(entries);
        Response slow = slowRoot ? xml(rootDoc(inboxUrl().toUtf8())) : status(200, "OK", entries.first().body);
        slow.dribbleMs = dribbleMs;
        if (slowRoot)
            m_http->on("PROPFIND", kHotmailRoot, slow);
        for (const Entry &e : std::as_const(entries))
            m_http->on("GET", kInbox + e.id, slowRoot ? status(200, "OK", e.body) : slow);
        QElapsedTimer clock;
        clock.start();
        start(kUser, {}, false, requestMs);
        QVERIFY(m_run->finish());
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        const double limit = checkLimit > 0 ? checkLimit : requestMs / 1000.0;
        QCOMPARE(m_run->error().description,
                 QStringLiteral("The server is too slow: the check was stopped after %1 seconds.").arg(limit));
        QVERIFY2(clock.elapsed() >= limit * 900 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(m_run->arrived.size() < messages);
    }

    void credentialsStayWithTheEndpoint_data()
    {
        QTest::addColumn<QString>("where");    // "redirect" or "inbox": who names the address
        QTest::addColumn<QString>("target");   // "other-port", "other-host", "other-scheme" or "same"
        QTest::addColumn<bool>("refused");
        QTest::newRow("redirect-to-another-port") << "redirect" << "other-port" << true;
        QTest::newRow("redirect-to-another-host-name") << "redirect" << "other-host" << true;
        QTest::newRow("redirect-to-another-scheme") << "redirect" << "other-scheme" << true;
        QTest::newRow("redirect-within-the-endpoint-followed") << "redirect" << "same" << false;
        QTest::newRow("inbox-on-another-port") << "inbox" << "other-port" << true;
    }

    void credentialsStayWithTheEndpoint()
    {
        QFETCH(QString, where);
        QFETCH(QString, target);
        QFETCH(bool, refused);
        // Another server that would take the credentials, and the same server under another name.
        ScriptedHttpServer other;
        QVERIFY(other.listen());
        other.requireCredentials(kUser.toUtf8(), kPassword.toUtf8());
        const QByteArray moved = "/moved/httpmail.asp";
        const QByteArray path = where == QLatin1String("redirect") ? moved : kInbox;
        QByteArray address;
        if (target == QLatin1String("other-port"))
            address = other.url(path).toUtf8();
        else if (target == QLatin1String("other-host"))
            address = "http://localhost:" + QByteArray::number(m_http->port()) + path;
        else if (target == QLatin1String("other-scheme"))
            address = "https://127.0.0.1:" + QByteArray::number(m_http->port()) + moved;
        else
            address = moved;
        other.on("PROPFIND", moved, xml(rootDoc(other.url(kInbox).toUtf8())));
        other.on("PROPFIND", kInbox, xml(listDoc(other.url(kInbox), {})));
        m_http->on("PROPFIND", moved, xml(rootDoc(inboxUrl().toUtf8())));
        m_http->on("PROPFIND", kInbox, xml(listDoc(inboxUrl(), {})));
        // A message address on another server is refused by the same check as a redirect.
        if (where == QLatin1String("redirect")) {
            Response redirect = status(302, "Found");
            redirect.headers.append(qMakePair(QByteArray("Location"), address));
            m_http->on("PROPFIND", kHotmailRoot, redirect);
        } else {
            m_http->on("PROPFIND", kHotmailRoot, xml(rootDoc(address)));
        }
        start(kUser);
        QVERIFY(m_run->finish());
        QCOMPARE(other.requests().size(), 0); // nothing at all, credentials least of all, went there
        if (!refused) {
            QVERIFY(m_run->completed());
            QVERIFY(m_http->countOf("PROPFIND", moved) >= 1);
            return;
        }
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        const QString description = m_run->error().description;
        QVERIFY2(description.contains(QString::fromUtf8(address.left(address.indexOf('/', 8))))
                     && description.contains(QStringLiteral("password is sent only to ") + m_http->url({})),
                 qPrintable(description));
        QCOMPARE(m_http->countOf("PROPFIND", moved), 0);
        QCOMPARE(m_http->countOf("PROPFIND", kInbox), 0);
        QVERIFY(m_run->arrived.isEmpty());
    }

    void cancellationDuringARequest()
    {
        scriptInbox({{"MSG4001.eml", "bob@hotmail.com", "alice@example.org", "Slow", "2026-12-06T10:00:00"},
                     {"MSG4002.eml", "bob@hotmail.com", "alice@example.org", "Never", "2026-12-06T10:05:00"}});
        Response silent;
        silent.silent = true;
        m_http->on("GET", kInbox + "MSG4001.eml", silent);
        const QString name = TestAccounts::kId + QStringLiteral("RC1");
        CancelEventPtr cancel = CancelEvent::Create(name);
        cancel->Reset();
        connect(m_http.get(), &ScriptedHttpServer::requestReceived, this,
                [cancel](const QByteArray &method, const QByteArray &path) {
                    if (method == "GET" && path.endsWith("MSG4001.eml"))
                        cancel->Signal();
                });
        // A long transfer limit: only the cancel event can end this wait within 10 s.
        start(kUser, {}, false, /*timeoutMs*/ 60000, name);
        QTRY_VERIFY_WITH_TIMEOUT(ThreadRunner::RunningCount() == 0, 10000);
        QCoreApplication::processEvents(); // deliver anything still queued
        QCOMPARE(m_run->endMsg, 0);             // neither 2 nor 3 after a cancellation
        QVERIFY(m_run->arrived.isEmpty());
        QCOMPARE(m_http->countOf("GET", kInbox + "MSG4002.eml"), 0);
    }

    /// A self-signed certificate made for this test: no system trust store knows it. (No server
    /// at all is the same failure without an answer; only the account checker tells it apart.)
    void untrustedEndpointCertificate()
    {
        TestCertificates certificates;
        QString whyNot;
        if (!certificates.make(&whyNot))
            QSKIP(qPrintable(whyNot));
        QFile certFile(certificates.selfSignedCert()), keyFile(certificates.selfSignedKey());
        QVERIFY(certFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly));
        ScriptedHttpServer https;
        QVERIFY(https.listenTls(QSslCertificate(certFile.readAll()), QSslKey(keyFile.readAll(), QSsl::Rsa)));
        https.on("PROPFIND", kHotmailRoot, xml(rootDoc("/folders/inbox/")));
        QVERIFY(writeServices({{"httpmail", QJsonObject{{"hotmailDomain", "hotmail.com"},
                                                        {"hotmailEndpoint", https.url(kHotmailRoot)}}}}));
        start(kUser);
        QVERIFY(m_run->finish());
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        QCOMPARE(m_run->error().number, MUError::Fail);
        QVERIFY2(m_run->error().description.contains(QLatin1String("certificate"), Qt::CaseInsensitive),
                 qPrintable(m_run->error().description));
        QVERIFY(https.requests().isEmpty()); // nothing, credentials least of all, crossed the refused handshake
    }

private:
    void start(const QString &user, const DataBag &known = {}, bool dontReceiveContent = false,
               int timeoutMs = 10000, const QString &cancelName = {});
    void scriptInbox(const QList<Entry> &entries);
    QString inboxUrl() const { return m_http->url(kInbox); }

    bool writeServices(const QJsonObject &services)
    {
        return m_home->writeFile(QStringLiteral("services.json"), QJsonDocument(services).toJson());
    }

    std::unique_ptr<TestHome> m_home;
    QJsonObject m_services;
    std::unique_ptr<ScriptedHttpServer> m_http;
    std::unique_ptr<ReceiverRun> m_run;
};

void TestCHotmail::start(const QString &user, const DataBag &known, bool dontReceiveContent, int timeoutMs,
                         const QString &cancelName)
{
    m_run->clear();
    DataBag data;
    data.Add(QVariant::fromValue(known), QStringLiteral("ReceivedMsgIds"));
    data.Add(dontReceiveContent, QStringLiteral("DontReceiveContent"));
    if (!cancelName.isEmpty())
        data.Add(cancelName, QStringLiteral("CancelEvent"));
    data.Add(timeoutMs, QStringLiteral("RequestTimeoutMs"));
    m_run->start(TestAccounts::mailbox(QStringLiteral("www.hotmail.com"), 110, user, kPassword), data,
                 QStringLiteral("MUCustom.CHotmail"));
}

void TestCHotmail::scriptInbox(const QList<Entry> &entries)
{
    m_http->on("PROPFIND", kHotmailRoot, xml(rootDoc(inboxUrl().toUtf8())));
    m_http->on("PROPFIND", kInbox, xml(listDoc(inboxUrl(), entries)));
    for (const Entry &e : entries) {
        if (!e.body.isEmpty())
            m_http->on("GET", kInbox + e.id, status(200, "OK", e.body));
    }
}

QTEST_GUILESS_MAIN(TestCHotmail)

#include "tst_chotmail.moc"
