// Which libraries a murmelo-cli command loads: only the commands that speak or listen may
// bring in speech, audio or window libraries.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QStringList SpeechAudioAndWindowLibraries = {
    QStringLiteral("libMUSpeech"), QStringLiteral("libespeak"), QStringLiteral("libpocketsphinx"),
    QStringLiteral("libsphinxbase"), QStringLiteral("libblas"), QStringLiteral("libQt6Multimedia"),
    QStringLiteral("libQt6Gui"), QStringLiteral("libQt6Widgets"), QStringLiteral("libpulse"),
    QStringLiteral("libasound"), QStringLiteral("libsoxr"), QStringLiteral("libsndfile")};
}

class TestCliLibraries : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;

    /// The libraries named in the memory map of `murmelo-cli ARGS` as it exits.
    QStringList librariesOf(const QStringList &args)
    {
        const QString build = qEnvironmentVariable("MURMELO_BUILD_DIR");
        const QString maps = m_home.filePath(QStringLiteral("maps"));
        QFile::remove(maps);
        QProcess cli;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_PRELOAD"), build + QStringLiteral("/lib/libmaps_at_exit.so"));
        env.insert(QStringLiteral("MAPS_AT_EXIT"), maps);
        // A sanitizer build must not insist on coming first in the list of libraries.
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
        cli.setProcessEnvironment(env);
        cli.start(build + QStringLiteral("/bin/murmelo-cli"), QStringList{QStringLiteral("--home"), m_home.path()} + args);
        if (!cli.waitForFinished(60000) || cli.exitCode() != 0)
            qWarning() << cli.readAllStandardError();
        QFile file(maps);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList libraries;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const qsizetype slash = line.lastIndexOf('/');
            if (slash >= 0 && !libraries.contains(QString::fromLocal8Bit(line.mid(slash + 1))))
                libraries << QString::fromLocal8Bit(line.mid(slash + 1));
        }
        return libraries;
    }

private Q_SLOTS:
    void commandsThatDoNotSpeakLoadNoSpeechAudioOrWindows_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("accounts-list") << QStringList{QStringLiteral("accounts"), QStringLiteral("list")};
        QTest::newRow("messages-list") << QStringList{QStringLiteral("messages"), QStringLiteral("list")};
    }
    void commandsThatDoNotSpeakLoadNoSpeechAudioOrWindows()
    {
        QFETCH(QStringList, args);
        const QStringList libraries = librariesOf(args);
        // The map was read: the engine is in it.
        QVERIFY2(!libraries.filter(QStringLiteral("libMUCustom.so")).isEmpty(), qPrintable(libraries.join(' ')));
        for (const QString &library : libraries) {
            for (const QString &unwanted : SpeechAudioAndWindowLibraries)
                QVERIFY2(!library.startsWith(unwanted), qPrintable(library));
        }
    }

    void sayLoadsTheSpeechLibraries()
    {
        const QStringList libraries = librariesOf(
            {QStringLiteral("say"), QStringLiteral("--wav"), m_home.filePath(QStringLiteral("hello.wav")),
             QStringLiteral("Hello")});
        QVERIFY2(std::any_of(libraries.cbegin(), libraries.cend(),
                             [](const QString &l) { return l.startsWith(QLatin1String("libespeak")); }),
                 qPrintable(libraries.join(' ')));
        QVERIFY(QFileInfo(m_home.filePath(QStringLiteral("hello.wav"))).size() > 44);
    }
};

QTEST_GUILESS_MAIN(TestCliLibraries)
#include "tst_clilibraries.moc"
