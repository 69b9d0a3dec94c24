// The message store: cleaning and limits, soft delete in batches, the account join.
#include "StorageFixture.h"
#include "storage/AccountManager.h"
#include "storage/Database.h"
#include "storage/MsgContent.h"
#include "storage/MsgManager.h"
#include "trellis/Log.h"
#include "trellis/MUError.h"
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

class TestMsgManager : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void cleansAndLimitsColumns_data();
    void cleansAndLimitsColumns();
    void contentIsOptional();
    void listOrderIsStoringOrder();
    void removeIsSoft();
    void removeRunsTwoStatementsPerTenIds_data();
    void removeRunsTwoStatementsPerTenIds();
    void removeEmptyDoesNothing();
    void messageIsStoredOnce_data();
    void messageIsStoredOnce();
    void oldDatabaseWithCopiesKeepsOpening();
    void oldDatabaseGainsReadAndDateColumns();
    void msgIdsFollowServerAndUser();
    void msgIdsFailureGivesNoBag();
    void unknownContentFails();
    void removeFkAccount();
    void addFailureIsReported_data();
    void addFailureIsReported();
    void hostileTextIsData();
    void contentKeepsItsForm_data();
    void contentKeepsItsForm();
    void damagedContentFails_data();
    void damagedContentFails();
    void olderTextsAreConvertedOnce();
    void forEachMsgListsLikeGetMsgs();

private:
    static Record msg(const QString &pop3Id, const QString &server = QStringLiteral("pop.a"),
                      const QString &user = QStringLiteral("ann"))
    {
        Record r;
        r.Add(QStringLiteral("Server"), server);
        r.Add(QStringLiteral("User"), user);
        r.Add(QStringLiteral("POP3Id"), pop3Id);
        r.Add(QStringLiteral("From"), QStringLiteral("Bob"));
        r.Add(QStringLiteral("To"), QStringLiteral("Ann"));
        r.Add(QStringLiteral("Date"), QStringLiteral("Sat, 6 Dec 2026 10:00:00 +0100"));
        r.Add(QStringLiteral("Subject"), QStringLiteral("Hello ") + pop3Id);
        r.Add(QStringLiteral("Content"), QStringLiteral("Body of ") + pop3Id);
        return r;
    }
    Record accountFor(const QString &server, const QString &user)
    {
        Record r;
        r.Add(QStringLiteral("Server"), server);
        r.Add(QStringLiteral("Port"), 110);
        r.Add(QStringLiteral("User"), user);
        r.Add(QStringLiteral("Pwd"), QStringLiteral("pw"));
        r.Add(QStringLiteral("CheckInterval"), 5);
        r.Add(QStringLiteral("Disabled"), false);
        r.Add(QStringLiteral("Email"), QString());
        m_accounts.add(r);
        return r;
    }
    QString shortLog() const
    {
        QFile file(m_home->filePath(QStringLiteral("short.log")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QVariant column(const QString &sql)
    {
        QSqlQuery query(m_db->connection());
        if (!query.exec(sql) || !query.next())
            return QStringLiteral("<failed>");
        return query.value(0);
    }

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<Log> m_log;
    MsgManager m_msgs;
    AccountManager m_accounts;
};

void TestMsgManager::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    m_db = std::make_unique<Database>(m_home->path(), StorageFixture::templatePath());
    m_log = std::make_unique<Log>();
    QVERIFY(m_log->OpenFiles(m_home->filePath(QStringLiteral("mu.log")), m_home->filePath(QStringLiteral("short.log"))));
    m_msgs = MsgManager();
    m_msgs.Init(m_db.get(), m_log.get());
    m_accounts = AccountManager();
    m_accounts.Init(m_db.get());
}

void TestMsgManager::cleanup()
{
    m_db.reset();
    m_log.reset();
    m_home.reset();
}

void TestMsgManager::cleansAndLimitsColumns_data()
{
    QTest::addColumn<QString>("property");
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("stored");
    QTest::newRow("subject-line-feed-and-tab-dropped") << "Subject" << "Re:\tyour\r\nletter" << "Re:yourletter";
    QTest::newRow("subject-300-chars-cut-to-255") << "Subject" << QString(300, u's') << QString(255, u's');
    QTest::newRow("server-60-chars-cut-to-50") << "Server" << QString(60, u'h') << QString(50, u'h');
    QTest::newRow("user-120-chars-cut-to-100") << "User" << QString(120, u'u') << QString(100, u'u');
    QTest::newRow("pop3id-300-chars-cut-to-255") << "POP3Id" << QString(300, u'i') << QString(255, u'i');
    QTest::newRow("from-nul-and-escape-dropped") << "From" << StorageFixture::units({QChar(u'A'), QChar(0), QChar(27), QChar(u'B')}) << "AB";
    QTest::newRow("to-non-latin-kept") << "To" << "Анна 山田" << "Анна 山田";
    QTest::newRow("date-cleaned-then-cut-to-50") << "Date" << (QStringLiteral("\t") + QString(60, u'd')) << QString(50, u'd');
    QTest::newRow("subject-cut-never-splits-surrogate-pair")
        << "Subject" << (QString(254, u'x') + QStringLiteral("😀")) << QString(254, u'x');
    QTest::newRow("subject-leading-byte-order-marks-kept")
        << "Subject" << (QString(QChar(0xFFFE)) + QStringLiteral("Hi")) << (QString(QChar(0xFFFE)) + QStringLiteral("Hi"));
    QTest::newRow("server-not-cleaned") << "Server" << "pop\ta" << "pop\ta";
}

void TestMsgManager::cleansAndLimitsColumns()
{
    QFETCH(QString, property);
    QFETCH(QString, given);
    QFETCH(QString, stored);
    Record r = msg(QStringLiteral("1"));
    r.Add(property, given);
    QVERIFY(m_msgs.add(r));
    const Record back = m_msgs.GetMsgs().Item(r.Id()).value<Record>();
    QCOMPARE(back.text(property), stored);
}

void TestMsgManager::contentIsOptional()
{
    Record with = msg(QStringLiteral("with"));
    const QString body = QStringLiteral("Line one\r\nLine\ttwo ") + QChar(0) + QStringLiteral(" end");
    with.Add(QStringLiteral("Content"), body);
    Record without = msg(QStringLiteral("without"));
    without.RemoveAll();
    for (const QString &name : msg(QStringLiteral("without")).names()) {
        if (name != QLatin1String("Content"))
            without.Add(name, msg(QStringLiteral("without")).Item(name));
    }
    Record marked = msg(QStringLiteral("marked"));
    const QString markedBody = QString(QChar(0xFEFF)) + QStringLiteral("Body after a byte-order mark");
    marked.Add(QStringLiteral("Content"), markedBody);
    QVERIFY(m_msgs.add(with));
    QVERIFY(m_msgs.add(without));
    QVERIFY(m_msgs.add(marked));
    QCOMPARE(m_msgs.getMsgContent(marked.Id()), markedBody);
    QCOMPARE(m_msgs.getMsgContent(with.Id()), body);
    QCOMPARE(m_msgs.getMsgContent(without.Id()), QString());
    QVERIFY(!m_msgs.GetMsgs().Item(with.Id()).value<Record>().Exists(QStringLiteral("Content")));
}

void TestMsgManager::listOrderIsStoringOrder()
{
    QStringList ids;
    for (int i = 0; i < 50; ++i) {
        Record r = msg(QString::number(i));
        QVERIFY(m_msgs.add(r));
        ids << r.Id();
    }
    const DataBag list = m_msgs.GetMsgs();
    QCOMPARE(list.keys(), ids);
    const Record first = list.Item(1).value<Record>();
    QCOMPARE(first.names(), (QStringList{"Server", "User", "POP3Id", "From", "To", "Date", "Subject"}));
    QCOMPARE(first.text(QStringLiteral("POP3Id")), QStringLiteral("0"));
}

void TestMsgManager::removeIsSoft()
{
    const Record account = accountFor(QStringLiteral("pop.a"), QStringLiteral("ann"));
    Record keep = msg(QStringLiteral("keep"));
    Record gone = msg(QStringLiteral("gone"));
    QVERIFY(m_msgs.add(keep));
    QVERIFY(m_msgs.add(gone));
    m_msgs.Remove({gone.Id()});
    QVERIFY(!m_msgs.GetMsgs().Exists(gone.Id()));
    QVERIFY(m_msgs.GetMsgs().Exists(keep.Id()));
    QVERIFY(m_msgs.GetMsgs(true).Exists(gone.Id()));
    QCOMPARE(m_msgs.getMsgContent(gone.Id()), QString());
    QCOMPARE(m_msgs.getMsgContent(keep.Id()), QStringLiteral("Body of keep"));
    const std::optional<DataBag> ids = m_msgs.GetMsgIds(account.Id());
    QVERIFY(ids.has_value());
    QVERIFY(ids->Exists(QStringLiteral("gone")));
    QVERIFY(ids->Exists(QStringLiteral("keep")));
}

void TestMsgManager::removeRunsTwoStatementsPerTenIds_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("one-id") << 1;
    QTest::newRow("ten-ids-one-batch") << 10;
    QTest::newRow("eleven-ids-two-batches") << 11;
    QTest::newRow("twenty-five-ids-three-batches") << 25;
}

void TestMsgManager::removeRunsTwoStatementsPerTenIds()
{
    QFETCH(int, count);
    QStringList ids;
    for (int i = 0; i < count + 3; ++i) {
        Record r = msg(QString::number(i));
        QVERIFY(m_msgs.add(r));
        ids << r.Id();
    }
    // Count the statements that change rows by watching the total of changed rows.
    const qint64 before = column(QStringLiteral("SELECT total_changes()")).toLongLong();
    m_msgs.Remove(ids.mid(0, count));
    const qint64 changed = column(QStringLiteral("SELECT total_changes()")).toLongLong() - before;
    QCOMPARE(changed, qint64(2 * count)); // each id's row changed once per column statement
    QCOMPARE(m_msgs.GetMsgs().Count(), 3);
    QCOMPARE(column(QStringLiteral("SELECT count(*) FROM Msg WHERE IsDeleted = 1 AND Content = ''")).toInt(), count);
}

void TestMsgManager::removeEmptyDoesNothing()
{
    Record r = msg(QStringLiteral("x"));
    QVERIFY(m_msgs.add(r));
    const qint64 before = column(QStringLiteral("SELECT total_changes()")).toLongLong();
    m_msgs.Remove({});
    QCOMPARE(column(QStringLiteral("SELECT total_changes()")).toLongLong(), before);
    QCOMPARE(m_msgs.GetMsgs().Count(), 1);
}

void TestMsgManager::messageIsStoredOnce_data()
{
    QTest::addColumn<bool>("otherConnection");
    QTest::addColumn<bool>("deletedBetween");
    QTest::newRow("same-connection") << false << false;
    QTest::newRow("another-connection-as-another-process") << true << false;
    QTest::newRow("deleted-by-user-stays-deleted") << false << true;
    QTest::newRow("deleted-by-user-stays-deleted-for-another-process") << true << true;
}

void TestMsgManager::messageIsStoredOnce()
{
    QFETCH(bool, otherConnection);
    QFETCH(bool, deletedBetween);
    const Record account = accountFor(QStringLiteral("pop.a"), QStringLiteral("ann"));
    Record first = msg(QStringLiteral("same"));
    bool already = true;
    QVERIFY(m_msgs.add(first, &already));
    QVERIFY(!already);
    if (deletedBetween)
        m_msgs.Remove({first.Id()});
    Database other(m_home->path(), StorageFixture::templatePath());
    MsgManager otherMsgs;
    otherMsgs.Init(&other, nullptr);
    Record again = msg(QStringLiteral("same"), QStringLiteral("POP.A"));
    QVERIFY((otherConnection ? otherMsgs : m_msgs).add(again, &already));
    QVERIFY(already);
    Record elsewhere = msg(QStringLiteral("same"), QStringLiteral("pop.a"), QStringLiteral("bob"));
    QVERIFY(m_msgs.add(elsewhere, &already));
    QVERIFY(!already);
    QCOMPARE(m_msgs.GetMsgs(true).keys(), (QStringList{first.Id(), elsewhere.Id()}));
    QCOMPARE(m_msgs.GetMsgs().Exists(first.Id()), !deletedBetween);
    QCOMPARE(m_msgs.getMsgContent(first.Id()), deletedBetween ? QString() : QStringLiteral("Body of same"));
    QCOMPARE(m_msgs.GetMsgIds(account.Id())->keys(), QStringList{QStringLiteral("same")});
}

void TestMsgManager::oldDatabaseWithCopiesKeepsOpening()
{
    // A database from before the index, holding what two checks at once left behind.
    QSqlQuery sql(m_db->connection());
    QVERIFY(sql.exec(QStringLiteral("DROP INDEX MsgIdentity")));
    struct Row { const char *id; const char *server; const char *pop3Id; int deleted; bool kept; };
    const Row rows[] = {
        {"{1}", "pop.a", "twice-shown", 0, true},     {"{2}", "pop.a", "twice-shown", 0, false},
        {"{3}", "pop.a", "deleted-then-shown", 1, false}, {"{4}", "POP.A", "deleted-then-shown", 0, true},
        {"{5}", "pop.a", "deleted-twice", 1, true},   {"{6}", "pop.a", "deleted-twice", 1, false},
        {"{7}", "pop.a", "thrice", 0, true},          {"{8}", "pop.a", "thrice", 0, false},
        {"{9}", "pop.a", "thrice", 0, false},         {"{A}", "pop.b", "twice-shown", 0, true},
        {"{B}", "pop.a", "once", 1, true},
    };
    QStringList kept;
    for (const Row &row : rows) {
        sql.prepare(QStringLiteral("INSERT INTO Msg (pkMsg, Server, User, POP3Id, Content, IsDeleted) "
                                   "VALUES (?, ?, 'ann', ?, 'text', ?)"));
        sql.addBindValue(QString::fromLatin1(row.id));
        sql.addBindValue(QString::fromLatin1(row.server));
        sql.addBindValue(QString::fromLatin1(row.pop3Id));
        sql.addBindValue(row.deleted);
        QVERIFY2(sql.exec(), qPrintable(sql.lastError().text()));
        if (row.kept)
            kept << QString::fromLatin1(row.id);
    }
    MsgManager reopened;
    reopened.Init(m_db.get(), m_log.get());
    QStringList ids = reopened.GetMsgs(true).keys();
    ids.sort();
    QCOMPARE(ids, kept);
    QVERIFY2(shortLog().contains(QStringLiteral("5 extra copies")), qPrintable(shortLog()));
    Record again = msg(QStringLiteral("thrice"));
    bool already = false;
    QVERIFY(reopened.add(again, &already));
    QVERIFY(already);
}

void TestMsgManager::oldDatabaseGainsReadAndDateColumns()
{
    // A database from before the list knew what was read and sorted by date.
    QSqlQuery sql(m_db->connection());
    for (const char *index : {"MsgDateKey", "MsgFromSort", "MsgSubjectSort", "MsgToSort"})
        QVERIFY(sql.exec(QStringLiteral("DROP INDEX ") + QString::fromLatin1(index)));
    QVERIFY2(sql.exec(QStringLiteral("ALTER TABLE Msg DROP COLUMN IsRead")), qPrintable(sql.lastError().text()));
    QVERIFY2(sql.exec(QStringLiteral("ALTER TABLE Msg DROP COLUMN DateKey")), qPrintable(sql.lastError().text()));
    const char *const dates[][2] = {{"{1}", "Tue, 10 Nov 2026 09:00:00 +0000"},
                                    {"{2}", "Mon, 2 Nov 2026 11:30:00 +0200"},
                                    {"{3}", "not a date"},
                                    {"{4}", "Mon, 2 Nov 2026 10:00:00 +0000"}};
    for (const auto &row : dates) {
        sql.prepare(QStringLiteral("INSERT INTO Msg (pkMsg, Server, User, POP3Id, Date, Content) VALUES (?, 'pop.a', 'ann', ?, ?, 'text')"));
        sql.addBindValue(QString::fromLatin1(row[0]));
        sql.addBindValue(QString::fromLatin1(row[0]));
        sql.addBindValue(QString::fromLatin1(row[1]));
        QVERIFY2(sql.exec(), qPrintable(sql.lastError().text()));
    }
    // The date keys are worked out in the batched conversion and counted in its progress.
    qint64 counted = -1;
    MsgManager::SetConversionProgress([&](const QString &phase, qint64, qint64 total) {
        if (phase == QLatin1String("convert"))
            counted = total;
    });
    MsgManager reopened;
    reopened.Init(m_db.get(), m_log.get(), 3);
    MsgManager::SetConversionProgress({});
    QCOMPARE(counted, 4);
    QStringList byDate;
    bool allRead = true;
    for (const Record &r : reopened.GetMsgPage(MsgManager::SortKey::Date, false, 0, 10)) {
        byDate << r.Id();
        allRead = allRead && r.Item(QStringLiteral("IsRead")).toBool();
    }
    // What was listed before counts as read; a Date that is not one sorts first.
    QCOMPARE(byDate, (QStringList{QStringLiteral("{3}"), QStringLiteral("{2}"), QStringLiteral("{4}"), QStringLiteral("{1}")}));
    QVERIFY(allRead);
    QSqlQuery indexes(m_db->connection());
    QVERIFY(indexes.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name IN "
                                        "('MsgDateKey', 'MsgFromSort', 'MsgSubjectSort', 'MsgToSort')")) && indexes.next());
    QCOMPARE(indexes.value(0).toInt(), 4);
    indexes.finish();
    Record fresh = msg(QStringLiteral("fresh"));
    QVERIFY(reopened.add(fresh));
    QVERIFY(!reopened.GetMsgPage(MsgManager::SortKey::Added, true, 0, 1).first().Item(QStringLiteral("IsRead")).toBool());
}

void TestMsgManager::msgIdsFollowServerAndUser()
{
    Record account = accountFor(QStringLiteral("pop.a"), QStringLiteral("ann"));
    const Record stranger = accountFor(QStringLiteral("pop.a"), QStringLiteral("bob"));
    Record mine = msg(QStringLiteral("mine"));
    Record theirs = msg(QStringLiteral("theirs"), QStringLiteral("pop.a"), QStringLiteral("bob"));
    QVERIFY(m_msgs.add(mine) && m_msgs.add(theirs));
    QCOMPARE(m_msgs.GetMsgIds(account.Id())->keys(), QStringList{QStringLiteral("mine")});
    QCOMPARE(m_msgs.GetMsgIds(stranger.Id())->keys(), QStringList{QStringLiteral("theirs")});
    // Changing the server detaches the messages stored under the old one.
    account.Add(QStringLiteral("Server"), QStringLiteral("pop.moved"));
    m_accounts.Update(account);
    QCOMPARE(m_msgs.GetMsgIds(account.Id())->Count(), 0);
    QCOMPARE(m_msgs.GetMsgIds(QStringLiteral("{00000000-0000-0000-0000-000000000000}"))->Count(), 0);
}

void TestMsgManager::msgIdsFailureGivesNoBag()
{
    const Record account = accountFor(QStringLiteral("pop.a"), QStringLiteral("ann"));
    Record r = msg(QStringLiteral("x"));
    QVERIFY(m_msgs.add(r));
    QVERIFY(QSqlQuery(m_db->connection()).exec(QStringLiteral("DROP TABLE Account")));
    QVERIFY(!m_msgs.GetMsgIds(account.Id()).has_value());
    QVERIFY2(shortLog().contains(QStringLiteral("MsgManager.GetMsgIds")), qPrintable(shortLog()));
}

void TestMsgManager::unknownContentFails()
{
    const QString id = QStringLiteral("{ABCDEF00-0000-0000-0000-000000000000}");
    try {
        m_msgs.getMsgContent(id);
        QFAIL("content of an unknown message");
    } catch (const MUError &error) {
        QCOMPARE(error.number(), qint32(0x80040202u));
        QCOMPARE(error.description(), QStringLiteral("Message %1 not found. ").arg(id));
    }
}

void TestMsgManager::removeFkAccount()
{
    const Record account = accountFor(QStringLiteral("pop.a"), QStringLiteral("ann"));
    Record mine = msg(QStringLiteral("mine"));
    Record other = msg(QStringLiteral("other"), QStringLiteral("pop.b"), QStringLiteral("ann"));
    QVERIFY(m_msgs.add(mine) && m_msgs.add(other));
    m_msgs.Remove({mine.Id()});
    m_msgs.RemoveFkAccount(account.Id());
    QCOMPARE(m_msgs.GetMsgs(true).keys(), QStringList{other.Id()});
    // Once the account row is gone there is nothing to join through.
    Record again = msg(QStringLiteral("again"));
    QVERIFY(m_msgs.add(again));
    m_accounts.Remove(account.Id());
    m_msgs.RemoveFkAccount(account.Id());
    QCOMPARE(m_msgs.GetMsgs(true).Count(), 2);
}

void TestMsgManager::addFailureIsReported_data()
{
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QString>("sabotage");
    QTest::newRow("record-without-subject") << "Subject" << QString();
    QTest::newRow("record-without-server") << "Server" << QString();
    QTest::newRow("table-gone") << QString() << "DROP TABLE Msg";
    QTest::newRow("insert-refused-by-database")
        << QString() << "CREATE TRIGGER refuse BEFORE INSERT ON Msg BEGIN SELECT RAISE(ABORT, 'disk full'); END";
}

void TestMsgManager::addFailureIsReported()
{
    QFETCH(QString, missing);
    QFETCH(QString, sabotage);
    Record stored = msg(QStringLiteral("stored"));
    QVERIFY(m_msgs.add(stored));
    if (!sabotage.isEmpty())
        QVERIFY(QSqlQuery(m_db->connection()).exec(sabotage));
    Record r = msg(QStringLiteral("lost"));
    if (!missing.isEmpty()) {
        const Record full = r;
        r.RemoveAll();
        for (const QString &name : full.names()) {
            if (name != missing)
                r.Add(name, full.Item(name));
        }
    }
    QVERIFY(!m_msgs.add(r));
    const QString log = shortLog();
    QVERIFY2(log.contains(QStringLiteral(" L4 ")) && log.contains(QStringLiteral("MsgManager.Add")), qPrintable(log));
    if (sabotage.isEmpty()) {
        QCOMPARE(m_msgs.GetMsgs().keys(), QStringList{stored.Id()});
    } else if (sabotage.startsWith(QLatin1String("CREATE"))) {
        QVERIFY2(log.contains(QStringLiteral("disk full")), qPrintable(log));
        QCOMPARE(column(QStringLiteral("SELECT count(*) FROM Msg")).toInt(), 1);
    }
}

void TestMsgManager::hostileTextIsData()
{
    const Record account = accountFor(QStringLiteral("pop.a"), QStringLiteral("o'hara"));
    Record r = msg(QStringLiteral("'); DROP TABLE Msg; --"), QStringLiteral("pop.a"), QStringLiteral("o'hara"));
    r.Add(QStringLiteral("Subject"), QStringLiteral("It's \"quoted\" %1 ?"));
    QVERIFY(m_msgs.add(r));
    QCOMPARE(m_msgs.GetMsgs().Item(r.Id()).value<Record>().text(QStringLiteral("Subject")), QStringLiteral("It's \"quoted\" %1 ?"));
    QCOMPARE(m_msgs.GetMsgIds(account.Id())->keys(), QStringList{QStringLiteral("'); DROP TABLE Msg; --")});
    m_msgs.Remove({QStringLiteral("x' OR '1'='1"), QStringLiteral("' OR 1=1 --")});
    QCOMPARE(m_msgs.GetMsgs().Count(), 1);
}

void TestMsgManager::contentKeepsItsForm_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("form"); // typeof(Content) and, for a BLOB, its first octet

    QString mail = QStringLiteral("Received: from mx.example.org\r\nSubject: hello\r\n\r\n");
    for (int i = 0; i < 2000; ++i)
        mail += QStringLiteral("Line %1 of a long and repetitive message body.\r\n").arg(i);
    QString everyOctet;
    for (int octet = 0; octet < 256; ++octet)
        everyOctet += QChar(char16_t(octet));
    QString noise;
    quint32 state = 12345;
    for (int i = 0; i < 4000; ++i) {
        state = state * 1103515245u + 12345u;
        noise += QChar(char16_t((state >> 16) & 0xFF));
    }
    QTest::newRow("empty-stays-empty-text") << QString() << "text";
    QTest::newRow("short-octets-not-deflated") << QStringLiteral("Hi") << "blob01";
    QTest::newRow("every-octet-value") << everyOctet << "blob01";
    QTest::newRow("random-octets-not-deflated") << noise << "blob01";
    QTest::newRow("mail-deflated") << mail << "blob02";
    QTest::newRow("octets-after-nul") << (QString(QChar(0)) + mail) << "blob02";
    QTest::newRow("non-latin-stays-text") << QStringLiteral("Анна 山田 wrote") << "text";
    QTest::newRow("lone-surrogate-stays-text") << (mail + QChar(0xDC00)) << "text";
    QTest::newRow("leading-byte-order-mark-stays-utf16-bytes") << (QString(QChar(0xFFFE)) + QStringLiteral("x")) << "blobFE";
}

void TestMsgManager::contentKeepsItsForm()
{
    QFETCH(QString, content);
    QFETCH(QString, form);
    Record r = msg(QStringLiteral("1"));
    r.Add(QStringLiteral("Content"), content);
    QVERIFY(m_msgs.add(r));
    QCOMPARE(m_msgs.getMsgContent(r.Id()), content);
    const QString where = QStringLiteral(" FROM Msg WHERE POP3Id = '1'");
    QCOMPARE(column(QStringLiteral("SELECT typeof(Content) || CASE typeof(Content) WHEN 'blob' THEN "
                                   "hex(substr(Content, 1, 1)) ELSE '' END") + where).toString(), form);
    if (form == QLatin1String("blob02"))
        QVERIFY(column(QStringLiteral("SELECT length(Content)") + where).toInt() < content.size() / 4);
}

void TestMsgManager::damagedContentFails_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("deflated-cut-before-length") << QByteArray::fromHex("020500");
    QTest::newRow("deflated-length-too-large") << (QByteArray::fromHex("02ff000000") + QByteArray::fromHex("0300"));
    QTest::newRow("deflated-stream-garbage") << QByteArray::fromHex("0204000000ffffffffffff");
    QTest::newRow("deflated-length-beyond-int") << QByteArray::fromHex("02ffffffff0300");
    QTest::newRow("deflated-length-beyond-what-deflate-expands-to") << QByteArray::fromHex("02000000400300");
}

void TestMsgManager::damagedContentFails()
{
    QFETCH(QByteArray, stored);
    Record r = msg(QStringLiteral("1"));
    QVERIFY(m_msgs.add(r));
    QSqlQuery query(m_db->connection());
    QVERIFY(query.prepare(QStringLiteral("UPDATE Msg SET Content = ? WHERE pkMsg = ?")));
    query.addBindValue(stored);
    query.addBindValue(r.Id());
    QVERIFY(query.exec());
    QVERIFY_THROWS_EXCEPTION(MUError, m_msgs.getMsgContent(r.Id()));
}

void TestMsgManager::olderTextsAreConvertedOnce()
{
    constexpr int count = 40;
    StorageFixture::fillOlderForm(*m_db, count);
    m_msgs.Remove({QStringLiteral("{older-2}")});
    QList<QList<qint64>> steps;
    MsgManager::SetConversionProgress([&steps](const QString &phase, qint64 done, qint64 total) {
        if (phase == QLatin1String("convert"))
            steps.append({done, total});
    });
    MsgManager fresh;
    fresh.Init(m_db.get(), m_log.get(), 6);
    MsgManager::SetConversionProgress({});
    for (int i = 0; i < count; ++i) {
        const QString expected = i == 2 ? QString() : StorageFixture::olderText(i);
        QCOMPARE(fresh.getMsgContent(QStringLiteral("{older-%1}").arg(i)), expected);
    }
    // Texts with characters beyond one octet stay text (those after a byte-order mark were bytes already).
    int unpackable = 0;
    for (int i = 0; i < count; ++i) {
        const QString text = StorageFixture::olderText(i);
        unpackable += i != 2 && !text.isEmpty() && !MsgContent::packable(text) && text.at(0) != QChar(0xFEFF) ? 1 : 0;
    }
    QVERIFY(unpackable > 0);
    QCOMPARE(column(QStringLiteral("SELECT count(*) FROM Msg WHERE typeof(Content) = 'text' AND Content <> ''")).toInt(),
             unpackable);
    // Batches of six: progress from nothing to all, one step per batch, never backwards.
    QCOMPARE(steps.first(), (QList<qint64>{0, count}));
    QCOMPARE(steps.last(), (QList<qint64>{count, count}));
    QVERIFY(steps.size() >= count / 6 + 1);
    for (qsizetype i = 1; i < steps.size(); ++i)
        QVERIFY(steps.at(i).at(0) >= steps.at(i - 1).at(0));

    steps.clear();
    MsgManager::SetConversionProgress([&steps](const QString &phase, qint64 done, qint64 total) {
        steps.append({done, total});
        Q_UNUSED(phase);
    });
    MsgManager again;
    again.Init(m_db.get(), m_log.get(), 6);
    MsgManager::SetConversionProgress({});
    QVERIFY(steps.isEmpty());
}

void TestMsgManager::forEachMsgListsLikeGetMsgs()
{
    Record a = msg(QStringLiteral("a"));
    Record b = msg(QStringLiteral("b"));
    Record c = msg(QStringLiteral("c"));
    QVERIFY(m_msgs.add(a) && m_msgs.add(b) && m_msgs.add(c));
    m_msgs.Remove({b.Id()});
    for (const bool all : {false, true}) {
        const DataBag listed = m_msgs.GetMsgs(all);
        QStringList ids;
        m_msgs.ForEachMsg(all, {QStringLiteral("Subject"), QStringLiteral("From")},
                          [&](const QString &id, const QStringList &values) {
                              ids << id;
                              const Record listedMsg = listed.Item(id).value<Record>();
                              QCOMPARE(values, (QStringList{listedMsg.text(QStringLiteral("Subject")),
                                                            listedMsg.text(QStringLiteral("From"))}));
                          });
        QCOMPARE(ids, listed.keys());
    }
    QVERIFY_THROWS_EXCEPTION(MUError, m_msgs.ForEachMsg(false, {QStringLiteral("Content")}, [](const QString &, const QStringList &) {}));
}

QTEST_GUILESS_MAIN(TestMsgManager)
#include "tst_msgmanager.moc"
