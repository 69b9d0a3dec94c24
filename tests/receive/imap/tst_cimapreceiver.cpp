// The IMAP receiver on a worker thread against the scripted fake server on the test's thread:
// the exact commands, what it posts, its refusals, and the push connection; server detection
// and the account test against the same server.
#include "FakeImapServer.h"
#include "FakePop3Server.h"
#include "ReceiverRun.h"
#include "TestHome.h"
#include "mime/MessageLimits.h"
#include "receive/CArriveShell.h"
#include "receive/CCheckMB.h"
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "trellis/CancelEvent.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/MetaTypes.h"
#include "trellis/ThreadRunner.h"
#include <QSignalSpy>
#include <QTest>

using Action = FakeImapServer::Action;

namespace {
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

/// "UID FETCH" of these UIDs, comma-separated as the receiver names them.
QByteArray uidFetch(const QList<int> &uids)
{
    QByteArrayList list;
    for (int uid : uids)
        list << QByteArray::number(uid);
    return "UID FETCH " + list.join(',') + ' ' + kFetchItems;
}

struct Rule
{
    QByteArray verb;
    FakeImapServer::Action action;
    QByteArray text;
};

/// One check as data: the folder and the server's script, what the account remembers and
/// stores, then the commands exactly and what is posted. Messages are numbered from 1.
struct Dialogue
{
    int messages = 0;
    QByteArray capabilities; // empty: the fake's default (SASL-IR, IDLE ...)
    QByteArray password = "secret";
    QByteArray greeting;
    QList<Rule> rules;
    QList<int> chunks;       // the whole output stream cut into pieces of these sizes
    QVariantMap remembered;  // the folder's state from the last check
    QList<int> stored;       // messages already in the database
    quint32 renumberFrom = 0; // 0: UIDs stay
    bool headersOnly = false;
    QList<QByteArray> lines; // the first lines received, byte for byte (the login)
    QList<QByteArray> sent;  // the commands
    QList<int> announced;
    qint64 highest = -1;     // -1: no state posted
    qint32 number = 0;       // 0: the check completes
    QString error;           // a part of the description
};
}
Q_DECLARE_METATYPE(Dialogue)

// The dialogue rows name only the fields they set.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

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

    void dialogues_data()
    {
        QTest::addColumn<Dialogue>("d");
        auto row = [](const char *name, const Dialogue &d) { QTest::newRow(name) << d; };
        const QByteArray examine = "EXAMINE INBOX", logout = "LOGOUT";
        const qint32 refused = MUError::engineNumber(525);
        row("first-check-of-three", {.messages = 3, .sent = {kAuth, examine, "FETCH 1:3 " + kFetchItems, logout},
                                     .announced = {1, 2, 3}, .highest = 3});
        row("first-check-takes-the-newest-30", {.messages = 40, .sent = {kAuth, examine, "FETCH 11:40 " + kFetchItems, logout},
                                                .announced = range(11, 40), .highest = 40});
        row("first-check-skips-stored-identities",
            {.messages = 3, .stored = {1, 3}, .sent = {kAuth, examine, "FETCH 1:3 " + kFetchItems, logout},
             .announced = {2}, .highest = 3});
        row("nothing-new-costs-no-search", {.messages = 3, .remembered = state(1000, 3), .sent = {kAuth, examine, logout}});
        row("new-above-the-highest-uid",
            {.messages = 5, .remembered = state(1000, 3),
             .sent = {kAuth, examine, "UID SEARCH UID 4:*", uidFetch({4, 5}), logout}, .announced = {4, 5}, .highest = 5});
        // A server that does not predict UIDNEXT: its EXAMINE answer without that line.
        row("uidnext-missing-searches-and-finds-nothing",
            {.messages = 3,
             .rules = {{"EXAMINE", Action::Raw, "* 3 EXISTS\r\n* OK [UIDVALIDITY 1000] ok\r\na2 OK [READ-ONLY] done\r\n"}},
             .remembered = state(1000, 3), .sent = {kAuth, examine, "UID SEARCH UID 4:*", logout}});
        row("5000-new-search-takes-the-newest-30",
            {.messages = 5000, .remembered = state(1000, 0),
             .sent = {kAuth, examine, "UID SEARCH UID 1:*", uidFetch(range(4971, 5000)), logout},
             .announced = range(4971, 5000), .highest = 5000});
        // A rebuilt index: the remembered UIDs mean nothing; stored mail is not announced again.
        row("uidvalidity-changed",
            {.messages = 4, .remembered = state(999, 3), .stored = {1, 2, 3}, .renumberFrom = 101,
             .sent = {kAuth, examine, "FETCH 1:4 " + kFetchItems, logout}, .announced = {4}, .highest = 104});
        row("same-result-whatever-the-chunks",
            {.messages = 3, .chunks = {1, 7, 3, 64}, .sent = {kAuth, examine, "FETCH 1:3 " + kFetchItems, logout},
             .announced = {1, 2, 3}, .highest = 3});
        row("headers-only", {.messages = 1, .headersOnly = true,
                             .sent = {kAuth, examine, "FETCH 1:1 (UID BODY.PEEK[HEADER]<0.2097153>)", logout},
                             .announced = {1}, .highest = 1});
        // The login's lines as the server received them.
        row("login", {.capabilities = "IMAP4rev1", .lines = {"a1 LOGIN bob secret\r\n"},
                      .sent = {"LOGIN bob secret", examine, logout}, .highest = 0});
        row("login-eight-bit-password-as-literal",
            {.capabilities = "IMAP4rev1", .password = "s\xc3\xa4" "cret",
             .lines = {"a1 LOGIN bob {7}\r\n", "s\xc3\xa4" "cret", "\r\n"},
             .sent = {"LOGIN bob {7}", "s\xc3\xa4" "cret", "", examine, logout}, .highest = 0});
        const QByteArray plain = QByteArray("\0bob\0secret", 11).toBase64();
        row("logindisabled-plain-without-sasl-ir",
            {.capabilities = "IMAP4rev1 AUTH=PLAIN LOGINDISABLED", .lines = {"a1 AUTHENTICATE PLAIN\r\n", plain + "\r\n"},
             .sent = {"AUTHENTICATE PLAIN", plain, "CAPABILITY", examine, logout}, .highest = 0});
        row("logindisabled-nothing-sent", {.capabilities = "IMAP4rev1 LOGINDISABLED", .sent = {logout},
                                           .number = refused, .error = "LOGINDISABLED"});
        row("wrong-password",
            {.messages = 1, .rules = {{"AUTHENTICATE", Action::No, "[AUTHENTICATIONFAILED] Authentication failed."}},
             .sent = {kAuth, logout}, .number = refused, .error = "Authentication failed."});
        row("folder-refused", {.messages = 1, .rules = {{"EXAMINE", Action::No, "No such folder"}},
                               .sent = {kAuth, examine, logout}, .number = refused, .error = "Folder 'INBOX': No such folder"});
        row("bye-during-fetch", {.messages = 1, .rules = {{"FETCH", Action::Bye, "Shutting down now"}},
                                 .sent = {kAuth, examine, "FETCH 1:1 " + kFetchItems}, .number = refused,
                                 .error = "Shutting down now"});
        row("silence-during-fetch", {.messages = 1, .rules = {{"FETCH", Action::Silent, {}}},
                                     .sent = {kAuth, examine, "FETCH 1:1 " + kFetchItems, logout},
                                     .number = MUError::engineNumber(519)});
        row("greeting-bye", {.messages = 1, .greeting = "* BYE Too many connections", .number = refused,
                             .error = "Too many connections"});
    }

    void dialogues()
    {
        QFETCH(Dialogue, d);
        for (int n = 1; n <= d.messages; ++n)
            m_server->addMessage(mail(n));
        if (d.renumberFrom)
            m_server->renumber(d.renumberFrom);
        if (!d.capabilities.isEmpty())
            m_server->setCapabilities(d.capabilities);
        m_server->setCredentials("bob", d.password);
        m_account.Add(QStringLiteral("Pwd"), QString::fromUtf8(d.password));
        if (!d.greeting.isEmpty())
            m_server->setGreeting(d.greeting);
        for (const Rule &rule : std::as_const(d.rules))
            m_server->setAction(rule.verb, rule.action, rule.text);
        m_server->setStreamChunks(d.chunks);
        m_state = d.remembered;
        for (int n : std::as_const(d.stored))
            m_received.Add(idOf(n), idOf(n));
        DataBag extra;
        extra.Add(d.headersOnly, QStringLiteral("DontReceiveContent"));
        start(extra);

        QCOMPARE(m_server->received().mid(0, d.lines.size()), d.lines);
        QTRY_COMPARE(m_server->commands(), d.sent);
        QList<int> got;
        for (const Record &r : std::as_const(m_run->arrived))
            got << r.text(QStringLiteral("Subject")).remove(QStringLiteral("Message ")).toInt();
        QCOMPARE(got, d.announced);
        for (qsizetype i = 0; i < got.size(); ++i) {
            const Record &r = m_run->arrived.at(i);
            const int n = got.at(i);
            QStringList names{"Server", "User", "POP3Id", "From", "To", "Date", "Subject"};
            if (!d.headersOnly)
                names << QStringLiteral("Content");
            QCOMPARE(r.names(), names);
            const QStringList values{m_server->host(), "bob", idOf(n), QStringLiteral("Sender %1").arg(n), "Bob"};
            for (int k = 0; k < values.size(); ++k)
                QCOMPARE(r.text(names.at(k)), values.at(k));
            if (!d.headersOnly)
                QCOMPARE(r.text(QStringLiteral("Content")).toLatin1(), mail(n)); // whole, as the server holds it
        }
        if (d.highest < 0) {
            QVERIFY(m_run->states.isEmpty());
        } else {
            QCOMPARE(m_run->states.size(), 1);
            const DataBag &state = m_run->states.first();
            QCOMPARE(state.Item(QStringLiteral("HighestUid")).toLongLong(), d.highest);
            QCOMPARE(state.Item(QStringLiteral("UidValidity")).toLongLong(), qint64(1000));
            QCOMPARE(state.Item(QStringLiteral("Folder")).toString(), QStringLiteral("INBOX"));
            QCOMPARE(state.Item(QStringLiteral("Ids")).toStringList().size(), d.announced.size());
            // The state follows the messages it covers.
            QCOMPARE(m_run->order.indexOf(ReceiverMessages::ImapStateSeen), m_run->order.size() - 2);
        }
        QVERIFY(!m_server->wouldHaveSetSeen());
        // The password never reaches the log, in whatever form it was sent.
        const QString log = m_home->logText();
        QVERIFY(!log.contains(QString::fromUtf8(d.password)));
        QVERIFY(!log.contains(QString::fromLatin1((QByteArray("\0bob\0", 5) + d.password).toBase64())));
        if (!d.number) {
            QVERIFY2(m_run->completed(), qPrintable(m_run->error().description));
            QVERIFY(log.contains(QStringLiteral("****")));
            return;
        }
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        const PostedError error = m_run->error();
        QCOMPARE(error.number, d.number);
        QVERIFY2(error.description.startsWith(MessageTable::Text(520).arg(m_server->host())) && error.description.contains(d.error),
                 qPrintable(error.description));
        QCOMPARE(error.accountId, TestAccounts::kId);
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

    void pushAnnouncesMailDeliveredWhileIdling()
    {
        m_server->addMessage(mail(1));
        startPush();
        QCOMPARE(m_run->modes, QList<bool>{true});
        QCOMPARE(m_run->arrived.size(), 1);
        const int before = int(m_run->order.size());
        m_server->addMessage(mail(2));
        QTRY_COMPARE_WITH_TIMEOUT(m_run->arrived.size(), 2, 1000);
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
        QTRY_COMPARE_WITH_TIMEOUT(m_idling->size(), 2, 10000); // idling again on the new connection
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
        m_cancel->Signal();
        QVERIFY(ThreadRunner::WaitForAll(1000));
        QTRY_VERIFY2(m_server->commands().size() >= 5, m_server->commands().join('|').constData());
        QCOMPARE(m_server->commands().mid(3), (QList<QByteArray>{"DONE", "LOGOUT"}));
    }

    // Server detection finds IMAP before POP3; a probe greets and leaves, no login sent.
    void detectionPrefersImap_data()
    {
        QTest::addColumn<QByteArray>("imapCapabilities");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("protocol");
        QTest::newRow("imap-with-starttls-on-143")
            << QByteArray("IMAP4rev1 STARTTLS IDLE") << QStringLiteral("imap.murmelo.test") << 143 << QStringLiteral("IMAP");
        // Without STARTTLS the IMAP server is passed over: nothing would go out in plain text.
        QTest::newRow("imap-without-starttls-falls-to-pop3")
            << QByteArray("IMAP4rev1 IDLE") << QStringLiteral("pop.murmelo.test") << 110 << QStringLiteral("POP3");
    }

    void detectionPrefersImap()
    {
        QFETCH(QByteArray, imapCapabilities);
        m_server->setCapabilities(imapCapabilities);
        FakePop3Server pop;
        QVERIFY(pop.listen());
        CCheckMB checker;
        checker.Init(nullptr);
        checker.setProbeLimit(3000);
        checker.setResolver([&](const QString &host, quint16 port) -> std::optional<CCheckMB::Target> {
            if (host == QLatin1String("imap.murmelo.test") && port == 143)
                return CCheckMB::Target{m_server->host(), m_server->port()};
            if (host == QLatin1String("pop.murmelo.test") && port == 110)
                return CCheckMB::Target{pop.host(), pop.port()};
            return std::nullopt;
        });
        checker.setShellFactory([](const QString &security) {
            return security == QLatin1String("None") ? CCheckMB::DefaultShell(security) : nullptr;
        });
        const CCheckMB::ServerChoice choice = checker.FindServer(QStringLiteral("murmelo.test"));
        QTEST(choice.host, "host");
        QTEST(choice.port, "port");
        QTEST(choice.protocol, "protocol");
        QCOMPARE(m_server->countOf("LOGIN") + m_server->countOf("AUTHENTICATE"), 0);
        QTRY_COMPARE(m_server->commands().value(m_server->commands().size() - 1), QByteArray("LOGOUT"));
    }

    // The account test logs in read-only (EXAMINE, never SELECT) and out again.
    void accountTestLogsInAndOut_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<bool>("ok");
        QTest::newRow("right-password") << QByteArray("secret") << true;
        QTest::newRow("wrong-password") << QByteArray("wrong") << false;
    }

    void accountTestLogsInAndOut()
    {
        QFETCH(QByteArray, password);
        QFETCH(bool, ok);
        CCheckMB checker;
        checker.Init(nullptr);
        QString reason;
        QCOMPARE(checker.CheckImap(m_server->host(), QStringLiteral("bob"), QString::fromLatin1(password), m_server->port(),
                                   &reason, QStringLiteral("None")),
                 ok);
        QCOMPARE(reason.contains(QStringLiteral("Authentication failed")), !ok);
        QCOMPARE(m_server->countOf("SELECT"), 0);
        QCOMPARE(m_server->countOf("EXAMINE"), ok ? 1 : 0);
        QTRY_COMPARE(m_server->commands().last(), QByteArray("LOGOUT"));
    }

private:
    /// Starts the receiver; with `wait` also waits for its end message.
    void start(const DataBag &extra = {}, bool wait = true)
    {
        DataBag data = extra;
        data.Add(QVariant::fromValue(m_received), QStringLiteral("ReceivedMsgIds"));
        data.Add(m_cancel->name(), QStringLiteral("CancelEvent"));
        data.Add(m_wake->name(), QStringLiteral("WakeEvent"));
        data.Add(3000, QStringLiteral("InactivityLimitMs"));
        data.Add(m_state, QStringLiteral("ImapState"));
        m_run->start(m_account, data, QStringLiteral("MUCustom.CImapReceiver"));
        if (wait)
            QVERIFY(m_run->finish(20000));
    }

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

QTEST_GUILESS_MAIN(TestCImapReceiver)

#include "tst_cimapreceiver.moc"
