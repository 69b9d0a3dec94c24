#include "DovecotFixture.h"
#include "FakePop3Server.h"
#include "ScriptedHttpServer.h"
#include "TestHome.h"
#include "receive/CArriveShell.h"
#include "receive/CCheckMB.h"
#include "trellis/MessageTable.h"
#include "trellis/MetaTypes.h"
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimer>

using Action = FakePop3Server::Action;
using Response = ScriptedHttpServer::Response;
Q_DECLARE_METATYPE(ScriptedHttpServer::Response)

namespace {
/// The HTTPMail endpoints' host: the scripted server under a name of its own, so that the
/// POP3 fake (127.0.0.1) is not an HTTPMail server.
const QString kHttpHost = QStringLiteral("localhost");

/// A build whose shell knows no security mode: only plain probes are made.
std::unique_ptr<CArriveShell> plainOnlyShell(const QString &security)
{
    return security == QLatin1String("None") ? std::make_unique<CArriveShell>() : nullptr;
}
}

/// The account checker against the fake POP3 server and a scripted HTTPMail server (over TLS
/// against Dovecot in tst_tls); every host name goes through the test's resolver, never the
/// real network. The HTTPMail exchange itself is tst_chotmail's.
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
        m_probes = std::make_shared<QStringList>();
        writeConfig(QJsonObject{
            {"httpmail", QJsonObject{{"hotmailDomain", "hotmail.com"},
                                     {"msnDomain", "msn.com"},
                                     {"hotmailEndpoint", httpUrl("/svcs/hotmail/httpmail.asp")},
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
        // No password, right or wrong, over POP3 or HTTPMail, reached the log.
        const QString text = m_home->logText();
        QVERIFY(!text.contains(QLatin1String("secret")) && !text.contains(QLatin1String("PASS wrong")));
        m_pop.reset();
        m_http.reset();
        m_log.reset();
        m_home.reset();
    }

    void dribblingServerIsStoppedAtTheCheckLimit()
    {
        // A byte a second keeps the wait limit at bay; the check's time limit does not move.
        writeConfig(QJsonObject{{"checkTimeLimitSeconds", 1.5}});
        m_pop->setStreamChunks({1}, 1000);
        CCheckMB checker;
        checker.Init(m_log);
        checker.setWaitLimit(5000);
        QElapsedTimer clock;
        clock.start();
        QString why;
        QVERIFY(!checker.CheckMB(m_pop->host(), QStringLiteral("bob"), QStringLiteral("secret"), m_pop->port(), &why));
        QCOMPARE(why, MessageTable::Text(531).replace(QLatin1String("%1"), QLatin1String("1.5")));
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
        QString why;
        QVERIFY(!checker.CheckMB(m_pop->host(), QStringLiteral("bob"), QStringLiteral("secret"), m_pop->port(), &why));
        timer.stop();
        // Connected, greeted, then nothing: said as such, not as a failed connection.
        QCOMPARE(why, MessageTable::Text(533).replace(QLatin1String("%1"), QLatin1String("0.6")));
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
        QVERIFY(overlapRefused);
        QCOMPARE(overlapReason, QStringLiteral("Another account check is still running. "));
        QCOMPARE(m_pop->connectionCount(), 1);
    }

    void checkGoesToTheServerChosen_data()
    {
        QTest::addColumn<QString>("address");    // the account's e-mail address
        QTest::addColumn<bool>("autodetect");    // the server from FindServer, else the POP3 fake named directly
        QTest::addColumn<QString>("logon");
        QTest::addColumn<QString>("password");
        QTest::addColumn<Response>("httpAnswer"); // status 0: no HTTPMail server there
        QTest::addColumn<QString>("reason");     // empty: accepted, unless no server answered
        QTest::addColumn<bool>("httpMail");      // the check goes to the HTTPMail endpoint
        const QString pw = QStringLiteral("secret");
        const Response ok{207, "OK", {},
                          "<D:multistatus xmlns:D='DAV:'><hm:inbox xmlns:hm='urn:schemas:httpmail:'>/inbox/</hm:inbox>"
                          "</D:multistatus>"};
        QTest::newRow("pop3-accepted") << "bob@example.org" << false << "bob" << pw << ok << QString() << false;
        QTest::newRow("pop3-rejected-password-with-server-reason")
            << "bob@example.org" << false << "bob" << "wrong" << ok << "[AUTH] Authentication failed." << false;
        // A Hotmail address on a POP3 host is tested over POP3 (the provider table's answer): the
        // host decides, never the address.
        QTest::newRow("hotmail-address-autodetected-pop3-host")
            << "bob@hotmail.com" << true << "bob@hotmail.com" << pw << ok << QString() << false;
        // Only a domain without a table row gets the endpoint's host, and is tested there.
        const QString msn = QStringLiteral("bob@msn.com");
        QTest::newRow("msn-address-autodetected-endpoint-host") << msn << true << msn << pw << ok << QString() << true;
        // An error page is a refusal even with a body (as any status but 2xx); no server at all is
        // said without a reason.
        const QString notFound = QStringLiteral("Account 'bob@msn.com' not found or invalid password. ");
        QTest::newRow("endpoint-500-page-with-body") << msn << true << msn << pw
                                                     << Response{500, "Internal Server Error", {}, "<html>down</html>"}
                                                     << notFound + "Internal Server Error" << true;
        QTest::newRow("no-endpoint-server-gives-no-reason")
            << msn << true << msn << pw << Response{0, "OK", {}, {}} << QString() << true;
    }

    void checkGoesToTheServerChosen()
    {
        QFETCH(QString, address);
        QFETCH(bool, autodetect);
        QFETCH(QString, logon);
        QFETCH(QString, password);
        QFETCH(Response, httpAnswer);
        QFETCH(QString, reason);
        QFETCH(bool, httpMail);
        m_pop->setCredentials(logon.toUtf8(), "secret");
        m_http->requireCredentials(logon.toUtf8(), "secret");
        m_http->on("PROPFIND", "/cgi-bin/hmdata", httpAnswer);
        CCheckMB checker;
        checker.Init(m_log);
        useResolver(checker, {{QStringLiteral("pop.hotmail.test:110"), m_pop->port()},
                              {m_pop->host() + QLatin1Char(':') + QString::number(m_pop->port()), m_pop->port()}});
        CCheckMB::ServerChoice server{m_pop->host(), m_pop->port(), QStringLiteral("None"), false};
        if (autodetect) {
            server = checker.FindServer(address.section(QLatin1Char('@'), 1));
            QCOMPARE(server.httpMail, httpMail);
        }
        const bool noServer = httpAnswer.status == 0;
        if (noServer)
            m_http.reset();
        QString why = QStringLiteral("stale");
        QCOMPARE(checker.CheckMB(server.host, logon, password, server.port, &why, server.security),
                 reason.isEmpty() && !noServer);
        QCOMPARE(why, reason);
        QCOMPARE(checker.lastError().isEmpty(), reason.isEmpty() && !noServer);
        QCOMPARE(m_pop->connectionCount() == 0, httpMail);
        if (httpMail && !noServer)
            QVERIFY(m_http->countOf("PROPFIND", "/cgi-bin/hmdata") >= 1);
        if (!httpMail) {
            QVERIFY(m_http->requests().isEmpty());
            QTRY_COMPARE(m_pop->commands(), (QList<QByteArray>{"USER " + logon.toUtf8(), "PASS " + password.toUtf8(), "QUIT"}));
        }
    }

    void serverFoundForDomain_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<bool>("plainOnly"); // a build whose shells know no security mode
        QTest::addColumn<bool>("tlsPortIsPlainServer");
        QTest::addColumn<QByteArray>("capa"); // raw CAPA answer, empty: the fake's own
        QTest::addColumn<bool>("httpMail");   // the HTTPMail endpoint's host and port, not those below
        QTest::addColumn<QString>("host");    // empty: nothing found
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("security");
        QTest::addColumn<QStringList>("probes");
        // A table hit probes nothing; neither does a domain no host name can be built from.
        QTest::newRow("table-domain-in-upper-case") << "EXAMPLE-MAIL.TEST" << false << false << QByteArray() << false
                                                    << "pop.example-mail.test" << 995 << "TLS" << QStringList();
        QTest::newRow("httpmail-domain-gives-web-host") << "MSN.com" << false << false << QByteArray() << true << QString()
                                                        << 0 << "None" << QStringList();
        QTest::newRow("implausible-domain") << "bad domain/x" << false << false << QByteArray() << false << QString() << 0
                                            << QString() << QStringList();
        // mail.murmelo.test exists, but only its port 110 speaks POP3. IMAP is looked for first:
        // 993 with TLS, then 143 with STARTTLS.
        auto probes = [](const char *domain, const QStringList &pop3) {
            QStringList out;
            for (const QString &host : QStringList{"imap.%1:993", "imap.%1:143", "mail.%1:993", "mail.%1:143"} + pop3)
                out << host.arg(QLatin1String(domain));
            return out;
        };
        const QStringList everyMode{"pop.%1:995", "pop.%1:110", "pop3.%1:995", "pop3.%1:110", "mail.%1:995", "mail.%1:110"};
        const QString mail = QStringLiteral("mail.murmelo.test");
        QTest::newRow("plain-shell-only") << "Murmelo.Test" << true << false << QByteArray() << false << mail << 110
                                          << "None" << probes("murmelo.test", {"pop.%1:110", "pop3.%1:110", "mail.%1:110"});
        // Nobody on 995: 110 follows, and is used with STLS when it offers it.
        QTest::newRow("stls-offered-on-110") << "Murmelo.Test" << false << false
                                             << QByteArray("+OK\r\nUSER\r\nSTLS\r\nTOP\r\n.\r\n") << false << mail
                                             << 110 << "STARTTLS" << probes("murmelo.test", everyMode);
        // The TLS shell meets a plain-text server on 995: the handshake fails, 110 follows.
        QTest::newRow("tls-probe-meets-plain-server") << "Murmelo.Test" << false << true << QByteArray() << false << mail
                                                      << 110 << "None" << probes("murmelo.test", everyMode);
        QTest::newRow("nothing-answers")
            << "nowhere.test" << false << false << QByteArray() << false << QString() << 0 << QString()
            << probes("nowhere.test", everyMode + QStringList{"pop.mail.%1:995", "pop.mail.%1:110", "pop3.mail.%1:995",
                                                              "pop3.mail.%1:110"});
    }

    void serverFoundForDomain()
    {
        QFETCH(QString, domain);
        QFETCH(bool, plainOnly);
        QFETCH(bool, tlsPortIsPlainServer);
        QFETCH(QByteArray, capa);
        QFETCH(bool, httpMail);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, security);
        QFETCH(QStringList, probes);
        if (!capa.isEmpty())
            m_pop->setAction("CAPA", Action::Raw, capa);
        CCheckMB checker;
        checker.Init(m_log);
        if (plainOnly)
            checker.setShellFactory(&plainOnlyShell);
        useResolver(checker, {{QStringLiteral("mail.murmelo.test:110"), m_pop->port()},
                              {QStringLiteral("mail.murmelo.test:995"), tlsPortIsPlainServer ? m_pop->port() : DovecotFixture::freePort()}});
        const CCheckMB::ServerChoice choice = checker.FindServer(domain);
        QCOMPARE(choice.host, httpMail ? kHttpHost : host);
        QCOMPARE(choice.port, httpMail ? int(m_http->port()) : port);
        QCOMPARE(choice.security, security);
        QCOMPARE(choice.httpMail, httpMail);
        QCOMPARE(choice.protocol, QStringLiteral("POP3"));
        QCOMPARE(*m_probes, probes);
        // A probe only greets, asks for the capabilities and leaves: no login.
        QCOMPARE(m_pop->countOf("USER") + m_pop->countOf("PASS"), 0);
        if (!host.startsWith(QLatin1String("mail.")))
            return;
        QTRY_COMPARE(m_pop->commands().mid(m_pop->commands().size() - 2), QList<QByteArray>({"CAPA", "QUIT"}));
        if (!tlsPortIsPlainServer)
            QCOMPARE(m_pop->commands().size(), 2);
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
        // The local part accepted after the address: tst_accounts' autodetect.
        QTest::newRow("neither-accepted") << QByteArray("carol") << QStringLiteral("bob@murmelo.test") << QString()
                                          << QList<QByteArray>{"USER bob@murmelo.test", "USER bob"} << false;
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
    /// Every "host:port" the checker asked to resolve, in order (written on the checker's
    /// thread, read once it has ended).
    std::shared_ptr<QStringList> m_probes;
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
        probes->append(key);
        if (!map.contains(key))
            return std::nullopt;
        return CCheckMB::Target{QStringLiteral("127.0.0.1"), map.value(key)};
    });
}

QTEST_GUILESS_MAIN(TestCCheckMB)

#include "tst_ccheckmb.moc"
