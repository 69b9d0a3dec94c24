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

using namespace Qt::StringLiterals;

class tst_MessageTable : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;   ///< the program's home, set through Paths (the last test: the environment)

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file.errorString()));
        QCOMPARE(file.write(bytes), bytes.size());
    }
    void writeServices(const QByteArray &bytes) { writeFile(m_home->filePath(u"services.json"_s), bytes); }

private Q_SLOTS:
    void init()
    {
        qunsetenv("MURMELO_HOME");
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_home->isValid());
        Paths::SetHome(m_home->path());
    }
    void cleanup() { Paths::SetHome(QString()); }

    void everyIdHasText_data()
    {
        QTest::addColumn<int>("id");
        for (int id = 99; id <= 156; ++id)
            QTest::addRow("program-%d", id) << id;
        for (int id = 513; id <= 534; ++id)
            QTest::addRow("engine-%d", id) << id;
    }

    void everyIdHasText()
    {
        QFETCH(int, id);
        const QString text = MessageTable::Text(id);
        QVERIFY2(!text.trimmed().isEmpty(), qPrintable(u"id %1 has no text"_s.arg(id)));
        // At most the one closing blank; a doubled blank is a typing fault.
        QVERIFY2(!text.endsWith(u"  "_s), qPrintable(text));
        QVERIFY2(!text.startsWith(QLatin1Char(' ')), qPrintable(text));
        QVERIFY2(!text.contains(u"Outlook Express"_s), qPrintable(text));
    }

    void unknownIdIsEmpty()
    {
        for (const int id : {98, 157, 512, 535, -1})   // just outside the program's and the engine's ranges
            QVERIFY2(MessageTable::Text(id).isNull(), qPrintable(QString::number(id)));
    }

    void concurrentFirstUseIsSafe()
    {
        // Many threads race on the first lookups; each must see the whole table.
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&wrong] {
                for (int id = 513; id <= 534; ++id)
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
        const QJsonObject config = ServiceConfig::Load();
        QCOMPARE(ServiceConfig::Text(u"yahooDomain"_s), u"yahoo.com"_s);
        QVERIFY(ServiceConfig::Text(u"statisticsEndpoint"_s).isEmpty());
        const QJsonObject httpmail = config.value(u"httpmail"_s).toObject();
        for (const QString &endpoint : {u"hotmailEndpoint"_s, u"msnEndpoint"_s})
            QVERIFY(httpmail.value(endpoint).toString().startsWith(u"https://"_s));

        // Each provider is complete and no domain is claimed twice.
        const QJsonArray providers = config.value(u"providers"_s).toArray();
        QVERIFY(providers.size() >= 10);
        QSet<QString> seen;
        QString gmailHost;
        for (const QJsonValue &value : providers) {
            const QJsonObject p = value.toObject();
            QVERIFY(!p.value(u"host"_s).toString().isEmpty());
            QCOMPARE(p.value(u"port"_s).toInt(), 995);
            QCOMPARE(p.value(u"security"_s).toString(), u"TLS"_s);
            const QJsonArray domains = p.value(u"domains"_s).toArray();
            QVERIFY(!domains.isEmpty());
            for (const QJsonValue &d : domains) {
                const QString domain = d.toString();
                QCOMPARE(domain, domain.toLower());
                QVERIFY2(!seen.contains(domain), qPrintable(domain));
                seen.insert(domain);
                if (domain == QLatin1String("googlemail.com"))
                    gmailHost = p.value(u"host"_s).toString();
            }
        }
        QCOMPARE(gmailHost, u"pop.gmail.com"_s);
        QVERIFY(!seen.contains(u"icloud.com"_s));
    }

    // The home's file replaces whole values of the keys it names, read anew on every call.
    void homeFileOverridesWholeValuesOnEveryCall()
    {
        QCOMPARE(ServiceConfig::Text(u"homePage"_s), QString());
        writeServices("{ \"homePage\": \"https://murmelo.example/\", \"providers\": [ { \"domains\": [\"example.org\"], "
                      "\"host\": \"pop.example.org\", \"port\": 995, \"security\": \"TLS\" } ] }");
        QCOMPARE(ServiceConfig::Text(u"homePage"_s), u"https://murmelo.example/"_s);
        QCOMPARE(ServiceConfig::Text(u"yahooDomain"_s), u"yahoo.com"_s);
        const QJsonArray providers = ServiceConfig::Load().value(u"providers"_s).toArray();
        QCOMPARE(providers.size(), 1);
        QCOMPARE(providers.at(0).toObject().value(u"host"_s).toString(), u"pop.example.org"_s);
        QVERIFY(QFile::remove(m_home->filePath(u"services.json"_s)));
        QCOMPARE(ServiceConfig::Text(u"homePage"_s), QString());
    }

    void brokenOverrideIsIgnored_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("truncated-json") << QByteArray("{ \"yahooDomain\": \"evil.example\"");
        QTest::newRow("array-not-object") << QByteArray("[ \"yahooDomain\", \"evil.example\" ]");
    }

    void brokenOverrideIsIgnored()
    {
        QFETCH(QByteArray, content);
        writeServices(content);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"services\\.json"_s));
        QCOMPARE(ServiceConfig::Text(u"yahooDomain"_s), u"yahoo.com"_s);
    }

    // Without a home set, MURMELO_HOME names it; without either, the data folder holds the file.
    void homeFromEnvironmentElseDataFolder()
    {
        Paths::SetHome(QString());
        qputenv("MURMELO_HOME", m_home->path().toLocal8Bit());
        writeServices("{ \"feedbackEndpoint\": \"https://fb.example/post\" }");
        QCOMPARE(ServiceConfig::Text(u"feedbackEndpoint"_s), u"https://fb.example/post"_s);
        qunsetenv("MURMELO_HOME");
        QTemporaryDir xdg;
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", xdg.path().toLocal8Bit());
        QVERIFY(Paths::Home().isEmpty());
        QVERIFY(QDir().mkpath(Paths::DataDir()));
        writeFile(QDir(Paths::DataDir()).filePath(u"services.json"_s), "{ \"yahooDomain\": \"yahoo.example\" }");
        const QString text = ServiceConfig::Text(u"yahooDomain"_s);
        if (saved.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", saved);
        QCOMPARE(text, u"yahoo.example"_s);
    }
};

QTEST_GUILESS_MAIN(tst_MessageTable)
#include "tst_messagetable.moc"
