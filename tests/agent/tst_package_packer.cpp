// The packer turns a character's source folder into a package the loader accepts,
// byte for byte the same on every run, and refuses folders that would make a broken one.
#include "PackageBuilder.h"
#include "agent/CharacterPackage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestPackagePacker : public QObject
{
    Q_OBJECT


private:
    int pack(const QString &source, const QString &out, QString &stderrText);
    void writeSource(const QString &dir, const QByteArray &json, const QByteArray &frame);
    QTemporaryDir m_dir;

private Q_SLOTS:
    void packsAndLoads()
    {
        const QString src = m_dir.filePath(u"Tiny"_s);
        writeSource(src, PackageBuilder::MinimalJson(), PackageBuilder::Svg());
        const QString out1 = m_dir.filePath(u"out1/Tiny.acs"_s);
        const QString out2 = m_dir.filePath(u"out2/Tiny.acs"_s);
        QString err;
        QCOMPARE(pack(src, out1, err), 0);
        QVERIFY2(err.isEmpty(), qPrintable(err));
        QCOMPARE(pack(src, out2, err), 0);

        CharacterPackage pkg;
        QString error;
        QVERIFY2(CharacterPackageLoader::Load(out1, pkg, error), qPrintable(error));
        QCOMPARE(pkg.name, u"Tiny"_s);
        QCOMPARE(pkg.images.size(), 2);
        QVERIFY(!pkg.images.contains(u"parts/unused.svg"_s));

        auto hash = [](const QString &file) {
            QFile f(file);
            f.open(QIODevice::ReadOnly);
            return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
        };
        QCOMPARE(hash(out1), hash(out2));   // reproducible builds
        QVERIFY(!QFile::exists(out1 + u".tmp"_s));
    }

    void refusesBrokenSources_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("expected");
        const QByteArray ok = PackageBuilder::MinimalJson();
        QTest::newRow("json-broken") << QByteArray("{\"name\": ") << PackageBuilder::Svg() << "not a JSON object";
        QTest::newRow("frame-not-in-folder") << QByteArray(ok).replace("\"./a.svg\"", "\"gone.svg\"")
                                             << PackageBuilder::Svg() << "gone.svg";
        QTest::newRow("frame-not-svg") << ok << QByteArray("GIF89a....") << "is not SVG";
        QTest::newRow("no-rest-pose") << QByteArray(ok).replace("\"RestPose\": {", "\"Rest\": {").replace(
                                             "\"return\": \"RestPose\"", "\"return\": \"Rest\"")
                                      << PackageBuilder::Svg() << "'RestPose' is missing";
    }
    void refusesBrokenSources()
    {
        QFETCH(QByteArray, json);
        QFETCH(QByteArray, frame);
        QFETCH(QString, expected);
        const QString src = m_dir.filePath(u"src-"_s + QString::fromLatin1(QTest::currentDataTag()));
        writeSource(src, json, frame);
        const QString out = m_dir.filePath(u"bad/"_s + QString::fromLatin1(QTest::currentDataTag())
                                           + u".acs"_s);
        QString err;
        QVERIFY(pack(src, out, err) != 0);
        QVERIFY2(err.contains(expected), qPrintable(err));
        QVERIFY(!QFile::exists(out));   // no half-made package left for the build to ship
        QVERIFY(!QFile::exists(out + u".tmp"_s));
    }
};

int TestPackagePacker::pack(const QString &source, const QString &out, QString &stderrText)
{
    QProcess p;
    p.start(QStringLiteral(MURMELO_PACKCHAR), {source, out});
    if (!p.waitForFinished(30000))
        return -1;
    stderrText = QString::fromLocal8Bit(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void TestPackagePacker::writeSource(const QString &dir, const QByteArray &json, const QByteArray &frame)
{
    QDir().mkpath(dir + u"/parts"_s);
    auto put = [](const QString &file, const QByteArray &bytes) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    put(dir + u"/character.json"_s, json);
    put(dir + u"/a.svg"_s, frame);
    put(dir + u"/m.svg"_s, PackageBuilder::Svg(u"red"_s));
    put(dir + u"/parts/unused.svg"_s, PackageBuilder::Svg());   // not named: not packed
}

QTEST_GUILESS_MAIN(TestPackagePacker)
#include "tst_package_packer.moc"
