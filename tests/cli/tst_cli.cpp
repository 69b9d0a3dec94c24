#include "DovecotFixture.h"
#include "TestCertificates.h"
#include <QJsonDocument>
#include <QJsonObject>
#include <QCryptographicHash>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

namespace {
struct Result
{
    int status = -1;
    QByteArray out;
    QByteArray err;
    QList<QJsonObject> json() const
    {
        QList<QJsonObject> objects;
        for (const QByteArray &line : out.split('\n')) {
            if (!line.trimmed().isEmpty())
                objects << QJsonDocument::fromJson(line).object();
        }
        return objects;
    }
};

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

    Result cli(const QStringList &args, const QByteArray &input = {})
    {
        QProcess p;
        p.setProgram(qEnvironmentVariable("MURMELO_BUILD_DIR") + "/bin/murmelo-cli");
        p.setArguments(QStringList{"--home", m_home.path()} + args);
        p.start();
        if (!input.isEmpty())
            p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(60000))
            p.kill();
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
                p.readAllStandardError()};
    }

private Q_SLOTS:
    void accountsRoundTripWithoutEverPrintingThePassword()
    {
        Result add = cli({"--json", "accounts", "add", "--server", "pop.example.com", "--user", "ann", "--password",
                          "Pässwörd-42", "--interval", "7", "--email", "ann@example.com"});
        QCOMPARE(add.status, 0);
        const QString id = add.json().value(0).value("Id").toString();
        QCOMPARE(id.size(), 38);

        Result list = cli({"--json", "accounts", "list"});
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

        Result upd = cli({"accounts", "update", id, "--port", "995", "--disabled", "--password", "-"}, "new secret\n");
        QCOMPARE(upd.status, 0);
        const QJsonObject b = cli({"--json", "accounts", "list"}).json().value(0);
        QCOMPARE(b.value("Port").toInt(), 995);
        QCOMPARE(b.value("Disabled").toBool(), true);

        for (const Result &r : {add, list, upd})
            QVERIFY(!r.out.contains("Pässwörd") && !r.err.contains("Pässwörd") && !r.out.contains("new secret"));
        QFile log(m_home.filePath("mu.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray logText = log.readAll();
        QVERIFY(!logText.contains("Pässwörd") && !logText.contains("new secret"));

        QCOMPARE(cli({"accounts", "remove", id}).status, 0);
        QVERIFY(cli({"--json", "accounts", "list"}).json().isEmpty());
    }

    void errorsCarryTheEngineNumber()
    {
        Result r = cli({"accounts", "remove", "{00000000-0000-0000-0000-000000000000}"});
        QVERIFY(r.status != 0);
        QVERIFY2(r.err.contains(QByteArray::number(qint32(0x80040201u))), r.err.constData());
        Result m = cli({"--json", "messages", "show", "{00000000-0000-0000-0000-000000000000}"});
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
        QString why;
        if (!dovecot.start(&why))
            QSKIP(qPrintable("Dovecot cannot start here: " + why));
        for (int n = 1; n <= 3; ++n)
            QVERIFY(dovecot.addMessage(mail(n)));
        const QString id = cli({"--json", "accounts", "add", "--server", dovecot.host(), "--port",
                                QString::number(dovecot.port()), "--security", "none", "--user", dovecot.user(),
                                "--password", dovecot.password()})
                               .json().value(0).value("Id").toString();
        QVERIFY(!id.isEmpty());
        Result first = cli({"--json", "check"});
        QCOMPARE(first.status, 0);
        const auto msgs = first.json();
        QCOMPARE(msgs.size(), 3);
        QCOMPARE(msgs.at(0).value("Subject").toString(), QString("Re: Äpfel 1"));
        QCOMPARE(msgs.at(0).value("From").toString(), QString("Jürgen"));
        QCOMPARE(msgs.at(2).value("POP3Id").toString(), QString("<cli3@example.org>"));
        for (const char *key : {"Id", "Server", "User", "POP3Id", "From", "To", "Date", "Subject"})
            QVERIFY2(msgs.at(0).contains(key), key);

        Result second = cli({"--json", "check"});
        QCOMPARE(second.status, 0);
        QVERIFY(second.json().isEmpty());

        // The stored content is the message, byte for byte.
        Result show = cli({"messages", "show", msgs.at(0).value("Id").toString()});
        QCOMPARE(show.status, 0);
        QVERIFY(show.out.contains("Subject: Re: =?UTF-8?B?w4RwZmVs?= 1\r\n"));
        QVERIFY(show.out.contains("Hallo 1"));

        QCOMPARE(cli({"messages", "delete", msgs.at(0).value("Id").toString()}).status, 0);
        QCOMPARE(cli({"--json", "messages", "list"}).json().size(), 2);
        QCOMPARE(cli({"--json", "messages", "list", "--all"}).json().size(), 3);

        // A wrong password: status 2 and the reason, nothing printed as a message.
        QCOMPARE(cli({"accounts", "update", id, "--password", "wrong"}).status, 0);
        Result bad = cli({"check", "--account", id});
        QCOMPARE(bad.status, 2);
        QVERIFY2(bad.err.contains("Cannot get new messages from e-mail server '127.0.0.1'."), bad.err.constData());
        QVERIFY(!bad.out.contains("new "));
    }

    void imapAccountOptions()
    {
        QTemporaryDir home;
        auto run = [&](const QStringList &args) {
            QProcess p;
            p.start(qEnvironmentVariable("MURMELO_BUILD_DIR") + "/bin/murmelo-cli", QStringList{"--home", home.path()} + args);
            p.closeWriteChannel();
            p.waitForFinished(60000);
            return Result{p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
        };
        struct Case { QStringList options; int port; const char *security; const char *protocol; const char *folder; };
        const Case cases[] = {
            {{"--protocol", "imap"}, 143, "STARTTLS", "IMAP", "INBOX"},
            {{"--protocol", "IMAP", "--security", "tls", "--folder", "Lists/Qt"}, 993, "TLS", "IMAP", "Lists/Qt"},
            {{"--protocol", "pop3", "--security", "tls"}, 995, "TLS", "POP3", "INBOX"},
            {{}, 110, "STARTTLS", "POP3", "INBOX"},
        };
        for (const Case &c : cases) {
            Result add = run(QStringList{"--json", "accounts", "add", "--server", "mail.example.org", "--user", "u",
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
        QString why;
        if (!dovecot.start(&why))
            QSKIP(qPrintable("Dovecot cannot start here: " + why));
        QTemporaryDir home;
        auto add = [&](const QStringList &options) {
            QProcess p;
            p.start(qEnvironmentVariable("MURMELO_BUILD_DIR") + "/bin/murmelo-cli",
                    QStringList{"--home", home.path(), "--json", "accounts", "add", "--server", dovecot.host(),
                                "--security", "none", "--user", dovecot.user(), "--password", dovecot.password()}
                        + options);
            p.waitForFinished(30000);
            return QJsonDocument::fromJson(p.readAllStandardOutput()).object().value("Id").toString();
        };
        const QString imap = add({"--protocol", "imap", "--port", QString::number(dovecot.imapPort())});
        QProcess test;
        test.start(qEnvironmentVariable("MURMELO_BUILD_DIR") + "/bin/murmelo-cli",
                   {"--home", home.path(), "--json", "accounts", "test", "--server", dovecot.host(), "--port",
                    QString::number(dovecot.imapPort()), "--security", "none", "--protocol", "imap", "--user",
                    dovecot.user(), "--password", dovecot.password()});
        QVERIFY(test.waitForFinished(30000));
        QCOMPARE(test.exitCode(), 0);
        QCOMPARE(QJsonDocument::fromJson(test.readAllStandardOutput()).object().value("protocol").toString(),
                 QString("IMAP"));
        const QString pop = add({"--port", QString::number(dovecot.port()), "--interval", "60"});
        QVERIFY(!imap.isEmpty() && !pop.isEmpty());
        QProcess watch;
        watch.start(qEnvironmentVariable("MURMELO_BUILD_DIR") + "/bin/murmelo-cli", {"--home", home.path(), "watch"});
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
        QProcess add;
        add.start(qEnvironmentVariable("MURMELO_BUILD_DIR") + "/bin/murmelo-cli",
                  {"--home", home.path(), "accounts", "add", "--server", "127.0.0.1", "--port", "1", "--user", "u",
                   "--password", "p", "--interval", "1"});
        QVERIFY(add.waitForFinished(30000));
        QProcess watch;
        watch.start(qEnvironmentVariable("MURMELO_BUILD_DIR") + "/bin/murmelo-cli",
                    {"--home", home.path(), "--json", "watch"});
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += watch.readAllStandardOutput()).contains("\"ErrorOccured\""), 20000);
        QVERIFY(out.indexOf("ItsTimeToCheck") < out.indexOf("ReceiveStart"));
        watch.terminate();   // SIGTERM: finalises and exits like Ctrl+C
        QVERIFY(watch.waitForFinished(10000));
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 0);
        QVERIFY((out + watch.readAllStandardOutput()).contains("\"Stopped\""));
        QFile log(home.filePath("mu.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("moReceiverManager.Finalize() complete"));
    }

    void checkOverTlsAndStartTlsWithPinnedCertificate()
    {
        TestCertificates certs;
        QString why;
        QVERIFY2(certs.make(&why), qPrintable(why));
        DovecotFixture dovecot;
        dovecot.enableTls(certs.serverCert(), certs.serverKey());
        if (!dovecot.start(&why))
            QSKIP(qPrintable("Dovecot cannot start here: " + why));
        QVERIFY(dovecot.addMessage(mail(8)));
        QTemporaryDir home;
        auto run = [&](const QStringList &args) {
            QProcess p;
            p.start(qEnvironmentVariable("MURMELO_BUILD_DIR") + "/bin/murmelo-cli", QStringList{"--home", home.path()} + args);
            p.closeWriteChannel();
            p.waitForFinished(60000);
            return Result{p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
        };
        struct Case { const char *security; const char *host; quint16 port; };
        const Case cases[] = {{"tls", "127.0.0.1", dovecot.tlsPort()}, {"starttls", "localhost", dovecot.port()}};
        for (const Case &c : cases) {
            const QString id = run({"--json", "accounts", "add", "--server", c.host, "--port", QString::number(c.port),
                                    "--security", c.security, "--user", dovecot.user(), "--password", dovecot.password()})
                                   .json().value(0).value("Id").toString();
            Result refused = run({"check", "--account", id});
            QCOMPARE(refused.status, 2);
            QVERIFY2(refused.err.contains("certificate is not trusted"), refused.err.constData());
            Result trust = run({"--json", "accounts", "trust", id, "--yes"});
            QCOMPARE(trust.status, 0);
            const QString pin = trust.json().value(0).value("CertPin").toString();
            QCOMPARE(pin, CArriveShellFingerprint(certs.serverCert()));
            Result ok = run({"--json", "check", "--account", id});
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
        Result r = cli({"--json", "parse", f.fileName()});
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
        QProcess p;
        p.setProgram(qEnvironmentVariable("MURMELO_BUILD_DIR") + "/bin/murmelo-cli");
        p.setArguments({"--home", dir.filePath("home/sub"), "accounts", "list"});
        p.start();
        QVERIFY(p.waitForFinished(30000));
        QVERIFY(p.exitCode() != 0);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains(QByteArray::number(qint32(0x80040204u))) || err.contains(QByteArray::number(qint32(0x8004020Cu))),
                 err.constData());
    }
};

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
