// The settings store: defaults, text forms, objects, every code unit, the run counter.
#include "StorageFixture.h"
#include "storage/CSettings.h"
#include "trellis/MUError.h"
#include <QSqlQuery>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHome> m_home;
    CSettings m_settings;

    int optionRows() { return StorageFixture::scalar(*m_home->database(), u"SELECT count(*) FROM \"Option\""_s).toInt(); }
    bool exec(const QString &sql) { return QSqlQuery(m_home->database()->connection()).exec(sql); }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_settings.Init(m_home->database(), nullptr);
    }
    void cleanup() { m_home.reset(); }

    void unsavedKeyGivesDefaultAndWritesNothing()
    {
        const QString key = u"{B067431C-D79B-49fb-A320-667122ED08F9}"_s;
        QCOMPARE(m_settings.GetSetting(key, 42), QVariant(42));
        QCOMPARE(m_settings.GetSetting(key, 42), QVariant(42));
        QVERIFY(!m_settings.GetSetting(key).isValid());
        const QVariantMap object{{u"a"_s, 1}};
        QCOMPARE(m_settings.GetSetting(key, object), QVariant(object));
        QCOMPARE(optionRows(), 0);
    }

    void savingTwiceKeepsOneRow()
    {
        m_settings.SaveSetting(u"General.VoiceCommandsShowHide"_s, u"first"_s);
        m_settings.SaveSetting(u"General.VoiceCommandsShowHide"_s, u"second"_s);
        QCOMPARE(optionRows(), 1);
        QCOMPARE(m_settings.GetSetting(u"General.VoiceCommandsShowHide"_s).toString(), u"second"_s);
        // An object replaced by a text; a key that looks like SQL is a key.
        const QString key = u"x'); DROP TABLE \"Option\"; --"_s;
        m_settings.SaveSetting(key, QStringList{u"x"_s});
        m_settings.SaveSetting(key, u"plain"_s);
        QCOMPARE(m_settings.GetSetting(key), QVariant(u"plain"_s));
        QCOMPARE(optionRows(), 2);
    }

    // Scalars come back as their text; objects (lists, maps, bytes) as they were; a text never
    // as an object, whatever it holds.
    void valuesComeBack_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QVariant>("back");
        auto row = [](const char *name, const QVariant &value, const QVariant &back) { QTest::newRow(name) << value << back; };
        auto same = [&row](const char *name, const QVariant &value) { row(name, value, value); };
        row("bool-true", true, u"true"_s);
        row("int", 1500, u"1500"_s);
        row("negative-long-long", qint64(-9000000000), u"-9000000000"_s);
        row("double", 0.25, u"0.25"_s);
        row("empty-text", QString(), u""_s);
        row("invalid-value", QVariant(), u""_s);
        row("date", QDate(2026, 12, 6), u"2026-12-06"_s);
        // NUL, a lone high and a lone low surrogate, the non-characters, a pair.
        same("nul-lone-surrogates-and-nonchars", StorageFixture::units({QChar(0), QChar(u'm'), QChar(0xD800), QChar(0xFFFE),
                                                                        QChar(0xFFFF), QChar(0xDC00), QChar(0xD83D),
                                                                        QChar(0xDE00), QChar(0)}));
        same("leading-byte-order-mark", QString(QChar(0xFEFF)) + u"x"_s);
        same("leading-swapped-byte-order-mark", QString(QChar(0xFFFE)) + u"ab"_s);
        same("long-text", QString(100000, u'l'));
        same("one-question-mark", u"?"_s);
        same("question-mark-and-nul", StorageFixture::units({QChar(u'?'), QChar(0)}));
        same("marker-then-more", StorageFixture::units({QChar(u'?'), QChar(0), QChar(u'o'), QChar(0), QChar(0)}));
        same("non-ansi-then-nul", StorageFixture::units({QChar(0x4E2D), QChar(0), QChar(u'x')}));

        QVariantMap map;
        map.insert(u"phrase"_s, u"viagra"_s);
        map.insert(u"count"_s, 3);
        map.insert(u"nested"_s, QVariantList{1, u"two"_s, QChar(0xD800)});
        same("map-with-nested-list", map);
        same("string-list", QStringList{u"a"_s, QString(), u"?"_s});
        same("byte-array-with-nul", QByteArray("\x3f\x00\x00\x00raw", 7));
        same("empty-byte-array", QByteArray());
        same("empty-list", QVariantList());
    }
    void valuesComeBack()
    {
        QFETCH(QVariant, value);
        QFETCH(QVariant, back);
        m_settings.SaveSetting(u"key"_s, value);
        const QVariant read = m_settings.GetSetting(u"key"_s, u"default"_s);
        QCOMPARE(read.typeId(), back.typeId());
        QCOMPARE(read, back);
    }

    void runCounter()
    {
        const QString key = CSettings::RunCounterKey();
        QCOMPARE(key, u"{CA42128C-3C0D-402f-BF6F-B9C7350C9598}"_s);
        // The first read returns 0 and creates "RC" with 1.
        QCOMPARE(m_settings.GetSetting(key, 77).toInt(), 0);
        QCOMPARE(StorageFixture::scalar(*m_home->database(), u"SELECT Value FROM Property WHERE Name = 'RC'"_s).toString(), u"1"_s);
        m_settings.SaveSetting(key, 1);
        for (int start = 2; start <= 5; ++start)
            m_settings.SaveSetting(key, m_settings.GetSetting(key, 0).toInt() + 1);
        QCOMPARE(m_settings.GetSetting(key, 0).toInt(), 5);
        QCOMPARE(optionRows(), 0);

        // A database without the property table: the read still yields 0, nothing is raised.
        QVERIFY(exec(u"DROP TABLE Property"_s));
        QCOMPARE(m_settings.GetSetting(key, 9).toInt(), 0);
    }

    void saveFailuresAreReported()
    {
        struct Opaque { int x = 0; };
        const QVariant opaque = QVariant::fromValue(Opaque{});
        const MUError refused = StorageFixture::raised([&] { m_settings.SaveSetting(u"opaque"_s, opaque); });
        QCOMPARE(refused.number(), qint32(0x80040210u));
        QVERIFY2(refused.description().startsWith(u"Cannot save setting 'opaque'. "_s), qPrintable(refused.description()));
        QCOMPARE(optionRows(), 0);
        QVERIFY(exec(u"DROP TABLE \"Option\""_s));
        const QString key = u"{1CB50200-A1F0-4747-AC11-4786DFE17FFF}"_s;
        const MUError error = StorageFixture::raised([&] { m_settings.SaveSetting(key, 3); });
        QCOMPARE(error.number(), qint32(0x80040210u));
        QVERIFY2(error.description().startsWith(u"Cannot save setting '%1'. "_s.arg(key)), qPrintable(error.description()));
        QVERIFY2(error.description().contains(u"no such table"_s), qPrintable(error.description()));
        QVERIFY_THROWS_EXCEPTION(MUError, m_settings.GetSetting(key));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
