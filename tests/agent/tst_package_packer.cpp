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

class TestPackagePacker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void packsAndLoads();
    void refusesBrokenSources_data();
    void refusesBrokenSources();

private:
    int pack(const QString &source, const QString &out, QString &stderrText);
    void writeSource(const QString &dir, const QByteArray &json, const QByteArray &frame);
    QTemporaryDir m_dir;
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
    QDir().mkpath(dir + QStringLiteral("/parts"));
    auto put = [](const QString &file, const QByteArray &bytes) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    put(dir + QStringLiteral("/character.json"), json);
    put(dir + QStringLiteral("/a.svg"), frame);
    put(dir + QStringLiteral("/m.svg"), PackageBuilder::Svg(QStringLiteral("red")));
    put(dir + QStringLiteral("/parts/unused.svg"), PackageBuilder::Svg());   // not named: not packed
}

void TestPackagePacker::packsAndLoads()
{
    const QString src = m_dir.filePath(QStringLiteral("Tiny"));
    writeSource(src, PackageBuilder::MinimalJson(), PackageBuilder::Svg());
    const QString out1 = m_dir.filePath(QStringLiteral("out1/Tiny.acs"));
    const QString out2 = m_dir.filePath(QStringLiteral("out2/Tiny.acs"));
    QString err;
    QCOMPARE(pack(src, out1, err), 0);
    QVERIFY2(err.isEmpty(), qPrintable(err));
    QCOMPARE(pack(src, out2, err), 0);

    CharacterPackage pkg;
    QString error;
    QVERIFY2(CharacterPackageLoader::Load(out1, pkg, error), qPrintable(error));
    QCOMPARE(pkg.name, QStringLiteral("Tiny"));
    QCOMPARE(pkg.images.size(), 2);
    QVERIFY(!pkg.images.contains(QStringLiteral("parts/unused.svg")));

    auto hash = [](const QString &file) {
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
    };
    QCOMPARE(hash(out1), hash(out2));   // reproducible builds
    QVERIFY(!QFile::exists(out1 + QStringLiteral(".tmp")));
}

void TestPackagePacker::refusesBrokenSources_data()
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

void TestPackagePacker::refusesBrokenSources()
{
    QFETCH(QByteArray, json);
    QFETCH(QByteArray, frame);
    QFETCH(QString, expected);
    const QString src = m_dir.filePath(QStringLiteral("src-") + QString::fromLatin1(QTest::currentDataTag()));
    writeSource(src, json, frame);
    const QString out = m_dir.filePath(QStringLiteral("bad/") + QString::fromLatin1(QTest::currentDataTag())
                                       + QStringLiteral(".acs"));
    QString err;
    QVERIFY(pack(src, out, err) != 0);
    QVERIFY2(err.contains(expected), qPrintable(err));
    QVERIFY(!QFile::exists(out));   // no half-made package left for the build to ship
    QVERIFY(!QFile::exists(out + QStringLiteral(".tmp")));
}

QTEST_GUILESS_MAIN(TestPackagePacker)
#include "tst_package_packer.moc"
