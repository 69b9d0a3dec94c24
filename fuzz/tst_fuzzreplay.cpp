// Every fuzz seed replayed through its target's entry point, as an ordinary test: a "must not
// crash" table that runs with the other tests, without clang or libFuzzer. The MIME target
// also takes the mail samples of the tests as seeds.
#include "FuzzTargets.h"

#include <QDir>
#include <QFile>
#include <QTest>

namespace {
using Entry = int (*)(const uint8_t *, size_t);

struct Target
{
    const char *name;
    Entry entry;
    QStringList folders; // below the source folder
};

const QList<Target> &targets()
{
    static const QList<Target> all{
        {"mime", &Fuzz::Mime, {QStringLiteral("fuzz/corpus/mime"), QStringLiteral("tests/data/mail")}},
        {"pop3_framing", &Fuzz::Pop3Framing, {QStringLiteral("fuzz/corpus/pop3_framing")}},
        {"imap_protocol", &Fuzz::ImapProtocol, {QStringLiteral("fuzz/corpus/imap_protocol")}},
    };
    return all;
}

QString sourceDir()
{
    return qEnvironmentVariable("MURMELO_SOURCE_DIR");
}
}

class TestFuzzReplay : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void everyTargetHasSeeds();
    void seedDoesNotBreakItsTarget_data();
    void seedDoesNotBreakItsTarget();
};

void TestFuzzReplay::everyTargetHasSeeds()
{
    QVERIFY(!sourceDir().isEmpty());
    for (const Target &t : targets()) {
        for (const QString &folder : t.folders)
            QVERIFY2(!QDir(sourceDir() + u'/' + folder).entryList(QDir::Files).isEmpty(), qPrintable(folder));
    }
}

void TestFuzzReplay::seedDoesNotBreakItsTarget_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<QString>("file");
    for (qsizetype t = 0; t < targets().size(); ++t) {
        for (const QString &folder : targets().at(t).folders) {
            const QDir dir(sourceDir() + u'/' + folder);
            for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
                QTest::addRow("%s/%s", targets().at(t).name, qPrintable(name)) << int(t) << dir.filePath(name);
        }
    }
}

void TestFuzzReplay::seedDoesNotBreakItsTarget()
{
    QFETCH(int, target);
    QFETCH(QString, file);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    try {
        targets().at(target).entry(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    } catch (const std::exception &e) {
        QFAIL(e.what());
    }
}

QTEST_GUILESS_MAIN(TestFuzzReplay)
#include "tst_fuzzreplay.moc"
