#include "DovecotFixture.h"
#include "FakePop3Server.h"
#include "ScriptedHttpServer.h"
#include "TestHome.h"
#include "receive/CArriveShell.h"
#include "receive/CCheckMB.h"
#include "trellis/MessageTable.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QTest>
#include <QTimer>

using Action = FakePop3Server::Action;
using Response = ScriptedHttpServer::Response;
Q_DECLARE_METATYPE(ScriptedHttpServer::Response)

namespace {
const QByteArray kHotmailRoot = "/svcs/hotmail/httpmail.asp";
const QString kHttpUser = QStringLiteral("Someone@HotMail.COM");
/// The HTTPMail endpoints' host: the scripted server under a name of its own, so that the
/// POP3 fake (127.0.0.1) is not an HTTPMail server.
const QString kHttpHost = QStringLiteral("localhost");

/// Every (host, port) the checker asked to resolve, in order; thread-safe.
class ProbeLog
{
public:
    void add(const QString &entry)
    {
        QMutexLocker lock(&m_mutex);
        m_entries.append(entry);
    }
    QStringList entries() const
    {
        QMutexLocker lock(&m_mutex);
        return m_entries;
    }

private:
    mutable QMutex m_mutex;
    QStringList m_entries;
};

/// Shells for every mode, all plain: stands in for the TLS shell so the probe order and
/// the STLS choice can be seen without certificates.
std::unique_ptr<CArriveShell> everyModeShell(const QString &) { return std::make_unique<CArriveShell>(); }
/// A build whose shell knows no security mode: only plain probes are made.
std::unique_ptr<CArriveShell> plainOnlyShell(const QString &security)
{
    return security == QLatin1String("None") ? std::make_unique<CArriveShell>() : nullptr;
}
}

/// The account checker against the fake POP3 server and a scripted HTTPMail server (over TLS
/// against Dovecot in tst_tls);
/// every host name goes through the test's resolver, never the real network.
class TestCCheckMB : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
    }

    void init()
    {
        m_home = std::make_unique<TestHome>();
        QVERIFY(m_home->isValid());
        m_log = m_home->log();
        m_pop = std::make_unique<FakePop3Server>();
        m_pop->setCredentials("bob", "secret");
        QVERIFY(m_pop->listen());
        m_http = std::make_unique<ScriptedHttpServer>();
        QVERIFY(m_http->listen());
        m_probes = std::make_shared<ProbeLog>();
        writeConfig(QJsonObject{
            {"httpmail", QJsonObject{{"hotmailDomain", "hotmail.com"},
                                     {"msnDomain", "msn.com"},
                                     {"hotmailEndpoint", httpUrl(kHotmailRoot)},
                                     {"msnEndpoint", httpUrl("/cgi-bin/hmdata")},
                                     {"schemaNamespace", "http://schemas.microsoft.com/hotmail/"}}},
            {"providers", QJsonArray{QJsonObject{{"domains", QJsonArray{"example-mail.test", "example-mail.test.invalid"}},
                                                 {"host", "pop.example-mail.test"},
                                                 {"port", 995},
                                                 {"security", "TLS"}},
                                     QJsonObject{{"domains", QJsonArray{"hotmail.com"}},
                                                 {"host", "pop.hotmail.test"},
                                                 {"port", 110},
                                                 {"security", "None"}}}}});
    }

    void cleanup()
    {
        const QString text = m_home->logText();
        QVERIFY(!text.contains(QLatin1String("PASS secret")));
        QVERIFY(!text.contains(QLatin1String("Http-Pw")));
        m_pop.reset();
        m_http.reset();
        m_log.reset();
        m_home.reset();
    }

    void slowServerIsBounded_data()
    {
        QTest::addColumn<bool>("dribbling");
        QTest::addColumn<QString>("reason");
        // Connected, greeted, then nothing: said as such, not as a failed connection.
        QTest::newRow("silent-after-greeting") << false << MessageTable::Text(533).replace(QLatin1String("%1"), QLatin1String("0.3"));
        // A byte a second keeps the wait limit at bay; the check's time limit does not move.
        QTest::newRow("dribbling-past-the-check-limit") << true << MessageTable::Text(531).replace(QLatin1String("%1"), QLatin1String("1.5"));
    }

    void slowServerIsBounded()
    {
        QFETCH(bool, dribbling);
        QFETCH(QString, reason);
        CCheckMB checker;
        checker.Init(m_log);
        if (dribbling) {
            writeConfig(QJsonObject{{"checkTimeLimitSeconds", 1.5}});
            m_pop->setChunks("PASS", QList<int>(100, 1), 1000);
            m_pop->setAction("PASS", FakePop3Server::Action::Raw, "+OK " + QByteArray(90, 'z') + "\r\n");
            checker.setWaitLimit(5000);
        } else {
            m_pop->setSilentAfterGreeting(true);
            checker.setWaitLimit(300);
        }
        QElapsedTimer clock;
        clock.start();
        QString why;
        QVERIFY(!checker.CheckMB(m_pop->host(), QStringLiteral("bob"), QStringLiteral("secret"), m_pop->port(), &why));
        QCOMPARE(why, reason);
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
    }

    void neverGreetingProbeIsBounded()
    {
        m_pop->setNeverGreet(true);
        CCheckMB checker;
        checker.Init(m_log);
        checker.setProbeLimit(300);
        useResolver(checker, {{QStringLiteral("pop.slow.test:110"), m_pop->port()}});
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!checker.IsValidHTTPServer(QStringLiteral("pop.slow.test")));
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(m_pop->connectionCount(), 1);
        QCOMPARE(m_pop->commands(), QList<QByteArray>());
    }

    void callerStaysResponsiveAndCallsDoNotOverlap()
    {
        m_pop->setSilentAfterGreeting(true);
        CCheckMB checker;
        checker.Init(m_log);
        checker.setWaitLimit(600);
        int ticks = 0;
        bool overlapRefused = false;
        QString overlapReason;
        QTimer timer;
        timer.setInterval(20);
        connect(&timer, &QTimer::timeout, this, [&] {
            if (++ticks == 3) {
                // An event handled while the check runs may not start a second one.
                overlapRefused = !checker.CheckMB(m_pop->host(), QStringLiteral("bob"), QStringLiteral("secret"),
                                                  m_pop->port(), &overlapReason);
            }
        });
        timer.start();
        QVERIFY(!checker.CheckMB(m_pop->host(), QStringLiteral("bob"), QStringLiteral("secret"), m_pop->port()));
        timer.stop();
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
        QVERIFY(overlapRefused);
        QCOMPARE(overlapReason, QStringLiteral("Another account check is still running. "));
        QCOMPARE(m_pop->connectionCount(), 1);
    }

    void httpMailPathForEndpointHost_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<bool>("serverThere");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QString>("reason");
        Response ok;
        ok.status = 207;
        ok.reason = "Multi-Status";
        ok.body = "<D:multistatus xmlns:D='DAV:'><hm:inbox xmlns:hm='urn:schemas:httpmail:'>/inbox/</hm:inbox></D:multistatus>";
        Response refused;
        refused.status = 401;
        refused.reason = "Unauthorized";
        Response errorPage;
        errorPage.status = 500;
        errorPage.reason = "Internal Server Error";
        errorPage.body = "<html>down</html>";
        const QString notFound = QStringLiteral("Account 'Someone@HotMail.COM' not found or invalid password. ");
        QTest::newRow("accepted") << ok << true << true << QString();
        QTest::newRow("401-empty-body") << refused << true << false << notFound + QStringLiteral("Unauthorized");
        QTest::newRow("500-page-with-body") << errorPage << true << false << notFound + QStringLiteral("Internal Server Error");
        QTest::newRow("no-server-gives-no-reason") << ok << false << false << QString();
    }

    void httpMailPathForEndpointHost()
    {
        QFETCH(Response, response);
        QFETCH(bool, serverThere);
        QFETCH(bool, expected);
        QFETCH(QString, reason);
        m_http->requireCredentials(kHttpUser.toUtf8(), "Http-Pw");
        m_http->on("PROPFIND", kHotmailRoot, response);
        if (!serverThere) {
            writeConfig(QJsonObject{{"httpmail", QJsonObject{{"hotmailDomain", "hotmail.com"},
                                                             {"hotmailEndpoint", QStringLiteral("http://%1:%2/x")
                                                                                     .arg(kHttpHost).arg(DovecotFixture::freePort())}}}});
        }
        CCheckMB checker;
        checker.Init(m_log);
        QString why = QStringLiteral("stale");
        // The server named is an endpoint's host, written in another case.
        QCOMPARE(checker.CheckMB(QStringLiteral("LocalHost"), kHttpUser, QStringLiteral("Http-Pw"), m_pop->port(), &why),
                 expected);
        QCOMPARE(why, reason);
        QCOMPARE(m_pop->connectionCount(), 0);
        if (serverThere) {
            QVERIFY(m_http->countOf("PROPFIND", kHotmailRoot) >= 1);
            const auto requests = m_http->requests();
            QVERIFY(requests.last().headers.value("propfind").contains("<hm:inbox/>"));
            QVERIFY(requests.last().body.isEmpty());
        } else {
            QVERIFY(!checker.lastError().isEmpty());
        }
    }

    void receiverChosenByServer_data()
    {
        QTest::addColumn<QString>("address");  // the account's e-mail address
        QTest::addColumn<bool>("autodetect");  // the server from FindServer, else the POP3 fake named directly
        QTest::addColumn<QString>("logon");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("reason");   // empty: accepted
        QTest::addColumn<bool>("httpMail");    // the test goes to the HTTPMail endpoint
        const QString pw = QStringLiteral("secret");
        QTest::newRow("pop3-accepted") << "bob@example.org" << false << "bob" << pw << QString() << false;
        QTest::newRow("pop3-rejected-password-with-server-reason")
            << "bob@example.org" << false << "bob" << "wrong" << "[AUTH] Authentication failed." << false;
        // A Hotmail or MSN address on a POP3 host is tested over POP3 (the provider table's answer).
        QTest::newRow("hotmail-address-autodetected-pop3-host")
            << "bob@hotmail.com" << true << "bob@hotmail.com" << pw << QString() << false;
        QTest::newRow("hotmail-address-on-pop3-host") << "bob@hotmail.com" << false << "Bob@HotMail.com" << pw << QString() << false;
        QTest::newRow("msn-address-on-pop3-host") << "bob@msn.com" << false << "bob@msn.com" << pw << QString() << false;
        // Only a domain without a table row gets the endpoint's host, and is tested there.
        QTest::newRow("msn-address-autodetected-endpoint-host") << "bob@msn.com" << true << "bob@msn.com" << pw << QString() << true;
    }

    void receiverChosenByServer()
    {
        QFETCH(QString, address);
        QFETCH(bool, autodetect);
        QFETCH(QString, logon);
        QFETCH(QString, password);
        QFETCH(QString, reason);
        QFETCH(bool, httpMail);
        m_pop->setCredentials(logon.toUtf8(), "secret");
        m_http->requireCredentials(logon.toUtf8(), "secret");
        Response ok;
        ok.status = 207;
        ok.body = "<D:multistatus xmlns:D='DAV:'><hm:inbox xmlns:hm='urn:schemas:httpmail:'>/inbox/</hm:inbox></D:multistatus>";
        m_http->on("PROPFIND", "/cgi-bin/hmdata", ok);
        CCheckMB checker;
        checker.Init(m_log);
        useResolver(checker, {{QStringLiteral("pop.hotmail.test:110"), m_pop->port()},
                              {m_pop->host() + QLatin1Char(':') + QString::number(m_pop->port()), m_pop->port()}});
        CCheckMB::ServerChoice server{m_pop->host(), m_pop->port(), QStringLiteral("None"), false};
        if (autodetect) {
            server = checker.FindServer(address.section(QLatin1Char('@'), 1));
            QCOMPARE(server.httpMail, httpMail);
        }
        QString why = QStringLiteral("stale");
        QCOMPARE(checker.CheckMB(server.host, logon, password, server.port, &why, server.security), reason.isEmpty());
        QCOMPARE(why, reason);
        QCOMPARE(m_http->requests().isEmpty(), !httpMail);
        QCOMPARE(m_pop->connectionCount() == 0, httpMail);
        if (!httpMail)
            QTRY_COMPARE(m_pop->commands(), (QList<QByteArray>{"USER " + logon.toUtf8(), "PASS " + password.toUtf8(), "QUIT"}));
    }

    void knownDomainProbesNothing_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("host"); // empty: the HTTPMail endpoint's host
        QTest::addColumn<int>("port");     // 0: the HTTPMail endpoint's port
        QTest::addColumn<QString>("security");
        QTest::newRow("table-domain-in-upper-case") << "EXAMPLE-MAIL.TEST" << "pop.example-mail.test" << 995 << "TLS";
        QTest::newRow("httpmail-domain-gives-web-host") << "MSN.com" << QString() << 0 << QString();
    }

    void knownDomainProbesNothing()
    {
        QFETCH(QString, domain);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, security);
        CCheckMB checker;
        checker.Init(m_log);
        useResolver(checker, {});
        const CCheckMB::ServerChoice choice = checker.FindServer(domain);
        QCOMPARE(choice.host, host.isEmpty() ? kHttpHost : host);
        QCOMPARE(choice.port, port ? port : int(m_http->port()));
        QCOMPARE(choice.httpMail, host.isEmpty());
        if (!host.isEmpty()) {
            QCOMPARE(choice.security, security);
            QCOMPARE(checker.POPServerByEmailSuffix(QStringLiteral("Example-Mail.Test")), host);
        }
        QCOMPARE(m_probes->entries(), QStringList()); // a table hit probes nothing
    }

    void unknownDomainWhereOnlyMailAnswers_data()
    {
        QTest::addColumn<int>("shells"); // 0 the real ones, 1 plain only, 2 plain for every mode
        QTest::addColumn<bool>("tlsPortIsPlainServer");
        QTest::addColumn<QByteArray>("capa"); // raw CAPA answer, empty: the fake's own
        QTest::addColumn<QStringList>("probes");
        QTest::addColumn<QString>("security");
        const QStringList everyMode{"pop.murmelo.test:995", "pop.murmelo.test:110", "pop3.murmelo.test:995",
                                    "pop3.murmelo.test:110", "mail.murmelo.test:995", "mail.murmelo.test:110"};
        QTest::newRow("plain-shell-only")
            << 1 << false << QByteArray()
            << QStringList{"pop.murmelo.test:110", "pop3.murmelo.test:110", "mail.murmelo.test:110"}
            << QStringLiteral("None");
        QTest::newRow("tls-shells-probe-995-first") << 2 << false << QByteArray() << everyMode << QStringLiteral("None");
        QTest::newRow("stls-offered-on-110") << 2 << false << QByteArray("+OK\r\nUSER\r\nSTLS\r\nTOP\r\n.\r\n")
                                             << everyMode << QStringLiteral("STARTTLS");
        // The real TLS shell meets a plain-text server on 995: the handshake fails, 110 follows.
        QTest::newRow("real-tls-probe-meets-plain-server") << 0 << true << QByteArray() << everyMode << QStringLiteral("None");
    }

    void unknownDomainWhereOnlyMailAnswers()
    {
        QFETCH(int, shells);
        QFETCH(bool, tlsPortIsPlainServer);
        QFETCH(QByteArray, capa);
        QFETCH(QStringList, probes);
        QFETCH(QString, security);
        if (!capa.isEmpty())
            m_pop->setAction("CAPA", Action::Raw, capa);
        CCheckMB checker;
        checker.Init(m_log);
        if (shells == 1)
            checker.setShellFactory(&plainOnlyShell);
        else if (shells == 2)
            checker.setShellFactory(&everyModeShell);
        // mail.murmelo.test exists, but only its port 110 speaks POP3.
        useResolver(checker, {{QStringLiteral("mail.murmelo.test:110"), m_pop->port()},
                              {QStringLiteral("mail.murmelo.test:995"), tlsPortIsPlainServer ? m_pop->port() : DovecotFixture::freePort()}});
        const CCheckMB::ServerChoice choice = checker.FindServer(QStringLiteral("Murmelo.Test"));
        QCOMPARE(choice.host, QStringLiteral("mail.murmelo.test"));
        QCOMPARE(choice.port, 110);
        QCOMPARE(choice.security, security);
        QCOMPARE(choice.protocol, QStringLiteral("POP3"));
        // IMAP is looked for first: 993 with TLS, then 143 with STARTTLS.
        QCOMPARE(m_probes->entries(), QStringList({"imap.murmelo.test:993", "imap.murmelo.test:143",
                                                   "mail.murmelo.test:993", "mail.murmelo.test:143"})
                                          + probes);
        // A probe only greets, asks for the capabilities and leaves: no login.
        QTRY_COMPARE(m_pop->commands().mid(m_pop->commands().size() - 2), QList<QByteArray>({"CAPA", "QUIT"}));
        if (!tlsPortIsPlainServer)
            QCOMPARE(m_pop->commands().size(), 2);
        QCOMPARE(m_pop->countOf("USER"), 0);
        QCOMPARE(m_pop->countOf("PASS"), 0);
    }

    void unknownDomainWhereNothingAnswers()
    {
        CCheckMB checker;
        checker.Init(m_log);
        useResolver(checker, {});
        QCOMPARE(checker.POPServerByEmailSuffix(QStringLiteral("nowhere.test")), QString());
        QCOMPARE(m_probes->entries(),
                 QStringList({"imap.nowhere.test:993", "imap.nowhere.test:143", "mail.nowhere.test:993",
                              "mail.nowhere.test:143", "pop.nowhere.test:995", "pop.nowhere.test:110", "pop3.nowhere.test:995",
                              "pop3.nowhere.test:110", "mail.nowhere.test:995", "mail.nowhere.test:110",
                              "pop.mail.nowhere.test:995", "pop.mail.nowhere.test:110",
                              "pop3.mail.nowhere.test:995", "pop3.mail.nowhere.test:110"}));
        // Nothing to build host names from: no probe at all.
        QCOMPARE(checker.POPServerByEmailSuffix(QStringLiteral("bad domain/x")), QString());
        QCOMPARE(checker.POPServerByEmailSuffix(QString()), QString());
        QCOMPARE(m_probes->entries().size(), 14);
    }

    void logonNameByServerAndEmail_data()
    {
        QTest::addColumn<QByteArray>("serverUser");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QList<QByteArray>>("users"); // the USER commands sent, in order
        QTest::addColumn<bool>("onHttpMailHost");
        QTest::newRow("full-address-accepted")
            << QByteArray("bob@murmelo.test") << QStringLiteral(" bob@murmelo.test ") << QStringLiteral("bob@murmelo.test")
            << QList<QByteArray>{"USER bob@murmelo.test"} << false;
        QTest::newRow("local-part-accepted") << QByteArray("bob") << QStringLiteral("bob@murmelo.test")
                                             << QStringLiteral("bob")
                                             << QList<QByteArray>{"USER bob@murmelo.test", "USER bob"} << false;
        QTest::newRow("neither-accepted") << QByteArray("carol") << QStringLiteral("bob@murmelo.test") << QString()
                                          << QList<QByteArray>{"USER bob@murmelo.test", "USER bob"} << false;
        QTest::newRow("hotmail-address-on-pop3-host-logs-in")
            << QByteArray("bob@hotmail.com") << QStringLiteral("bob@hotmail.com") << QStringLiteral("bob@hotmail.com")
            << QList<QByteArray>{"USER bob@hotmail.com"} << false;
        QTest::newRow("address-on-httpmail-host-as-it-is") << QByteArray("bob") << QStringLiteral("Bob@Hotmail.com")
                                                           << QStringLiteral("Bob@Hotmail.com") << QList<QByteArray>{} << true;
    }

    void logonNameByServerAndEmail()
    {
        QFETCH(QByteArray, serverUser);
        QFETCH(QString, email);
        QFETCH(QString, expected);
        QFETCH(QList<QByteArray>, users);
        QFETCH(bool, onHttpMailHost);
        m_pop->setCredentials(serverUser, "secret");
        CCheckMB checker;
        checker.Init(m_log);
        const QString server = onHttpMailHost ? kHttpHost : m_pop->host();
        QCOMPARE(checker.LogonNameByServerAndEmail(server, email, QStringLiteral("secret"), m_pop->port()), expected);
        QTRY_COMPARE(m_pop->countOf("QUIT"), int(users.size())); // every attempt logs out
        QList<QByteArray> sent;
        for (const QByteArray &c : m_pop->commands()) {
            if (c.startsWith("USER "))
                sent.append(c);
        }
        QCOMPARE(sent, users);
    }

private:
    void writeConfig(const QJsonObject &config);
    void useResolver(CCheckMB &checker, const QHash<QString, quint16> &map);
    QString httpUrl(const QByteArray &path) const
    {
        return QStringLiteral("http://%1:%2").arg(kHttpHost).arg(m_http->port()) + QString::fromUtf8(path);
    }

    std::unique_ptr<TestHome> m_home;
    LogPtr m_log;
    std::unique_ptr<FakePop3Server> m_pop;
    std::unique_ptr<ScriptedHttpServer> m_http;
    std::shared_ptr<ProbeLog> m_probes;
};

void TestCCheckMB::writeConfig(const QJsonObject &config)
{
    QVERIFY(m_home->writeFile(QStringLiteral("services.json"), QJsonDocument(config).toJson()));
}

void TestCCheckMB::useResolver(CCheckMB &checker, const QHash<QString, quint16> &map)
{
    // "host:port" -> loopback port; anything else is an unknown host.
    checker.setResolver([map, probes = m_probes](const QString &host, quint16 port) -> std::optional<CCheckMB::Target> {
        const QString key = host + QLatin1Char(':') + QString::number(port);
        probes->add(key);
        if (!map.contains(key))
            return std::nullopt;
        return CCheckMB::Target{QStringLiteral("127.0.0.1"), map.value(key)};
    });
}

QTEST_GUILESS_MAIN(TestCCheckMB)

#include "tst_ccheckmb.moc"
