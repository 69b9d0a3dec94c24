#include "CliRunner.h"
#include "TestCertificates.h"
#include "storage/StorageFixture.h"
#include <QCryptographicHash>
#include <QFileInfo>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

namespace {
QByteArray mail(int n)
{
    return "Message-ID: <cli" + QByteArray::number(n) + "@example.org>\r\n"
           "From: =?UTF-8?Q?J=C3=BCrgen?= <j@example.org>\r\nTo: Ann <ann@example.org>\r\n"
           "Date: Sun, 6 Dec 2026 10:0" + QByteArray::number(n) + ":00 +0000\r\n"
           "Subject: Re: =?UTF-8?B?w4RwZmVs?= " + QByteArray::number(n) + "\r\n\r\nHallo " + QByteArray::number(n) + "\r\n";
}

// Only the commands that speak or listen may bring these in.
const QStringList SpeechAudioAndWindowLibraries = {"libMUSpeech", "libespeak", "libpocketsphinx", "libsphinxbase",
                                                   "libblas", "libQt6Multimedia", "libQt6Gui", "libQt6Widgets",
                                                   "libpulse", "libasound", "libsoxr", "libsndfile"};
}

/// murmelo-cli from outside, as a script uses it: each command's wiring once; what lies behind
/// it is asserted in the storage, mime, receive and engine suites.
class TstCli : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;

    CliResult cli(const QStringList &args, const QByteArray &input = {}) { return runCli(m_home.path(), args, input); }

    /// The libraries named in the memory map of `murmelo-cli ARGS` as it exits.
    QStringList librariesOf(const QStringList &args)
    {
        const QString maps = m_home.filePath("maps");
        QFile::remove(maps);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LD_PRELOAD", qEnvironmentVariable("MURMELO_BUILD_DIR") + "/lib/libmaps_at_exit.so");
        env.insert("MAPS_AT_EXIT", maps);
        // A sanitizer build must not insist on coming first in the list of libraries.
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        const CliResult r = runCli(m_home.path(), args, {}, env);
        if (r.status != 0)
            qWarning() << r.err;
        QStringList libraries;
        for (const QByteArray &line : fileBytes(maps).split('\n')) {
            const QString name = QString::fromLocal8Bit(line.mid(line.lastIndexOf('/') + 1));
            if (line.contains('/') && !libraries.contains(name))
                libraries << name;
        }
        return libraries;
    }

private Q_SLOTS:
    // The options of "accounts add" and "accounts update" become the listed columns; the
    // password is never printed or logged.
    void accountOptionsBecomeColumns_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("columns");   // Port, Security, Protocol and Folder after the add
        QTest::newRow("pop3-defaults") << QStringList{} << "110 STARTTLS POP3 INBOX";
        QTest::newRow("imap") << QStringList{"--protocol", "imap"} << "143 STARTTLS IMAP INBOX";
        QTest::newRow("imap-tls-folder") << QStringList{"--protocol", "IMAP", "--security", "tls", "--folder", "Lists/Qt"}
                                         << "993 TLS IMAP Lists/Qt";
        QTest::newRow("pop3-tls") << QStringList{"--protocol", "pop3", "--security", "tls"} << "995 TLS POP3 INBOX";
    }
    void accountOptionsBecomeColumns()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, columns);
        QTemporaryDir home;
        auto run = [&](const QStringList &args, const QByteArray &input = {}) { return runCli(home.path(), args, input); };
        auto listed = [&] {
            QJsonObject a = run({"--json", "accounts", "list"}).first();
            a.remove("PasswordStore");
            return a;
        };
        const CliResult add = run(QStringList{"--json", "accounts", "add", "--server", "pop.example.com", "--user", "ann",
                                              "--password", "Pässwörd-42", "--interval", "7", "--email", "ann@example.com"}
                                  + options);
        QCOMPARE(add.status, 0);
        const QString id = add.first().value("Id").toString();
        QCOMPARE(id.size(), 38);
        const QStringList c = columns.split(' ');
        QJsonObject expected{{"Id", id}, {"Server", "pop.example.com"}, {"Port", c[0].toInt()}, {"User", "ann"},
                             {"CheckInterval", 7}, {"Disabled", false}, {"Email", "ann@example.com"}, {"Security", c[1]},
                             {"CertPin", ""}, {"Protocol", c[2]}, {"Folder", c[3]}, {"SignInNeeded", false}};
        QCOMPARE(listed(), expected);

        const CliResult upd = run({"accounts", "update", id, "--port", "996", "--disabled", "--password", "-", "--protocol",
                                   "imap", "--folder", "Archive"},
                                  "new secret\n");
        QCOMPARE(upd.status, 0);
        expected["Port"] = 996;
        expected["Disabled"] = true;
        expected["Protocol"] = "IMAP";
        expected["Folder"] = "Archive";
        QCOMPARE(listed(), expected);

        const QByteArray logText = fileBytes(home.filePath("mu.log"));
        for (const QByteArray &text : {add.out, add.err, upd.out, upd.err, logText})
            QVERIFY(!text.contains("Pässwörd") && !text.contains("new secret"));
        QCOMPARE(run({"accounts", "remove", id}).status, 0);
        QVERIFY(run({"--json", "accounts", "list"}).json().isEmpty());
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

        // Only the new message the second time, its header's line break no line of its own.
        QVERIFY(dovecot.addMessage("Message-ID: <forged@example.org>\r\n"
                                   "Subject: =?UTF-8?Q?Hello=0D=0Anew__{0}__from_Your_Bank:_confirm?=\r\n\r\nBody\r\n"));
        const CliResult second = cli({"check"});
        QCOMPARE(second.status, 0);
        QVERIFY2(second.out.startsWith("new  {") && second.out.count('\n') == 1
                     && second.out.contains("Hello\\r\\nnew  {0}  from"),
                 second.out.constData());
        // The stored content is the message, byte for byte.
        CliResult show = cli({"messages", "show", msgs.at(0).value("Id").toString()});
        QCOMPARE(show.status, 0);
        QCOMPARE(show.out, mail(1).chopped(2));   // the last line break ends the transfer

        QCOMPARE(cli({"messages", "delete", msgs.at(0).value("Id").toString()}).status, 0);
        QCOMPARE(cli({"--json", "messages", "list"}).json().size(), 3);
        QCOMPARE(cli({"--json", "messages", "list", "--all"}).json().size(), 4);

        // A wrong password: status 2 and the reason, nothing printed as a message.
        QCOMPARE(cli({"accounts", "update", id, "--password", "wrong"}).status, 0);
        CliResult bad = cli({"check", "--account", id});
        QCOMPARE(bad.status, 2);
        QVERIFY2(bad.err.contains("Cannot get new messages from e-mail server '127.0.0.1'."), bad.err.constData());
        QVERIFY(!bad.out.contains("new "));
    }

    // One message with `value` in every header column: the JSON line is what the JSON writer
    // makes of the record, the text line the value escaped, never a line of its own.
    void listLinesAreWhatJsonAndEscapingWrite_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");
        auto same = [](const QString &name, const QString &value) { QTest::newRow(qPrintable(name)) << value << value; };
        same("plain-ascii", "Lunch at noon? (1 <a@b.c>)");
        same("slash", "a/b");
        same("quote", "say \"hi\"");
        same("backslash", "C:\\mail");
        same("emoji", "😀 hi");
        same("lone-surrogate", QString("x") + QChar(0xD800));
        same("empty", QString());
        QTest::newRow("tab") << "a\tb" << "a\\tb";
        QTest::newRow("delete-character") << "a\x7f" << "a\\x7f";
        QTest::newRow("line-break") << "Hello\r\nnew  {0}  from Your Bank" << "Hello\\r\\nnew  {0}  from Your Bank";
        QTest::newRow("right-to-left-override") << QString("Hello ") + QChar(0x202E) + "gnp.exe" << "Hello \\u202egnp.exe";
    }
    void listLinesAreWhatJsonAndEscapingWrite()
    {
        QFETCH(QString, value);
        QFETCH(QString, shown);
        QTemporaryDir home;
        {
            Database db(home.path(), TestHome::templatePath());
            db.run("INSERT INTO Msg (pkMsg, Server, User, POP3Id, MsgFrom, MsgTo, Date, Subject) "
                   "VALUES ('{00000000-0000-0000-0000-00000000000A}', ?, ?, ?, ?, ?, ?, ?)",
                   QVariantList(7, value.isNull() ? QString("") : value), "fixture").finish();
        }
        QJsonObject expected{{"Id", "{00000000-0000-0000-0000-00000000000A}"}};
        for (const char *key : {"Server", "User", "POP3Id", "From", "To", "Date", "Subject"})
            expected.insert(key, value);
        const CliResult json = runCli(home.path(), {"--json", "messages", "list"});
        QCOMPARE(json.status, 0);
        QCOMPARE(json.out, QJsonDocument(expected).toJson(QJsonDocument::Compact) + "\n");
        const CliResult text = runCli(home.path(), {"messages", "list"});
        QCOMPARE(text.status, 0);
        QCOMPARE(text.out, ("{00000000-0000-0000-0000-00000000000A}  " + shown + "  " + shown + "  " + shown + "\n").toUtf8());
    }

    void olderDatabaseIsConvertedWithProgress()
    {
        QTemporaryDir home;
        {
            Database db(home.path(), TestHome::templatePath());
            StorageFixture::fillOlderForm(db, 30);
        }
        const CliResult first = runCli(home.path(), {"messages", "list"});
        QCOMPARE(first.status, 0);
        QCOMPARE(first.out.count('\n'), 30);
        QVERIFY2(first.err.contains("converting stored messages: 0 of 30\n")
                     && first.err.contains("converting stored messages: 30 of 30\n") && first.err.contains("compacted"),
                 first.err.constData());
        const CliResult again = runCli(home.path(), {"--json", "messages", "list"});
        QCOMPARE(again.status, 0);
        QCOMPARE(again.err, QByteArray());
    }

    // What follows the command is taken or refused (status 64, with the usage), never ignored.
    void commandLineIsTakenOrRefused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("out");   // stdout begins with this
        QTest::addColumn<QByteArray>("err");   // stderr contains this
        auto row = [](const char *name, const QStringList &args, int status, const char *out, const char *err) {
            QTest::newRow(name) << args << status << QByteArray(out) << QByteArray(err);
        };
        row("json-after-command", {"accounts", "list", "--json"}, 0, "{\"CertPin\"", "");
        row("unknown-option", {"accounts", "list", "--bogus"}, 64, "", "usage: murmelo-cli accounts list");
        row("option-of-another-subcommand", {"accounts", "list", "--yes"}, 64, "", "unexpected argument '--yes'");
        row("extra-argument", {"version", "now"}, 64, "", "unexpected argument 'now'");
        row("add-without-user", {"accounts", "add", "--server", "x"}, 64, "", "");
        row("unknown-protocol", {"accounts", "add", "--server", "x", "--user", "u", "--protocol", "smtp"}, 64, "",
            "--protocol must be imap or pop3");
        row("unknown-command", {"no-such-command"}, 64, "", "unknown command 'no-such-command'");
        row("help-after-command", {"check", "--help"}, 0, "usage: murmelo-cli check [--account ID]\n", "");
        row("short-help-after-subcommand", {"messages", "list", "-h"}, 0, "usage: murmelo-cli messages list", "");
        row("value-that-looks-like-an-option", {"settings", "get", "{K}", "--default", "--json"}, 0, "--json\n", "");
        row("argument-after-double-dash", {"settings", "set", "{K}", "--", "--bogus"}, 0, "{K} = --bogus\n", "");
        row("settings-as-json", {"--json", "settings", "get", "{K}", "--default", "a|b"}, 0, "{\"Key\":\"{K}\",\"Value\":\"a|b\"}", "");
        // The summary of a mail file (what it holds: the MIME suites).
        const QString sample = qEnvironmentVariable("MURMELO_SOURCE_DIR") + "/tests/data/mail/reply-mixed.eml";
        row("parse-a-file", {"--json", "parse", sample}, 0, "{\"Date\":\"Tue, 06 Jan 2004 10:20:30 +0100\",\"From\":"
            "\"Claire Dubois\",\"Id\":\"<4711.reply@mail.example.fr>\",\"Subject\":\"Re: Réunion de demain 14h\"", "");
        // Errors carry the engine's number (the texts are the storage suites').
        const QString none = "{00000000-0000-0000-0000-000000000000}";
        row("unknown-account", {"accounts", "remove", none}, 1, "", "error -2147220991: ");
        row("unknown-message-as-json", {"--json", "messages", "show", none}, 1, "", "not found. \",\"ErrNumber\":-2147220990}");
    }
    void commandLineIsTakenOrRefused()
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

    // An IMAP account hears of new mail by push, the others by their timer; SIGTERM stops the
    // watch as Ctrl+C does, finalising first.
    void watchPushesImapPollsTheRestAndStopsCleanly()
    {
        DovecotFixture dovecot;
        dovecot.enableImap();
        START_DOVECOT_OR_SKIP(dovecot);
        QTemporaryDir home;
        QStringList imapAccount = addDovecotAccount(dovecot, dovecot.imapPort()) + QStringList{"--protocol", "imap"};
        const QByteArray imap = runCli(home.path(), imapAccount).first().value("Id").toString().toUtf8();
        imapAccount[2] = "test";   // "accounts test" takes the options of "accounts add"
        QCOMPARE(runCli(home.path(), imapAccount).first().value("protocol").toString(), QString("IMAP"));
        const QByteArray pop = runCli(home.path(), {"--json", "accounts", "add", "--server", "127.0.0.1", "--port", "1",
                                                    "--user", "u", "--password", "p", "--interval", "1"})
                                   .first().value("Id").toString().toUtf8();
        QVERIFY(!imap.isEmpty() && !pop.isEmpty());
        QProcess watch;
        watch.start(cliProgram(), {"--home", home.path(), "--json", "watch"});
        QByteArray out;
        auto seen = [&](const QByteArray &what) { return (out += watch.readAllStandardOutput()).contains(what); };
        QTRY_VERIFY_WITH_TIMEOUT(seen("{\"AccountId\":\"" + imap + "\",\"Event\":\"Mode\",\"Mode\":\"push\"}"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(seen("\"Event\":\"ErrorOccured\""), 20000);
        QVERIFY(out.contains("{\"AccountId\":\"" + pop + "\",\"Event\":\"Mode\",\"Mode\":\"poll\"}"));
        QVERIFY(out.indexOf("\"Event\":\"ItsTimeToCheck\"") < out.indexOf("\"Event\":\"ReceiveStart\""));
        QVERIFY(dovecot.addMessage(mail(5)));
        QTRY_VERIFY_WITH_TIMEOUT(seen("\"Event\":\"MsgArrived\""), 5000);
        watch.terminate();
        QVERIFY(watch.waitForFinished(10000));
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 0);
        QVERIFY(seen("\"Stopped\""));
        QVERIFY(fileBytes(home.filePath("mu.log")).contains("moReceiverManager.Finalize() complete"));
    }

    void checkWithPinnedCertificate()
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
        // TLS and STARTTLS alike are the receivers' (tst_tls, tst_imapdovecot): here the trust command.
        const QString id = run({"--json", "accounts", "add", "--server", "localhost", "--port", QString::number(dovecot.port()),
                                "--security", "starttls", "--user", dovecot.user(), "--password", dovecot.password()})
                               .first().value("Id").toString();
        CliResult refused = run({"check", "--account", id});
        QCOMPARE(refused.status, 2);
        QVERIFY2(refused.err.contains("certificate is not trusted"), refused.err.constData());
        CliResult trust = run({"--json", "accounts", "trust", id, "--yes"});
        QCOMPARE(trust.status, 0);
        const QSslCertificate cert = QSslCertificate::fromPath(certs.serverCert()).value(0);
        QCOMPARE(trust.first().value("CertPin").toString(), cert.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
        CliResult ok = run({"--json", "check", "--account", id});
        QCOMPARE(ok.status, 0);
        QCOMPARE(ok.json().size(), 1);
        QCOMPARE(ok.json().value(0).value("POP3Id").toString(), QString("<cli8@example.org>"));
    }

    void onlyCommandsThatSpeakLoadSpeechAudioOrWindows_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("speaks");
        QTest::newRow("accounts-list") << QStringList{"accounts", "list"} << false;
        QTest::newRow("messages-list") << QStringList{"messages", "list"} << false;
        QTest::newRow("say") << QStringList{"say", "--wav", m_home.filePath("hello.wav"), "Hello"} << true;
    }
    void onlyCommandsThatSpeakLoadSpeechAudioOrWindows()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, speaks);
        const QStringList libraries = librariesOf(args);
        // The map was read: the engine is in it.
        QVERIFY2(!libraries.filter("libMUCustom.so").isEmpty(), qPrintable(libraries.join(' ')));
        QCOMPARE(!libraries.filter("libespeak").isEmpty(), speaks);
        QVERIFY(!speaks || QFileInfo(m_home.filePath("hello.wav")).size() > 44);
        for (const QString &library : libraries) {
            for (const QString &unwanted : SpeechAudioAndWindowLibraries)
                QVERIFY2(speaks || !library.startsWith(unwanted), qPrintable(library));
        }
    }
};

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
