#include "FakePop3Server.h"
#include "ReceiverRun.h"
#include "TestHome.h"
#include "receive/CReceiver.h"
#include "receive/ReceiveWorkers.h"
#include "receive/ReceiverMessages.h"
#include "receive/SocketErrorNumbers.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/Messanger.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"
#include "trellis/Record.h"
#include "trellis/ThreadRunner.h"
#include "mime/MessageLimits.h"
#include <QElapsedTimer>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using Action = FakePop3Server::Action;

namespace {
const QString kAccountId = TestAccounts::kId;

QByteArray mail(int n, const QByteArray &extraHeaders = {})
{
    return TestMail{n, "msg", {}, extraHeaders}.bytes();
}

QString idOf(int n)
{
    return TestMail{n}.id();
}

/// The line count of a whole-message fetch, as it goes on the wire.
const QByteArray kWhole = " 1048576";

/// TOP `from`..`to` with `lines`, one command each.
QList<QByteArray> tops(int from, int to, const QByteArray &lines)
{
    QList<QByteArray> out;
    for (int n = from; n <= to; ++n)
        out << "TOP " + QByteArray::number(n) + lines;
    return out;
}

const QList<QByteArray> kPipelining = {"CAPA", "TOP", "UIDL", "USER", "PIPELINING"};

/// The identifiers of a unique-id map, each once, sorted.
QStringList identifiers(const QVariantMap &uidls)
{
    QStringList ids;
    for (const QVariant &v : uidls)
        ids << v.toString();
    ids.removeDuplicates();
    ids.sort();
    return ids;
}

QStringList ids(int from, int to)
{
    QStringList out;
    for (int n = from; n <= to; ++n)
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

DataBag knownIds(int from, int to)
{
    return knownOf(ids(from, to));
}

}

/// The POP3 receiver on a worker thread against the fake server on the test's thread.
class TestCReceiver : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        RegisterTrellisMetaTypes();
        RegisterReceiveWorkers();
        QVERIFY(ThreadRunner::IsRegistered(QStringLiteral("MUCustom.CReceiver")));
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
        m_run.reset();
        m_server.reset();
        m_home.reset();
    }

    void emptyMailbox()
    {
        run();
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->endData.toString(), kAccountId);
        QVERIFY(m_run->arrived.isEmpty());
        QCOMPARE(m_server->commands(), (QList<QByteArray>{"CAPA", "USER bob", "PASS secret", "UIDL", "QUIT"}));
    }

    void threeNewMessagesInServerOrder()
    {
        for (int n = 1; n <= 3; ++n)
            m_server->addMessage(mail(n));
        run();
        QVERIFY(m_run->completed());
        // The unique-ids examined are reported before the end.
        QCOMPARE(m_run->order, (QList<int>{1, 1, 1, 4, 2}));
        // Nothing is stored yet: one request per message, each fetched whole, in server order.
        QCOMPARE(m_server->commands(),
                 (QList<QByteArray>{"CAPA", "USER bob", "PASS secret", "UIDL", "TOP 1" + kWhole, "TOP 2" + kWhole,
                                    "TOP 3" + kWhole, "QUIT"}));
        QCOMPARE(m_server->maxBurst(), 1);
        QCOMPARE(m_run->seenUidls.size(), 3);
        for (int n = 1; n <= 3; ++n) {
            const Record &msg = m_run->arrived.at(n - 1);
            QCOMPARE(msg.names(), (QList<QString>{"Server", "User", "POP3Id", "From", "To", "Date", "Subject", "Content"}));
            QCOMPARE(msg.text(QStringLiteral("Server")), QStringLiteral("127.0.0.1"));
            QCOMPARE(msg.text(QStringLiteral("User")), QStringLiteral("bob"));
            QCOMPARE(msg.text(QStringLiteral("POP3Id")), idOf(n));
            QCOMPARE(msg.text(QStringLiteral("From")), QStringLiteral("Sender %1").arg(n));
            QCOMPARE(msg.text(QStringLiteral("To")), QStringLiteral("Bob"));
            QCOMPARE(msg.text(QStringLiteral("Subject")), QStringLiteral("Message %1").arg(n));
            QVERIFY(msg.text(QStringLiteral("Date")).startsWith(QLatin1String("Sun, 6 Dec 2026")));
            // The content is the message byte for byte, stuffing undone, without the final line end.
            QCOMPARE(msg.text(QStringLiteral("Content")).toLatin1(), mail(n).chopped(2));
        }
    }

    void newestWindowFindsMessage41()
    {
        DataBag known;
        for (int n = 1; n <= 41; ++n) {
            m_server->addMessage(mail(n));
            if (n <= 40)
                known.Add(idOf(n), idOf(n));
        }
        run(known);
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrivedIds(), ids(41, 41));
        const QList<QByteArray> commands = m_server->commands();
        QVERIFY(commands.contains("TOP 41" + kWhole));
        QCOMPARE(m_server->countOf("TOP"), 30 + 1);
        // The newest 30 are walked oldest first.
        QCOMPARE(commands.at(4), QByteArray("TOP 12 1"));
        QVERIFY(!commands.contains("TOP 11 1"));
        QCOMPARE(commands.last(), QByteArray("QUIT"));
    }

    void headersOnlyWhenContentIsNotWanted()
    {
        m_server->addMessage(mail(1));
        m_server->addMessage(mail(2));
        run({}, true);
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrived.size(), 2);
        for (const QByteArray &line : m_server->commands())
            QVERIFY2(!line.endsWith(kWhole), line.constData());
        QCOMPARE(m_run->arrived.at(1).names(), (QList<QString>{"Server", "User", "POP3Id", "From", "To", "Date", "Subject"}));
        QCOMPARE(m_run->arrived.at(1).text(QStringLiteral("Subject")), QStringLiteral("Message 2"));
    }

    void messageWithoutMessageIdUsesFallbacks()
    {
        m_server->addMessage("Date: Mon, 7 Dec 2026 08:00:00 +0000\r\nFrom: Dated <d@example.org>\r\nSubject: dated\r\n\r\nx\r\n");
        m_server->addMessage("Received: from relay.example.org by mx\r\nFrom: R <r@example.org>\r\n\r\ny\r\n");
        m_server->addMessage("From: Only From <f@example.org>\r\nSubject: bare\r\n\r\nz\r\n");
        run();
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrivedIds(),
                 (QStringList{"Mon, 7 Dec 2026 08:00:00 +0000", "from relay.example.org by mx", "Only From"}));

        // A second check that knows these ids fetches nothing.
        m_server->clearReceived();
        run(knownOf(m_run->arrivedIds()));
        QVERIFY(m_run->completed());
        QVERIFY(m_run->arrived.isEmpty());
        QCOMPARE(m_server->countOf("TOP"), 3);
    }

    void messageWithoutIdentifierIsStoredOnce_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("uidl");
        QTest::addColumn<QString>("idPrefix"); // empty: the header's own identifier
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("from");
        // No empty line after the header, as TOP gives a message without body.
        QTest::newRow("header-only-message-read-as-a-header")
            << QByteArray("Message-ID: <note@example.org>\r\nFrom: Note <n@example.org>\r\nSubject: just a note")
            << true << QString() << QStringLiteral("just a note") << QStringLiteral("Note");
        QTest::newRow("header-only-without-identifier-known-by-its-unique-id")
            << QByteArray("Subject: only a subject") << true << QStringLiteral("uidl:fake-") << QStringLiteral("only a subject")
            << QString();
        QTest::newRow("no-identifier-and-no-unique-ids-known-by-a-hash")
            << QByteArray("Subject: nothing to know it by\r\n\r\nbody\r\n") << false << QStringLiteral("header-sha1:")
            << QStringLiteral("nothing to know it by") << QString();
    }

    void messageWithoutIdentifierIsStoredOnce()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, uidl);
        QFETCH(QString, idPrefix);
        QFETCH(QString, subject);
        QFETCH(QString, from);
        if (!uidl)
            m_server->setCapabilities({"TOP", "USER"});
        m_server->addMessage(message);
        m_server->addMessage(mail(2));
        run();
        // It no longer blocks the mailbox: both arrive, and the check ends well.
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrived.size(), 2);
        const Record &odd = m_run->arrived.first();
        const QString id = odd.text(QStringLiteral("POP3Id"));
        if (idPrefix.isEmpty())
            QCOMPARE(id, QStringLiteral("<note@example.org>"));
        else
            QVERIFY2(id.startsWith(idPrefix) && id.size() > idPrefix.size() + 4, qPrintable(id));
        QCOMPARE(odd.text(QStringLiteral("Subject")), subject);
        QCOMPARE(odd.text(QStringLiteral("From")), from);
        QCOMPARE(odd.text(QStringLiteral("Content")).toLatin1(), message.endsWith("\r\n") ? message.chopped(2) : message);
        QCOMPARE(m_run->arrived.at(1).text(QStringLiteral("POP3Id")), idOf(2));
        QCOMPARE(m_home->shortLogText().contains("its header gives no identifier"), !idPrefix.isEmpty());

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
        const DataBag known = knownIds(1, 40);
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
        QCOMPARE(m_server->commands(), (QList<QByteArray>{"CAPA", "USER bob", "PASS secret", "UIDL", "TOP 40 1", "QUIT"}));
    }

    void checkTimeLimitEndsADribblingCheck()
    {
        QVERIFY(m_home->writeFile(QStringLiteral("services.json"), R"({"checkTimeLimitSeconds": 2})"));
        for (int n = 1; n <= 3; ++n)
            m_server->addMessage(mail(n));
        // One byte a second: never silent for as long as the inactivity limit.
        m_server->setChunks("UIDL", QList<int>(400, 1), 1000);
        m_limitMs = 1500;
        QElapsedTimer clock;
        clock.start();
        run();
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        const PostedError error = m_run->error();
        QCOMPARE(error.number, MUError::engineNumber(531));
        QCOMPARE(error.description,
                 QStringLiteral("Cannot get new messages from e-mail server '127.0.0.1'. "
                                "The server is too slow: the check was stopped after 2 seconds. "));
        QVERIFY(m_run->arrived.isEmpty());

        // The next check, with a server that answers, works.
        m_server->setChunks("UIDL", {}, 0);
        run();
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrived.size(), 3);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<qint32>("number");
        QTest::addColumn<QString>("description"); // ending in "...": the start of it
        QTest::addColumn<QList<QByteArray>>("commands");
        const QString cannot = QStringLiteral("Cannot get new messages from e-mail server '127.0.0.1'. ");
        QTest::newRow("wrong-password") << "password" << MUError::engineNumber(525)
                                        << cannot + "[AUTH] Authentication failed."
                                        << QList<QByteArray>{"CAPA", "USER bob", "PASS wrong", "QUIT"};
        QTest::newRow("unknown-host") << "host" << MUError::engineNumber(515)
                                      << "E-mail server 'no-such-host.invalid' is not accessible. " << QList<QByteArray>{};
        QTest::newRow("connection-refused") << "port" << qint32(SocketErrorNumbers::ConnectionRefused) << cannot + "..."
                                            << QList<QByteArray>{};
        // Connected and greeted: not "Cannot connect".
        QTest::newRow("silent-after-greeting")
            << "silent" << MUError::engineNumber(533)
            << cannot + "The server stopped answering: nothing arrived for 0.3 seconds. "
            << QList<QByteArray>{"CAPA", "QUIT"};
    }

    void failures()
    {
        QFETCH(QString, change);
        QFETCH(qint32, number);
        QFETCH(QString, description);
        QFETCH(QList<QByteArray>, commands);
        if (change == QLatin1String("password")) {
            m_account.Add(QStringLiteral("Pwd"), QStringLiteral("wrong"));
        } else if (change == QLatin1String("host")) {
            m_account = TestAccounts::mailbox(QStringLiteral("no-such-host.invalid"), 110);
        } else if (change == QLatin1String("port")) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            m_account = TestAccounts::mailbox(QStringLiteral("127.0.0.1"), probe.serverPort());
            probe.close(); // nobody listens there any more
        } else {
            m_server->setSilentAfterGreeting(true);
            m_limitMs = 300;
        }
        run();
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        const PostedError error = m_run->error();
        QCOMPARE(error.number, number);
        QCOMPARE(error.accountId, kAccountId);
        if (description.endsWith(QLatin1String("...")))
            QVERIFY2(error.description.startsWith(description.chopped(3)) && error.description.size() > 60,
                     qPrintable(error.description));
        else
            QCOMPARE(error.description, description);
        if (!commands.isEmpty())
            QCOMPARE(m_server->commands(), commands);
    }

    void cancelBeforeLogin()
    {
        m_cancelName = kAccountId + QStringLiteral("RC1");
        auto cancel = CancelEvent::Create(m_cancelName);
        cancel->Reset();
        m_server->addMessage(mail(1));
        m_server->setAction("USER", Action::Silent);
        connect(m_server.get(), &FakePop3Server::commandReceived, this, [cancel](const QByteArray &line) {
            if (line.startsWith("USER"))
                cancel->Signal();
        });
        m_limitMs = 60000;
        run();
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        const PostedError error = m_run->error();
        QCOMPARE(error.number, MUError::Fail);
        QVERIFY(error.description.endsWith(QLatin1String("Cancelled. ")));
        QVERIFY(m_run->arrived.isEmpty());
        QTRY_COMPARE(m_server->commands(), (QList<QByteArray>{"CAPA", "USER bob", "QUIT"}));
    }

    void cancelDuringTheLoop()
    {
        m_cancelName = kAccountId + QStringLiteral("RC2");
        auto cancel = CancelEvent::Create(m_cancelName);
        cancel->Reset();
        for (int n = 1; n <= 3; ++n)
            m_server->addMessage(mail(n));
        m_server->setAction("TOP 2" + kWhole, Action::Silent);
        connect(m_server.get(), &FakePop3Server::commandReceived, this, [cancel](const QByteArray &line) {
            if (line == "TOP 2" + kWhole)
                cancel->Signal();
        });
        m_limitMs = 60000;
        run();
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->endData.toString(), kAccountId);
        QCOMPARE(m_run->arrivedIds(), ids(1, 1));
        QTRY_COMPARE(m_server->commands().last(), QByteArray("QUIT"));
        QCOMPARE(m_server->countOf("QUIT"), 1);
    }

    void passwordNeverLogged()
    {
        m_server->addMessage(mail(1));
        run();
        m_account.Add(QStringLiteral("Pwd"), QStringLiteral("secret-but-wrong"));
        run();
        const QString text = m_home->logText();
        QVERIFY(text.contains("PASS ****"));
        QVERIFY(text.contains("Start Check account '127.0.0.1'/'bob', fDontReceiveContent=False"));
        QVERIFY(text.contains("QUIT Result = "));
        QVERIFY(!text.contains("PASS secret"));
        QVERIFY(!text.contains("secret"));
    }

    void newMessagesCostOneRequestEach_data()
    {
        QTest::addColumn<QList<QByteArray>>("capabilities");
        QTest::addColumn<QList<QByteArray>>("listing"); // the commands between the login and the fetch
        QTest::addColumn<int>("turns");
        const QList<QByteArray> noUidl{"TOP", "USER", "PIPELINING"};
        // CAPA, USER, PASS, UIDL, one per message, QUIT: n + 5.
        QTest::newRow("one-at-a-time") << QList<QByteArray>{"CAPA", "TOP", "UIDL", "USER"} << QList<QByteArray>{"UIDL"}
                                       << 30 + 5;
        // CAPA; USER with PASS; UIDL; the fetch with QUIT.
        QTest::newRow("pipelined") << kPipelining << QList<QByteArray>{"UIDL"} << 4;
        // Nothing stored: every message is new, unique-ids or not.
        QTest::newRow("pipelined-without-uidl") << noUidl << QList<QByteArray>{"CAPA", "STAT"} << 5;
    }

    void newMessagesCostOneRequestEach()
    {
        QFETCH(QList<QByteArray>, capabilities);
        QFETCH(QList<QByteArray>, listing);
        QFETCH(int, turns);
        m_server->setCapabilities(capabilities);
        for (int n = 1; n <= 35; ++n)
            m_server->addMessage(mail(n));
        run();
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrivedIds(), ids(6, 35));
        for (int k = 0; k < 30; ++k)
            QCOMPARE(m_run->arrived.at(k).text(QStringLiteral("Content")).toLatin1(), mail(6 + k).chopped(2));
        QCOMPARE(m_server->commands(),
                 QList<QByteArray>({"CAPA", "USER bob", "PASS secret"}) + listing + tops(6, 35, kWhole) + QList<QByteArray>{"QUIT"});
        QCOMPARE(m_server->turns(), turns);
    }

    void pipelinedBatches_data()
    {
        QTest::addColumn<QList<int>>("pieces");
        QTest::newRow("whole-replies") << QList<int>{};
        QTest::newRow("stream-cut-into-small-pieces-across-replies") << QList<int>{7, 3, 1, 2};
        QTest::newRow("stream-cut-at-odd-sizes-across-replies") << QList<int>{61, 5, 250, 1, 33};
    }

    void pipelinedBatches()
    {
        QFETCH(QList<int>, pieces);
        m_server->setCapabilities(kPipelining);
        m_server->setStreamChunks(pieces, 0);
        for (int n = 1; n <= 35; ++n)
            m_server->addMessage(mail(n));
        run(knownIds(1, 8));
        QVERIFY(m_run->completed());
        // The newest 30 are 6..35; 6, 7 and 8 are known.
        QCOMPARE(m_run->arrivedIds(), ids(9, 35));
        for (int k = 0; k < 27; ++k)
            QCOMPARE(m_run->arrived.at(k).text(QStringLiteral("Content")).toLatin1(), mail(9 + k).chopped(2));
        QList<QByteArray> expected{"CAPA", "USER bob", "PASS secret", "UIDL"};
        for (int n = 6; n <= 35; ++n)
            expected << "TOP " + QByteArray::number(n) + " 1";
        expected << tops(9, 35, kWhole) << "QUIT";
        QCOMPARE(m_server->commands(), expected);
        // CAPA, USER with PASS, UIDL, the walk, the fetch with QUIT.
        QCOMPARE(m_server->turns(), 5);
        QVERIFY2(m_server->maxBurst() >= 27, QByteArray::number(m_server->maxBurst()).constData());
        QCOMPARE(m_run->seenUidls.size(), 30);
    }

    void noPipeliningWithoutCapability_data()
    {
        QTest::addColumn<bool>("capaRefused");
        QTest::newRow("capa-without-pipelining") << false;
        QTest::newRow("capa-refused-means-no-capabilities") << true;
    }

    void noPipeliningWithoutCapability()
    {
        QFETCH(bool, capaRefused);
        if (capaRefused)
            m_server->setAction("CAPA", Action::Error, "Unknown command");
        for (int n = 1; n <= 5; ++n)
            m_server->addMessage(mail(n));
        run(knownIds(2, 2));
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrived.size(), 4);
        QCOMPARE(m_server->maxBurst(), 1);
        QCOMPARE(m_server->turns(), m_server->commands().size());
        // Without CAPA nothing says UIDL is there: it is not asked.
        QCOMPARE(m_server->countOf("UIDL"), capaRefused ? 0 : 1);
        // A refused CAPA is an answer, not a failure: traced, kept out of the short log.
        QVERIFY(!m_home->shortLogText().contains("CArriveShell.SendData"));
        QCOMPARE(m_server->countOf("TOP"), 5 + 4);
    }

    void refusalInTheWalkStillDeliversWhatCameBefore_data()
    {
        QTest::addColumn<bool>("pipelining");
        QTest::addColumn<bool>("walked"); // the account has stored mail whose unique-ids were never recorded
        QTest::addColumn<bool>("fifthAsked");
        QTest::newRow("walk-one-at-a-time") << false << true << false;
        QTest::newRow("walk-pipelined") << true << true << false;
        QTest::newRow("fetch-one-at-a-time") << false << false << false;
        // Already on its way with the batch; its answer is read and dropped.
        QTest::newRow("fetch-pipelined") << true << false << true;
    }

    void refusalInTheWalkStillDeliversWhatCameBefore()
    {
        QFETCH(bool, pipelining);
        QFETCH(bool, walked);
        QFETCH(bool, fifthAsked);
        if (pipelining)
            m_server->setCapabilities(kPipelining);
        for (int n = 1; n <= 5; ++n)
            m_server->addMessage(mail(n));
        m_server->setAction(walked ? "TOP 4 1" : "TOP 4" + kWhole, Action::Error, "Message is locked");
        run(walked ? knownIds(99, 99) : DataBag());
        // As when each message had its own walk: 1 to 3 arrive, then the refusal ends the check.
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        QCOMPARE(m_run->arrivedIds(), ids(1, 3));
        const PostedError error = m_run->error();
        QCOMPARE(error.number, MUError::engineNumber(525));
        QCOMPARE(error.description,
                 QStringLiteral("Cannot get new messages from e-mail server '127.0.0.1'. Message is locked"));
        QCOMPARE(m_server->commands().contains("TOP 5" + kWhole), fifthAsked);
        QCOMPARE(m_server->commands().last(), QByteArray("QUIT"));
        QCOMPARE(m_server->countOf("QUIT"), 1);
    }

    void uidlPollWithNothingNew_data()
    {
        QTest::addColumn<bool>("pipelining");
        QTest::newRow("one-at-a-time") << false;
        QTest::newRow("pipelined") << true;
    }

    void uidlPollWithNothingNew()
    {
        QFETCH(bool, pipelining);
        if (pipelining)
            m_server->setCapabilities(kPipelining);
        for (int n = 1; n <= 60; ++n)
            m_server->addMessage(mail(n));
        const DataBag known = knownIds(1, 60);
        // The first check with UIDL walks the window once and reports what it saw.
        run(known);
        QVERIFY(m_run->completed());
        QVERIFY(m_run->arrived.isEmpty());
        QCOMPARE(m_run->seenUidls.size(), 30);
        QCOMPARE(identifiers(m_run->seenUidls).size(), 30);

        m_knownUidls = m_run->seenUidls;
        m_server->clearReceived();
        run(known);
        QVERIFY(m_run->completed());
        QCOMPARE(m_server->commands(), (QList<QByteArray>{"CAPA", "USER bob", "PASS secret", "UIDL", "QUIT"}));
        QCOMPARE(m_server->turns(), pipelining ? 4 : 5);
        QCOMPARE(m_run->order, QList<int>{ReceiverMessages::ReceiveComplete});
    }

    void newMessageAmongKnownUidlsCostsOneTop_data()
    {
        QTest::addColumn<bool>("dontReceiveContent");
        QTest::newRow("with-content") << false;
        QTest::newRow("headers-only") << true;
    }

    void newMessageAmongKnownUidlsCostsOneTop()
    {
        QFETCH(bool, dontReceiveContent);
        for (int n = 1; n <= 10; ++n)
            m_server->addMessage(mail(n));
        const DataBag known = knownIds(1, 10);
        run(known, dontReceiveContent);
        m_knownUidls = m_run->seenUidls;
        QCOMPARE(m_knownUidls.size(), 10);

        m_server->addMessage(mail(11));
        m_server->addMessage(mail(3)); // the same message again under a new unique-id: known by its header
        m_server->clearReceived();
        run(known, dontReceiveContent);
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrived.size(), 1);
        QCOMPARE(m_run->arrived.first().text(QStringLiteral("POP3Id")), idOf(11));
        QCOMPARE(m_run->arrived.first().text(QStringLiteral("Subject")), QStringLiteral("Message 11"));
        QCOMPARE(m_run->arrived.first().Exists(QStringLiteral("Content")), !dontReceiveContent);
        if (!dontReceiveContent)
            QCOMPARE(m_run->arrived.first().text(QStringLiteral("Content")).toLatin1(), mail(11).chopped(2));
        const QByteArray lines = dontReceiveContent ? " 1" : kWhole;
        QCOMPARE(m_server->commands(), (QList<QByteArray>{"CAPA", "USER bob", "PASS secret", "UIDL",
                                                          "TOP 11" + lines, "TOP 12" + lines, "QUIT"}));
        // Both are remembered, the copy with the identifier its header gave.
        QCOMPARE(m_run->seenUidls.size(), 2);
        QCOMPARE(identifiers(m_run->seenUidls), (QStringList{idOf(11), idOf(3)}));
    }

    void knownUidlWhoseMessageIsNotStoredIsFetchedAgain()
    {
        for (int n = 1; n <= 4; ++n)
            m_server->addMessage(mail(n));
        run(knownIds(1, 4));
        m_knownUidls = m_run->seenUidls;
        m_server->clearReceived();
        // Message 2's row is gone from the store: it is fetched whole and delivered again, as before.
        DataBag known = knownIds(1, 4);
        known.Remove(idOf(2));
        run(known);
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrivedIds(), ids(2, 2));
        QCOMPARE(m_server->commands(),
                 (QList<QByteArray>{"CAPA", "USER bob", "PASS secret", "UIDL", "TOP 2" + kWhole, "QUIT"}));
    }

    void serverWithoutUidl_data()
    {
        QTest::addColumn<bool>("offered");
        QTest::newRow("not-offered") << false;
        QTest::newRow("offered-but-refused") << true;
    }

    void serverWithoutUidl()
    {
        QFETCH(bool, offered);
        m_server->setCapabilities(offered ? QList<QByteArray>{"TOP", "UIDL", "USER", "PIPELINING"}
                                          : QList<QByteArray>{"TOP", "USER", "PIPELINING"});
        m_server->setAction("UIDL", Action::Error, "Unknown command");
        for (int n = 1; n <= 3; ++n)
            m_server->addMessage(mail(n));
        m_knownUidls.insert(QStringLiteral("whatever"), idOf(1));
        run(knownIds(1, 1));
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrivedIds(), ids(2, 3));
        QCOMPARE(m_server->countOf("UIDL"), offered ? 1 : 0);
        // Not announced before login: asked once more after it.
        QCOMPARE(m_server->countOf("CAPA"), offered ? 1 : 2);
        // Without the listing STAT counts the messages.
        QCOMPARE(m_server->countOf("STAT"), 1);
        QCOMPARE(m_server->countOf("TOP"), 3 + 2);
        QVERIFY(m_run->seenUidls.isEmpty());
        QVERIFY(!m_run->order.contains(ReceiverMessages::UidlsSeen));
    }

    void capabilitiesAnnouncedOnlyAfterLogin()
    {
        m_server->setCapabilitiesBeforeLogin({"USER", "STLS"});
        m_server->setCapabilities({"TOP", "UIDL", "USER"});
        for (int n = 1; n <= 2; ++n)
            m_server->addMessage(mail(n));
        run(knownIds(1, 1));
        QVERIFY(m_run->completed());
        QCOMPARE(m_run->arrived.size(), 1);
        QCOMPARE(m_server->commands(), (QList<QByteArray>{"CAPA", "USER bob", "PASS secret", "CAPA", "UIDL", "TOP 1 1",
                                                          "TOP 2 1", "TOP 2" + kWhole, "QUIT"}));
        QCOMPARE(m_run->seenUidls.size(), 2);
    }

    void absurdMessageCountEndsWithAnError_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("stat") << QByteArray("STAT") << QByteArray("+OK 2147483647 0\r\n");
        QTest::newRow("uidl") << QByteArray("UIDL") << QByteArray("+OK\r\n2147483647 zz\r\n.\r\n");
    }

    void absurdMessageCountEndsWithAnError()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, reply);
        if (command == "STAT")
            m_server->setCapabilities({"TOP", "USER"});
        m_server->addMessage(mail(1));
        m_server->setAction(command, Action::Raw, reply);
        run();
        // The newest window ends at the last possible number; the server has no such message.
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        QVERIFY(m_server->commands().contains("TOP 2147483618" + kWhole));
        QCOMPARE(m_server->countOf("TOP"), 1);
        QCOMPARE(m_server->commands().last(), QByteArray("QUIT"));
    }

    void loginPipelinedOnlyWhenUserIsAnnounced_data()
    {
        QTest::addColumn<QList<QByteArray>>("capabilities");
        QTest::addColumn<QByteArray>("userRefusal"); // empty: USER accepted
        QTest::addColumn<QList<QByteArray>>("expected");
        QTest::addColumn<int>("turns");
        QTest::addColumn<QString>("reason");
        const QList<QByteArray> noUser{"TOP", "UIDL", "PIPELINING"};
        QTest::newRow("user-announced-login-in-one-turn")
            << kPipelining << QByteArray() << QList<QByteArray>{"CAPA", "USER bob", "PASS secret", "UIDL", "QUIT"} << 4
            << QString();
        QTest::newRow("user-not-announced-waits-for-user")
            << noUser << QByteArray() << QList<QByteArray>{"CAPA", "USER bob", "PASS secret", "UIDL", "QUIT"} << 5
            << QString();
        // A server refusing plain-text logins never gets the password.
        QTest::newRow("user-refused-password-never-sent")
            << noUser << QByteArray("[AUTH] Plaintext authentication disallowed")
            << QList<QByteArray>{"CAPA", "USER bob", "QUIT"} << 3 << QStringLiteral("[AUTH] Plaintext authentication disallowed");
        // Pipelined: the refusal of USER is what is reported, PASS's answer is read and dropped.
        QTest::newRow("pipelined-user-refused")
            << kPipelining << QByteArray(" ") << QList<QByteArray>{"CAPA", "USER bob", "PASS secret", "QUIT"} << 3
            << QStringLiteral("Invalid logon name");
    }

    void loginPipelinedOnlyWhenUserIsAnnounced()
    {
        QFETCH(QList<QByteArray>, capabilities);
        QFETCH(QByteArray, userRefusal);
        QFETCH(QList<QByteArray>, expected);
        QFETCH(int, turns);
        QFETCH(QString, reason);
        m_server->setCapabilities(capabilities);
        if (!userRefusal.isEmpty())
            m_server->setAction("USER bob", Action::Error, userRefusal.trimmed());
        run();
        QCOMPARE(m_server->commands(), expected);
        QCOMPARE(m_server->turns(), turns);
        if (reason.isEmpty()) {
            QVERIFY(m_run->completed());
        } else {
            QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
            const PostedError error = m_run->error();
            QCOMPARE(error.number, MUError::engineNumber(525));
            QCOMPARE(error.description,
                     QStringLiteral("Cannot get new messages from e-mail server '127.0.0.1'. ") + reason);
        }
    }

    void cancelDuringPipelinedBatch_data()
    {
        QTest::addColumn<QByteArray>("silent");
        QTest::addColumn<int>("mostArrived");
        // The last of each batch stays unanswered (a real server never skips a reply).
        QTest::newRow("during-the-walk") << QByteArray("TOP 5 1") << 0;
        QTest::newRow("during-the-fetch") << QByteArray("TOP 5" + kWhole) << 4;
    }

    void cancelDuringPipelinedBatch()
    {
        QFETCH(QByteArray, silent);
        QFETCH(int, mostArrived);
        m_cancelName = kAccountId + QStringLiteral("RC3") + QString::fromLatin1(QTest::currentDataTag());
        auto cancel = CancelEvent::Create(m_cancelName);
        cancel->Reset();
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
        run(knownIds(99, 99));
        QVERIFY(clock.elapsed() < 20000);
        QVERIFY(m_run->completed());
        QVERIFY(m_run->arrived.size() <= mostArrived);
        QCOMPARE(m_run->arrivedIds(), ids(1, int(m_run->arrived.size())));
        QVERIFY(m_server->maxBurst() >= 5);
        QTRY_COMPARE(m_server->commands().last(), QByteArray("QUIT"));
        QCOMPARE(m_server->countOf("QUIT"), 1);
    }

    void inactivityLimitAppliesToEachPipelinedReply()
    {
        m_server->setCapabilities(kPipelining);
        for (int n = 1; n <= 4; ++n)
            m_server->addMessage(mail(n));
        // A server that stops answering answers nothing after it either (QUIT rides with the fetch).
        m_server->setAction("TOP 4" + kWhole, Action::Silent);
        m_server->setAction("QUIT", Action::Silent);
        m_server->setChunks("TOP", {40, 40, 40}, 150);
        m_limitMs = 400;
        run();
        QCOMPARE(m_run->endMsg, ReceiverMessages::ErrorOccured);
        QCOMPARE(m_run->error().number, MUError::engineNumber(533));
        // Replies trickling in 150 ms apart never reach the limit; only the silent one does.
        QCOMPARE(m_run->arrived.size(), 3);
        // What the check saw is kept even though it failed.
        QCOMPARE(m_run->seenUidls.size(), 3);
        QCOMPARE(m_run->order.mid(m_run->order.size() - 2), (QList<int>{ReceiverMessages::UidlsSeen, ReceiverMessages::ErrorOccured}));
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
    for (const DataBag &bag : std::as_const(m_run->uidlBags)) {
        QCOMPARE(bag.Item(QStringLiteral("AccountId")).toString(), kAccountId);
        QCOMPARE(bag.Item(QStringLiteral("Server")).toString(), m_account.text(QStringLiteral("Server")));
        QCOMPARE(bag.Item(QStringLiteral("User")).toString(), m_account.text(QStringLiteral("User")));
    }
}

QTEST_GUILESS_MAIN(TestCReceiver)

#include "tst_creceiver.moc"
