// The IMAP receiver on a worker thread against the scripted fake server on the test's thread:
// the exact commands, what it posts, its refusals, and the push connection.
#include "FakeImapServer.h"
#include "ReceiverRun.h"
#include "TestHome.h"
#include "mime/MessageLimits.h"
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "receive/SocketErrorNumbers.h"
#include "trellis/CancelEvent.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using Action = FakeImapServer::Action;
Q_DECLARE_METATYPE(FakeImapServer::Action)

namespace {
const QString kAccountId = TestAccounts::kId;

QByteArray mail(int n)
{
    return TestMail{n, "imap", "Hello number " + QByteArray::number(n) + ".\r\n(a {3} brace)\r\nBye.\r\n"}.bytes();
}

QString idOf(int n)
{
    return TestMail{n, "imap"}.id();
}

const QByteArray kFetchItems = "(UID BODY.PEEK[]<0.2097153>)";
const QByteArray kAuth = "AUTHENTICATE PLAIN " + QByteArray("\0bob\0secret", 11).toBase64();

QVariantMap state(qint64 validity, qint64 highest)
{
    return {{QStringLiteral("UidValidity"), validity}, {QStringLiteral("HighestUid"), highest}};
}

QList<int> range(int from, int to)
{
    QList<int> out;
    for (int n = from; n <= to; ++n)
        out << n;
    return out;
}

/// "UID FETCH" of these UIDs, comma-separated as the receiver names them.
QByteArray uidFetch(const QList<int> &uids)
{
    QByteArrayList list;
    for (int uid : uids)
        list << QByteArray::number(uid);
    return "UID FETCH " + list.join(',') + ' ' + kFetchItems;
}
}

class TestCImapReceiver : public QObject
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
        m_home = std::make_unique<TestHome>();
        QVERIFY(m_home->isValid());
        m_server = std::make_unique<FakeImapServer>();
        m_server->setCredentials("bob", "secret");
        QVERIFY(m_server->listen());
        m_idling = std::make_unique<QSignalSpy>(m_server.get(), &FakeImapServer::idling);
        m_account = TestAccounts::mailbox(m_server->host(), m_server->port(), QStringLiteral("bob"),
                                          QStringLiteral("secret"), QStringLiteral("IMAP"));
        m_received = DataBag();
        m_state.clear();
        ++m_number;
        m_cancel = CancelEvent::Create(QStringLiteral("imap-test-cancel-%1").arg(m_number));
        m_wake = CancelEvent::Create(QStringLiteral("imap-test-wake-%1").arg(m_number));
        m_run = std::make_unique<ReceiverRun>(m_home->log());
    }

    void cleanup()
    {
        m_cancel->Signal();
        QVERIFY(ThreadRunner::WaitForAll(20000));
        m_run.reset();
        m_idling.reset();
        m_server.reset();
        m_home.reset();
    }

    void checks_data()
    {
        QTest::addColumn<int>("messages");
        QTest::addColumn<QVariantMap>("remembered");
        QTest::addColumn<QStringList>("stored");      // identities already in the database
        QTest::addColumn<quint32>("renumberFrom");    // 0: UIDs stay
        QTest::addColumn<QList<QByteArray>>("commands");
        QTest::addColumn<QList<int>>("announced");
        QTest::addColumn<qint64>("highest");          // -1: no state posted

        QTest::newRow("first-check-of-three")
            << 3 << QVariantMap() << QStringList() << 0u
            << QList<QByteArray>{kAuth, "EXAMINE INBOX", "FETCH 1:3 " + kFetchItems, "LOGOUT"} << QList<int>{1, 2, 3}
            << qint64(3);
        QTest::newRow("empty-folder-remembers-uidnext")
            << 0 << QVariantMap() << QStringList() << 0u << QList<QByteArray>{kAuth, "EXAMINE INBOX", "LOGOUT"}
            << QList<int>{} << qint64(0);
        QTest::newRow("first-check-takes-the-newest-30")
            << 40 << QVariantMap() << QStringList() << 0u
            << QList<QByteArray>{kAuth, "EXAMINE INBOX", "FETCH 11:40 " + kFetchItems, "LOGOUT"}
            << range(11, 40) << qint64(40);
        QTest::newRow("first-check-skips-stored-identities")
            << 3 << QVariantMap() << QStringList{idOf(1), idOf(3)} << 0u
            << QList<QByteArray>{kAuth, "EXAMINE INBOX", "FETCH 1:3 " + kFetchItems, "LOGOUT"} << QList<int>{2}
            << qint64(3);
        QTest::newRow("nothing-new-costs-no-search")
            << 3 << state(1000, 3) << QStringList() << 0u << QList<QByteArray>{kAuth, "EXAMINE INBOX", "LOGOUT"}
            << QList<int>{} << qint64(-1);
        QTest::newRow("new-above-the-highest-uid")
            << 5 << state(1000, 3) << QStringList() << 0u
            << QList<QByteArray>{kAuth, "EXAMINE INBOX", "UID SEARCH UID 4:*", uidFetch({4, 5}), "LOGOUT"}
            << QList<int>{4, 5} << qint64(5);
        QTest::newRow("uidnext-missing-searches-and-finds-nothing")
            << 3 << state(1000, 3) << QStringList() << 0u
            << QList<QByteArray>{kAuth, "EXAMINE INBOX", "UID SEARCH UID 4:*", "LOGOUT"} << QList<int>{} << qint64(-1);
        QTest::newRow("many-new-take-the-newest-30")
            << 50 << state(1000, 5) << QStringList() << 0u
            << QList<QByteArray>{kAuth, "EXAMINE INBOX", "UID SEARCH UID 6:*", uidFetch(range(21, 50)), "LOGOUT"}
            << range(21, 50) << qint64(50);
        QTest::newRow("first-check-of-5000")
            << 5000 << QVariantMap() << QStringList() << 0u
            << QList<QByteArray>{kAuth, "EXAMINE INBOX", "FETCH 4971:5000 " + kFetchItems, "LOGOUT"}
            << range(4971, 5000) << qint64(5000);
        QTest::newRow("5000-new-search-takes-the-newest-30")
            << 5000 << state(1000, 0) << QStringList() << 0u
            << QList<QByteArray>{kAuth, "EXAMINE INBOX", "UID SEARCH UID 1:*", uidFetch(range(4971, 5000)), "LOGOUT"}
            << range(4971, 5000) << qint64(5000);
        // A rebuilt index: the remembered UIDs mean nothing; stored mail is not announced again.
        QTest::newRow("uidvalidity-changed")
            << 4 << state(999, 3) << QStringList{idOf(1), idOf(2), idOf(3)} << 101u
            << QList<QByteArray>{kAuth, "EXAMINE INBOX", "FETCH 1:4 " + kFetchItems, "LOGOUT"} << QList<int>{4}
            << qint64(104);
    }

    void checks()
    {
        QFETCH(int, messages);
        QFETCH(QVariantMap, remembered);
        QFETCH(QStringList, stored);
        QFETCH(quint32, renumberFrom);
        QFETCH(QList<int>, announced);
        QFETCH(qint64, highest);
        for (int n = 1; n <= messages; ++n)
            m_server->addMessage(mail(n));
        if (renumberFrom)
            m_server->renumber(renumberFrom);
        m_state = remembered;
        for (const QString &id : stored)
            m_received.Add(id, id);
        if (QByteArray(QTest::currentDataTag()) == "uidnext-missing-searches-and-finds-nothing") {
            // A server that does not predict UIDNEXT: its EXAMINE answer without that line.
            m_server->setAction("EXAMINE", Action::Raw, "* 3 EXISTS\r\n* OK [UIDVALIDITY 1000] ok\r\na2 OK [READ-ONLY] done\r\n");
        }
        start();
        QVERIFY(m_run->completed());
        QTEST(m_server->commands(), "commands");
        QList<int> got;
        for (const Record &r : std::as_const(m_run->arrived))
            got << r.text(QStringLiteral("Subject")).section(QLatin1Char(' '), 1).toInt();
        QCOMPARE(got, announced);
        if (!m_run->arrived.isEmpty()) {
            const Record &first = m_run->arrived.first();
            const int n = announced.first();
            QCOMPARE(first.names(), (QStringList{"Server", "User", "POP3Id", "From", "To", "Date", "Subject", "Content"}));
            QCOMPARE(first.text(QStringLiteral("POP3Id")), idOf(n));
            QCOMPARE(first.text(QStringLiteral("From")), QStringLiteral("Sender %1").arg(n));
            QCOMPARE(first.text(QStringLiteral("To")), QStringLiteral("Bob"));
            QCOMPARE(first.text(QStringLiteral("Server")), m_server->host());
            QCOMPARE(first.text(QStringLiteral("User")), QStringLiteral("bob"));
            QVERIFY(first.text(QStringLiteral("Content")).contains(QStringLiteral("Hello number %1.").arg(n)));
        }
        if (highest < 0) {
            QVERIFY(m_run->states.isEmpty());
        } else {
            QCOMPARE(m_run->states.size(), 1);
            QCOMPARE(m_run->states.first().Item(QStringLiteral("HighestUid")).toLongLong(), highest);
            QCOMPARE(m_run->states.first().Item(QStringLiteral("UidValidity")).toLongLong(), qint64(1000));
            QCOMPARE(m_run->states.first().Item(QStringLiteral("Folder")).toString(), QStringLiteral("INBOX"));
            QCOMPARE(m_run->states.first().Item(QStringLiteral("Ids")).toStringList().size(), announced.size());
            // The state follows the messages it covers.
            QCOMPARE(m_run->order.indexOf(ReceiverMessages::ImapStateSeen), m_run->order.size() - 2);
        }
        QVERIFY(!m_server->wouldHaveSetSeen());
    }

    void sameResultWhateverTheChunks()
    {
        for (int n = 1; n <= 3; ++n)
            m_server->addMessage(mail(n));
        m_server->setStreamChunks({1, 7, 3, 64});
        start();
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrived.size(), 3);
        QCOMPARE(m_run->arrived.at(2).text(QStringLiteral("POP3Id")), idOf(3));
        QVERIFY(m_run->arrived.at(2).text(QStringLiteral("Content")).contains(QStringLiteral("(a {3} brace)")));
    }

    void headersOnly()
    {
        m_server->addMessage(mail(1));
        DataBag extra;
        extra.Add(true, QStringLiteral("DontReceiveContent"));
        start(extra);
        QCOMPARE(m_server->commands().at(2), QByteArray("FETCH 1:1 (UID BODY.PEEK[HEADER]<0.2097153>)"));
        QCOMPARE(m_run->arrived.size(), 1);
        QVERIFY(!m_run->arrived.first().Exists(QStringLiteral("Content")));
        QCOMPARE(m_run->arrived.first().text(QStringLiteral("Subject")), QStringLiteral("Message 1"));
    }

    // A message without an identifier is known by its header's hash and does not block the ones
    // after it; one over the kept size arrives cut after a whole line and marked.
    void oddMessagesAreKeptOnce()
    {
        m_server->addMessage("Subject: a note without any identifier\r\n");
        QByteArray big = mail(2);
        while (big.size() <= MessageLimits::KeptBytes)
            big += QByteArray(70, 'x') + "\r\n";
        m_server->addMessage(big);
        m_server->addMessage(mail(3));
        start();
        QCOMPARE(m_run->endMsg, int(ReceiverMessages::ReceiveComplete));
        QCOMPARE(m_run->arrived.size(), 3);
        QVERIFY2(m_run->arrived.at(0).text(QStringLiteral("POP3Id")).startsWith(QStringLiteral("header-sha1:")),
                 qPrintable(m_run->arrived.at(0).text(QStringLiteral("POP3Id"))));
        QCOMPARE(m_run->arrived.at(0).text(QStringLiteral("Subject")), QStringLiteral("a note without any identifier"));
        const QString cut = m_run->arrived.at(1).text(QStringLiteral("Content"));
        QVERIFY(MessageLimits::IsTruncated(cut));
        QVERIFY(cut.size() <= MessageLimits::KeptBytes + 64);
        QVERIFY(cut.endsWith(QStringLiteral("\r\n")));
        QCOMPARE(m_run->arrived.at(2).text(QStringLiteral("POP3Id")), idOf(3));
        QVERIFY(!MessageLimits::IsTruncated(m_run->arrived.at(2).text(QStringLiteral("Content"))));
    }

    void logins_data()
    {
        QTest::addColumn<QByteArray>("capabilities");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QList<QByteArray>>("sent"); // the login's lines as the server received them
        QTest::addColumn<bool>("succeeds");

        QTest::newRow("login") << QByteArray("IMAP4rev1") << QByteArray("secret")
                               << QList<QByteArray>{"a1 LOGIN bob secret\r\n"} << true;
        QTest::newRow("login-eight-bit-password-as-literal")
            << QByteArray("IMAP4rev1") << QByteArray("s\xc3\xa4" "cret")
            << QList<QByteArray>{"a1 LOGIN bob {7}\r\n", "s\xc3\xa4" "cret", "\r\n"} << true;
        QTest::newRow("sasl-ir") << QByteArray("IMAP4rev1 AUTH=PLAIN SASL-IR") << QByteArray("secret")
                                 << QList<QByteArray>{"a1 " + kAuth + "\r\n"} << true;
        QTest::newRow("logindisabled-plain-without-sasl-ir")
            << QByteArray("IMAP4rev1 AUTH=PLAIN LOGINDISABLED") << QByteArray("secret")
            << QList<QByteArray>{"a1 AUTHENTICATE PLAIN\r\n", QByteArray("\0bob\0secret", 11).toBase64() + "\r\n"} << true;
        QTest::newRow("logindisabled-nothing-sent")
            << QByteArray("IMAP4rev1 LOGINDISABLED") << QByteArray("secret") << QList<QByteArray>{} << false;
    }

    void logins()
    {
        QFETCH(QByteArray, capabilities);
        QFETCH(QByteArray, password);
        QFETCH(QList<QByteArray>, sent);
        QFETCH(bool, succeeds);
        m_server->setCapabilities(capabilities);
        m_server->setCredentials("bob", password);
        m_account.Add(QStringLiteral("Pwd"), QString::fromUtf8(password));
        start();
        QVERIFY2(m_run->endMsg == (succeeds ? ReceiverMessages::ReceiveComplete : ReceiverMessages::ErrorOccured),
                 qPrintable(m_run->error().description
                            + QString::fromLatin1(m_server->received().join('|').toHex(' '))));
        QCOMPARE(m_server->received().mid(0, sent.size()), sent);
        if (!succeeds) {
            QCOMPARE(m_server->commands(), QList<QByteArray>{"LOGOUT"});
            QVERIFY(m_run->error().description.contains(
                QStringLiteral("LOGINDISABLED")));
        }
        // The password never reaches the log, in whatever form it was sent.
        const QString log = m_home->logText();
        QVERIFY(!log.contains(QString::fromUtf8(password)));
        QVERIFY(!log.contains(QString::fromLatin1((QByteArray("\0bob\0", 5) + password).toBase64())));
        if (succeeds)
            QVERIFY(log.contains(QStringLiteral("****")));
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint32>("number");
        QTest::addColumn<QString>("description");

        const QString prefix = MessageTable::Text(520).arg(QStringLiteral("127.0.0.1"));
        QTest::newRow("wrong-password") << QByteArray("AUTHENTICATE") << Action::No
                                        << QByteArray("[AUTHENTICATIONFAILED] Authentication failed.")
                                        << MUError::engineNumber(525) << QStringLiteral("Authentication failed.");
        QTest::newRow("folder-refused") << QByteArray("EXAMINE") << Action::No << QByteArray("No such folder")
                                        << MUError::engineNumber(525) << QStringLiteral("Folder 'INBOX': No such folder");
        QTest::newRow("bye-during-fetch") << QByteArray("FETCH") << Action::Bye << QByteArray("Shutting down now")
                                          << MUError::engineNumber(525) << QStringLiteral("Shutting down now");
        QTest::newRow("silence-during-fetch") << QByteArray("FETCH") << Action::Silent << QByteArray()
                                              << MUError::engineNumber(519) << QString();
        QTest::newRow("greeting-bye") << QByteArray("GREETING") << Action::Answer << QByteArray("* BYE Too many connections")
                                      << MUError::engineNumber(525) << QStringLiteral("Too many connections");
    }

    void failures()
    {
        QFETCH(QByteArray, verb);
        QFETCH(Action, action);
        QFETCH(QByteArray, text);
        QFETCH(qint32, number);
        QFETCH(QString, description);
        m_server->addMessage(mail(1));
        if (verb == "GREETING")
            m_server->setGreeting(text);
        else
            m_server->setAction(verb, action, text);
        start();
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        const PostedError error = m_run->error();
        QCOMPARE(error.number, number);
        const QString got = error.description;
        QVERIFY2(got.startsWith(MessageTable::Text(520).arg(m_server->host())) && got.contains(description), qPrintable(got));
        QCOMPARE(error.accountId, kAccountId);
        QVERIFY(m_run->arrived.isEmpty());
        QVERIFY(m_run->states.isEmpty());
    }

    void pushAnnouncesMailDeliveredWhileIdling()
    {
        m_server->addMessage(mail(1));
        startPush();
        QCOMPARE(m_run->modes, QList<bool>{true});
        QCOMPARE(m_run->arrived.size(), 1);
        const int before = int(m_run->order.size());
        QElapsedTimer clock;
        clock.start();
        m_server->addMessage(mail(2));
        QTRY_COMPARE_WITH_TIMEOUT(m_run->arrived.size(), 2, 1000);
        QVERIFY(clock.elapsed() < 1000);
        QCOMPARE(m_run->arrived.last().text(QStringLiteral("POP3Id")), idOf(2));
        // The same events as a check: start, the message, the state, complete.
        QTRY_COMPARE(m_run->order.mid(before), (QList<int>{ReceiverMessages::CheckStart, ReceiverMessages::MsgArrived,
                                                      ReceiverMessages::ImapStateSeen, ReceiverMessages::ReceiveComplete}));
        QCOMPARE(m_server->connectionCount(), 1);
        // DONE and the fetch leave together: EXISTS said how many are new, so no search.
        QCOMPARE(m_server->commands().mid(3, 3), (QList<QByteArray>{"IDLE", "DONE", "UID FETCH 2:* " + kFetchItems}));
    }

    void existsDuringFetchIsFetchedAtOnce()
    {
        for (int n = 1; n <= 3; ++n)
            m_server->addMessage(mail(n));
        // Message 4 lands while the first FETCH is answered; the EXISTS comes in its middle.
        connect(m_server.get(), &FakeImapServer::commandReceived, this, [this](const QByteArray &c) {
            if (c.startsWith("FETCH") && m_server->messageCount() == 3)
                m_server->addMessage(mail(4));
        });
        m_server->setInjectDuringFetch("* 4 EXISTS\r\n");
        startPush({}, false);
        QTRY_COMPARE_WITH_TIMEOUT(m_run->arrived.size(), 4, 10000);
        QCOMPARE(m_run->arrived.last().text(QStringLiteral("POP3Id")), idOf(4));
        QCOMPARE(m_server->commands().at(3), "UID FETCH 4:* " + kFetchItems);
    }

    void serverWithoutIdleIsPolled()
    {
        m_server->setCapabilities("IMAP4rev1 AUTH=PLAIN SASL-IR");
        m_server->addMessage(mail(1));
        startPush({}, false);
        QTRY_COMPARE_WITH_TIMEOUT(m_run->modes, QList<bool>{false}, 10000);
        QVERIFY(ThreadRunner::WaitForAll(5000));
        QCOMPARE(m_run->arrived.size(), 1);
        QCOMPARE(m_server->countOf("IDLE"), 0);
        QCOMPARE(m_server->commands().last(), QByteArray("LOGOUT"));
    }

    void idleIsRenewed()
    {
        DataBag extra;
        extra.Add(300, QStringLiteral("IdleRenewMs"));
        startPush(extra, false);
        QTRY_VERIFY_WITH_TIMEOUT(m_idling->size() >= 3, 10000);
        // Each renewal is DONE and a new IDLE on the same connection, with nothing else between.
        QCOMPARE(m_server->commands().mid(2, 5), (QList<QByteArray>{"IDLE", "DONE", "IDLE", "DONE", "IDLE"}));
        QCOMPARE(m_server->connectionCount(), 1);
        QVERIFY(m_run->arrived.isEmpty());
    }

    void cutConnectionIsReopened()
    {
        m_server->addMessage(mail(1));
        DataBag extra;
        extra.Add(50, QStringLiteral("RetryFirstMs"));
        startPush(extra);
        m_server->dropAll();
        // Mail that arrives while the connection is down is announced once it is back.
        m_server->addMessage(mail(2));
        QTRY_COMPARE_WITH_TIMEOUT(m_run->arrived.size(), 2, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->idlingCount(), 1, 10000);
        QCOMPARE(m_server->connectionCount(), 2);
        QCOMPARE(m_run->modes, QList<bool>{true});
        QVERIFY(!m_run->order.contains(ReceiverMessages::ErrorOccured)); // a drop while idling is no failed check
    }

    void wakeChecksOnTheOpenConnection()
    {
        startPush();
        m_wake->Signal();
        QVERIFY(m_idling->wait(10000));
        QCOMPARE(m_server->connectionCount(), 1);
        QCOMPARE(m_server->commands().mid(2, 4), (QList<QByteArray>{"IDLE", "DONE", "UID SEARCH UID 1:*", "IDLE"}));
        QVERIFY(!m_wake->IsSignalled());
    }

    void stopEndsIdleCleanlyWithinOneSecond()
    {
        startPush();
        QElapsedTimer clock;
        clock.start();
        m_cancel->Signal();
        QVERIFY(ThreadRunner::WaitForAll(1000));
        QVERIFY(clock.elapsed() < 1000);
        QTRY_VERIFY2(m_server->commands().size() >= 5, m_server->commands().join('|').constData());
        QCOMPARE(m_server->commands().mid(3), (QList<QByteArray>{"DONE", "LOGOUT"}));
    }

private:
    /// Starts the receiver; with `wait` also waits for its end message.
    void start(const DataBag &extra = {}, bool wait = true);
    /// Starts the receiver with push on; with `idle` waits until it idles.
    void startPush(DataBag extra = {}, bool idle = true)
    {
        extra.Add(true, QStringLiteral("Push"));
        start(extra, false);
        if (idle)
            QVERIFY(m_idling->wait(10000));
    }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<FakeImapServer> m_server;
    std::unique_ptr<QSignalSpy> m_idling;
    std::unique_ptr<ReceiverRun> m_run;
    Record m_account;
    DataBag m_received;
    QVariantMap m_state;
    CancelEventPtr m_cancel;
    CancelEventPtr m_wake;
    int m_number = 0;
};

void TestCImapReceiver::start(const DataBag &extra, bool wait)
{
    DataBag data = extra;
    auto add = [&data](const QVariant &value, const QString &key) {
        if (!data.Exists(key))
            data.Add(value, key);
    };
    add(QVariant::fromValue(m_received), QStringLiteral("ReceivedMsgIds"));
    add(m_cancel->name(), QStringLiteral("CancelEvent"));
    add(m_wake->name(), QStringLiteral("WakeEvent"));
    add(3000, QStringLiteral("InactivityLimitMs"));
    add(m_state, QStringLiteral("ImapState"));
    m_run->start(m_account, data, QStringLiteral("MUCustom.CImapReceiver"));
    if (wait)
        QVERIFY(m_run->finish(20000));
}

QTEST_GUILESS_MAIN(TestCImapReceiver)

#include "tst_cimapreceiver.moc"
