#include "MessageTable.h"
#include "Paths.h"
#include "ServiceConfig.h"
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <thread>
#include <vector>

class tst_MessageTable : public QObject
{
    Q_OBJECT

private:
    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file.errorString()));
        QCOMPARE(file.write(bytes), bytes.size());
    }

private Q_SLOTS:
    void init()
    {
        Paths::SetHome(QString());
        qunsetenv("MURMELO_HOME");
    }

    void exactText_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("text");
        QTest::newRow("server-not-accessible-515") << 515 << QStringLiteral("E-mail server '%1' is not accessible. ");
        QTest::newRow("cannot-get-new-messages-520") << 520 << QStringLiteral("Cannot get new messages from e-mail server '%1'. ");
        QTest::newRow("cannot-save-setting-528") << 528 << QStringLiteral("Cannot save setting '%1'. ");
        QTest::newRow("custom-error-has-no-closing-blank-525") << 525 << QStringLiteral("Custom error");
        QTest::newRow("no-accounts-119") << 119
            << QStringLiteral("No accounts are configured. Press 'Accounts' button to enter email account information. ");
        QTest::newRow("cannot-start-151") << 151 << QStringLiteral("Cannot start Murmelo. Please contact Murmelo support. ");
        QTest::newRow("product-name-104") << 104 << QStringLiteral("Murmelo");
        QTest::newRow("discard-question-without-blank-102") << 102 << QStringLiteral("Discard all changes ?");
        QTest::newRow("menu-caption-two-arguments-111") << 111 << QStringLiteral("Mail Server: '%1', User Name: '%2'");
        QTest::newRow("import-names-thunderbird-132") << 132 << QStringLiteral("Sorry, no Thunderbird accounts found. ");
        QTest::newRow("wait-window-154") << 154 << QStringLiteral("Connecting. Please wait...");
    }

    void exactText()
    {
        QFETCH(int, id);
        QFETCH(QString, text);
        QCOMPARE(MessageTable::Text(id), text);
    }

    void everyIdHasText_data()
    {
        QTest::addColumn<int>("id");
        for (int id = 99; id <= 156; ++id)
            QTest::addRow("program-%d", id) << id;
        for (int id = 513; id <= 533; ++id)
            QTest::addRow("engine-%d", id) << id;
    }

    void everyIdHasText()
    {
        QFETCH(int, id);
        const QString text = MessageTable::Text(id);
        QVERIFY2(!text.trimmed().isEmpty(), qPrintable(QStringLiteral("id %1 has no text").arg(id)));
        // At most the one closing blank; a doubled blank is a typing fault.
        QVERIFY2(!text.endsWith(QStringLiteral("  ")), qPrintable(text));
        QVERIFY2(!text.startsWith(QLatin1Char(' ')), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("Outlook Express")), qPrintable(text));
    }

    void unknownIdIsEmpty_data()
    {
        QTest::addColumn<int>("id");
        QTest::newRow("below-program-range") << 98;
        QTest::newRow("above-program-range") << 157;
        QTest::newRow("below-engine-range") << 512;
        QTest::newRow("above-engine-range") << 534;
        QTest::newRow("negative") << -1;
    }

    void unknownIdIsEmpty()
    {
        QFETCH(int, id);
        QVERIFY(MessageTable::Text(id).isNull());
    }

    void concurrentFirstUseIsSafe()
    {
        // Many threads race on the first lookups; each must see the whole table.
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&wrong] {
                for (int id = 513; id <= 533; ++id)
                    if (MessageTable::Text(id).isEmpty())
                        ++wrong;
            });
        }
        for (auto &thread : threads)
            thread.join();
        QCOMPARE(wrong.load(), 0);
    }

    void shippedServices()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        Paths::SetHome(home.path());
        const QJsonObject config = ServiceConfig::Load();
        QCOMPARE(ServiceConfig::Text(QStringLiteral("yahooDomain")), QStringLiteral("yahoo.com"));
        QVERIFY(ServiceConfig::Text(QStringLiteral("statisticsEndpoint")).isEmpty());
        QVERIFY(config.contains(QStringLiteral("statisticsEndpoint")));
        QVERIFY(config.contains(QStringLiteral("feedbackEndpoint")));
        QVERIFY(config.contains(QStringLiteral("homePage")));
        const QJsonObject httpmail = config.value(QStringLiteral("httpmail")).toObject();
        QCOMPARE(httpmail.value(QStringLiteral("hotmailDomain")).toString(), QStringLiteral("hotmail.com"));
        QCOMPARE(httpmail.value(QStringLiteral("msnDomain")).toString(), QStringLiteral("msn.com"));
        QCOMPARE(httpmail.value(QStringLiteral("schemaNamespace")).toString(),
                 QStringLiteral("http://schemas.microsoft.com/hotmail/"));
        QVERIFY(httpmail.value(QStringLiteral("hotmailEndpoint")).toString().startsWith(QStringLiteral("https://")));
        QVERIFY(httpmail.value(QStringLiteral("msnEndpoint")).toString().startsWith(QStringLiteral("https://")));

        // Each provider is complete and no domain is claimed twice.
        const QJsonArray providers = config.value(QStringLiteral("providers")).toArray();
        QVERIFY(providers.size() >= 10);
        QSet<QString> seen;
        QString gmailHost;
        for (const QJsonValue &value : providers) {
            const QJsonObject p = value.toObject();
            QVERIFY(!p.value(QStringLiteral("host")).toString().isEmpty());
            QCOMPARE(p.value(QStringLiteral("port")).toInt(), 995);
            QCOMPARE(p.value(QStringLiteral("security")).toString(), QStringLiteral("TLS"));
            const QJsonArray domains = p.value(QStringLiteral("domains")).toArray();
            QVERIFY(!domains.isEmpty());
            for (const QJsonValue &d : domains) {
                const QString domain = d.toString();
                QCOMPARE(domain, domain.toLower());
                QVERIFY2(!seen.contains(domain), qPrintable(domain));
                seen.insert(domain);
                if (domain == QLatin1String("googlemail.com"))
                    gmailHost = p.value(QStringLiteral("host")).toString();
            }
        }
        QCOMPARE(gmailHost, QStringLiteral("pop.gmail.com"));
        QVERIFY(!seen.contains(QStringLiteral("icloud.com")));
    }

    void homeFileOverridesOneKey()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        Paths::SetHome(home.path());
        writeFile(home.filePath(QStringLiteral("services.json")),
                  "{ \"statisticsEndpoint\": \"http://127.0.0.1:8080/stat.htm\" }");
        QCOMPARE(ServiceConfig::Text(QStringLiteral("statisticsEndpoint")),
                 QStringLiteral("http://127.0.0.1:8080/stat.htm"));
        // Keys the home file does not name keep their shipped values.
        QCOMPARE(ServiceConfig::Text(QStringLiteral("yahooDomain")), QStringLiteral("yahoo.com"));
        QVERIFY(!ServiceConfig::Load().value(QStringLiteral("providers")).toArray().isEmpty());
    }

    void overrideReplacesWholeValue()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        Paths::SetHome(home.path());
        writeFile(home.filePath(QStringLiteral("services.json")),
                  "{ \"providers\": [ { \"domains\": [\"example.org\"], \"host\": \"pop.example.org\", \"port\": 995, \"security\": \"TLS\" } ] }");
        const QJsonArray providers = ServiceConfig::Load().value(QStringLiteral("providers")).toArray();
        QCOMPARE(providers.size(), 1);
        QCOMPARE(providers.at(0).toObject().value(QStringLiteral("host")).toString(), QStringLiteral("pop.example.org"));
    }

    void overrideReadOnEveryCall()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        Paths::SetHome(home.path());
        const QString path = home.filePath(QStringLiteral("services.json"));
        QCOMPARE(ServiceConfig::Text(QStringLiteral("homePage")), QString());
        writeFile(path, "{ \"homePage\": \"https://murmelo.example/\" }");
        QCOMPARE(ServiceConfig::Text(QStringLiteral("homePage")), QStringLiteral("https://murmelo.example/"));
        QVERIFY(QFile::remove(path));
        QCOMPARE(ServiceConfig::Text(QStringLiteral("homePage")), QString());
    }

    void brokenOverrideIsIgnored_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("truncated-json") << QByteArray("{ \"yahooDomain\": \"evil.example\"");
        QTest::newRow("array-not-object") << QByteArray("[ \"yahooDomain\", \"evil.example\" ]");
        QTest::newRow("empty-file") << QByteArray();
        QTest::newRow("binary-garbage") << QByteArray("\xff\xfe\x00{\x01", 5);
    }

    void brokenOverrideIsIgnored()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir home;
        QVERIFY(home.isValid());
        Paths::SetHome(home.path());
        writeFile(home.filePath(QStringLiteral("services.json")), content);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("services\\.json")));
        QCOMPARE(ServiceConfig::Text(QStringLiteral("yahooDomain")), QStringLiteral("yahoo.com"));
    }

    void environmentHomeIsUsed()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        qputenv("MURMELO_HOME", home.path().toLocal8Bit());
        writeFile(home.filePath(QStringLiteral("services.json")), "{ \"feedbackEndpoint\": \"https://fb.example/post\" }");
        QCOMPARE(ServiceConfig::Text(QStringLiteral("feedbackEndpoint")), QStringLiteral("https://fb.example/post"));
    }

    void dataFolderUsedWithoutHome()
    {
        QTemporaryDir xdg;
        QVERIFY(xdg.isValid());
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", xdg.path().toLocal8Bit());
        QVERIFY(Paths::Home().isEmpty());
        QVERIFY(QDir().mkpath(Paths::DataDir()));
        writeFile(QDir(Paths::DataDir()).filePath(QStringLiteral("services.json")), "{ \"yahooDomain\": \"yahoo.example\" }");
        const QString text = ServiceConfig::Text(QStringLiteral("yahooDomain"));
        if (saved.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", saved);
        QCOMPARE(text, QStringLiteral("yahoo.example"));
    }
};

QTEST_GUILESS_MAIN(tst_MessageTable)
#include "tst_messagetable.moc"
