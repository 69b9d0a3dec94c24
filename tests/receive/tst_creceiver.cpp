#include "DovecotFixture.h"
#include "FakePop3Server.h"
#include "ReceiverRun.h"
#include "TestHome.h"
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "receive/SocketErrorNumbers.h"
#include "trellis/CancelEvent.h"
#include "trellis/MUError.h"
#include "trellis/MetaTypes.h"
#include "trellis/ThreadRunner.h"
#include "mime/MessageLimits.h"
#include <QElapsedTimer>
#include <QTest>

using Action = FakePop3Server::Action;

// The dialogue rows name only the fields they set.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {
const QString kAccountId = TestAccounts::kId;
const QString kCannot = QStringLiteral("Cannot get new messages from e-mail server '127.0.0.1'. ");
const qint32 k525 = MUError::engineNumber(525);

/// A body line that starts with a dot: the server stuffs it, the content must not keep the stuffing.
QByteArray mail(int n)
{
    return TestMail{n, "msg", "Hello number " + QByteArray::number(n) + ".\r\n.Bye.\r\n"}.bytes();
}

QString idOf(int n)
{
    return TestMail{n}.id();
}

/// The line count of a whole-message fetch, as it goes on the wire.
const QByteArray kWhole = " 1048576";
const QList<QByteArray> kPipelining = {"CAPA", "TOP", "UIDL", "USER", "PIPELINING"};

/// TOP `from`..`to` with `lines`, one command each.
QList<QByteArray> tops(int from, int to, const QByteArray &lines)
{
    QList<QByteArray> out;
    for (int n : range(from, to))
        out << "TOP " + QByteArray::number(n) + lines;
    return out;
}

/// The login as every dialogue begins it, then `rest`.
QList<QByteArray> login(const QList<QByteArray> &rest)
{
    return QList<QByteArray>{"CAPA", "USER bob", "PASS secret"} + rest;
}

QStringList ids(const QList<int> &numbers)
{
    QStringList out;
    for (int n : numbers)
        out << idOf(n);
    return out;
}

DataBag knownOf(const QStringList &ids)
{
    DataBag known;
    for (const QString &id : ids)
        known.Add(id, id);
    return known;
}

struct Rule
{
    QByteArray command;
    Action action = Action::Error;
    QByteArray text;
};

/// One check as data: the mailbox and the server's script, what the account already knows,
/// and what must happen on the wire and in the posts. Messages are numbered from 1.
struct Dialogue
{
    int messages = 0;
    QList<QByteArray> capabilities; // empty: the fake's default (no PIPELINING)
    QList<QByteArray> capabilitiesBeforeLogin;
    QList<Rule> rules;
    QList<int> chunks;        // the whole output stream cut into pieces of these sizes
    QList<int> known;         // stored messages
    bool primed = false;      // an earlier check that knew every message recorded their unique-ids
    QVariantMap remembered;   // unique-ids remembered otherwise
    QList<int> later;         // messages added after the earlier check
    bool headersOnly = false;
    QString password;         // empty: the right one
    QList<QByteArray> sent;   // the command lines, exactly
    int turns = 0;            // round trips; 0: not compared
    QList<int> arrived;
    QList<int> seen;          // the messages whose unique-ids were reported
    qint32 number = 0;        // 0: the check completes
    QString error;            // the description after kCannot
};
}
Q_DECLARE_METATYPE(Dialogue)

/// The POP3 receiver on a worker thread against the fake server on the test's thread.
class TestCReceiver : public QObject
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
        m_server = std::make_unique<FakePop3Server>();
        m_server->setCredentials("bob", "secret");
        QVERIFY(m_server->listen());
        m_account = TestAccounts::mailbox(m_server->host(), m_server->port());
        m_cancelName.clear();
        m_limitMs = 10000;
        m_keptBytes = 0;
        m_knownUidls.clear();
        m_run = std::make_unique<ReceiverRun>(m_home->log());
    }

    void cleanup()
    {
        QVERIFY(ThreadRunner::WaitForAll(20000));
        // Whatever happened, no password (right or wrong) reached the log.
        QVERIFY(!m_home->logText().contains(QLatin1String("secret")));
        m_run.reset();
        m_server.reset();
        m_home.reset();
    }

    void dialogues_data()
    {
        QTest::addColumn<Dialogue>("d");
        const QList<QByteArray> quit{"QUIT"};
        const QList<QByteArray> noUidl{"TOP", "USER", "PIPELINING"};
        auto row = [](const char *name, const Dialogue &d) { QTest::newRow(name) << d; };

        // The newest 30 are walked oldest first.
        row("newest-window-finds-message-41",
            {.messages = 41, .known = range(1, 40), .sent = login({"UIDL"}) + tops(12, 41, " 1") + tops(41, 41, kWhole) + quit,
             .arrived = {41}, .seen = range(12, 41)});
        row("headers-only-when-content-is-not-wanted", {.messages = 2, .headersOnly = true,
                                                        .sent = login({"UIDL"}) + tops(1, 2, " 1") + quit,
                                                        .arrived = {1, 2}, .seen = {1, 2}});
        // Nothing stored: each fetched whole, in server order. CAPA; USER with PASS; UIDL; the fetch with QUIT.
        row("new-pipelined", {.messages = 35, .capabilities = kPipelining,
                              .sent = login({"UIDL"}) + tops(6, 35, kWhole) + quit, .turns = 4,
                              .arrived = range(6, 35), .seen = range(6, 35)});
        // Nothing stored: every message is new, unique-ids or not.
        row("new-pipelined-without-uidl", {.messages = 35, .capabilities = noUidl,
                                           .sent = login({"CAPA", "STAT"}) + tops(6, 35, kWhole) + quit, .turns = 5,
                                           .arrived = range(6, 35)});
        // 6, 7 and 8 are known. CAPA, USER with PASS, UIDL, the walk, the fetch with QUIT; whole
        // replies in one read are new-pipelined's and the pipelined refusals'.
        row("pipelined-batches-stream-cut-into-small-pieces",
            {.messages = 35, .capabilities = kPipelining, .chunks = {7, 3, 1, 2}, .known = range(1, 8),
             .sent = login({"UIDL"}) + tops(6, 35, " 1") + tops(9, 35, kWhole) + quit, .turns = 5,
             .arrived = range(9, 35), .seen = range(6, 35)});
        // A refused CAPA is an answer: no capabilities, so no UIDL and no pipelining; one walk and
        // one fetch per message, the stored one skipped.
        row("capa-refused-means-no-capabilities",
            {.messages = 5, .rules = {{"CAPA", Action::Error, "Unknown command"}}, .known = {2},
             .sent = login({"STAT"}) + tops(1, 5, " 1") + tops(1, 1, kWhole) + tops(3, 5, kWhole) + quit,
             .turns = 14, .arrived = {1, 3, 4, 5}});
        // The first check with UIDL walked the window; the next costs the listing only (without
        // pipelining: tst_engine's second check).
        row("uidl-poll-with-nothing-new-pipelined", {.messages = 60, .capabilities = kPipelining, .known = range(1, 60),
                                                     .primed = true, .sent = login({"UIDL"}) + quit, .turns = 4});
        // Message 12 is message 3 again under a new unique-id: known by its header, remembered by it.
        row("new-among-known-uidls-costs-one-top",
            {.messages = 10, .known = range(1, 10), .primed = true, .later = {11, 3},
             .sent = login({"UIDL"}) + tops(11, 12, kWhole) + quit, .arrived = {11}, .seen = {11, 3}});
        row("new-among-known-uidls-headers-only",
            {.messages = 10, .known = range(1, 10), .primed = true, .later = {11, 3}, .headersOnly = true,
             .sent = login({"UIDL"}) + tops(11, 12, " 1") + quit, .arrived = {11}, .seen = {11, 3}});
        // Message 2's row is gone from the store: it is fetched whole and delivered again.
        row("known-uidl-whose-message-is-not-stored",
            {.messages = 4, .known = {1, 3, 4}, .primed = true, .sent = login({"UIDL"}) + tops(2, 2, kWhole) + quit,
             .arrived = {2}, .seen = {2}});
        // Without the listing STAT counts the messages; remembered unique-ids mean nothing (not
        // offered at all: new-pipelined-without-uidl).
        row("uidl-offered-but-refused",
            {.messages = 3, .capabilities = {"TOP", "UIDL", "USER", "PIPELINING"},
             .rules = {{"UIDL", Action::Error, "Unknown command"}}, .known = {1}, .remembered = {{"whatever", idOf(1)}},
             .sent = login({"UIDL", "STAT"}) + tops(1, 3, " 1") + tops(2, 3, kWhole) + quit, .arrived = {2, 3}});
        // Not announced before login: asked once more after it.
        row("capabilities-announced-only-after-login",
            {.messages = 2, .capabilities = {"TOP", "UIDL", "USER"}, .capabilitiesBeforeLogin = {"USER", "STLS"},
             .known = {1}, .sent = login({"CAPA", "UIDL"}) + tops(1, 2, " 1") + tops(2, 2, kWhole) + quit,
             .arrived = {2}, .seen = {1, 2}});
        // The newest window ends at the last possible number; the server has no such message.
        row("absurd-count-in-uidl",
            {.messages = 1, .rules = {{"UIDL", Action::Raw, "+OK\r\n2147483647 zz\r\n.\r\n"}},
             .sent = login({"UIDL", "TOP 2147483618" + kWhole}) + quit, .number = k525,
             .error = "There's no message 2147483618."});
        // A server that may refuse plain-text logins gets the password only once USER is answered.
        row("login-waits-for-user-when-not-announced",
            {.capabilities = {"TOP", "UIDL", "PIPELINING"}, .sent = login({"UIDL", "QUIT"}), .turns = 5});
        // Pipelined: the refusal of USER is what is reported, PASS's answer is read and dropped.
        row("pipelined-user-refused", {.capabilities = kPipelining, .rules = {{"USER bob"}}, .sent = login(quit),
                                       .turns = 3, .number = k525, .error = "Invalid logon name"});
        row("wrong-password", {.password = "secret-but-wrong", .sent = {"CAPA", "USER bob", "PASS secret-but-wrong", "QUIT"},
                               .number = k525, .error = "[AUTH] Authentication failed."});
        // As when each message had its own walk: 1 to 3 arrive, then the refusal ends the check.
        const Rule locked{"TOP 4 1", Action::Error, "Message is locked"};
        const Rule lockedWhole{"TOP 4" + kWhole, Action::Error, "Message is locked"};
        row("refusal-in-the-walk-pipelined",
            {.messages = 5, .capabilities = kPipelining, .rules = {locked}, .known = {99},
             .sent = login({"UIDL"}) + tops(1, 5, " 1") + tops(1, 3, kWhole) + quit, .arrived = {1, 2, 3}, .seen = {1, 2, 3},
             .number = k525, .error = "Message is locked"});
        row("refusal-in-the-fetch-one-at-a-time",
            {.messages = 5, .rules = {lockedWhole}, .sent = login({"UIDL"}) + tops(1, 4, kWhole) + quit,
             .arrived = {1, 2, 3}, .seen = {1, 2, 3}, .number = k525, .error = "Message is locked"});
        // Already on its way with the batch; its answer is read and dropped.
        row("refusal-in-the-fetch-pipelined",
            {.messages = 5, .capabilities = kPipelining, .rules = {lockedWhole},
             .sent = login({"UIDL"}) + tops(1, 5, kWhole) + quit, .arrived = {1, 2, 3}, .seen = {1, 2, 3},
             .number = k525, .error = "Message is locked"});
    }

    void dialogues()
    {
        QFETCH(Dialogue, d);
        if (!d.capabilities.isEmpty())
            m_server->setCapabilities(d.capabilities);
        if (!d.capabilitiesBeforeLogin.isEmpty())
            m_server->setCapabilitiesBeforeLogin(d.capabilitiesBeforeLogin);
        for (int n : range(1, d.messages))
            m_server->addMessage(mail(n));
        m_knownUidls = d.remembered;
        if (d.primed) {
            run(knownOf(ids(range(1, d.messages))));
            QVERIFY(m_run->completed());
            m_knownUidls = m_run->seenUidls;
            m_server->clearReceived();
        }
        for (int n : std::as_const(d.later))
            m_server->addMessage(mail(n));
        for (const Rule &rule : std::as_const(d.rules))
            m_server->setAction(rule.command, rule.action, rule.text);
        if (!d.password.isEmpty())
            m_account.Add(QStringLiteral("Pwd"), d.password);
        m_server->setStreamChunks(d.chunks, 0);
        run(knownOf(ids(d.known)), d.headersOnly);

        QCOMPARE(m_server->commands(), d.sent);
        if (d.turns)
            QCOMPARE(m_server->turns(), d.turns);
        QCOMPARE(m_run->arrivedIds(), ids(d.arrived));
        for (qsizetype i = 0; i < d.arrived.size(); ++i) {
            const int n = d.arrived.at(i);
            const Record &msg = m_run->arrived.at(i);
            QStringList names{"Server", "User", "POP3Id", "From", "To", "Date", "Subject"};
            if (!d.headersOnly)
                names << QStringLiteral("Content");
            QCOMPARE(msg.names(), names);
            QCOMPARE(msg.text(QStringLiteral("Server")), QStringLiteral("127.0.0.1"));
            QCOMPARE(msg.text(QStringLiteral("User")), QStringLiteral("bob"));
            QCOMPARE(msg.text(QStringLiteral("From")), QStringLiteral("Sender %1").arg(n));
            QCOMPARE(msg.text(QStringLiteral("To")), QStringLiteral("Bob"));
            QCOMPARE(msg.text(QStringLiteral("Subject")), QStringLiteral("Message %1").arg(n));
            QVERIFY(msg.text(QStringLiteral("Date")).startsWith(QLatin1String("Sun, 6 Dec 2026")));
            // The content is the message byte for byte, stuffing undone, without the final line end.
            if (!d.headersOnly)
                QCOMPARE(msg.text(QStringLiteral("Content")).toLatin1(), mail(n).chopped(2));
        }
        QStringList seen, expectedSeen = ids(d.seen);
        for (const QVariant &v : std::as_const(m_run->seenUidls))
            seen << v.toString();
        seen.sort();
        expectedSeen.sort();
        QCOMPARE(seen, expectedSeen);
        // The messages, the unique-ids examined (even when the check failed), then the end.
        QList<int> order(d.arrived.size(), ReceiverMessages::MsgArrived);
        if (!d.seen.isEmpty())
            order << ReceiverMessages::UidlsSeen;
        order << (d.number ? ReceiverMessages::ErrorOccured : ReceiverMessages::ReceiveComplete);
        QCOMPARE(m_run->order, order);
        if (d.number) {
            const PostedError error = m_run->error();
            QCOMPARE(error.number, d.number);
            QCOMPARE(error.description, kCannot + d.error);
            QCOMPARE(error.accountId, kAccountId);
        } else {
            QCOMPARE(m_run->endData.toString(), kAccountId);
            // A refused CAPA is an answer, not a failure: traced, kept out of the short log (a
            // refused UIDL is noted there).
            if (std::none_of(d.rules.begin(), d.rules.end(), [](const Rule &r) { return r.command == "UIDL"; }))
                QVERIFY(!m_home->shortLogText().contains("CArriveShell.SendData"));
        }
    }

    void messageWithoutIdentifierIsStoredOnce_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("uidl");
        QTest::addColumn<QString>("id"); // ending in ':': the start of it
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("from");
        // No empty line after the header, as TOP gives a message without body.
        QTest::newRow("header-only-message-read-as-a-header")
            << QByteArray("Message-ID: <note@example.org>\r\nFrom: Note <n@example.org>\r\nSubject: just a note")
            << true << QStringLiteral("<note@example.org>") << QStringLiteral("just a note") << QStringLiteral("Note");
        // Date and Received stand in through the parser's identifier (tst_mimeparser); the sender
        // is the receiver's own last resort.
        QTest::newRow("from-stands-in") << QByteArray("From: Only From <f@example.org>\r\nSubject: bare\r\n\r\nz\r\n")
                                        << true << QStringLiteral("Only From") << QStringLiteral("bare")
                                        << QStringLiteral("Only From");
        QTest::newRow("header-only-without-identifier-known-by-its-unique-id")
            << QByteArray("Subject: only a subject") << true << QStringLiteral("uidl:") << QStringLiteral("only a subject")
            << QString();
        QTest::newRow("no-identifier-and-no-unique-ids-known-by-a-hash")
            << QByteArray("Subject: nothing to know it by\r\n\r\nbody\r\n") << false << QStringLiteral("header-sha1:")
            << QStringLiteral("nothing to know it by") << QString();
    }

    void messageWithoutIdentifierIsStoredOnce()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, uidl);
        QFETCH(QString, id);
        QFETCH(QString, subject);
        QFETCH(QString, from);
        if (!uidl)
            m_server->setCapabilities({"TOP", "USER"});
        m_server->addMessage(message);
        m_server->addMessage(mail(2));
        run();
        // It does not block the mailbox: both arrive, and the check ends well.
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrived.size(), 2);
        const Record &odd = m_run->arrived.first();
        const QString got = odd.text(QStringLiteral("POP3Id"));
        if (id.endsWith(QLatin1Char(':')))
            QVERIFY2(got.startsWith(id) && got.size() > id.size() + 4, qPrintable(got));
        else
            QCOMPARE(got, id);
        QCOMPARE(odd.text(QStringLiteral("Subject")), subject);
        QCOMPARE(odd.text(QStringLiteral("From")), from);
        QCOMPARE(odd.text(QStringLiteral("Content")).toLatin1(), message.endsWith("\r\n") ? message.chopped(2) : message);
        QCOMPARE(m_run->arrived.at(1).text(QStringLiteral("POP3Id")), idOf(2));
        QCOMPARE(m_home->shortLogText().contains("its header gives no identifier"), id.endsWith(QLatin1Char(':')));

        // The next check, with or without the unique-ids remembered, knows them both.
        const DataBag known = knownOf(m_run->arrivedIds());
        const QVariantMap seen = m_run->seenUidls;
        for (const bool remembered : {false, true}) {
            m_knownUidls = remembered ? seen : QVariantMap();
            run(known);
            QVERIFY(m_run->completed());
            QVERIFY(m_run->arrived.isEmpty());
        }
    }

    void longMessageIsCutAndMarked()
    {
        QByteArray big = "Message-ID: <big@example.org>\r\nFrom: Big <big@example.org>\r\nSubject: big\r\n\r\n";
        for (int line = 0; line < 400; ++line)
            big += "line " + QByteArray::number(line) + ' ' + QByteArray(60, 'z') + "\r\n";
        m_server->addMessage(big);
        m_server->addMessage(mail(2));
        m_keptBytes = 4096;
        run();
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrived.size(), 2);
        const QString content = m_run->arrived.first().text(QStringLiteral("Content"));
        QVERIFY(MessageLimits::IsTruncated(content));
        // After the mark: the message's first bytes exactly as sent, whole lines, within the limit.
        const QByteArray kept = content.section(QLatin1String("\r\n"), 1).toLatin1();
        QVERIFY(kept.size() <= 4096 && kept.size() > 4000);
        QVERIFY(big.startsWith(kept + "\r\n"));
        QCOMPARE(m_run->arrived.first().text(QStringLiteral("Subject")), QStringLiteral("big"));
        // A message within the limit is stored whole and unmarked.
        QCOMPARE(m_run->arrived.at(1).text(QStringLiteral("Content")).toLatin1(), mail(2).chopped(2));
    }

    void uniqueIdListedTwiceIsNotTrusted()
    {
        for (int n = 1; n <= 40; ++n)
            m_server->addMessage(mail(n));
        const DataBag known = knownOf(ids(range(1, 40)));
        run(known);
        m_knownUidls = m_run->seenUidls;
        // The listing names message 40's unique-id once more, long before the window.
        const QString uid40 = m_knownUidls.key(idOf(40));
        QVERIFY(!uid40.isEmpty());
        QByteArray listing = "+OK\r\n";
        for (int n = 1; n <= 40; ++n) {
            const QString uid = n == 2 ? uid40 : m_knownUidls.key(idOf(n), QStringLiteral("old-%1").arg(n));
            listing += QByteArray::number(n) + ' ' + uid.toLatin1() + "\r\n";
        }
        m_server->setAction("UIDL", Action::Raw, listing + ".\r\n");
        m_server->clearReceived();
        run(known);
        QVERIFY(m_run->completed());
        // Only message 40 is looked at again; the other known ones cost nothing.
        QCOMPARE(m_server->commands(), login({"UIDL", "TOP 40 1", "QUIT"}));
    }

    void checkTimeLimitEndsADribblingCheck()
    {
        QVERIFY(m_home->writeFile(QStringLiteral("services.json"), R"({"checkTimeLimitSeconds": 2})"));
        for (int n = 1; n <= 3; ++n)
            m_server->addMessage(mail(n));
        // One byte a second: never silent for as long as the inactivity limit.
        m_server->setStreamChunks({1}, 1000);
        m_limitMs = 1500;
        QElapsedTimer clock;
        clock.start();
        run();
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        const PostedError error = m_run->error();
        QCOMPARE(error.number, MUError::engineNumber(531));
        QCOMPARE(error.description, kCannot + "The server is too slow: the check was stopped after 2 seconds. ");
        QVERIFY(m_run->arrived.isEmpty());
    }

    void connectionFailures_data()
    {
        QTest::addColumn<QString>("server"); // on a port that was just free
        QTest::addColumn<qint32>("number");
        QTest::addColumn<QString>("description"); // ending in "...": the start of it
        QTest::newRow("unknown-host") << "no-such-host.invalid" << MUError::engineNumber(515)
                                      << "E-mail server 'no-such-host.invalid' is not accessible. ";
        QTest::newRow("connection-refused") << "127.0.0.1" << qint32(SocketErrorNumbers::ConnectionRefused)
                                            << kCannot + "...";
    }

    void connectionFailures()
    {
        QFETCH(QString, server);
        QFETCH(qint32, number);
        QFETCH(QString, description);
        m_account = TestAccounts::mailbox(server, DovecotFixture::freePort());
        run();
        const PostedError error = m_run->error();
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        QCOMPARE(error.number, number);
        QCOMPARE(error.accountId, kAccountId);
        if (description.endsWith(QLatin1String("...")))
            QVERIFY2(error.description.startsWith(description.chopped(3)) && error.description.size() > 60,
                     qPrintable(error.description));
        else
            QCOMPARE(error.description, description);
    }

    void cancel_data()
    {
        QTest::addColumn<QByteArray>("silent"); // cancelled when it arrives; never answered; pipelined after login
        QTest::addColumn<int>("least");         // messages that must have arrived
        QTest::addColumn<int>("most");
        QTest::newRow("before-login") << QByteArray("USER bob") << 0 << 0;
        // The last of each batch stays unanswered (a real server never skips a reply).
        QTest::newRow("during-the-pipelined-walk") << QByteArray("TOP 5 1") << 0 << 0;
        QTest::newRow("during-the-pipelined-fetch") << QByteArray("TOP 5" + kWhole) << 0 << 4;
    }

    void cancel()
    {
        QFETCH(QByteArray, silent);
        const bool pipelining = silent.startsWith("TOP");
        QFETCH(int, least);
        QFETCH(int, most);
        m_cancelName = kAccountId + QString::fromLatin1(QTest::currentDataTag());
        auto cancel = CancelEvent::Create(m_cancelName);
        cancel->Reset();
        if (pipelining)
            m_server->setCapabilities(kPipelining);
        for (int n = 1; n <= 5; ++n)
            m_server->addMessage(mail(n));
        m_server->setAction(silent, Action::Silent);
        connect(m_server.get(), &FakePop3Server::commandReceived, this, [cancel, silent](const QByteArray &line) {
            if (line == silent)
                cancel->Signal();
        });
        // Far longer than the test may take: only the cancel can end the wait.
        m_limitMs = 120000;
        QElapsedTimer clock;
        clock.start();
        // Stored mail whose unique-ids were never recorded: walked before it is fetched.
        run(pipelining ? knownOf({idOf(99)}) : DataBag());
        QVERIFY(clock.elapsed() < 20000);
        QVERIFY(m_run->arrived.size() >= least && m_run->arrived.size() <= most);
        QCOMPARE(m_run->arrivedIds(), ids(range(1, int(m_run->arrived.size()))));
        QTRY_COMPARE(m_server->commands().last(), QByteArray("QUIT"));
        QCOMPARE(m_server->countOf("QUIT"), 1);
        if (pipelining)
            QVERIFY(m_server->maxBurst() >= 5);
        if (silent.startsWith("USER")) {
            // Before the login there is no check to complete.
            QCOMPARE(m_run->error().number, MUError::Fail);
            QVERIFY(m_run->error().description.endsWith(QLatin1String("Cancelled. ")));
            QCOMPARE(m_server->commands(), (QList<QByteArray>{"CAPA", "USER bob", "QUIT"}));
        } else {
            QVERIFY(m_run->completed());
        }
    }

    void inactivityLimitAppliesToEachPipelinedReply()
    {
        m_server->setCapabilities(kPipelining);
        for (int n = 1; n <= 4; ++n)
            m_server->addMessage(mail(n));
        // A server that stops answering answers nothing after it either (QUIT rides with the fetch).
        m_server->setAction("TOP 4" + kWhole, Action::Silent);
        m_server->setAction("QUIT", Action::Silent);
        m_server->setStreamChunks({40}, 150);
        m_limitMs = 400;
        run();
        QCOMPARE(m_run->error().number, MUError::engineNumber(533));
        // Replies trickling in 150 ms apart never reach the limit; only the silent one does.
        QCOMPARE(m_run->arrived.size(), 3);
    }

private:
    /// One check with the fixture's settings; what it posted is in m_run.
    void run(const DataBag &known = {}, bool dontReceiveContent = false);

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<FakePop3Server> m_server;
    std::unique_ptr<ReceiverRun> m_run;
    Record m_account;
    QString m_cancelName;
    int m_limitMs = 10000;
    int m_keptBytes = 0; // 0: the receiver's default
    QVariantMap m_knownUidls; // given to the next run
};

void TestCReceiver::run(const DataBag &known, bool dontReceiveContent)
{
    DataBag data;
    data.Add(QVariant::fromValue(known), QStringLiteral("ReceivedMsgIds"));
    data.Add(dontReceiveContent, QStringLiteral("DontReceiveContent"));
    if (!m_cancelName.isEmpty())
        data.Add(m_cancelName, QStringLiteral("CancelEvent"));
    data.Add(m_limitMs, QStringLiteral("InactivityLimitMs"));
    if (m_keptBytes > 0)
        data.Add(m_keptBytes, QStringLiteral("KeptMessageBytes"));
    if (!m_knownUidls.isEmpty())
        data.Add(m_knownUidls, QStringLiteral("KnownUidls"));
    m_run->clear();
    QVERIFY(m_run->run(m_account, data));
}

QTEST_GUILESS_MAIN(TestCReceiver)

#include "tst_creceiver.moc"
