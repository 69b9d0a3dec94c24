#include "CliRunner.h"
#include "TestCertificates.h"
#include <QCryptographicHash>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <unistd.h>
#include <algorithm>
#include <memory>
#include <vector>

namespace {
QString CArriveShellFingerprint(const QString &pemFile)
{
    QFile f(pemFile);
    f.open(QIODevice::ReadOnly);
    return QString::fromLatin1(QSslCertificate(&f).digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

QByteArray mail(int n)
{
    return "Message-ID: <cli" + QByteArray::number(n) + "@example.org>\r\n"
           "From: =?UTF-8?Q?J=C3=BCrgen?= <j@example.org>\r\nTo: Ann <ann@example.org>\r\n"
           "Date: Sun, 6 Dec 2026 10:0" + QByteArray::number(n) + ":00 +0000\r\n"
           "Subject: Re: =?UTF-8?B?w4RwZmVs?= " + QByteArray::number(n) + "\r\n\r\nHallo " + QByteArray::number(n) + "\r\n";
}
}

/// murmelo-cli from outside, as a script uses it.
class TstCli : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;

    CliResult cli(const QStringList &args, const QByteArray &input = {}) { return runCli(m_home.path(), args, input); }
    /// Runs the program in `home` on its own and returns its lines as JSON.
    static QList<QJsonObject> jsonOf(QProcess &p)
    {
        return CliResult{0, p.readAllStandardOutput(), {}}.json();
    }

private Q_SLOTS:
    void accountsRoundTripWithoutEverPrintingThePassword()
    {
        CliResult add = cli({"--json", "accounts", "add", "--server", "pop.example.com", "--user", "ann", "--password",
                          "Pässwörd-42", "--interval", "7", "--email", "ann@example.com"});
        QCOMPARE(add.status, 0);
        const QString id = add.json().value(0).value("Id").toString();
        QCOMPARE(id.size(), 38);

        CliResult list = cli({"--json", "accounts", "list"});
        QCOMPARE(list.status, 0);
        const QJsonObject a = list.json().value(0);
        QCOMPARE(a.value("Id").toString(), id);
        QCOMPARE(a.value("Server").toString(), QString("pop.example.com"));
        QCOMPARE(a.value("Port").toInt(), 110);
        QCOMPARE(a.value("User").toString(), QString("ann"));
        QCOMPARE(a.value("CheckInterval").toInt(), 7);
        QCOMPARE(a.value("Disabled").toBool(), false);
        QCOMPARE(a.value("Email").toString(), QString("ann@example.com"));
        QVERIFY(!a.contains("Pwd"));

        CliResult upd = cli({"accounts", "update", id, "--port", "995", "--disabled", "--password", "-"}, "new secret\n");
        QCOMPARE(upd.status, 0);
        const QJsonObject b = cli({"--json", "accounts", "list"}).json().value(0);
        QCOMPARE(b.value("Port").toInt(), 995);
        QCOMPARE(b.value("Disabled").toBool(), true);

        for (const CliResult &r : {add, list, upd})
            QVERIFY(!r.out.contains("Pässwörd") && !r.err.contains("Pässwörd") && !r.out.contains("new secret"));
        const QByteArray logText = fileBytes(m_home.filePath("mu.log"));
        QVERIFY(!logText.contains("Pässwörd") && !logText.contains("new secret"));

        QCOMPARE(cli({"accounts", "remove", id}).status, 0);
        QVERIFY(cli({"--json", "accounts", "list"}).json().isEmpty());
    }

    void errorsCarryTheEngineNumber()
    {
        CliResult r = cli({"accounts", "remove", "{00000000-0000-0000-0000-000000000000}"});
        QVERIFY(r.status != 0);
        QVERIFY2(r.err.contains(QByteArray::number(qint32(0x80040201u))), r.err.constData());
        CliResult m = cli({"--json", "messages", "show", "{00000000-0000-0000-0000-000000000000}"});
        QVERIFY(m.status != 0);
        const QJsonObject e = QJsonDocument::fromJson(m.err.trimmed()).object();
        QCOMPARE(e.value("ErrNumber").toInt(), qint32(0x80040202u));
        QVERIFY(e.value("ErrDescription").toString().startsWith("Message {00000000"));
        QCOMPARE(cli({"accounts", "add", "--server", "x"}).status, 64);
        QCOMPARE(cli({"no-such-command"}).status, 64);
    }

    void settingsGetAndSet()
    {
        QCOMPARE(cli({"settings", "get", "{TEST-KEY}", "--default", "fallback"}).out.trimmed(), QByteArray("fallback"));
        QCOMPARE(cli({"settings", "set", "{TEST-KEY}", "a|b \\ c"}).status, 0);
        QCOMPARE(cli({"--json", "settings", "get", "{TEST-KEY}"}).json().value(0).value("Value").toString(),
                 QString("a|b \\ c"));
    }

    void checkAgainstDovecot()
    {
        DovecotFixture dovecot;
        START_DOVECOT_OR_SKIP(dovecot);
        for (int n = 1; n <= 3; ++n)
            QVERIFY(dovecot.addMessage(mail(n)));
        const QString id = cli(addDovecotAccount(dovecot)).first().value("Id").toString();
        QVERIFY(!id.isEmpty());
        CliResult first = cli({"--json", "check"});
        QCOMPARE(first.status, 0);
        const auto msgs = first.json();
        QCOMPARE(msgs.size(), 3);
        QCOMPARE(msgs.at(0).value("Subject").toString(), QString("Re: Äpfel 1"));
        QCOMPARE(msgs.at(0).value("From").toString(), QString("Jürgen"));
        QCOMPARE(msgs.at(2).value("POP3Id").toString(), QString("<cli3@example.org>"));
        for (const char *key : {"Id", "Server", "User", "POP3Id", "From", "To", "Date", "Subject"})
            QVERIFY2(msgs.at(0).contains(key), key);

        CliResult second = cli({"--json", "check"});
        QCOMPARE(second.status, 0);
        QVERIFY(second.json().isEmpty());

        // The stored content is the message, byte for byte.
        CliResult show = cli({"messages", "show", msgs.at(0).value("Id").toString()});
        QCOMPARE(show.status, 0);
        QVERIFY(show.out.contains("Subject: Re: =?UTF-8?B?w4RwZmVs?= 1\r\n"));
        QVERIFY(show.out.contains("Hallo 1"));

        QCOMPARE(cli({"messages", "delete", msgs.at(0).value("Id").toString()}).status, 0);
        QCOMPARE(cli({"--json", "messages", "list"}).json().size(), 2);
        QCOMPARE(cli({"--json", "messages", "list", "--all"}).json().size(), 3);

        // A wrong password: status 2 and the reason, nothing printed as a message.
        QCOMPARE(cli({"accounts", "update", id, "--password", "wrong"}).status, 0);
        CliResult bad = cli({"check", "--account", id});
        QCOMPARE(bad.status, 2);
        QVERIFY2(bad.err.contains("Cannot get new messages from e-mail server '127.0.0.1'."), bad.err.constData());
        QVERIFY(!bad.out.contains("new "));
    }

    void parallelChecksStoreAndAnnounceEachMessageOnce()
    {
        DovecotFixture dovecot;
        START_DOVECOT_OR_SKIP(dovecot);
        constexpr int Messages = 30;
        for (int n = 1; n <= Messages; ++n)
            QVERIFY(dovecot.addMessage(mail(n)));
        QTemporaryDir home;
        const QString program = cliProgram();
        QCOMPARE(runCli(home.path(), addDovecotAccount(dovecot)).status, 0);
        std::vector<std::unique_ptr<QProcess>> checks;
        for (int i = 0; i < 4; ++i) {
            checks.push_back(std::make_unique<QProcess>());
            checks.back()->start(program, {"--home", home.path(), "--json", "check"});
        }
        int announced = 0;
        for (const auto &p : checks) {
            QVERIFY(p->waitForFinished(120000));
            QCOMPARE(p->exitCode(), 0);
            announced += int(jsonOf(*p).size());
        }
        const qsizetype stored = runCli(home.path(), {"--json", "messages", "list", "--all"}).json().size();
        qInfo("4 parallel checks of %d messages: %lld rows stored, %d announced", Messages, qlonglong(stored), announced);
        QCOMPARE(stored, qsizetype(Messages));
        QCOMPARE(announced, Messages);
    }

    // A check that cannot keep what it received fails and says why; a full disk is named as such.
    void checkThatCannotStoreFails_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("freeBytes");   // left on the full disk
        QTest::addColumn<QByteArray>("why");
        QTest::newRow("damaged-msg-table") << "msg-table" << 0 << QByteArray("malformed");
        QTest::newRow("disk-full") << "disk-full" << 0 << QByteArray("the disk is full");
        QTest::newRow("disk-full-but-a-few-pages") << "disk-full" << 80000 << QByteArray("the disk is full");
    }

    void checkThatCannotStoreFails()
    {
        QFETCH(QString, damage);
        QFETCH(int, freeBytes);
        QFETCH(QByteArray, why);
        DovecotFixture dovecot;
        START_DOVECOT_OR_SKIP(dovecot);
        for (int n = 1; n <= 30; ++n)
            QVERIFY(dovecot.addMessage(mail(n) + QByteArray(2000, 'x') + "\r\n"));
        QTemporaryDir dir;
        const QString home = dir.filePath("home");
        auto unmount = qScopeGuard([&] {
            if (damage == "disk-full")
                QProcess::execute("umount", {"-l", dir.path()});
        });
        if (damage == "disk-full") {
            // A small file system of its own; mounting needs root, as in CI.
            if (::geteuid() != 0 || QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", dir.path()}) != 0)
                QSKIP("a small file system cannot be mounted here");
        }
        auto run = [&](const QStringList &args) { return runCli(home, args); };
        QCOMPARE(run(addDovecotAccount(dovecot)).status, 0);
        QFile filler(dir.filePath("filler"));
        if (damage == "msg-table") {
            const QString db = home + "/MU.mdb";
            qint64 root = 0, pageSize = 0;
            {
                QSqlDatabase c = QSqlDatabase::addDatabase("QSQLITE", "damage");
                c.setDatabaseName(db);
                QVERIFY(c.open());
                QSqlQuery q(c);
                QVERIFY(q.exec("SELECT rootpage FROM sqlite_master WHERE name = 'Msg'") && q.next());
                root = q.value(0).toLongLong();
                QVERIFY(q.exec("PRAGMA page_size") && q.next());
                pageSize = q.value(0).toLongLong();
                q.finish();
                c.close();
            }
            QSqlDatabase::removeDatabase("damage");
            QFile file(db);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek((root - 1) * pageSize));
            file.write(QByteArray(int(pageSize), char(0xAB)));
        } else {
            // Fill the file system to the last block.
            QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            for (int chunk : {65536, 4096, 512})
                while (filler.write(QByteArray(chunk, 'f')) == chunk) {
                }
            filler.close();
            filler.resize(filler.size() - freeBytes);
        }
        const CliResult check = run({"check"});
        QVERIFY2(check.status == 1 || check.status == 2, check.err.constData());
        QVERIFY2(check.err.toLower().contains(why), check.err.constData());
        QVERIFY2(!check.err.contains("not a readable"), check.err.constData());
        if (damage == "disk-full") {
            filler.remove();
            // Whatever was announced was stored.
            const CliResult list = run({"--json", "messages", "list"});
            QCOMPARE(list.json().size(), qsizetype(check.out.count("new ")));
        }
    }

    // A header that says "new line" never makes a line of its own on the terminal.
    void textOutputEscapesControlCharacters_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("shown");
        const QByteArray forged = "new  {00000000-0000-0000-0000-000000000000}  from Your Bank: Please confirm";
        QTest::newRow("folded-subject") << "Subject: Hello\r\n " + forged + "\r\n" << QByteArray("Hello");
        QTest::newRow("encoded-line-break")
            << QByteArray("Subject: =?UTF-8?Q?Hello=0D=0Anew__{0}__from_Your_Bank:_confirm?=\r\n")
            << QByteArray("Hello\\r\\nnew");
        QTest::newRow("terminal-escape-in-sender")
            << QByteArray("Subject: Hello\r\nFrom: =?UTF-8?Q?=1B[2J=C2=9B1mBank?= <b@example.org>\r\n")
            << QByteArray("\\x1b[2J\\x9b1mBank");
        QTest::newRow("right-to-left-override") << QByteArray("Subject: =?UTF-8?Q?Hello_=E2=80=AEgnp.exe?=\r\n")
                                                << QByteArray("Hello \\u202egnp.exe");
    }

    void textOutputEscapesControlCharacters()
    {
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, shown);
        DovecotFixture dovecot;
        START_DOVECOT_OR_SKIP(dovecot);
        QVERIFY(dovecot.addMessage("Message-ID: <forged@example.org>\r\n" + header + "\r\nBody\r\n"));
        QTemporaryDir home;
        QCOMPARE(runCli(home.path(), addDovecotAccount(dovecot)).status, 0);
        const CliResult check = runCli(home.path(), {"check"});
        QCOMPARE(check.status, 0);
        QCOMPARE(check.out.count('\n'), 1);
        QVERIFY2(check.out.startsWith("new  {") && check.out.contains(shown), check.out.constData());
        for (const char c : check.out.chopped(1))
            QVERIFY2(uchar(c) >= 0x20 && uchar(c) != 0x7F, check.out.constData());
        QVERIFY(!check.out.contains("\xC2\x9B") && !check.out.contains("\xE2\x80\xAE"));
    }

    void listLinesAreWhatJsonAndEscapingWrite_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("plain-ascii") << QStringLiteral("Lunch at noon? (1 <a@b.c>)");
        QTest::newRow("slash") << QStringLiteral("a/b");
        QTest::newRow("quote") << QStringLiteral("say \"hi\"");
        QTest::newRow("backslash") << QStringLiteral("C:\\mail");
        QTest::newRow("tab") << QStringLiteral("a\tb");
        QTest::newRow("delete-character") << QStringLiteral("a\x7f");
        QTest::newRow("latin") << QStringLiteral("Jürgen");
        QTest::newRow("emoji") << QStringLiteral("😀 hi");
        QTest::newRow("lone-surrogate") << (QStringLiteral("x") + QChar(0xD800));
        QTest::newRow("empty") << QString();
    }

    void listLinesAreWhatJsonAndEscapingWrite()
    {
        // One message with `value` in every header column; the listed line must be what the
        // JSON writer makes of the record, and the text line the value escaped.
        QFETCH(QString, value);
        QTemporaryDir home;
        QCOMPARE(runCli(home.path(), {"messages", "list"}).status, 0);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "list-lines");
            db.setDatabaseName(home.filePath("MU.mdb"));
            QVERIFY(db.open());
            QSqlQuery insert(db);
            QVERIFY(insert.prepare("INSERT INTO Msg (pkMsg, Server, User, POP3Id, MsgFrom, MsgTo, Date, Subject) "
                                   "VALUES ('{00000000-0000-0000-0000-00000000000A}', ?, ?, ?, ?, ?, ?, ?)"));
            for (int i = 0; i < 7; ++i)
                insert.addBindValue(value.isNull() ? QString("") : value);
            QVERIFY(insert.exec());
            insert.finish();
            db.close();
        }
        QSqlDatabase::removeDatabase("list-lines");
        QJsonObject expected{{"Id", "{00000000-0000-0000-0000-00000000000A}"}};
        for (const char *key : {"Server", "User", "POP3Id", "From", "To", "Date", "Subject"})
            expected.insert(key, value);
        const CliResult json = runCli(home.path(), {"--json", "messages", "list"});
        QCOMPARE(json.status, 0);
        QCOMPARE(json.out, QJsonDocument(expected).toJson(QJsonDocument::Compact) + "\n");
        const CliResult text = runCli(home.path(), {"messages", "list"});
        QCOMPARE(text.status, 0);
        QVERIFY2(text.out.startsWith("{00000000-0000-0000-0000-00000000000A}  ") && text.out.endsWith("\n")
                     && text.out.count('\n') == 1,
                 text.out.constData());
        if (std::all_of(value.cbegin(), value.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() != 0x7F; }))
            QVERIFY2(text.out.contains((value + "  " + value + "  " + value).toUtf8()), text.out.constData());
        else
            QVERIFY2(!text.out.chopped(1).contains('\t') && !text.out.contains('\x7f'), text.out.constData());
    }

    void olderDatabaseIsConvertedWithProgress()
    {
        // Message texts as an older version stored them (UTF-16 text, no conversion mark).
        QTemporaryDir home;
        QCOMPARE(runCli(home.path(), {"messages", "list"}).status, 0);
        QByteArray body = "Subject: old\r\n\r\n";
        for (int octet = 1; octet < 256; ++octet)
            body += char(octet);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "older");
            db.setDatabaseName(home.filePath("MU.mdb"));
            QVERIFY(db.open());
            QSqlQuery sql(db);
            QVERIFY(sql.exec("DELETE FROM Property WHERE Name = 'MsgContentPacked'"));
            QVERIFY(sql.prepare("INSERT INTO Msg (pkMsg, Server, User, POP3Id, Subject, Content) VALUES (?, 'pop.a', 'ann', ?, 'old', ?)"));
            for (int i = 0; i < 30; ++i) {
                sql.addBindValue(QString("{00000000-0000-0000-0000-0000000000%1}").arg(i, 2, 10, QChar('0')));
                sql.addBindValue(QString::number(i));
                sql.addBindValue(QString::fromLatin1(body) + QString::number(i));
                QVERIFY(sql.exec());
            }
            sql.finish();
            db.close();
        }
        QSqlDatabase::removeDatabase("older");

        const CliResult first = runCli(home.path(), {"messages", "list"});
        QCOMPARE(first.status, 0);
        QCOMPARE(first.out.count('\n'), 30);
        QVERIFY2(first.err.contains("converting stored messages: 0 of 30\n")
                     && first.err.contains("converting stored messages: 30 of 30\n") && first.err.contains("compacted"),
                 first.err.constData());
        const CliResult show = runCli(home.path(), {"messages", "show", "{00000000-0000-0000-0000-000000000007}"});
        QCOMPARE(show.out, body + "7");
        const CliResult again = runCli(home.path(), {"--json", "messages", "list"});
        QCOMPARE(again.status, 0);
        QCOMPARE(again.err, QByteArray());
    }

    // Options after the command are taken or refused, never ignored.
    void optionsAfterTheCommand_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("out");   // stdout begins with this
        QTest::addColumn<QByteArray>("err");   // stderr contains this
        QTest::newRow("json-after-command") << QStringList{"accounts", "list", "--json"} << 0 << QByteArray("{\"CertPin\"")
                                            << QByteArray();
        QTest::newRow("json-between-command-and-subcommand")
            << QStringList{"accounts", "--json", "list"} << 0 << QByteArray("{\"CertPin\"") << QByteArray();
        QTest::newRow("unknown-option") << QStringList{"accounts", "list", "--bogus"} << 64 << QByteArray()
                                        << QByteArray("usage: murmelo-cli accounts list");
        QTest::newRow("misspelt-option-of-check") << QStringList{"check", "--acount", "{X}"} << 64 << QByteArray()
                                                  << QByteArray("unknown option --acount");
        QTest::newRow("option-of-another-subcommand") << QStringList{"accounts", "list", "--yes"} << 64 << QByteArray()
                                                      << QByteArray("unexpected argument '--yes'");
        QTest::newRow("extra-argument") << QStringList{"version", "now"} << 64 << QByteArray()
                                        << QByteArray("unexpected argument 'now'");
        QTest::newRow("help-after-command") << QStringList{"check", "--help"} << 0
                                            << QByteArray("usage: murmelo-cli check [--account ID]\n") << QByteArray();
        QTest::newRow("short-help-after-subcommand") << QStringList{"messages", "list", "-h"} << 0
                                                     << QByteArray("usage: murmelo-cli messages list") << QByteArray();
        QTest::newRow("value-that-looks-like-an-option")
            << QStringList{"settings", "get", "{K}", "--default", "--json"} << 0 << QByteArray("--json\n") << QByteArray();
        QTest::newRow("argument-after-double-dash")
            << QStringList{"settings", "set", "{K}", "--", "--bogus"} << 0 << QByteArray("{K} = --bogus\n") << QByteArray();
    }

    void optionsAfterTheCommand()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QTemporaryDir home;
        QCOMPARE(runCli(home.path(), {"accounts", "add", "--server", "pop.example.com", "--user", "ann"}).status, 0);
        const CliResult r = runCli(home.path(), args);
        QCOMPARE(r.status, status);
        QVERIFY2(r.out.startsWith(out), r.out.constData());
        QVERIFY2(r.err.contains(err), r.err.constData());
        if (args.contains("--json") && status == 0)
            QVERIFY(!r.json().isEmpty());
    }

    void imapAccountOptions()
    {
        QTemporaryDir home;
        auto run = [&](const QStringList &args) { return runCli(home.path(), args); };
        struct Case { QStringList options; int port; const char *security; const char *protocol; const char *folder; };
        const Case cases[] = {
            {{"--protocol", "imap"}, 143, "STARTTLS", "IMAP", "INBOX"},
            {{"--protocol", "IMAP", "--security", "tls", "--folder", "Lists/Qt"}, 993, "TLS", "IMAP", "Lists/Qt"},
            {{"--protocol", "pop3", "--security", "tls"}, 995, "TLS", "POP3", "INBOX"},
            {{}, 110, "STARTTLS", "POP3", "INBOX"},
        };
        for (const Case &c : cases) {
            CliResult add = run(QStringList{"--json", "accounts", "add", "--server", "mail.example.org", "--user", "u",
                                         "--password", "p"} + c.options);
            QCOMPARE(add.status, 0);
            const QJsonObject a = run({"--json", "accounts", "list"}).json().value(0);
            QCOMPARE(a.value("Id"), add.json().value(0).value("Id"));
            QCOMPARE(a.value("Port").toInt(), c.port);
            QCOMPARE(a.value("Security").toString(), QString(c.security));
            QCOMPARE(a.value("Protocol").toString(), QString(c.protocol));
            QCOMPARE(a.value("Folder").toString(), QString(c.folder));
            QCOMPARE(run({"accounts", "remove", a.value("Id").toString()}).status, 0);
        }
        QCOMPARE(run({"accounts", "add", "--server", "x", "--user", "u", "--password", "p", "--protocol", "smtp"}).status,
                 64);
        const QString id = run({"--json", "accounts", "add", "--server", "x", "--user", "u", "--password", "p"})
                               .json().value(0).value("Id").toString();
        QCOMPARE(run({"accounts", "update", id, "--protocol", "imap", "--folder", "Archive"}).status, 0);
        const QJsonObject b = run({"--json", "accounts", "list"}).json().value(0);
        QCOMPARE(b.value("Protocol").toString(), QString("IMAP"));
        QCOMPARE(b.value("Folder").toString(), QString("Archive"));
    }

    void watchPushesImapAndPollsPop3()
    {
        DovecotFixture dovecot;
        dovecot.enableImap();
        START_DOVECOT_OR_SKIP(dovecot);
        QTemporaryDir home;
        const QStringList imapAccount = addDovecotAccount(dovecot, dovecot.imapPort()) + QStringList{"--protocol", "imap"};
        const QString imap = runCli(home.path(), imapAccount).first().value("Id").toString();
        QStringList test = imapAccount;
        test[2] = "test";   // "accounts test" takes the options of "accounts add"
        const CliResult tested = runCli(home.path(), test);
        QCOMPARE(tested.status, 0);
        QCOMPARE(tested.first().value("protocol").toString(), QString("IMAP"));
        const QString pop = runCli(home.path(), addDovecotAccount(dovecot) + QStringList{"--interval", "60"})
                                .first().value("Id").toString();
        QVERIFY(!imap.isEmpty() && !pop.isEmpty());
        QProcess watch;
        watch.start(cliProgram(), {"--home", home.path(), "watch"});
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += watch.readAllStandardOutput()).contains((imap + " push").toUtf8()), 20000);
        QVERIFY(out.contains((pop + " poll").toUtf8()));
        QVERIFY(dovecot.addMessage(mail(5)));
        QTRY_VERIFY_WITH_TIMEOUT((out += watch.readAllStandardOutput()).contains("MsgArrived"), 5000);
        watch.terminate();
        QVERIFY(watch.waitForFinished(10000));
        QCOMPARE(watch.exitCode(), 0);
    }

    void watchShowsTimerChecksAndStopsCleanly()
    {
        QTemporaryDir home;
        QCOMPARE(runCli(home.path(), {"accounts", "add", "--server", "127.0.0.1", "--port", "1", "--user", "u",
                                      "--password", "p", "--interval", "1"}).status, 0);
        QProcess watch;
        watch.start(cliProgram(), {"--home", home.path(), "--json", "watch"});
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += watch.readAllStandardOutput()).contains("\"ErrorOccured\""), 20000);
        QVERIFY(out.indexOf("ItsTimeToCheck") < out.indexOf("ReceiveStart"));
        watch.terminate();   // SIGTERM: finalises and exits like Ctrl+C
        QVERIFY(watch.waitForFinished(10000));
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 0);
        QVERIFY((out + watch.readAllStandardOutput()).contains("\"Stopped\""));
        QVERIFY(fileBytes(home.filePath("mu.log")).contains("moReceiverManager.Finalize() complete"));
    }

    void checkOverTlsAndStartTlsWithPinnedCertificate()
    {
        TestCertificates certs;
        QString why;
        QVERIFY2(certs.make(&why), qPrintable(why));
        DovecotFixture dovecot;
        dovecot.enableTls(certs.serverCert(), certs.serverKey());
        START_DOVECOT_OR_SKIP(dovecot);
        QVERIFY(dovecot.addMessage(mail(8)));
        QTemporaryDir home;
        auto run = [&](const QStringList &args) { return runCli(home.path(), args); };
        struct Case { const char *security; const char *host; quint16 port; };
        const Case cases[] = {{"tls", "127.0.0.1", dovecot.tlsPort()}, {"starttls", "localhost", dovecot.port()}};
        for (const Case &c : cases) {
            const QString id = run({"--json", "accounts", "add", "--server", c.host, "--port", QString::number(c.port),
                                    "--security", c.security, "--user", dovecot.user(), "--password", dovecot.password()})
                                   .json().value(0).value("Id").toString();
            CliResult refused = run({"check", "--account", id});
            QCOMPARE(refused.status, 2);
            QVERIFY2(refused.err.contains("certificate is not trusted"), refused.err.constData());
            CliResult trust = run({"--json", "accounts", "trust", id, "--yes"});
            QCOMPARE(trust.status, 0);
            const QString pin = trust.json().value(0).value("CertPin").toString();
            QCOMPARE(pin, CArriveShellFingerprint(certs.serverCert()));
            CliResult ok = run({"--json", "check", "--account", id});
            QCOMPARE(ok.status, 0);
            QCOMPARE(ok.json().size(), 1);
            QCOMPARE(ok.json().value(0).value("POP3Id").toString(), QString("<cli8@example.org>"));
        }
    }

    void parseRealMessage()
    {
        QTemporaryDir dir;
        QFile f(dir.filePath("m.eml"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(mail(4)).replace("\r\n", "\n"));
        f.close();
        CliResult r = cli({"--json", "parse", f.fileName()});
        QCOMPARE(r.status, 0);
        const QJsonObject o = r.json().value(0);
        QCOMPARE(o.value("Id").toString(), QString("<cli4@example.org>"));
        QCOMPARE(o.value("Subject").toString(), QString("Re: Äpfel 4"));
        QVERIFY(o.value("TextPlainLength").toInt() > 100);
    }

    void unusableHomeIsAClearError()
    {
        QTemporaryDir dir;
        QFile blocker(dir.filePath("home"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));   // a file where the home folder should be
        blocker.close();
        const CliResult r = runCli(dir.filePath("home/sub"), {"accounts", "list"});
        QVERIFY(r.status != 0);
        const QByteArray err = r.err;
        QVERIFY2(err.contains(QByteArray::number(qint32(0x80040204u))) || err.contains(QByteArray::number(qint32(0x8004020Cu))),
                 err.constData());
    }
};

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
