// Signing in with an OAuth2 access token: the SASL messages against the published examples,
// the exact exchange with the scripted POP3 and IMAP servers (mechanism choice, the server's
// refusals, the token kept out of the log), and the whole check against Dovecot's oauth2 passdb.
#include "FakeImapServer.h"
#include "FakePop3Server.h"
#include "ReceiverRun.h"
#include "TestHome.h"
#include "receive/OAuthDovecot.h"
#include "receive/ReceiveWorkers.h"
#include "receive/Sasl.h"
#include "trellis/MetaTypes.h"
#include <QTest>

namespace {
const QString kToken = QStringLiteral("ya29.token-Of-Bob-7f3a9c");
const TestMail kMail{1, "oauth", {}, {}};
const QByteArray kRefusal = "eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwic2NvcGUiOiJtYWlsIn0="; // {"status":"invalid_token",...}

Record tokenAccount(const QString &server, quint16 port, const QString &user, const QString &token, const QString &protocol)
{
    Record account = TestAccounts::mailbox(server, port, user, token, protocol);
    account.Add(QStringLiteral("Auth"), QStringLiteral("OAuth2"));
    return account;
}

QByteArray initial(Sasl::Mechanism mechanism, const QString &token, quint16 port, const QString &user = QStringLiteral("bob"))
{
    return Sasl::InitialResponse(mechanism, user, token, QStringLiteral("127.0.0.1"), port).toBase64();
}

DataBag nothingReceived()
{
    DataBag data;
    data.Add(QVariant::fromValue(DataBag()), QStringLiteral("ReceivedMsgIds"));
    return data;
}
}

class TestSasl : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void mechanismChosen_data();
    void mechanismChosen();
    void messagesAreThePublishedExamples();
    void pop3Exchanges_data();
    void pop3Exchanges();
    void imapExchanges_data();
    void imapExchanges();
    void dovecotSignsIn_data();
    void dovecotSignsIn();

private:
    void verifyTokenNotLogged(const QString &token);
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ReceiverRun> m_run;
};

void TestSasl::initTestCase()
{
    RegisterTrellisMetaTypes();
    RegisterReceiveWorkers();
}

void TestSasl::init()
{
    // The last test's home restores the environment as it goes: it must go first.
    m_run.reset();
    m_home.reset();
    m_home = std::make_unique<TestHome>();
    QVERIFY(m_home->isValid());
    m_run = std::make_unique<ReceiverRun>(m_home->log());
}

void TestSasl::verifyTokenNotLogged(const QString &token)
{
    const QString log = m_home->logText();
    QVERIFY(!log.isEmpty());
    QVERIFY2(!log.contains(token), qPrintable(log));
    for (auto mechanism : {Sasl::Mechanism::OAuthBearer, Sasl::Mechanism::XOAuth2})
        QVERIFY(!log.contains(QString::fromLatin1(initial(mechanism, token, 1).left(40))));
}

void TestSasl::mechanismChosen_data()
{
    QTest::addColumn<QList<QByteArray>>("offered");
    QTest::addColumn<Sasl::Mechanism>("chosen");
    QTest::newRow("both: the standard one") << QList<QByteArray>{"PLAIN", "XOAUTH2", "OAUTHBEARER"} << Sasl::Mechanism::OAuthBearer;
    QTest::newRow("only XOAUTH2") << QList<QByteArray>{"PLAIN", "XOAUTH2"} << Sasl::Mechanism::XOAuth2;
    QTest::newRow("any letter case") << QList<QByteArray>{"oauthbearer"} << Sasl::Mechanism::OAuthBearer;
    QTest::newRow("passwords only") << QList<QByteArray>{"PLAIN", "LOGIN"} << Sasl::Mechanism::None;
    QTest::newRow("nothing") << QList<QByteArray>{} << Sasl::Mechanism::None;
}

void TestSasl::mechanismChosen()
{
    QFETCH(QList<QByteArray>, offered);
    QFETCH(Sasl::Mechanism, chosen);
    QCOMPARE(Sasl::Choose(offered), chosen);
}

void TestSasl::messagesAreThePublishedExamples()
{
    // RFC 7628 section 4.1, and the provider's documented XOAUTH2 example.
    QCOMPARE(Sasl::InitialResponse(Sasl::Mechanism::OAuthBearer, QStringLiteral("user@example.com"),
                                   QStringLiteral("vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="),
                                   QStringLiteral("server.example.com"), 143)
                 .toBase64(),
             QByteArray("bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9QmVhcmVyIHZGOWRm"
                        "dDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB"));
    QCOMPARE(Sasl::InitialResponse(Sasl::Mechanism::XOAuth2, QStringLiteral("someuser@example.com"),
                                   QStringLiteral("ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"), QString(), 993)
                 .toBase64(),
             QByteArray("dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJo"
                        "ZG1semRHRXVZMjl0Q2cBAQ=="));
    // A user name with "," or "=" cannot end the GS2 header early.
    QVERIFY(Sasl::InitialResponse(Sasl::Mechanism::OAuthBearer, QStringLiteral("a,b=c"), QStringLiteral("t"),
                                  QStringLiteral("h"), 1)
                .startsWith("n,a=a=2Cb=3Dc,\x01"));
    QCOMPARE(Sasl::ParseChallenge(kRefusal).status, QStringLiteral("invalid_token"));
    QCOMPARE(Sasl::ParseChallenge("bm90IGpzb24=").status, QString());
}

void TestSasl::pop3Exchanges_data()
{
    QTest::addColumn<QByteArray>("sasl");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QByteArray>("authReply");
    QTest::addColumn<QList<QByteArray>>("expected"); // after CAPA; "@" stands for the initial response
    QTest::addColumn<QStringList>("error");
    const QString longToken = kToken + QString(300, QLatin1Char('x'));
    QTest::newRow("OAUTHBEARER preferred, token refused")
        << QByteArray("PLAIN XOAUTH2 OAUTHBEARER") << kToken << "+ " + kRefusal + "\r\n"
        << QList<QByteArray>{"AUTH OAUTHBEARER @", "AQ==", "QUIT"}
        << QStringList{QStringLiteral("Sign in again"), QStringLiteral("invalid_token")};
    QTest::newRow("XOAUTH2 alone, empty acknowledgement")
        << QByteArray("PLAIN XOAUTH2") << kToken << "+ " + kRefusal + "\r\n" << QList<QByteArray>{"AUTH XOAUTH2 @", "", "QUIT"}
        << QStringList{QStringLiteral("Sign in again"), QStringLiteral("invalid_token")};
    QTest::newRow("long token in answer to the empty challenge")
        << QByteArray("OAUTHBEARER") << longToken << QByteArray("+ \r\n")
        << QList<QByteArray>{"AUTH OAUTHBEARER", "@", "QUIT"}
        << QStringList{QStringLiteral("Sign in again"), QStringLiteral("Unknown command")};
    QTest::newRow("refused without a challenge")
        << QByteArray("OAUTHBEARER") << kToken << QByteArray("-ERR [AUTH] Authentication failed.\r\n")
        << QList<QByteArray>{"AUTH OAUTHBEARER @", "QUIT"}
        << QStringList{QStringLiteral("Sign in again"), QStringLiteral("[AUTH] Authentication failed.")};
    // A busy server is no verdict on the token: an ordinary failure, the account is not marked.
    QTest::newRow("server busy (RFC 3206)")
        << QByteArray("OAUTHBEARER") << kToken << QByteArray("-ERR [SYS/TEMP] Try again later.\r\n")
        << QList<QByteArray>{"AUTH OAUTHBEARER @", "QUIT"} << QStringList{QStringLiteral("[SYS/TEMP] Try again later.")};
    QTest::newRow("no token mechanism: nothing sent")
        << QByteArray("PLAIN LOGIN") << kToken << QByteArray() << QList<QByteArray>{"QUIT"}
        << QStringList{QStringLiteral("it offers: PLAIN LOGIN")};
}

void TestSasl::pop3Exchanges()
{
    QFETCH(QByteArray, sasl);
    QFETCH(QString, token);
    QFETCH(QByteArray, authReply);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(QStringList, error);
    FakePop3Server server;
    QVERIFY(server.listen());
    server.setCapabilities({"TOP", "UIDL", "USER", "SASL " + sasl});
    if (!authReply.isEmpty())
        server.setAction("AUTH", FakePop3Server::Action::Raw, authReply);
    QVERIFY(m_run->run(tokenAccount(server.host(), server.port(), QStringLiteral("bob"), token, QString()),
                       nothingReceived()));
    const QByteArray first = initial(Sasl::Choose(sasl.split(' ')), token, server.port());
    for (QByteArray &line : expected)
        line.replace("@", first);
    QCOMPARE(server.commands(), QList<QByteArray>{"CAPA"} + expected);
    QVERIFY(m_run->arrived.isEmpty());
    for (const QString &part : std::as_const(error))
        QVERIFY2(m_run->error().description.contains(part), qPrintable(m_run->error().description));
    QCOMPARE(m_run->error().number, error.first() == QLatin1String("Sign in again") ? Sasl::SignInNeeded : MUError::engineNumber(525));
    verifyTokenNotLogged(token);
}

void TestSasl::imapExchanges_data()
{
    QTest::addColumn<QByteArray>("capabilities");
    QTest::addColumn<QByteArray>("authReply");
    QTest::addColumn<QList<QByteArray>>("expected"); // the first lines received; "@" the initial response
    QTest::addColumn<QStringList>("error");
    QTest::newRow("SASL-IR, OAUTHBEARER preferred, token refused")
        << QByteArray("IMAP4rev1 SASL-IR AUTH=PLAIN AUTH=XOAUTH2 AUTH=OAUTHBEARER")
        << "+ " + kRefusal + "\r\na1 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n"
        << QList<QByteArray>{"a1 AUTHENTICATE OAUTHBEARER @\r\n", "AQ==\r\n"}
        << QStringList{QStringLiteral("Sign in again"), QStringLiteral("invalid_token"),
                       QStringLiteral("Authentication failed.")};
    QTest::newRow("no SASL-IR: the response follows the continuation")
        << QByteArray("IMAP4rev1 AUTH=XOAUTH2")
        << "+ \r\n+ " + kRefusal + "\r\na1 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n"
        << QList<QByteArray>{"a1 AUTHENTICATE XOAUTH2\r\n", "@\r\n"}
        << QStringList{QStringLiteral("Sign in again"), QStringLiteral("invalid_token")};
    QTest::newRow("server unavailable (RFC 5530)")
        << QByteArray("IMAP4rev1 SASL-IR AUTH=OAUTHBEARER") << QByteArray("a1 NO [UNAVAILABLE] Try again later.\r\n")
        << QList<QByteArray>{"a1 AUTHENTICATE OAUTHBEARER @\r\n"} << QStringList{QStringLiteral("Try again later.")};
    QTest::newRow("protocol error")
        << QByteArray("IMAP4rev1 SASL-IR AUTH=OAUTHBEARER") << QByteArray("a1 BAD Line too long.\r\n")
        << QList<QByteArray>{"a1 AUTHENTICATE OAUTHBEARER @\r\n"} << QStringList{QStringLiteral("Line too long.")};
    QTest::newRow("no token mechanism: nothing sent")
        << QByteArray("IMAP4rev1 SASL-IR AUTH=PLAIN AUTH=LOGIN") << QByteArray() << QList<QByteArray>{}
        << QStringList{QStringLiteral("it offers: LOGIN PLAIN")};
}

void TestSasl::imapExchanges()
{
    QFETCH(QByteArray, capabilities);
    QFETCH(QByteArray, authReply);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(QStringList, error);
    FakeImapServer server;
    QVERIFY(server.listen());
    server.setCredentials("bob", "secret");
    server.setCapabilities(capabilities);
    if (!authReply.isEmpty())
        server.setAction("AUTHENTICATE", FakeImapServer::Action::Raw, authReply);
    QVERIFY(m_run->run(tokenAccount(server.host(), server.port(), QStringLiteral("bob"), kToken, QStringLiteral("IMAP")),
                       nothingReceived(), QStringLiteral("MUCustom.CImapReceiver")));
    const QByteArray first = initial(Sasl::Choose({capabilities.contains("OAUTHBEARER") ? "OAUTHBEARER" : "XOAUTH2"}),
                                     kToken, server.port());
    for (QByteArray &line : expected)
        line.replace("@", first);
    QCOMPARE(server.received().mid(0, expected.size()), expected);
    QCOMPARE(server.countOf("LOGIN"), 0);
    if (expected.isEmpty())
        QCOMPARE(server.countOf("AUTHENTICATE"), 0);
    for (const QString &part : std::as_const(error))
        QVERIFY2(m_run->error().description.contains(part), qPrintable(m_run->error().description));
    QCOMPARE(m_run->error().number, error.first() == QLatin1String("Sign in again") ? Sasl::SignInNeeded : MUError::engineNumber(525));
    verifyTokenNotLogged(kToken);
}

void TestSasl::dovecotSignsIn_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("mechanisms");
    QTest::addColumn<bool>("good");
    QTest::newRow("POP3 OAUTHBEARER") << QString() << QStringLiteral("oauthbearer xoauth2") << true;
    QTest::newRow("POP3 XOAUTH2") << QString() << QStringLiteral("xoauth2") << true;
    QTest::newRow("IMAP OAUTHBEARER") << QStringLiteral("IMAP") << QStringLiteral("oauthbearer xoauth2") << true;
    QTest::newRow("IMAP XOAUTH2") << QStringLiteral("IMAP") << QStringLiteral("xoauth2") << true;
    QTest::newRow("POP3 revoked token") << QString() << QStringLiteral("oauthbearer") << false;
    QTest::newRow("IMAP revoked token") << QStringLiteral("IMAP") << QStringLiteral("xoauth2") << false;
}

void TestSasl::dovecotSignsIn()
{
    QFETCH(QString, protocol);
    QFETCH(QString, mechanisms);
    QFETCH(bool, good);
    OAuthDovecot dovecot;
    dovecot.setMechanisms(mechanisms);
    dovecot.acceptToken(kToken.toUtf8());
    QString whyNot;
    if (!dovecot.start(&whyNot))
        QSKIP(qPrintable(whyNot));
    QVERIFY(dovecot.base().addMessage(kMail.bytes()));
    const QString token = good ? kToken : QStringLiteral("revoked-") + kToken;
    const bool imap = protocol == QLatin1String("IMAP");
    const Record account = tokenAccount(dovecot.host(), imap ? dovecot.imapPort() : dovecot.pop3Port(), dovecot.user(),
                                        token, protocol);
    QVERIFY(m_run->run(account, nothingReceived(),
                       imap ? QStringLiteral("MUCustom.CImapReceiver") : QStringLiteral("MUCustom.CReceiver")));
    if (good) {
        QVERIFY2(m_run->completed(), qPrintable(m_run->error().description + dovecot.logText()));
        QCOMPARE(m_run->arrivedIds(), QStringList(kMail.id()));
    } else {
        QVERIFY(!m_run->completed());
        QVERIFY2(m_run->error().description.contains(QStringLiteral("Sign in again")),
                 qPrintable(m_run->error().description));
        QCOMPARE(m_run->error().number, Sasl::SignInNeeded);
        QVERIFY(m_run->arrived.isEmpty());
    }
    QCOMPARE(dovecot.introspection().countOf("GET", OAuthDovecot::introspectionPath(token.toUtf8())), 1);
    verifyTokenNotLogged(token);
}

QTEST_GUILESS_MAIN(TestSasl)
#include "tst_sasl.moc"
