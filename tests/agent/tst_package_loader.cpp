// Character packages: every broken file fails with a reason that says what is wrong; the
// shipped characters load with all the animations the program plays; the packer turns a
// source folder into a package the loader accepts, byte for byte the same on every run, and
// refuses folders that would make a broken one.
#include "AgentTestKit.h"
#include "PackageBuilder.h"
#include "agent/CharacterPackage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestPackageLoader : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    int pack(const QString &source, const QString &out, QString &stderrText)
    {
        QProcess p;
        p.start(QStringLiteral(MURMELO_PACKCHAR), {source, out});
        if (!p.waitForFinished(30000))
            return -1;
        stderrText = QString::fromLocal8Bit(p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    static void writeSource(const QString &dir, const QByteArray &json, const QByteArray &frame)
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

private Q_SLOTS:
    void rejectsBrokenPackages_data()
    {
        // "zip", "raw", "nojson", or "cut": a good package cut to the size in `frame` (from the end when negative).
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("expected");

        const QByteArray ok = PackageBuilder::MinimalJson();
        const QByteArray svg = PackageBuilder::Svg();
        QByteArray noRest = ok;
        noRest.replace("\"RestPose\": { \"frames\": [ { \"image\": \"a.svg\", \"duration\": 1000 } ] },", "");
        noRest.replace("\"return\": \"RestPose\"", "\"loop\": false");

        QTest::newRow("missing-file") << "none" << ok << svg << "not found";
        QTest::newRow("text-file-named-acs") << "raw" << QByteArray("This is just text.\n") << svg << "not a zip archive";
        QTest::newRow("empty-file") << "raw" << QByteArray() << svg << "not a zip archive";
        QTest::newRow("zip-without-character-json") << "nojson" << ok << svg << "character.json missing";
        QTest::newRow("json-invalid") << "zip" << QByteArray("{ \"name\": ") << svg << "not valid JSON";
        QTest::newRow("json-not-object") << "zip" << QByteArray("[1, 2]") << svg << "does not hold an object";
        QTest::newRow("json-format-unknown") << "zip" << QByteArray(ok).replace("\"format\": 1", "\"format\": 7") << svg
                                             << "only format 1";
        QTest::newRow("missing-name") << "zip" << QByteArray(ok).replace("\"name\": \"Tiny\",", "") << svg << "no name";
        QTest::newRow("missing-size") << "zip" << QByteArray(ok).replace("\"width\": 100,", "") << svg
                                      << "valid width and height";
        QTest::newRow("negative-size") << "zip" << QByteArray(ok).replace("\"height\": 120", "\"height\": -5") << svg
                                       << "valid width and height";
        QTest::newRow("frame-missing-from-zip") << "zip" << QByteArray(ok).replace("\"./a.svg\"", "\"b.svg\"") << svg
                                                << "'b.svg' is missing";
        QTest::newRow("frame-not-svg-png-bytes") << "zip" << ok << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)
                                                 << "frame 'a.svg' is not SVG";
        QTest::newRow("frame-xml-but-html") << "zip" << ok << QByteArray("<html><body>x</body></html>")
                                            << "root element is <html>";
        QTest::newRow("frame-broken-xml") << "zip" << ok << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\"><g>")
                                          << "not valid XML";
        QTest::newRow("frame-empty") << "zip" << ok << QByteArray() << "is not SVG";
        QTest::newRow("frame-path-escapes") << "zip" << QByteArray(ok).replace("\"./a.svg\"", "\"../a.svg\"") << svg
                                            << "invalid image path";
        QTest::newRow("required-animation-missing") << "zip" << noRest << svg << "'RestPose' is missing";
        QTest::newRow("return-to-unknown") << "zip"
                                           << QByteArray(ok).replace("\"return\": \"RestPose\"", "\"return\": \"Nope\"")
                                           << svg << "returns to 'Nope'";
        QTest::newRow("bad-duration") << "zip" << QByteArray(ok).replace("\"duration\": 50 }, {", "\"duration\": 0 }, {")
                                      << svg << "invalid duration";
        QTest::newRow("mouth-outside-frame") << "zip" << QByteArray(ok).replace("\"x\": 40", "\"x\": 95") << svg
                                             << "mouth rectangle";
        QTest::newRow("no-animations") << "zip"
                                       << QByteArray("{\"name\":\"X\",\"width\":10,\"height\":10,\"animations\":{}}")
                                       << svg << "no animations";
        // Every cut of a good file fails cleanly, never crashes.
        for (const int cut : {10, 40, -300, -30, -1})
            QTest::addRow("cut-to-%d-bytes", cut) << "cut" << ok << QByteArray::number(cut) << "";
    }
    void rejectsBrokenPackages()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, json);
        QFETCH(QByteArray, frame);
        QFETCH(QString, expected);

        const QString file = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + u".acs"_s);
        if (kind == QLatin1String("raw")) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(json);
        } else if (kind == QLatin1String("zip")) {
            QVERIFY(PackageBuilder::WriteZip(file, {{u"character.json"_s, json}, {u"a.svg"_s, frame},
                                                    {u"m.svg"_s, PackageBuilder::Svg()}}));
        } else if (kind == QLatin1String("nojson")) {
            QVERIFY(PackageBuilder::WriteZip(file, {{u"a.svg"_s, frame}, {u"readme.txt"_s, QByteArray("hello")}}));
        } else if (kind == QLatin1String("cut")) {
            QVERIFY(PackageBuilder::WriteZip(file, {{u"character.json"_s, json}, {u"a.svg"_s, PackageBuilder::Svg()},
                                                    {u"m.svg"_s, PackageBuilder::Svg()}}));
            QFile f(file);
            QVERIFY(f.resize(frame.toInt() > 0 ? frame.toInt() : f.size() + frame.toInt()));
        }
        CharacterPackage pkg;
        pkg.name = u"untouched"_s;
        QString error;
        QVERIFY(!CharacterPackageLoader::Load(file, pkg, error));
        QVERIFY2(error.contains(expected), qPrintable(error));
        QVERIFY2(error.contains(file), qPrintable(error));   // the message names the file
        QCOMPARE(pkg.name, u"untouched"_s);     // a failed load leaves the output alone
    }

    void shippedCharacters_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("merlin-the-wizard") << "Merlin";
        QTest::newRow("robby-the-robot") << "Robby";
    }
    void shippedCharacters()
    {
        QFETCH(QString, name);
        const QString file = shippedCharacter(name);
        CharacterPackage pkg;
        QString error;
        QVERIFY2(CharacterPackageLoader::Load(file, pkg, error), qPrintable(error));
        QCOMPARE(pkg.name, name);
        const QStringList required{"Show", "Hide", "RestPose", "Idle1", "Idle2", "Blink", "Greet", "Wave", "Announce",
                                   "GetAttention", "Explain", "Read", "Think", "Surprised", "Congratulate", "Pleased",
                                   "Sad"};
        for (const QString &anim : required) {
            QVERIFY2(pkg.animations.contains(anim), qPrintable(anim));
            const CharacterAnimation a = pkg.animations.value(anim);
            QVERIFY2(!a.frames.isEmpty(), qPrintable(anim));
            int total = 0;
            for (const CharacterFrame &f : a.frames) {
                QVERIFY(pkg.images.contains(f.image));
                total += f.durationMs;
            }
            // Long enough to see, short enough not to hold up the mail announcement.
            QVERIFY2(anim == QLatin1String("RestPose") || (total >= 200 && total <= 4000), qPrintable(anim));
            if (anim != QLatin1String("Hide") && anim != QLatin1String("RestPose"))
                QCOMPARE(a.returnTo, u"RestPose"_s);
        }
        for (const char *shape : {"closed", "small", "open", "wide", "round"})
            QVERIFY2(pkg.mouthShapes.contains(QLatin1String(shape)), shape);
        QVERIFY(!pkg.speakingBase.isEmpty());
        QVERIFY(pkg.mouthRect.isValid());
        QVERIFY(QRectF(QPointF(0, 0), QSizeF(pkg.originalSize)).contains(pkg.mouthRect));
        // The greeting alternatives come before "^^", separated by "~~".
        const QString greeting = pkg.extraData.section(u"^^"_s, 0, 0);
        QVERIFY2(greeting.split(u"~~"_s).size() >= 2, qPrintable(pkg.extraData));
        QVERIFY(!pkg.voiceName.isEmpty());
    }

    // The packer stores character.json as it is: what is loaded here is the loader's reading of it.
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
        QVERIFY(error.isEmpty());
        QCOMPARE(pkg.file, out1);
        QCOMPARE(pkg.name, u"Tiny"_s);
        QCOMPARE(pkg.originalSize, QSize(100, 120));
        QCOMPARE(pkg.extraData, u"Hi~~Hello^^x"_s);
        QCOMPARE(pkg.animationNames(), (QStringList{"Hide", "RestPose", "Show"}));
        const CharacterAnimation show = pkg.animations.value(u"Show"_s);
        QCOMPARE(show.frames.size(), 2);
        QCOMPARE(show.frames.at(0).durationMs, 50);
        QCOMPARE(show.frames.at(1).durationMs, 100);          // the default
        QCOMPARE(show.frames.at(1).image, u"a.svg"_s);   // "./" dropped
        QCOMPARE(show.returnTo, u"RestPose"_s);
        QCOMPARE(pkg.mouthRect, QRectF(40, 70, 20, 10));
        QCOMPARE(pkg.mouthShapes.value(u"open"_s), u"m.svg"_s);
        QCOMPARE(pkg.images.size(), 2);
        QCOMPARE(pkg.images.value(u"m.svg"_s), PackageBuilder::Svg(u"red"_s));

        auto hash = [](const QString &file) {
            QFile f(file);
            f.open(QIODevice::ReadOnly);
            return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
        };
        QCOMPARE(hash(out1), hash(out2));   // reproducible builds
        QVERIFY(!QFile::exists(out1 + u".tmp"_s));
    }

    // Past its own checks the packer refuses what the loader refuses (the loader's table has the reasons).
    void refusesBrokenSources_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("expected");
        const QByteArray ok = PackageBuilder::MinimalJson();
        QTest::newRow("json-broken") << QByteArray("{\"name\": ") << PackageBuilder::Svg() << "not a JSON object";
        QTest::newRow("frame-not-in-folder") << QByteArray(ok).replace("\"./a.svg\"", "\"gone.svg\"")
                                             << PackageBuilder::Svg() << "gone.svg";
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

QTEST_GUILESS_MAIN(TestPackageLoader)
#include "tst_package_loader.moc"
