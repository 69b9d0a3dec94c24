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

Record tokenAccount(quint16 port, const QString &user, const QString &token, bool imap)
{
    Record account = TestAccounts::mailbox(QStringLiteral("127.0.0.1"), port, user, token,
                                           imap ? QStringLiteral("IMAP") : QString());
    account.Add(QStringLiteral("Auth"), QStringLiteral("OAuth2"));
    return account;
}

QString progId(bool imap)
{
    return imap ? QStringLiteral("MUCustom.CImapReceiver") : QStringLiteral("MUCustom.CReceiver");
}

QByteArray initial(Sasl::Mechanism mechanism, const QString &token, quint16 port, const QString &user = QStringLiteral("bob"))
{
    return Sasl::InitialResponse(mechanism, user, token, QStringLiteral("127.0.0.1"), port).toBase64();
}
}

class TestSasl : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
        RegisterReceiveWorkers();
    }

    void init()
    {
        // The last test's home restores the environment as it goes: it must go first.
        m_run.reset();
        m_home.reset();
        m_home = std::make_unique<TestHome>();
        QVERIFY(m_home->isValid());
        m_run = std::make_unique<ReceiverRun>(m_home->log());
    }

    void messagesAreThePublishedExamples()
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
        // A mechanism's name in any letter case (which one is preferred: exchanges).
        QCOMPARE(Sasl::Choose(QList<QByteArray>{"oauthbearer"}), Sasl::Mechanism::OAuthBearer);
    }

    void exchanges_data()
    {
        QTest::addColumn<bool>("imap");
        QTest::addColumn<QByteArray>("offered"); // POP3: the SASL capability; IMAP: the capabilities
        QTest::addColumn<QString>("token");
        QTest::addColumn<QByteArray>("authReply");
        QTest::addColumn<QList<QByteArray>>("expected"); // the first commands; "@" the initial response
        QTest::addColumn<QStringList>("error");
        const QString longToken = kToken + QString(300, QLatin1Char('x'));
        const QString again = QStringLiteral("Sign in again"), invalid = QStringLiteral("invalid_token");
        QTest::newRow("POP3 OAUTHBEARER preferred, token refused")
            << false << QByteArray("PLAIN XOAUTH2 OAUTHBEARER") << kToken << "+ " + kRefusal + "\r\n"
            << QList<QByteArray>{"CAPA", "AUTH OAUTHBEARER @", "AQ==", "QUIT"} << QStringList{again, invalid};
        QTest::newRow("POP3 XOAUTH2 alone, empty acknowledgement")
            << false << QByteArray("PLAIN XOAUTH2") << kToken << "+ " + kRefusal + "\r\n"
            << QList<QByteArray>{"CAPA", "AUTH XOAUTH2 @", "", "QUIT"} << QStringList{again, invalid};
        QTest::newRow("POP3 long token in answer to the empty challenge")
            << false << QByteArray("OAUTHBEARER") << longToken << QByteArray("+ \r\n")
            << QList<QByteArray>{"CAPA", "AUTH OAUTHBEARER", "@", "QUIT"}
            << QStringList{again, QStringLiteral("Unknown command")};
        QTest::newRow("POP3 refused without a challenge")
            << false << QByteArray("OAUTHBEARER") << kToken << QByteArray("-ERR [AUTH] Authentication failed.\r\n")
            << QList<QByteArray>{"CAPA", "AUTH OAUTHBEARER @", "QUIT"}
            << QStringList{again, QStringLiteral("[AUTH] Authentication failed.")};
        // A busy server is no verdict on the token: an ordinary failure, the account is not marked.
        QTest::newRow("POP3 server busy (RFC 3206)")
            << false << QByteArray("OAUTHBEARER") << kToken << QByteArray("-ERR [SYS/TEMP] Try again later.\r\n")
            << QList<QByteArray>{"CAPA", "AUTH OAUTHBEARER @", "QUIT"}
            << QStringList{QStringLiteral("[SYS/TEMP] Try again later.")};
        QTest::newRow("POP3 no token mechanism: nothing sent")
            << false << QByteArray("PLAIN LOGIN") << kToken << QByteArray() << QList<QByteArray>{"CAPA", "QUIT"}
            << QStringList{QStringLiteral("it offers: PLAIN LOGIN")};
        QTest::newRow("IMAP SASL-IR, OAUTHBEARER preferred, token refused")
            << true << QByteArray("IMAP4rev1 SASL-IR AUTH=PLAIN AUTH=XOAUTH2 AUTH=OAUTHBEARER") << kToken
            << "+ " + kRefusal + "\r\na1 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n"
            << QList<QByteArray>{"AUTHENTICATE OAUTHBEARER @", "AQ=="}
            << QStringList{again, invalid, QStringLiteral("Authentication failed.")};
        QTest::newRow("IMAP no SASL-IR: the response follows the continuation")
            << true << QByteArray("IMAP4rev1 AUTH=XOAUTH2") << kToken
            << "+ \r\n+ " + kRefusal + "\r\na1 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n"
            << QList<QByteArray>{"AUTHENTICATE XOAUTH2", "@"} << QStringList{again, invalid};
        QTest::newRow("IMAP server unavailable (RFC 5530)")
            << true << QByteArray("IMAP4rev1 SASL-IR AUTH=OAUTHBEARER") << kToken
            << QByteArray("a1 NO [UNAVAILABLE] Try again later.\r\n") << QList<QByteArray>{"AUTHENTICATE OAUTHBEARER @"}
            << QStringList{QStringLiteral("Try again later.")};
        QTest::newRow("IMAP protocol error")
            << true << QByteArray("IMAP4rev1 SASL-IR AUTH=OAUTHBEARER") << kToken << QByteArray("a1 BAD Line too long.\r\n")
            << QList<QByteArray>{"AUTHENTICATE OAUTHBEARER @"} << QStringList{QStringLiteral("Line too long.")};
        QTest::newRow("IMAP no token mechanism: nothing sent")
            << true << QByteArray("IMAP4rev1 SASL-IR AUTH=PLAIN AUTH=LOGIN") << kToken << QByteArray()
            << QList<QByteArray>{} << QStringList{QStringLiteral("it offers: LOGIN PLAIN")};
    }

    /// The exact exchange with the scripted servers; never a password login instead.
    void exchanges()
    {
        QFETCH(bool, imap);
        QFETCH(QByteArray, offered);
        QFETCH(QString, token);
        QFETCH(QByteArray, authReply);
        QFETCH(QList<QByteArray>, expected);
        QFETCH(QStringList, error);
        FakePop3Server pop;
        FakeImapServer imapServer;
        QVERIFY(imap ? imapServer.listen() : pop.listen());
        if (imap) {
            imapServer.setCredentials("bob", "secret");
            imapServer.setCapabilities(offered);
            if (!authReply.isEmpty())
                imapServer.setAction("AUTHENTICATE", FakeImapServer::Action::Raw, authReply);
        } else {
            pop.setCapabilities({"TOP", "UIDL", "USER", "SASL " + offered});
            if (!authReply.isEmpty())
                pop.setAction("AUTH", FakePop3Server::Action::Raw, authReply);
        }
        const quint16 port = imap ? imapServer.port() : pop.port();
        QVERIFY(m_run->run(tokenAccount(port, QStringLiteral("bob"), token, imap), {}, progId(imap)));
        const auto mechanism = offered.contains("OAUTHBEARER") ? Sasl::Mechanism::OAuthBearer : Sasl::Mechanism::XOAuth2;
        for (QByteArray &line : expected)
            line.replace("@", initial(mechanism, token, port));
        const QList<QByteArray> commands = imap ? imapServer.commands() : pop.commands();
        QCOMPARE(commands.mid(0, expected.size()), expected);
        const QByteArray auth = imap ? "AUTHENTICATE" : "AUTH";
        int auths = 0;
        for (const QByteArray &line : std::as_const(expected))
            auths += line.startsWith(auth);
        QCOMPARE(imap ? imapServer.countOf(auth) : pop.countOf(auth), auths);
        QCOMPARE(imap ? imapServer.countOf("LOGIN") : pop.countOf("USER"), 0);
        QVERIFY(m_run->arrived.isEmpty());
        for (const QString &part : std::as_const(error))
            QVERIFY2(m_run->error().description.contains(part), qPrintable(m_run->error().description));
        QCOMPARE(m_run->error().number, error.first() == QLatin1String("Sign in again") ? Sasl::SignInNeeded : MUError::engineNumber(525));
        verifyTokenNotLogged(token);
    }

    void dovecotSignsIn_data()
    {
        QTest::addColumn<bool>("imap");
        QTest::addColumn<QString>("mechanisms");
        QTest::addColumn<bool>("good");
        // A good token over IMAP, either mechanism: tst_onlineaccounts' checks.
        QTest::newRow("POP3 OAUTHBEARER") << false << QStringLiteral("oauthbearer xoauth2") << true;
        QTest::newRow("POP3 revoked token") << false << QStringLiteral("oauthbearer") << false;
        QTest::newRow("IMAP revoked token") << true << QStringLiteral("xoauth2") << false;
    }

    /// The whole check against Dovecot's oauth2 passdb.
    void dovecotSignsIn()
    {
        QFETCH(bool, imap);
        QFETCH(QString, mechanisms);
        QFETCH(bool, good);
        OAuthDovecot dovecot;
        dovecot.setMechanisms(mechanisms);
        dovecot.acceptToken(kToken.toUtf8());
        QString whyNot;
        if (!dovecot.start(&whyNot))
            QSKIP(qPrintable(whyNot));
        QVERIFY(dovecot.addMessage(kMail.bytes()));
        const QString token = good ? kToken : QStringLiteral("revoked-") + kToken;
        const Record account = tokenAccount(imap ? dovecot.imapPort() : dovecot.port(), dovecot.user(), token, imap);
        QVERIFY(m_run->run(account, {}, progId(imap)));
        if (good) {
            QVERIFY2(m_run->completed(), qPrintable(m_run->error().description + dovecot.logText()));
            QCOMPARE(m_run->arrivedIds(), QStringList(kMail.id()));
        } else {
            QVERIFY2(m_run->error().description.contains(QStringLiteral("Sign in again")),
                     qPrintable(m_run->error().description));
            QCOMPARE(m_run->error().number, Sasl::SignInNeeded);
            QVERIFY(m_run->arrived.isEmpty());
        }
        QCOMPARE(dovecot.introspection().countOf("GET", OAuthDovecot::introspectionPath(token.toUtf8())), 1);
        verifyTokenNotLogged(token);
    }

private:
    void verifyTokenNotLogged(const QString &token)
    {
        const QString log = m_home->logText();
        QVERIFY(!log.isEmpty());
        QVERIFY2(!log.contains(token), qPrintable(log));
        for (auto mechanism : {Sasl::Mechanism::OAuthBearer, Sasl::Mechanism::XOAuth2})
            QVERIFY(!log.contains(QString::fromLatin1(initial(mechanism, token, 1).left(40))));
    }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ReceiverRun> m_run;
};

QTEST_GUILESS_MAIN(TestSasl)
#include "tst_sasl.moc"
