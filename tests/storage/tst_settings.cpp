// The settings store: defaults, text forms, objects, every code unit, the run counter.
#include "StorageFixture.h"
#include "storage/CSettings.h"
#include "storage/Database.h"
#include "trellis/MUError.h"
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void unsavedKeyGivesDefaultAndWritesNothing();
    void savingTwiceKeepsOneRow();
    void scalarsComeBackAsText_data();
    void scalarsComeBackAsText();
    void objectsRoundTrip_data();
    void objectsRoundTrip();
    void textsAreNeverObjects_data();
    void textsAreNeverObjects();
    void runCounter();
    void saveWithoutTableFails();
    void unserialisableValueFails();
    void keysAreData();

private:
    int optionRows()
    {
        QSqlQuery query(m_db->connection());
        if (!query.exec(QStringLiteral("SELECT count(*) FROM \"Option\"")) || !query.next())
            return -1;
        return query.value(0).toInt();
    }

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<Database> m_db;
    CSettings m_settings;
};

void TestSettings::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    m_db = std::make_unique<Database>(m_home->path(), StorageFixture::templatePath());
    m_settings.Init(m_db.get(), nullptr);
}

void TestSettings::cleanup()
{
    m_db.reset();
    m_home.reset();
}

void TestSettings::unsavedKeyGivesDefaultAndWritesNothing()
{
    const QString key = QStringLiteral("{B067431C-D79B-49fb-A320-667122ED08F9}");
    QCOMPARE(m_settings.GetSetting(key, 42), QVariant(42));
    QCOMPARE(m_settings.GetSetting(key, 42), QVariant(42));
    QVERIFY(!m_settings.GetSetting(key).isValid());
    const QVariantMap object{{QStringLiteral("a"), 1}};
    QCOMPARE(m_settings.GetSetting(key, object), QVariant(object));
    QCOMPARE(optionRows(), 0);
}

void TestSettings::savingTwiceKeepsOneRow()
{
    m_settings.SaveSetting(QStringLiteral("General.VoiceCommandsShowHide"), QStringLiteral("first"));
    m_settings.SaveSetting(QStringLiteral("General.VoiceCommandsShowHide"), QStringLiteral("second"));
    QCOMPARE(optionRows(), 1);
    QCOMPARE(m_settings.GetSetting(QStringLiteral("General.VoiceCommandsShowHide")).toString(), QStringLiteral("second"));
    // An object replaced by a text and back again.
    m_settings.SaveSetting(QStringLiteral("k"), QStringList{QStringLiteral("x")});
    m_settings.SaveSetting(QStringLiteral("k"), QStringLiteral("plain"));
    QCOMPARE(m_settings.GetSetting(QStringLiteral("k")), QVariant(QStringLiteral("plain")));
    QCOMPARE(optionRows(), 2);
}

void TestSettings::scalarsComeBackAsText_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("bool-true") << QVariant(true) << "true";
    QTest::newRow("bool-false") << QVariant(false) << "false";
    QTest::newRow("int") << QVariant(1500) << "1500";
    QTest::newRow("negative-long-long") << QVariant(qint64(-9000000000)) << "-9000000000";
    QTest::newRow("double") << QVariant(0.25) << "0.25";
    QTest::newRow("empty-text") << QVariant(QString()) << "";
    QTest::newRow("invalid-value") << QVariant() << "";
    QTest::newRow("date") << QVariant(QDate(2026, 12, 6)) << "2026-12-06";
    QString every;
    every += QChar(0);
    every += QStringLiteral("mid");
    every += QChar(0xD800); // lone high surrogate
    every += QChar(0xFFFE);
    every += QChar(0xFFFF);
    every += QChar(0xDC00); // lone low surrogate
    every += QStringLiteral("😀");
    every += QChar(0);
    QTest::newRow("nul-lone-surrogates-and-nonchars") << QVariant(every) << every;
    QTest::newRow("leading-byte-order-mark") << QVariant(QString(QChar(0xFEFF)) + QStringLiteral("x")) << (QString(QChar(0xFEFF)) + QStringLiteral("x"));
    QTest::newRow("leading-swapped-byte-order-mark") << QVariant(QString(QChar(0xFFFE)) + QStringLiteral("ab")) << (QString(QChar(0xFFFE)) + QStringLiteral("ab"));
    QTest::newRow("long-text") << QVariant(QString(100000, u'l')) << QString(100000, u'l');
}

void TestSettings::scalarsComeBackAsText()
{
    QFETCH(QVariant, value);
    QFETCH(QString, text);
    m_settings.SaveSetting(QStringLiteral("key"), value);
    const QVariant back = m_settings.GetSetting(QStringLiteral("key"), QStringLiteral("default"));
    QCOMPARE(back.typeId(), int(QMetaType::QString));
    QCOMPARE(back.toString().size(), text.size());
    QCOMPARE(back.toString(), text);
    if (value.typeId() == QMetaType::Bool)
        QCOMPARE(back.toBool(), value.toBool());
    if (value.typeId() == QMetaType::Int || value.typeId() == QMetaType::LongLong)
        QCOMPARE(back.toLongLong(), value.toLongLong());
}

void TestSettings::objectsRoundTrip_data()
{
    QTest::addColumn<QVariant>("value");
    QVariantMap map;
    map.insert(QStringLiteral("phrase"), QStringLiteral("viagra"));
    map.insert(QStringLiteral("count"), 3);
    map.insert(QStringLiteral("nested"), QVariantList{1, QStringLiteral("two"), QChar(0xD800)});
    QTest::newRow("map-with-nested-list") << QVariant(map);
    QTest::newRow("string-list") << QVariant(QStringList{QStringLiteral("a"), QString(), QStringLiteral("?")});
    QTest::newRow("byte-array-with-nul") << QVariant(QByteArray("\x3f\x00\x00\x00raw", 7));
    QTest::newRow("empty-byte-array") << QVariant(QByteArray());
    QTest::newRow("empty-list") << QVariant(QVariantList());
}

void TestSettings::objectsRoundTrip()
{
    QFETCH(QVariant, value);
    m_settings.SaveSetting(QStringLiteral("object"), value);
    const QVariant back = m_settings.GetSetting(QStringLiteral("object"));
    QCOMPARE(back.typeId(), value.typeId());
    QCOMPARE(back, value);
}

void TestSettings::textsAreNeverObjects_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("one-question-mark") << "?";
    QTest::newRow("question-mark-and-nul") << StorageFixture::units({QChar(u'?'), QChar(0)});
    QTest::newRow("marker-then-more") << StorageFixture::units({QChar(u'?'), QChar(0), QChar(u'o'), QChar(0), QChar(0)});
    QTest::newRow("non-ansi-then-nul") << StorageFixture::units({QChar(0x4E2D), QChar(0), QChar(u'x')});
}

void TestSettings::textsAreNeverObjects()
{
    QFETCH(QString, text);
    m_settings.SaveSetting(QStringLiteral("text"), text);
    const QVariant back = m_settings.GetSetting(QStringLiteral("text"));
    QCOMPARE(back.typeId(), int(QMetaType::QString));
    QCOMPARE(back.toString(), text);
}

void TestSettings::runCounter()
{
    const QString key = CSettings::RunCounterKey();
    QCOMPARE(key, QStringLiteral("{CA42128C-3C0D-402f-BF6F-B9C7350C9598}"));
    // The first read returns 0 and creates "RC" with 1.
    QCOMPARE(m_settings.GetSetting(key, 77).toInt(), 0);
    QSqlQuery query(m_db->connection());
    QVERIFY(query.exec(QStringLiteral("SELECT Value FROM Property WHERE Name = 'RC'")) && query.next());
    QCOMPARE(query.value(0).toString(), QStringLiteral("1"));
    query.finish();
    m_settings.SaveSetting(key, 1);
    for (int start = 2; start <= 5; ++start)
        m_settings.SaveSetting(key, m_settings.GetSetting(key, 0).toInt() + 1);
    QCOMPARE(m_settings.GetSetting(key, 0).toInt(), 5);
    QCOMPARE(optionRows(), 0);

    // A database without the property table: the read still yields 0, nothing is raised.
    QVERIFY(QSqlQuery(m_db->connection()).exec(QStringLiteral("DROP TABLE Property")));
    QCOMPARE(m_settings.GetSetting(key, 9).toInt(), 0);
}

void TestSettings::saveWithoutTableFails()
{
    QVERIFY(QSqlQuery(m_db->connection()).exec(QStringLiteral("DROP TABLE \"Option\"")));
    const QString key = QStringLiteral("{1CB50200-A1F0-4747-AC11-4786DFE17FFF}");
    try {
        m_settings.SaveSetting(key, 3);
        QFAIL("saved without a table");
    } catch (const MUError &error) {
        QCOMPARE(error.number(), qint32(0x80040210u));
        const QString head = QStringLiteral("Cannot save setting '%1'. ").arg(key);
        QVERIFY2(error.description().startsWith(head), qPrintable(error.description()));
        QVERIFY2(error.description().contains(QStringLiteral("no such table")), qPrintable(error.description()));
    }
    QVERIFY_THROWS_EXCEPTION(MUError, m_settings.GetSetting(key));
}

void TestSettings::unserialisableValueFails()
{
    struct Opaque { int x = 0; };
    const QVariant value = QVariant::fromValue(Opaque{});
    try {
        m_settings.SaveSetting(QStringLiteral("opaque"), value);
        QFAIL("an opaque value was saved");
    } catch (const MUError &error) {
        QCOMPARE(error.number(), qint32(0x80040210u));
        QVERIFY2(error.description().startsWith(QStringLiteral("Cannot save setting 'opaque'. ")), qPrintable(error.description()));
    }
    QCOMPARE(optionRows(), 0);
}

void TestSettings::keysAreData()
{
    const QString key = QStringLiteral("x'); DROP TABLE \"Option\"; --");
    m_settings.SaveSetting(key, QStringLiteral("v"));
    QCOMPARE(m_settings.GetSetting(key).toString(), QStringLiteral("v"));
    QCOMPARE(optionRows(), 1);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
