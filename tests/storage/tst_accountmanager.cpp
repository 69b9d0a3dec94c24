// The account store: records, ordering, the password's stored form, old databases.
#include "StorageFixture.h"
#include "storage/AccountManager.h"
#include "storage/Database.h"
#include "trellis/MUError.h"
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;
using StorageFixture::account;

class TestAccountManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHome> m_home;
    AccountManager m_accounts;

    QVariant column(const QString &sql) { return StorageFixture::scalar(*m_home->database(), sql); }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_accounts = AccountManager();
        m_accounts.Init(m_home->database());
    }
    void cleanup() { m_home.reset(); }

    void addGivesFreshIdsAndEveryColumn()
    {
        QCOMPARE(m_accounts.AccountList().Count(), 0);
        Record r = account(u"pop.a"_s, u"x"_s);
        r.setId(u"not-an-id"_s);
        m_accounts.add(r);
        const QString first = r.Id();
        QCOMPARE(first.size(), 38);
        QVERIFY(first.startsWith(QLatin1Char('{')) && first.endsWith(QLatin1Char('}')));
        m_accounts.add(r);
        QVERIFY(r.Id() != first);
        QCOMPARE(m_accounts.AccountList().Count(), 2);
        QVERIFY(m_accounts.AccountList().Exists(first));
        const Record back = m_accounts.GetAccount(first.toLower());   // an id in other letter case finds it
        QCOMPARE(back.Id(), first);
        QCOMPARE(back.names(), (QStringList{"Server", "Port", "User", "Pwd", "CheckInterval", "Disabled", "Email",
                                            "Security", "CertPin", "Protocol", "Folder"}));
    }

    // Each property as added and as updated alone, read back from the list and by id; an
    // update leaves the other rows alone, and the table never holds the plain password.
    void propertyRoundTrips_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariant>("given");
        QTest::addColumn<QVariant>("back");
        auto row = [](const char *name, const char *property, const QVariant &given, const QVariant &back) {
            QTest::newRow(name) << QString::fromLatin1(property) << given << back;
        };
        auto same = [&row](const char *name, const char *property, const QVariant &value) { row(name, property, value, value); };
        same("server", "Server", u"pop.new"_s);
        same("port", "Port", 995);
        row("port-as-text", "Port", u"995"_s, 995);
        same("user", "User", u"y"_s);
        same("interval", "CheckInterval", 25);
        same("email-emptied", "Email", QString());
        same("cert-pin", "CertPin", u"sha256/AAAA"_s);
        row("protocol-in-lower-case", "Protocol", u"imap"_s, u"IMAP"_s);
        same("folder-beyond-ascii", "Folder", u"Lists/Entwürfe"_s);
        same("disabled-bool-true", "Disabled", true);
        row("disabled-number-zero", "Disabled", 0, false);
        row("disabled-number-minus-one", "Disabled", -1, true);
        row("disabled-text-True", "Disabled", u"True"_s, true);
        row("disabled-text-false", "Disabled", u"false"_s, false);
        same("pwd-ascii", "Pwd", u"Tr0ub4dor&3"_s);
        same("pwd-empty", "Pwd", QString());
        same("pwd-emoji-surrogate-pair", "Pwd", u"key🔑lock🔒"_s);
        same("pwd-lone-surrogate-and-fffe", "Pwd", StorageFixture::units({QChar(0xD800), QChar(u'x'), QChar(0xFFFE), QChar(0xDC00)}));
        same("pwd-ends-with-byte-order-mark", "Pwd", u"pw"_s + QChar(0xFEFF));
        same("pwd-code-255-and-zero", "Pwd", StorageFixture::units({QChar(0xFF), QChar(0), QChar(u'z')}));
    }
    void propertyRoundTrips()
    {
        QFETCH(QString, property);
        QFETCH(QVariant, given);
        QFETCH(QVariant, back);
        Record added = account(u"pop.a"_s, u"x"_s);
        added.Add(property, given);
        m_accounts.add(added);
        Record other = account(u"pop.b"_s, u"y"_s, u"other"_s);
        m_accounts.add(other);
        const Record addedBefore = m_accounts.GetAccount(added.Id());
        Record updated = m_accounts.GetAccount(other.Id());
        Record expected = updated;
        updated.Add(property, given);
        expected.Add(property, back);
        m_accounts.Update(updated);
        for (const Record &r : {added, updated}) {
            const QVariant read = m_accounts.GetAccount(r.Id()).Item(property);
            QCOMPARE(read, back);
            QCOMPARE(read.typeId() == QMetaType::Bool, back.typeId() == QMetaType::Bool);
            QCOMPARE(m_accounts.AccountList().Item(r.Id()).value<Record>().Item(property), back);
            const QString sql = u"SELECT %1 FROM Account WHERE pkAccount = '%2'"_s.arg(property, r.Id());
            if (property == u"Pwd"_s)   // the plain password is never stored
                QCOMPARE(column(sql).toString() == given.toString(), given.toString().isEmpty());
            if (QTest::currentDataTag() == QByteArray("pwd-ascii"))
                QCOMPARE(column(sql).toString(), AccountManager::StoredPassword(given.toString()));
            if (property == u"Disabled"_s)
                QCOMPARE(column(sql).toInt(), back.toBool() ? 1 : 0);
        }
        // An update rewrites the property and leaves the rest of its row and the other rows alone.
        for (const auto &[id, was] : {std::pair{updated.Id(), expected}, {added.Id(), addedBefore}}) {
            const Record now = m_accounts.GetAccount(id);
            QCOMPARE(now.names(), was.names());
            for (const QString &name : now.names())
                QCOMPARE(now.Item(name).toString(), was.Item(name).toString());
        }
    }

    void storedPasswordForm_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("stored");
        QTest::newRow("abc-reversed-and-inverted") << u"abc"_s << StorageFixture::units({QChar(156), QChar(157), QChar(158)});
        QTest::newRow("empty-stays-empty") << QString() << QString();
        QTest::newRow("latin1-high-codes") << StorageFixture::units({QChar(0xE9), QChar(0xFF), QChar(0)})
                                           << StorageFixture::units({QChar(0xFF), QChar(0), QChar(0x16)});
        QTest::newRow("mixed-latin-and-cjk") << (u"a"_s + QChar(0x5BC6)) << (QString(QChar(0x5BC6)) + QChar(158));
    }
    void storedPasswordForm()
    {
        QFETCH(QString, password);
        QFETCH(QString, stored);
        QCOMPARE(AccountManager::StoredPassword(password), stored);
        QCOMPARE(AccountManager::StoredPassword(stored), password);
    }

    void listIsOrderedByServerThenUser()
    {
        for (const auto &[server, user] : {std::pair{"pop.b", "x"}, {"pop.a", "z"}, {"pop.a", "y"}, {"POP.A", "w"}}) {
            Record r = account(QString::fromLatin1(server), QString::fromLatin1(user));
            m_accounts.add(r);
        }
        QStringList order;
        for (const QVariant &item : m_accounts.AccountList()) {
            const Record r = item.value<Record>();
            order << r.text(u"Server"_s) + QLatin1Char('/') + r.text(u"User"_s);
        }
        QCOMPARE(order, (QStringList{"POP.A/w", "pop.a/y", "pop.a/z", "pop.b/x"}));
    }

    void securityDefaults_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QVariant>("given");
        QTest::addColumn<QString>("expected");
        QTest::newRow("pop3s-port-defaults-to-tls") << 995 << QVariant() << "TLS";
        QTest::newRow("pop3-port-defaults-to-starttls") << 110 << QVariant() << "STARTTLS";
        QTest::newRow("explicit-none-kept") << 110 << QVariant(u"None"_s) << "None";
        QTest::newRow("explicit-starttls-on-995-kept") << 995 << QVariant(u"STARTTLS"_s) << "STARTTLS";
        QTest::newRow("imaps-port-defaults-to-tls") << 993 << QVariant() << "TLS";
    }
    void securityDefaults()
    {
        QFETCH(int, port);
        QFETCH(QVariant, given);
        QFETCH(QString, expected);
        Record r = account(u"pop.a"_s, u"x"_s);
        r.Add(u"Port"_s, port);
        if (given.isValid())
            r.Add(u"Security"_s, given);
        m_accounts.add(r);
        QCOMPARE(m_accounts.GetAccount(r.Id()).text(u"Security"_s), expected);
        QCOMPARE(m_accounts.GetAccount(r.Id()).text(u"CertPin"_s), QString());
    }

    void unknownIds()
    {
        Record r = account(u"pop.a"_s, u"x"_s);
        m_accounts.add(r);
        const QString none = u"{00000000-0000-0000-0000-000000000000}"_s;
        const MUError error = StorageFixture::raised([&] { m_accounts.GetAccount(none); });
        QCOMPARE(error.number(), qint32(0x80040201u));
        QCOMPARE(error.source(), u"AccountManager.GetAccount"_s);
        Record ghost = account(u"pop.ghost"_s, u"g"_s);
        ghost.setId(none);
        QVERIFY_THROWS_EXCEPTION(MUError, m_accounts.Update(ghost));
        m_accounts.Remove(none);
        m_accounts.Remove(u"x' OR '1'='1"_s);
        QCOMPARE(column(u"SELECT count(*) || Server FROM Account"_s).toString(), u"1pop.a"_s);
        m_accounts.Remove(r.Id());
        QCOMPARE(m_accounts.AccountList().Count(), 0);
    }

    void badRecordsAreRefused_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing-server") << "Server" << QVariant() << "no property 'Server'";
        QTest::newRow("missing-pwd") << "Pwd" << QVariant() << "no property 'Pwd'";
        QTest::newRow("port-not-a-number") << "Port" << QVariant(u"pop3"_s) << "'Port' must be a whole number";
        QTest::newRow("interval-not-a-number") << "CheckInterval" << QVariant(u"often"_s) << "'CheckInterval'";
    }
    void badRecordsAreRefused()
    {
        QFETCH(QString, property);
        QFETCH(QVariant, value);
        QFETCH(QString, reason);
        Record good = account(u"pop.a"_s, u"x"_s);
        m_accounts.add(good);
        Record r;
        for (const QString &name : good.names()) {
            if (name != property)
                r.Add(name, good.Item(name));
            else if (value.isValid())
                r.Add(name, value);
        }
        const MUError error = StorageFixture::raised([&] { m_accounts.add(r); });
        QVERIFY2(error.description().contains(reason), qPrintable(error.description()));
        r.setId(good.Id());
        QVERIFY_THROWS_EXCEPTION(MUError, m_accounts.Update(r));
        QCOMPARE(m_accounts.AccountList().Count(), 1);
        QCOMPARE(m_accounts.GetAccount(good.Id()).text(u"Server"_s), u"pop.a"_s);
    }

    void oldDatabaseGainsColumns()
    {
        // A database from before the Email, Security and CertPin columns.
        QTemporaryDir home;
        {
            QSqlDatabase old = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"old"_s);
            old.setDatabaseName(home.filePath(u"MU.mdb"_s));
            QVERIFY(old.open());
            QSqlQuery q(old);
            QVERIFY(q.exec(u"PRAGMA encoding = 'UTF-16le'"_s));
            QVERIFY(q.exec(QStringLiteral("CREATE TABLE Account (pkAccount TEXT PRIMARY KEY, Server TEXT, Port INTEGER, "
                                          "User TEXT, Pwd TEXT, CheckInterval INTEGER, Disabled INTEGER)")));
            QVERIFY(q.exec(QStringLiteral("INSERT INTO Account VALUES ('{11111111-2222-3333-4444-555555555555}', "
                                          "'pop.old', 110, 'olduser', '', 15, 0)")));
            q.finish();
            old.close();
        }
        QSqlDatabase::removeDatabase(u"old"_s);

        auto db = std::make_unique<Database>(home.path(), TestHome::templatePath());
        AccountManager accounts;
        accounts.Init(db.get());
        accounts.Init(db.get()); // a second start finds the columns in place
        const Record old = accounts.GetAccount(u"{11111111-2222-3333-4444-555555555555}"_s);
        const std::pair<QString, QString> expected[] = {{u"Server"_s, u"pop.old"_s}, {u"Email"_s, {}}, {u"Security"_s, u"None"_s},
                                                        {u"CertPin"_s, {}}, {u"Protocol"_s, u"POP3"_s}, {u"Folder"_s, u"INBOX"_s}};
        for (const auto &[name, value] : expected)
            QCOMPARE(old.text(name), value);
        Record r = account(u"pop.new"_s, u"n"_s);
        accounts.add(r);
        QCOMPARE(accounts.GetAccount(r.Id()).text(u"Email"_s), u"n@example.com"_s);
        db.reset();
    }

    void signInMarkMigratesAndLasts()
    {
        Record r = account(u"imap.a"_s, u"x"_s);
        m_accounts.add(r);
        // A database from before the mark gains it, unset.
        QSqlQuery drop(m_home->database()->connection());
        QVERIFY(drop.exec(u"ALTER TABLE Account DROP COLUMN SignInNeeded"_s));
        drop.finish();
        m_accounts.Init(m_home->database());
        QVERIFY(!m_accounts.GetAccount(r.Id()).Exists(u"SignInNeeded"_s));
        QVERIFY(m_accounts.SetSignInNeeded(r.Id(), true));
        QVERIFY(!m_accounts.SetSignInNeeded(r.Id(), true)); // marked once: a second refusal is no news
        QVERIFY(!m_accounts.SetSignInNeeded(u"{00000000-0000-0000-0000-000000000000}"_s, true));
        // The next start (or the other process) reads it.
        AccountManager next;
        next.Init(m_home->database());
        const Record marked = next.AccountList().Item(r.Id()).value<Record>();
        QCOMPARE(marked.Item(u"SignInNeeded"_s), QVariant(true));
        // A modified account is no longer marked, even when the record written says it was.
        next.Update(marked);
        QVERIFY(!next.GetAccount(r.Id()).Exists(u"SignInNeeded"_s));
        QVERIFY(next.SetSignInNeeded(r.Id(), true));
        QVERIFY(next.SetSignInNeeded(r.Id(), false));
        QVERIFY(!next.GetAccount(r.Id()).Exists(u"SignInNeeded"_s));
    }

    // The account dialog writes every field it shows, and no link to an online account: an
    // update that does not name the link keeps it; naming it empty unlinks it.
    void updateThatDoesNotNameTheOnlineAccountKeepsIt()
    {
        Record linked = account(u"imap.a"_s, u"alice"_s, QString());
        linked.Add(u"OnlineAccount"_s, u"g_9"_s);
        m_accounts.add(linked);
        Record edited = StorageFixture::without(m_accounts.GetAccount(linked.Id()), u"OnlineAccount"_s);
        edited.Add(u"CheckInterval"_s, 7);
        m_accounts.Update(edited);
        QCOMPARE(m_accounts.GetAccount(linked.Id()).text(u"OnlineAccount"_s), u"g_9"_s);
        QCOMPARE(m_accounts.GetAccount(linked.Id()).Item(u"CheckInterval"_s).toInt(), 7);
        edited.Add(u"OnlineAccount"_s, QString());
        m_accounts.Update(edited);
        QCOMPARE(m_accounts.GetAccount(linked.Id()).text(u"OnlineAccount"_s), QString());
    }
};

QTEST_GUILESS_MAIN(TestAccountManager)
#include "tst_accountmanager.moc"
