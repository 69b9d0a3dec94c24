// Server detection and the account test find IMAP before POP3.
#include "FakeImapServer.h"
#include "FakePop3Server.h"
#include "receive/CArriveShell.h"
#include "receive/CCheckMB.h"
#include "trellis/MetaTypes.h"
#include <QTest>

class TstImapProbe : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { RegisterTrellisMetaTypes(); }

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
        FakeImapServer imap;
        QVERIFY(imap.listen());
        imap.setCapabilities(imapCapabilities);
        FakePop3Server pop;
        QVERIFY(pop.listen());
        CCheckMB checker;
        checker.Init(nullptr);
        checker.setProbeLimit(3000);
        checker.setResolver([&](const QString &host, quint16 port) -> std::optional<CCheckMB::Target> {
            if (host == QLatin1String("imap.murmelo.test") && port == 143)
                return CCheckMB::Target{imap.host(), imap.port()};
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
        // A probe greets and leaves: no login was ever sent.
        QCOMPARE(imap.countOf("LOGIN") + imap.countOf("AUTHENTICATE"), 0);
        QTRY_COMPARE(imap.commands().value(imap.commands().size() - 1), QByteArray("LOGOUT"));
    }

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
        FakeImapServer imap;
        imap.setCredentials("ann", "secret");
        QVERIFY(imap.listen());
        CCheckMB checker;
        checker.Init(nullptr);
        QString reason;
        QCOMPARE(checker.CheckImap(imap.host(), QStringLiteral("ann"), QString::fromLatin1(password), imap.port(),
                                   &reason, QStringLiteral("None")),
                 ok);
        QCOMPARE(reason.contains(QStringLiteral("Authentication failed")), !ok);
        // Read-only even when testing: EXAMINE, never SELECT; then LOGOUT.
        QCOMPARE(imap.countOf("SELECT"), 0);
        QCOMPARE(imap.countOf("EXAMINE"), ok ? 1 : 0);
        QTRY_COMPARE(imap.commands().last(), QByteArray("LOGOUT"));
    }
};

QTEST_GUILESS_MAIN(TstImapProbe)
#include "tst_imapprobe.moc"
