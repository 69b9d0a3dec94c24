// The message store: cleaning and limits, soft delete in batches, the account join, the
// packed texts, the remembered POP3 unique-ids and IMAP folder states.
#include "StorageFixture.h"
#include "storage/AccountManager.h"
#include "storage/MsgManager.h"
#include "trellis/MUError.h"
#include "trellis/Paths.h"
#include <QSqlError>
#include <QtTest>

using namespace Qt::StringLiterals;
using StorageFixture::msg;

class TestMsgManager : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestHome> m_home;
    MsgManager m_msgs;
    AccountManager m_accounts;

    Database *db() { return m_home->database(); }
    QVariant scalar(const QString &sql) { return StorageFixture::scalar(*db(), sql); }
    Record accountFor(const QString &server, const QString &user)
    {
        Record r = StorageFixture::account(server, user);
        m_accounts.add(r);
        return r;
    }
    /// Runs `sql` on the store's connection (a test's way to age or break the database).
    bool exec(const QString &sql)
    {
        QSqlQuery query(db()->connection());
        const bool ok = query.exec(sql);
        if (!ok)
            qWarning() << query.lastError().text();
        return ok;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        QVERIFY(m_home->isValid());
        m_msgs = MsgManager();
        m_msgs.Init(db(), m_home->log().get());
        m_accounts = AccountManager();
        m_accounts.Init(db());
    }
    void cleanup() { m_home.reset(); }

    void cleansAndLimitsColumns_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("stored");
        QTest::newRow("subject-line-feed-and-tab-dropped") << "Subject" << "Re:\tyour\r\nletter" << "Re:yourletter";
        QTest::newRow("subject-300-chars-cut-to-255") << "Subject" << QString(300, u's') << QString(255, u's');
        QTest::newRow("server-60-chars-cut-to-50") << "Server" << QString(60, u'h') << QString(50, u'h');
        QTest::newRow("user-120-chars-cut-to-100") << "User" << QString(120, u'u') << QString(100, u'u');
        QTest::newRow("pop3id-300-chars-cut-to-255") << "POP3Id" << QString(300, u'i') << QString(255, u'i');
        QTest::newRow("from-nul-and-escape-dropped")
            << "From" << StorageFixture::units({QChar(u'A'), QChar(0), QChar(27), QChar(u'B')}) << "AB";
        QTest::newRow("to-non-latin-kept") << "To" << "Анна 山田" << "Анна 山田";
        QTest::newRow("date-cleaned-then-cut-to-50") << "Date" << ("\t" + QString(60, u'd')) << QString(50, u'd');
        QTest::newRow("subject-cut-never-splits-surrogate-pair")
            << "Subject" << (QString(254, u'x') + u"😀"_s) << QString(254, u'x');
        QTest::newRow("subject-leading-byte-order-marks-kept")
            << "Subject" << (QChar(0xFFFE) + u"Hi"_s) << (QChar(0xFFFE) + u"Hi"_s);
        QTest::newRow("server-not-cleaned") << "Server" << "pop\ta" << "pop\ta";
    }
    void cleansAndLimitsColumns()
    {
        QFETCH(QString, property);
        QFETCH(QString, given);
        QFETCH(QString, stored);
        Record r = msg(u"1"_s);
        r.Add(property, given);
        QVERIFY(m_msgs.add(r));
        QCOMPARE(m_msgs.GetMsgs().Item(r.Id()).value<Record>().text(property), stored);
    }

    void headerColumnsSortByTheirWholeTextIgnoringCase()
    {
        // The first twenty characters are alike: the rest decides, case aside.
        const QStringList subjects = {u"[debian-user] Re: long thread c"_s, u"a"_s, u"[Debian-User] re: long thread B"_s,
                                      u"[debian-user] Re: long thread a"_s, u"Z"_s};
        for (int i = 0; i < subjects.size(); ++i) {
            Record r = msg(QString::number(i));
            r.Add(u"Subject"_s, subjects.at(i));
            QVERIFY(m_msgs.add(r));
        }
        QStringList ascending;
        for (const Record &r : m_msgs.GetMsgPage(MsgManager::SortKey::Subject, false, 0, 10))
            ascending << r.text(u"Subject"_s);
        QCOMPARE(ascending, (QStringList{subjects[3], subjects[2], subjects[0], subjects[1], subjects[4]}));
        QCOMPARE(m_msgs.GetMsgPage(MsgManager::SortKey::Subject, true, 1, 1).first().text(u"Subject"_s), subjects[1]);
        // Each order is read from its index, not sorted whole (100,000 rows would stall the list).
        for (const QString &order : {u"MsgFrom COLLATE NOCASE DESC"_s, u"MsgTo COLLATE NOCASE DESC"_s,
                                     u"substr(Subject, 1, 20) COLLATE NOCASE DESC, Subject COLLATE NOCASE DESC"_s}) {
            QSqlQuery plan(db()->connection());
            QVERIFY(plan.exec(u"EXPLAIN QUERY PLAN SELECT pkMsg FROM Msg WHERE IsDeleted = 0 ORDER BY "_s + order
                              + u", rowid DESC LIMIT 100 OFFSET 0"_s));
            QString steps;
            while (plan.next())
                steps += plan.value(3).toString() + u'\n';
            QVERIFY2(steps.contains(u"USING INDEX"_s) && !steps.contains(u"FOR ORDER BY"_s), qPrintable(steps));
        }
    }

    void removeIsSoftWithTwoStatementsPerTenIds_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("nothing-to-remove") << 0;
        QTest::newRow("ten-ids-one-batch") << 10;
        QTest::newRow("eleven-ids-two-batches") << 11;
        QTest::newRow("twenty-five-ids-three-batches") << 25;
    }
    void removeIsSoftWithTwoStatementsPerTenIds()
    {
        QFETCH(int, count);
        const Record account = accountFor(u"pop.a"_s, u"ann"_s);
        QStringList ids;
        for (int i = 0; i < count + 3; ++i) {
            Record r = msg(QString::number(i));
            QVERIFY(m_msgs.add(r));
            ids << r.Id();
        }
        // Count the statements that change rows by watching the total of changed rows.
        const qint64 before = scalar(u"SELECT total_changes()"_s).toLongLong();
        m_msgs.Remove(ids.mid(0, count));
        // Each id's row changes once per column statement.
        QCOMPARE(scalar(u"SELECT total_changes()"_s).toLongLong() - before, qint64(2 * count));
        // Listed in the order stored, without the text.
        QCOMPARE(m_msgs.GetMsgs().keys(), ids.mid(count));
        QCOMPARE(m_msgs.GetMsgs().Item(1).value<Record>().names(),
                 (QStringList{"Server", "User", "POP3Id", "From", "To", "Date", "Subject"}));
        QCOMPARE(m_msgs.GetMsgs(true).keys(), ids);
        QCOMPARE(m_msgs.CountMsgs(), 3);
        QCOMPARE(scalar(u"SELECT count(*) FROM Msg WHERE IsDeleted = 1 AND Content = ''"_s).toInt(), count);
        QCOMPARE(m_msgs.getMsgContent(ids.first()), count ? QString() : u"Body of 0"_s);
        QCOMPARE(m_msgs.getMsgContent(ids.last()), u"Body of %1"_s.arg(count + 2));
        // The ids of removed messages stay known, so they are not fetched again.
        QCOMPARE(m_msgs.GetMsgIds(account.Id())->Count(), count + 3);
    }

    void messageIsStoredOnce_data()
    {
        QTest::addColumn<bool>("otherConnection");
        QTest::addColumn<bool>("deletedBetween");
        QTest::newRow("same-connection") << false << false;
        QTest::newRow("another-connection-as-another-process") << true << false;
        QTest::newRow("deleted-by-user-stays-deleted") << false << true;
        QTest::newRow("deleted-by-user-stays-deleted-for-another-process") << true << true;
    }
    void messageIsStoredOnce()
    {
        QFETCH(bool, otherConnection);
        QFETCH(bool, deletedBetween);
        const Record account = accountFor(u"pop.a"_s, u"ann"_s);
        Record first = msg(u"same"_s);
        bool already = true;
        QVERIFY(m_msgs.add(first, &already));
        QVERIFY(!already);
        if (deletedBetween)
            m_msgs.Remove({first.Id()});
        Database other(Paths::DataDir(), TestHome::templatePath());
        MsgManager otherMsgs;
        otherMsgs.Init(&other, nullptr);
        Record again = msg(u"same"_s, u"POP.A"_s);
        QVERIFY((otherConnection ? otherMsgs : m_msgs).add(again, &already));
        QVERIFY(already);
        Record elsewhere = msg(u"same"_s, u"pop.a"_s, u"bob"_s);
        QVERIFY(m_msgs.add(elsewhere, &already));
        QVERIFY(!already);
        QCOMPARE(m_msgs.GetMsgs(true).keys(), (QStringList{first.Id(), elsewhere.Id()}));
        QCOMPARE(m_msgs.GetMsgs().Exists(first.Id()), !deletedBetween);
        QCOMPARE(m_msgs.getMsgContent(first.Id()), deletedBetween ? QString() : u"Body of same"_s);
        QCOMPARE(m_msgs.GetMsgIds(account.Id())->keys(), QStringList{u"same"_s});
    }

    void oldDatabaseWithCopiesKeepsOpening()
    {
        // A database from before the index, holding what two checks at once left behind.
        QVERIFY(exec(u"DROP INDEX MsgIdentity"_s));
        struct Row { const char *id, *server, *pop3Id; int deleted; bool kept; };
        const Row rows[] = {
            {"{1}", "pop.a", "twice-shown", 0, true},         {"{2}", "pop.a", "twice-shown", 0, false},
            {"{3}", "pop.a", "deleted-then-shown", 1, false}, {"{4}", "POP.A", "deleted-then-shown", 0, true},
            {"{5}", "pop.a", "deleted-twice", 1, true},       {"{6}", "pop.a", "deleted-twice", 1, false},
            {"{7}", "pop.a", "thrice", 0, true},              {"{8}", "pop.a", "thrice", 0, false},
            {"{9}", "pop.a", "thrice", 0, false},             {"{A}", "pop.b", "twice-shown", 0, true},
            {"{B}", "pop.a", "once", 1, true},
        };
        QStringList kept;
        for (const Row &row : rows) {
            QVERIFY(exec(QString::asprintf("INSERT INTO Msg (pkMsg, Server, User, POP3Id, Content, IsDeleted) "
                                           "VALUES ('%s', '%s', 'ann', '%s', 'text', %d)",
                                           row.id, row.server, row.pop3Id, row.deleted)));
            if (row.kept)
                kept << QString::fromLatin1(row.id);
        }
        MsgManager reopened;
        reopened.Init(db(), m_home->log().get());
        QStringList ids = reopened.GetMsgs(true).keys();
        ids.sort();
        QCOMPARE(ids, kept);
        QVERIFY2(m_home->shortLogText().contains(u"5 extra copies"_s), qPrintable(m_home->shortLogText()));
        Record again = msg(u"thrice"_s);
        bool already = false;
        QVERIFY(reopened.add(again, &already));
        QVERIFY(already);
    }

    void oldDatabaseGainsReadAndDateColumns()
    {
        // A database from before the list knew what was read and sorted by date, and from before
        // the remembered unique-ids and IMAP folder states.
        const Record ann = accountFor(u"pop.a"_s, u"ann"_s);
        QVERIFY(exec(u"DROP TABLE Uidl"_s));
        QVERIFY(exec(u"DROP TABLE Uid"_s));
        StorageFixture::fillOlderForm(*db(), 0, true);
        QVERIFY(exec(u"CREATE INDEX MsgSubjectSort ON Msg (Subject COLLATE NOCASE)"_s));   // the first list's
        QVERIFY(exec(u"CREATE INDEX MsgAccount ON Msg (Server, User)"_s));   // repeats the identity index
        const char *const dates[][2] = {{"{1}", "Tue, 10 Nov 2026 09:00:00 +0000"},
                                        {"{2}", "Mon, 2 Nov 2026 11:30:00 +0200"},
                                        {"{3}", "not a date"},
                                        {"{4}", "Mon, 2 Nov 2026 10:00:00 +0000"}};
        for (const auto &row : dates)
            QVERIFY(exec(QString::asprintf("INSERT INTO Msg (pkMsg, Server, User, POP3Id, Date, Content) "
                                           "VALUES ('%s', 'pop.a', 'ann', '%s', '%s', 'text')", row[0], row[0], row[1])));
        // The date keys are worked out in the batched conversion and counted in its progress.
        qint64 counted = -1;
        MsgManager::SetConversionProgress([&](const QString &phase, qint64, qint64 total) {
            if (phase == QLatin1String("convert"))
                counted = total;
        });
        MsgManager reopened;
        reopened.Init(db(), m_home->log().get(), 3);
        MsgManager::SetConversionProgress({});
        QCOMPARE(counted, 4);
        reopened.Init(db(), m_home->log().get(), 3);   // a second start finds everything in place
        QVERIFY(reopened.AddUidls(u"pop.a"_s, u"ann"_s, {{u"u"_s, u"<o@x>"_s}}));
        QCOMPARE(reopened.GetKnownUidls(ann.Id()), (QVariantMap{{u"u"_s, u"<o@x>"_s}}));
        QVERIFY(reopened.SetImapState(u"pop.a"_s, u"ann"_s, u"INBOX"_s, 3, 4));
        QCOMPARE(reopened.GetImapState(ann.Id()).value(u"HighestUid"_s), QVariant(qint64(4)));
        QStringList byDate;
        bool allRead = true;
        for (const Record &r : reopened.GetMsgPage(MsgManager::SortKey::Date, false, 0, 10)) {
            byDate << r.Id();
            allRead = allRead && r.Item(u"IsRead"_s).toBool();
        }
        // What was listed before counts as read; a Date that is not one sorts first.
        QCOMPARE(byDate, (QStringList{"{3}", "{2}", "{4}", "{1}"}));
        QVERIFY(allRead);
        QCOMPARE(scalar(u"SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name IN "
                        "('MsgDateKey', 'MsgFromSort', 'MsgSubjectOrder', 'MsgToSort')"_s).toInt(), 4);
        QCOMPARE(scalar(u"SELECT count(*) FROM sqlite_master WHERE name IN ('MsgAccount', 'MsgSubjectSort')"_s).toInt(), 0);
        Record fresh = msg(u"fresh"_s);
        QVERIFY(reopened.add(fresh));
        QVERIFY(!reopened.GetMsgPage(MsgManager::SortKey::Added, true, 0, 1).first().Item(u"IsRead"_s).toBool());
        reopened.MarkRead({fresh.Id()});
        QVERIFY(reopened.GetMsgPage(MsgManager::SortKey::Added, true, 0, 1).first().Item(u"IsRead"_s).toBool());
    }

    // The ids of an account are those stored under its server and user, and go with it.
    void msgIdsAndUidlsFollowTheAccount()
    {
        Record account = accountFor(u"pop.a"_s, u"ann"_s);
        const Record otherUser = accountFor(u"pop.a"_s, u"bob"_s);
        const Record otherServer = accountFor(u"pop.b"_s, u"ann"_s);
        Record mine = msg(u"mine"_s), theirs = msg(u"theirs"_s, u"pop.a"_s, u"bob"_s), other = msg(u"other"_s, u"pop.b"_s);
        QVERIFY(m_msgs.add(mine) && m_msgs.add(theirs) && m_msgs.add(other));
        // Server and user in other case find the account; unique-ids keep their case.
        const QVariantMap pairs{{u"UID-1"_s, u"<1@x>"_s}, {u"uid-1"_s, u"mine"_s}, {u"0002"_s, QString(300, u'i')}};
        QVERIFY(m_msgs.AddUidls(u"POP.A"_s, u"Ann"_s, pairs));
        QVERIFY(m_msgs.AddUidls(u"pop.b"_s, u"ann"_s, {{u"u2"_s, u"first"_s}}));
        QVERIFY(m_msgs.AddUidls(u"pop.b"_s, u"ann"_s, {{u"u2"_s, u"other"_s}}));   // stored again: replaced
        QVariantMap expected = pairs;
        expected[u"0002"_s] = QString(255, u'i');
        QCOMPARE(m_msgs.GetKnownUidls(account.Id()), expected);
        QVERIFY(m_msgs.GetKnownUidls(u"{00000000-0000-0000-0000-000000000000}"_s).isEmpty());
        QCOMPARE(m_msgs.GetMsgIds(account.Id())->keys(), QStringList{u"mine"_s});
        QCOMPARE(m_msgs.GetMsgIds(otherUser.Id())->keys(), QStringList{u"theirs"_s});
        QCOMPARE(m_msgs.GetMsgIds(otherServer.Id())->keys(), QStringList{u"other"_s});
        QCOMPARE(m_msgs.GetMsgIds(u"{00000000-0000-0000-0000-000000000000}"_s)->Count(), 0);
        // Changing the server detaches the messages stored under the old one.
        Record moved = otherUser;
        moved.Add(u"Server"_s, u"pop.moved"_s);
        m_accounts.Update(moved);
        QCOMPARE(m_msgs.GetMsgIds(moved.Id())->Count(), 0);
        // The account's messages go, deleted or not, and its unique-ids with them.
        m_msgs.Remove({mine.Id()});
        m_msgs.RemoveFkAccount(account.Id());
        QCOMPARE(m_msgs.GetMsgs(true).keys(), (QStringList{theirs.Id(), other.Id()}));
        QVERIFY(m_msgs.GetKnownUidls(account.Id()).isEmpty());
        QCOMPARE(m_msgs.GetMsgIds(account.Id())->Count(), 0);
        QCOMPARE(m_msgs.GetKnownUidls(otherServer.Id()), (QVariantMap{{u"u2"_s, u"other"_s}}));
        // Once the account row is gone there is nothing to join through.
        Record again = msg(u"again"_s);
        QVERIFY(m_msgs.add(again));
        m_accounts.Remove(account.Id());
        m_msgs.RemoveFkAccount(account.Id());
        QCOMPARE(m_msgs.GetMsgs(true).Count(), 3);
    }

    // An IMAP folder's remembered state: read by account (its folder), replaced, removed with
    // the account's messages.
    void imapStateFollowsTheAccountsFolder()
    {
        auto folder = [this](const QString &user, const QString &name) {
            Record r = StorageFixture::account(u"imap.a"_s, user);
            r.Add(u"Folder"_s, name);
            m_accounts.add(r);
            return r;
        };
        auto state = [](qint64 validity, qint64 highest) {
            return QVariantMap{{u"UidValidity"_s, validity}, {u"HighestUid"_s, highest}};
        };
        Record inbox = folder(u"ann"_s, u"INBOX"_s);
        const Record lists = folder(u"ann"_s, u"Lists"_s);
        QVERIFY(m_msgs.GetImapState(inbox.Id()).isEmpty());
        QVERIFY(m_msgs.SetImapState(u"IMAP.A"_s, u"Ann"_s, u"INBOX"_s, 4000000000, 7));
        QVERIFY(m_msgs.SetImapState(u"imap.a"_s, u"ann"_s, u"Lists"_s, 1, 2));
        QCOMPARE(m_msgs.GetImapState(inbox.Id()), state(4000000000, 7));
        QCOMPARE(m_msgs.GetImapState(lists.Id()), state(1, 2));
        QVERIFY(m_msgs.SetImapState(u"imap.a"_s, u"ann"_s, u"INBOX"_s, 5, 1));
        QCOMPARE(m_msgs.GetImapState(inbox.Id()), state(5, 1));
        // Another folder is another mailbox: nothing remembered for it yet.
        inbox.Add(u"Folder"_s, u"Archive"_s);
        m_accounts.Update(inbox);
        QVERIFY(m_msgs.GetImapState(inbox.Id()).isEmpty());
        // Removed with the account's messages, the other accounts' kept.
        const Record bob = folder(u"bob"_s, u"INBOX"_s);
        QVERIFY(m_msgs.SetImapState(u"imap.a"_s, u"bob"_s, u"INBOX"_s, 1, 4));
        m_msgs.RemoveFkAccount(lists.Id());
        QVERIFY(m_msgs.GetImapState(lists.Id()).isEmpty());
        QCOMPARE(m_msgs.GetImapState(bob.Id()), state(1, 4));
    }

    void addFailureIsReported_data()
    {
        QTest::addColumn<QString>("missing");
        QTest::addColumn<QString>("sabotage");
        QTest::newRow("record-without-subject") << "Subject" << QString();
        QTest::newRow("table-gone") << QString() << "DROP TABLE Msg";
        QTest::newRow("insert-refused-by-database")
            << QString() << "CREATE TRIGGER refuse BEFORE INSERT ON Msg BEGIN SELECT RAISE(ABORT, 'disk full'); END";
    }
    void addFailureIsReported()
    {
        QFETCH(QString, missing);
        QFETCH(QString, sabotage);
        Record stored = msg(u"stored"_s);
        QVERIFY(m_msgs.add(stored));
        if (!sabotage.isEmpty())
            QVERIFY(exec(sabotage));
        Record r = missing.isEmpty() ? msg(u"lost"_s) : StorageFixture::without(msg(u"lost"_s), missing);
        QVERIFY(!m_msgs.add(r));
        const QString log = m_home->shortLogText();
        QVERIFY2(log.contains(u" L4 "_s) && log.contains(u"MsgManager.Add"_s), qPrintable(log));
        if (sabotage.isEmpty()) {
            QCOMPARE(m_msgs.GetMsgs().keys(), QStringList{stored.Id()});
        } else if (sabotage.startsWith(QLatin1String("CREATE"))) {
            QVERIFY2(log.contains(u"disk full"_s), qPrintable(log));
            QCOMPARE(scalar(u"SELECT count(*) FROM Msg"_s).toInt(), 1);
        }
    }

    void hostileTextIsData()
    {
        const Record account = accountFor(u"pop.a"_s, u"o'hara"_s);
        Record r = msg(u"'); DROP TABLE Msg; --"_s, u"pop.a"_s, u"o'hara"_s);
        r.Add(u"Subject"_s, u"It's \"quoted\" %1 ?"_s);
        QVERIFY(m_msgs.add(r));
        QCOMPARE(m_msgs.GetMsgs().Item(r.Id()).value<Record>().text(u"Subject"_s), u"It's \"quoted\" %1 ?"_s);
        QCOMPARE(m_msgs.GetMsgIds(account.Id())->keys(), QStringList{u"'); DROP TABLE Msg; --"_s});
        m_msgs.Remove({u"x' OR '1'='1"_s, u"' OR 1=1 --"_s});
        QCOMPARE(m_msgs.GetMsgs().Count(), 1);
    }

    void contentKeepsItsForm_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("form");   // typeof(Content) and, for a BLOB, its first octet
        QString mail = u"Received: from mx.example.org\r\nSubject: hello\r\n\r\n"_s;
        for (int i = 0; i < 2000; ++i)
            mail += u"Line %1 of a long and repetitive message body.\r\n"_s.arg(i);
        QString everyOctet, noise;
        for (int octet = 0; octet < 256; ++octet)
            everyOctet += QChar(char16_t(octet));
        quint32 state = 12345;
        for (int i = 0; i < 4000; ++i) {
            state = state * 1103515245u + 12345u;
            noise += QChar(char16_t((state >> 16) & 0xFF));
        }
        QTest::newRow("no-content-reads-empty") << QString() << "text";
        QTest::newRow("empty-stays-empty-text") << u""_s << "text";
        QTest::newRow("control-characters-kept") << (u"a\r\n\tb "_s + QChar(0) + u"c"_s) << "blob01";
        QTest::newRow("after-byte-order-mark") << (QChar(0xFEFF) + u"Body after a byte-order mark"_s) << "blobFF";
        QTest::newRow("every-octet-value") << everyOctet << "blob01";
        QTest::newRow("random-octets-not-deflated") << noise << "blob01";
        QTest::newRow("mail-deflated") << mail << "blob02";
        QTest::newRow("octets-after-nul") << (QChar(0) + mail) << "blob02";
        QTest::newRow("non-latin-stays-text") << u"Анна 山田 wrote"_s << "text";
        QTest::newRow("lone-surrogate-stays-text") << (mail + QChar(0xDC00)) << "text";
        QTest::newRow("leading-byte-order-mark-stays-utf16-bytes") << (QChar(0xFFFE) + u"x"_s) << "blobFE";
    }
    void contentKeepsItsForm()
    {
        QFETCH(QString, content);
        QFETCH(QString, form);
        Record r = msg(u"1"_s);
        if (content.isNull())
            r = StorageFixture::without(r, u"Content"_s);
        else
            r.Add(u"Content"_s, content);
        QVERIFY(m_msgs.add(r));
        QCOMPARE(m_msgs.getMsgContent(r.Id()), content);
        const QString where = u" FROM Msg WHERE POP3Id = '1'"_s;
        QCOMPARE(scalar(u"SELECT typeof(Content) || CASE typeof(Content) WHEN 'blob' THEN "
                        "hex(substr(Content, 1, 1)) ELSE '' END"_s + where).toString(), form);
        if (form == QLatin1String("blob02"))
            QVERIFY(scalar(u"SELECT length(Content)"_s + where).toInt() < content.size() / 4);
    }

    void unknownOrDamagedContentFails_data()
    {
        QTest::addColumn<QByteArray>("stored");   // empty: no such message
        QTest::newRow("unknown-message") << QByteArray();
        QTest::newRow("deflated-cut-before-length") << QByteArray::fromHex("020500");
        QTest::newRow("deflated-length-too-large") << QByteArray::fromHex("02ff0000000300");
        QTest::newRow("deflated-stream-garbage") << QByteArray::fromHex("0204000000ffffffffffff");
        QTest::newRow("deflated-length-beyond-int") << QByteArray::fromHex("02ffffffff0300");
        QTest::newRow("deflated-length-beyond-what-deflate-expands-to") << QByteArray::fromHex("02000000400300");
    }
    void unknownOrDamagedContentFails()
    {
        QFETCH(QByteArray, stored);
        Record r = msg(u"1"_s);
        QVERIFY(m_msgs.add(r));
        const QString id = stored.isEmpty() ? u"{ABCDEF00-0000-0000-0000-000000000000}"_s : r.Id();
        QVERIFY(stored.isEmpty() || exec(u"UPDATE Msg SET Content = x'"_s + QString::fromLatin1(stored.toHex())
                                         + u"' WHERE pkMsg = '"_s + id + u"'"_s));
        const MUError error = StorageFixture::raised([&] { m_msgs.getMsgContent(id); });
        QVERIFY2(error.number() != 0, "nothing raised");
        if (stored.isEmpty()) {
            QCOMPARE(error.number(), qint32(0x80040202u));
            QCOMPARE(error.description(), u"Message %1 not found. "_s.arg(id));
        }
    }

    void olderTextsAreConvertedOnce()
    {
        constexpr int count = 40;
        StorageFixture::fillOlderForm(*db(), count);
        m_msgs.Remove({u"{older-2}"_s});
        QList<QList<qint64>> steps;
        auto record = [&steps](const QString &phase, qint64 done, qint64 total) {
            if (phase == QLatin1String("convert"))
                steps.append({done, total});
        };
        MsgManager::SetConversionProgress(record);
        MsgManager fresh;
        fresh.Init(db(), m_home->log().get(), 6);
        MsgManager::SetConversionProgress({});
        // Every text and its packed form after killed conversions: tst_database.
        for (const int i : {2, 3, 4})   // removed, beyond one octet, octets
            QCOMPARE(fresh.getMsgContent(u"{older-%1}"_s.arg(i)), i == 2 ? QString() : StorageFixture::olderText(i));
        // Batches of six: progress from nothing to all, one step per batch, never backwards.
        QCOMPARE(steps.first(), (QList<qint64>{0, count}));
        QCOMPARE(steps.last(), (QList<qint64>{count, count}));
        QVERIFY(steps.size() >= count / 6 + 1);
        for (qsizetype i = 1; i < steps.size(); ++i)
            QVERIFY(steps.at(i).at(0) >= steps.at(i - 1).at(0));
        // A second start finds nothing to do and reports no step of any phase.
        steps.clear();
        MsgManager::SetConversionProgress([&steps](const QString &, qint64 done, qint64 total) { steps.append({done, total}); });
        MsgManager again;
        again.Init(db(), m_home->log().get(), 6);
        MsgManager::SetConversionProgress({});
        QVERIFY(steps.isEmpty());
    }

    void forEachMsgListsLikeGetMsgs()
    {
        Record a = msg(u"a"_s), b = msg(u"b"_s), c = msg(u"c"_s);
        QVERIFY(m_msgs.add(a) && m_msgs.add(b) && m_msgs.add(c));
        m_msgs.Remove({b.Id()});
        for (const bool all : {false, true}) {
            const DataBag listed = m_msgs.GetMsgs(all);
            QStringList ids;
            m_msgs.ForEachMsg(all, {u"Subject"_s, u"From"_s}, [&](const QString &id, const QStringList &values) {
                ids << id;
                const Record m = listed.Item(id).value<Record>();
                QCOMPARE(values, (QStringList{m.text(u"Subject"_s), m.text(u"From"_s)}));
            });
            QCOMPARE(ids, listed.keys());
        }
        QVERIFY_THROWS_EXCEPTION(MUError, m_msgs.ForEachMsg(false, {u"Content"_s}, [](const QString &, const QStringList &) {}));
    }

    void lookupFailuresAreLoggedNotThrown()
    {
        const Record ann = accountFor(u"pop.a"_s, u"ann"_s);
        Record r = msg(u"x"_s);
        QVERIFY(m_msgs.add(r));
        QVERIFY(exec(u"DROP TABLE Uidl"_s));
        QVERIFY(!m_msgs.AddUidls(u"pop.a"_s, u"ann"_s, {{u"u"_s, u"i"_s}}));
        QVERIFY(m_msgs.GetKnownUidls(ann.Id()).isEmpty());
        QVERIFY(exec(u"DROP TABLE Account"_s));
        QVERIFY(!m_msgs.GetMsgIds(ann.Id()).has_value());
        const QString log = m_home->shortLogText();
        for (const QString &source : {u"MsgManager.AddUidls"_s, u"MsgManager.GetKnownUidls"_s, u"MsgManager.GetMsgIds"_s})
            QVERIFY2(log.contains(source), qPrintable(log));
    }

    void dateKey_data()
    {
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("utc");   // empty: not a date
        QTest::newRow("numeric-zone") << QStringLiteral("Mon, 2 Nov 2026 11:30:00 +0200") << QStringLiteral("2026-11-02T09:30:00");
        QTest::newRow("negative-zone") << QStringLiteral("Mon, 2 Nov 2026 23:30:00 -0130") << QStringLiteral("2026-11-03T01:00:00");
        QTest::newRow("no-weekday-no-seconds") << QStringLiteral("2 Nov 2026 11:30 +0000") << QStringLiteral("2026-11-02T11:30:00");
        QTest::newRow("named-zone-and-comment") << QStringLiteral("Mon, 2 Nov 2026 11:30:00 EST (Eastern)") << QStringLiteral("2026-11-02T16:30:00");
        QTest::newRow("two-digit-year") << QStringLiteral("Mon, 2 Nov 99 11:30:00 +0000") << QStringLiteral("1999-11-02T11:30:00");
        QTest::newRow("not-a-date") << QStringLiteral("yesterday") << QString();
        QTest::newRow("no-such-day") << QStringLiteral("31 Feb 2026 10:00 +0000") << QString();
    }
    void dateKey()
    {
        QFETCH(QString, date);
        QFETCH(QString, utc);
        const std::optional<qint64> key = MsgManager::DateKey(date);
        QCOMPARE(key.has_value(), !utc.isEmpty());
        if (key)
            QCOMPARE(QDateTime::fromSecsSinceEpoch(*key, Qt::UTC).toString(Qt::ISODate), utc + QLatin1Char('Z'));
    }
};

QTEST_GUILESS_MAIN(TestMsgManager)
#include "tst_msgmanager.moc"
