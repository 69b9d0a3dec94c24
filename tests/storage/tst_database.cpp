// Opening the database: template copy, bad files, permissions, kill during writes.
#include "StorageFixture.h"
#include "storage/CSettings.h"
#include "storage/Database.h"
#include "storage/MsgContent.h"
#include "storage/MsgManager.h"
#include "trellis/MUError.h"
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class TestDatabase : public QObject
{
    Q_OBJECT

private:
    static QString scalar(Database &db, const QString &sql) { return StorageFixture::scalar(db, sql).toString(); }
    static QByteArray digest(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
    }
    static int modeOf(const QString &path)
    {
        struct stat st;
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    }
    /// Every message text by POP3Id, read in whatever form each row holds.
    static QHash<QString, QString> texts(Database &db)
    {
        QHash<QString, QString> result;
        QSqlQuery query(db.connection());
        query.exec(u"SELECT POP3Id, Content FROM Msg"_s);
        while (query.next())
            result.insert(query.value(0).toString(), MsgContent::unpack(query.value(1), u"test"_s));
        return result;
    }
    /// Reads the child's lines until `lines` more have come, the line `until` has come or the
    /// child ended; false on a timeout.
    static bool readLines(QProcess &child, int lines, const QByteArray &until, QByteArrayList *got)
    {
        while (lines > 0) {
            if (!child.canReadLine()) {
                if (child.state() == QProcess::NotRunning)
                    return true;
                QSignalSpy ready(&child, &QProcess::readyReadStandardOutput);
                QSignalSpy ended(&child, &QProcess::finished);
                if (!ready.wait(30000) && ended.isEmpty())
                    return false;
            }
            while (lines > 0 && child.canReadLine()) {
                *got << child.readLine().trimmed();
                --lines;
                if (got->last() == until)
                    return true;
            }
        }
        return true;
    }

private Q_SLOTS:
    void firstOpenCopiesTemplateLaterOpensKeepTheFile()
    {
        QTemporaryDir home;
        const QString path = home.filePath(u"MU.mdb"_s);
        {
            Database db(home.path(), TestHome::templatePath());
            QCOMPARE(db.path(), path);
            QCOMPARE(scalar(db, u"PRAGMA journal_mode"_s), u"wal"_s);
            QCOMPARE(scalar(db, u"PRAGMA encoding"_s), u"UTF-16le"_s);
            QCOMPARE(scalar(db, u"PRAGMA synchronous"_s), u"1"_s);
            QCOMPARE(scalar(db, u"SELECT count(*) FROM Account"_s) + scalar(db, u"SELECT count(*) FROM Msg"_s), u"00"_s);
            QCOMPARE(modeOf(path), 0600);
            // The journal files inherit the mode of the database.
            CSettings settings;
            settings.Init(&db, nullptr);
            settings.SaveSetting(u"kept"_s, u"yes"_s);
            QCOMPARE(modeOf(path + u"-wal"_s), 0600);
        }
        // No temporary copy is left beside it.
        QCOMPARE(QDir(home.path()).entryList(QDir::Files), QStringList{u"MU.mdb"_s});
        Database again(home.path(), TestHome::templatePath());
        CSettings settings;
        settings.Init(&again, nullptr);
        QCOMPARE(settings.GetSetting(u"kept"_s).toString(), u"yes"_s);
        // Without a template named, the one installed beside the library is used.
        QTemporaryDir other;
        Database installed(other.path());
        QCOMPARE(scalar(installed, u"SELECT count(*) FROM sqlite_master WHERE name='Option'"_s), u"1"_s);
    }

    void badFileIsRefused_data()
    {
        QTest::addColumn<bool>("isTemplate");      // the file is the template, else the database
        QTest::addColumn<QByteArray>("content");   // null: there is none
        QTest::addColumn<QString>("reason");
        QTest::newRow("plain-text-file") << false << QByteArray("Dear user,\nthis is my shopping list.\n")
                                         << "not a Murmelo database";
        QTest::newRow("empty-file") << false << QByteArray("") << "it is empty";
        QByteArray garbage("SQLite format 3\0", 16);
        garbage += QByteArray(4080, '\xA5');
        QTest::newRow("sqlite-header-then-garbage") << false << garbage << "not a readable Murmelo database";
        QTest::newRow("missing-template") << true << QByteArray() << "template";
        QTest::newRow("template-not-a-database") << true << QByteArray("<html>404 Not Found</html>")
                                                 << "is not a valid database";
    }
    void badFileIsRefused()
    {
        QFETCH(bool, isTemplate);
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        QTemporaryDir home, shared;
        const QString templ = isTemplate ? shared.filePath(u"MU.tdb"_s) : TestHome::templatePath();
        const QString path = isTemplate ? templ : home.filePath(u"MU.mdb"_s);
        if (!content.isNull()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
            file.close();
            QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
        }
        const QDateTime before = QFileInfo(path).lastModified();
        const MUError error = StorageFixture::raised([&] { Database db(home.path(), templ); });
        QVERIFY2(error.description().contains(reason), qPrintable(error.description()));
        QVERIFY2(isTemplate || error.description().contains(path), qPrintable(error.description()));
        if (!isTemplate)
            QCOMPARE(error.source(), u"Database.Open"_s);
        // The file is left as it was, and nothing is made beside it.
        QFile file(path);
        QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), content);
        QCOMPARE(QFileInfo(path).lastModified(), before);
        QCOMPARE(modeOf(path), content.isNull() ? -1 : 0640);
        QCOMPARE(QDir(home.path()).entryList(QDir::Files), isTemplate ? QStringList() : QStringList{u"MU.mdb"_s});
    }

    void readOnlyHome_data()
    {
        QTest::addColumn<bool>("withDatabase");
        QTest::addColumn<QString>("reason");
        QTest::newRow("read-only-home-first-start") << false << "Cannot create the database";
        QTest::newRow("read-only-home-existing-database") << true << "Cannot write in the folder";
    }
    void readOnlyHome()
    {
        QFETCH(bool, withDatabase);
        QFETCH(QString, reason);
        // Root ignores permissions: the open then runs in a child process as "nobody".
        const bool asRoot = ::geteuid() == 0;
        const uid_t nobody = 65534;
        QTemporaryDir root;
        QVERIFY(QFile::setPermissions(root.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                      | QFileDevice::ReadOther | QFileDevice::ExeOther));
        const QString home = root.filePath(u"home"_s);
        QVERIFY(QDir().mkpath(home));
        const QString templ = root.filePath(u"MU.tdb"_s);
        QVERIFY(QFile::copy(TestHome::templatePath(), templ));
        QVERIFY(QFile::setPermissions(templ, QFileDevice::ReadOwner | QFileDevice::ReadOther));
        const QString path = home + u"/MU.mdb"_s;
        QByteArray before;
        if (withDatabase) {
            { Database db(home, templ); }
            before = digest(path);
        }
        if (asRoot) {
            QVERIFY(::chown(QFile::encodeName(home).constData(), nobody, nobody) == 0);
            if (withDatabase)
                QVERIFY(::chown(QFile::encodeName(path).constData(), nobody, nobody) == 0);
        }
        QVERIFY(QFile::setPermissions(home, QFileDevice::ReadOwner | QFileDevice::ExeOwner));

        QProcess child;
        QStringList args = {u"open"_s, home, templ};
        if (asRoot)
            args << QString::number(nobody);
        child.start(QStringLiteral(STORAGE_CHILD), args);
        QVERIFY(child.waitForFinished(30000));
        const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
        QFile::setPermissions(home, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(child.exitCode(), 3);
        QVERIFY2(out.contains(reason), qPrintable(out));
        QVERIFY2(out.contains(home), qPrintable(out));
        if (withDatabase)
            QCOMPARE(digest(path), before);
        else
            QVERIFY(!QFile::exists(path));
    }

    void killedWriterLeavesSoundDatabase()
    {
        QTemporaryDir home;
        qint64 stored = 0;
        for (int round = 0; round < 3; ++round) {
            QProcess child;
            child.start(QStringLiteral(STORAGE_CHILD), {u"fill"_s, home.path(), TestHome::templatePath()});
            QVERIFY(child.waitForStarted());
            // Kill it once it is well into storing: after 150 messages of this round.
            QByteArrayList lines;
            QVERIFY2(readLines(child, 150, {}, &lines), qPrintable(QString::fromLocal8Bit(child.readAllStandardError())));
            ::kill(pid_t(child.processId()), SIGKILL);
            QVERIFY(child.waitForFinished(30000));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);
            lines += child.readAllStandardOutput().split('\n');
            lines.removeAll(QByteArray());
            const qint64 last = lines.last().trimmed().toLongLong();
            const qint64 acknowledged = stored + last;

            Database db(home.path(), TestHome::templatePath());
            QCOMPARE(scalar(db, u"PRAGMA integrity_check"_s), u"ok"_s);
            const qint64 rows = scalar(db, u"SELECT count(*) FROM Msg"_s).toLongLong();
            // Every acknowledged add survived; at most the one in flight was added besides.
            QVERIFY2(rows >= acknowledged && rows <= acknowledged + 1,
                     qPrintable(u"rows %1, acknowledged %2"_s.arg(rows).arg(acknowledged)));
            stored = rows;
            // No half-written row: every row carries all of its columns and its whole body.
            QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM Msg WHERE Subject NOT LIKE 'Subject %' "
                                               "OR POP3Id NOT LIKE 'uid-%' OR MsgFrom <> 'Sender ' || substr(Subject, 9) "
                                               "OR IsDeleted <> 0")),
                     u"0"_s);
            QSqlQuery bodies(db.connection());
            QVERIFY(bodies.exec(u"SELECT Subject, Content FROM Msg"_s));
            while (bodies.next()) {
                const QString body = MsgContent::unpack(bodies.value(1), u"test"_s);
                QCOMPARE(body, QString(40000, QLatin1Char('x')) + bodies.value(0).toString().mid(8));
            }
            bodies.finish();
            MsgManager msgs;
            msgs.Init(&db, nullptr);
            QCOMPARE(msgs.GetMsgs().Count(), rows);
        }
    }

    void killedConversionLosesNothing()
    {
        // A database of the older form, converted by children killed at random steps (inside a
        // batch, between batches, while compacting); after each kill it opens, is sound and
        // holds every text, and the last child finishes what the others began.
        QTemporaryDir home;
        constexpr int count = 300;
        {
            Database db(home.path(), TestHome::templatePath());
            StorageFixture::fillOlderForm(db, count, true);
        }
        QHash<QString, QString> expected;
        for (int i = 0; i < count; ++i)
            expected.insert(u"older-%1"_s.arg(i), StorageFixture::olderText(i));
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        bool finished = false;
        // Five kills after a few steps each (never all of the 43 batches), one as the compaction
        // begins, then a child that runs to the end.
        for (int round = 0; round < 7; ++round) {
            const bool last = round == 6;
            QProcess child;
            child.start(QStringLiteral(STORAGE_CHILD),
                        {u"convert"_s, home.path(), TestHome::templatePath(), u"7"_s});
            QVERIFY(child.waitForStarted());
            QByteArrayList lines;
            const int steps = round < 5 ? 1 + int(random.bounded(8)) : INT_MAX;
            const QByteArray until = round == 5 ? QByteArray("compact 0 1") : last ? QByteArray("converted") : QByteArray();
            QVERIFY2(readLines(child, steps, until, &lines), qPrintable(u"seed %1"_s.arg(seed)));
            if (child.state() != QProcess::NotRunning) {
                if (!last)
                    ::kill(pid_t(child.processId()), SIGKILL);
                QVERIFY(child.waitForFinished(30000));
            }
            lines += child.readAllStandardOutput().split('\n');
            finished = lines.contains("converted");
            QCOMPARE(finished, last);

            Database db(home.path(), TestHome::templatePath());
            QCOMPARE(scalar(db, u"PRAGMA integrity_check"_s), u"ok"_s);
            const QHash<QString, QString> now = texts(db);
            QCOMPARE(now.size(), count);
            for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
                QVERIFY2(now.value(it.key()) == it.value(),
                         qPrintable(u"%1 after round %2, seed %3"_s.arg(it.key()).arg(round).arg(seed)));
        }
        QVERIFY(finished);
        Database db(home.path(), TestHome::templatePath());
        // Every text of octets is packed now; the others keep their earlier form.
        int unpackable = 0;
        for (const QString &text : std::as_const(expected))
            unpackable += text.isEmpty() || MsgContent::packable(text) ? 0 : 1;
        QVERIFY(unpackable > 0);
        QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM Msg WHERE Content <> '' AND NOT "
                                           "(typeof(Content) = 'blob' AND substr(Content, 1, 1) IN (x'01', x'02'))")),
                 QString::number(unpackable));
        // Every row whose Date is a date has its key, worked out by the same batches.
        QSqlQuery keys(db.connection());
        QVERIFY(keys.exec(u"SELECT POP3Id, DateKey FROM Msg"_s));
        int rows = 0;
        while (keys.next()) {
            const int i = keys.value(0).toString().mid(6).toInt();
            const std::optional<qint64> key = MsgManager::DateKey(StorageFixture::olderDate(i));
            QCOMPARE(keys.value(1).isNull(), !key.has_value());
            if (key)
                QCOMPARE(keys.value(1).toLongLong(), *key);
            ++rows;
        }
        QCOMPARE(rows, count);
    }
};

QTEST_GUILESS_MAIN(TestDatabase)
#include "tst_database.moc"
