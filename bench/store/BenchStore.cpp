// bench-store [COUNT] [--cli PATH]: stores COUNT (100000) real-looking messages of 2,000
// characters one add at a time, then prints
//   - the database size against the raw text of the messages,
//   - `murmelo-cli messages list` (and --json) time and peak memory beside the sqlite3 shell
//     listing the same rows of the same database (the baseline, measured in the same run),
//     and the command's own figures for an empty list,
//   - the one-time conversion of a database of the older form (text as UTF-16): its time
//     and the size before and after,
//   - GetMsgs, Remove and GetMsgIds in operations per second,
// each target as a line "figure, target, met or not". Works in fresh temporary homes.
#include "storage/AccountManager.h"
#include "storage/Database.h"
#include "storage/MsgManager.h"
#include "storage/SqlTransaction.h"
#include "trellis/MUError.h"
#include "trellis/Paths.h"
#include "trellis/Record.h"
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr int kMessageSize = 2000;

/// CPU time of the process (user + system) in nanoseconds: on a shared machine the
/// wall-clock figure also counts the time other processes held the cores.
qint64 cpuNanoseconds()
{
    struct rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec
            + usage.ru_stime.tv_usec) * 1000;
}

qint64 g_cpuStart = 0;

void report(const char *what, qint64 operations, qint64 nanoseconds)
{
    const qint64 cpu = cpuNanoseconds() - g_cpuStart;
    std::printf("%-34s %8lld ops %9.1f ms wall %10.0f ops/s | %9.1f ms cpu %10.0f ops/s\n", what,
                static_cast<long long>(operations), double(nanoseconds) / 1e6, operations / (double(nanoseconds) / 1e9),
                double(cpu) / 1e6, operations / (double(cpu) / 1e9));
}

QStringList g_summary;

void target(const QString &figure, const QString &goal, bool met)
{
    g_summary << QStringLiteral("%1, target %2, %3").arg(figure, goal, met ? QStringLiteral("met") : QStringLiteral("NOT met"));
}

/// Real-looking mail: relay and signature headers (random, so incompressible where real ones
/// are), then a plain, an HTML or a multipart body with a base64 attachment; English prose
/// from the licence texts every Debian system carries. Each message is exactly 2,000 octets.
class MailMaker
{
public:
    MailMaker()
    {
        for (const char *name : {"/usr/share/common-licenses/GPL-3", "/usr/share/common-licenses/Apache-2.0"}) {
            QFile file(QString::fromLatin1(name));
            if (file.open(QIODevice::ReadOnly))
                m_words += QString::fromLatin1(file.readAll()).simplified().split(QLatin1Char(' '));
        }
        if (m_words.size() < 1000) {   // no licence texts: words of random letters
            for (int i = 0; i < 5000; ++i)
                m_words << token(2 + int(m_random.bounded(8)), "abcdefghijklmnopqrstuvwxyz");
        }
    }

    QString subject() { return prose(40).left(50); }

    QString message(int i, const QString &subject)
    {
        QString h = QStringLiteral("Return-Path: <s%1@example.org>\r\n").arg(i);
        h += QStringLiteral("Received: from mx%1.example.org (mx.example.org [192.0.2.%2])\r\n"
                            "\tby mail.example.com (Postfix) with ESMTPS id %3\r\n"
                            "\tfor <user@example.com>; Sat, %4 Dec 2026 %5:%6:%7 +0000 (UTC)\r\n")
                 .arg(number(40))
                 .arg(number(250))
                 .arg(token(10, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"))
                 .arg(number(28))
                 .arg(number(23), 2, QLatin1Char('0'))
                 .arg(number(59), 2, QLatin1Char('0'))
                 .arg(number(59), 2, QLatin1Char('0'));
        h += QStringLiteral("DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.org; s=sel1;\r\n"
                            "\th=from:to:subject:date:message-id; bh=%1;\r\n\tb=%2\r\n\t %3\r\n")
                 .arg(base64(32), base64(60).left(70), base64(80).left(100));
        h += QStringLiteral("Message-ID: <%1@example.org>\r\nFrom: Sender %2 <s%2@example.org>\r\n"
                            "To: User <user@example.com>\r\nSubject: %3\r\nDate: Sat, 6 Dec 2026 20:15:00 +0000\r\n"
                            "MIME-Version: 1.0\r\n")
                 .arg(token(16, "abcdefghijklmnopqrstuvwxyz0123456789"))
                 .arg(i)
                 .arg(subject);
        const quint32 kind = m_random.bounded(100);
        QString body;
        if (kind < 60) {
            h += QStringLiteral("Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n");
            body = prose(kMessageSize);
        } else if (kind < 85) {
            h += QStringLiteral("Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n");
            body = QStringLiteral("<html><body><p style=3D\"font-family: Arial\">") + prose(600) + QStringLiteral("</p><p>")
                 + prose(900) + QStringLiteral("</p></body></html>");
        } else {
            const QString boundary = token(12, "abcdefghijklmnopqrstuvwxyz0123456789");
            h += QStringLiteral("Content-Type: multipart/mixed; boundary=\"%1\"\r\n\r\n--%1\r\nContent-Type: text/plain\r\n\r\n")
                     .arg(boundary);
            body = prose(500) + QStringLiteral("\r\n--%1\r\nContent-Type: application/pdf\r\n"
                                               "Content-Transfer-Encoding: base64\r\n\r\n").arg(boundary);
            const QString data = base64(1500);
            for (qsizetype k = 0; k < data.size(); k += 76)
                body += data.mid(k, 76) + QStringLiteral("\r\n");
        }
        QString text = (h + body).left(kMessageSize);
        return text + QString(kMessageSize - text.size(), QLatin1Char(' '));
    }

private:
    int number(int bound) { return 1 + int(m_random.bounded(bound)); }

    QString token(int length, const char *alphabet)
    {
        const int size = int(std::strlen(alphabet));
        QString text(length, Qt::Uninitialized);
        for (int i = 0; i < length; ++i)
            text[i] = QLatin1Char(alphabet[m_random.bounded(size)]);
        return text;
    }

    QString base64(int bytes)
    {
        QByteArray data(bytes, Qt::Uninitialized);
        for (char &c : data)
            c = char(m_random.bounded(256));
        return QString::fromLatin1(data.toBase64());
    }

    /// Running text from a random place, lines of 72, now and then jumping elsewhere.
    QString prose(int length)
    {
        QString text;
        qsizetype at = m_random.bounded(qint64(m_words.size()));
        while (text.size() < length) {
            text += m_words.at(at) + QLatin1Char(' ');
            at = m_random.bounded(50) == 0 ? m_random.bounded(qint64(m_words.size())) : (at + 1) % m_words.size();
        }
        QString lines;
        for (qsizetype k = 0; k < text.size(); k += 72)
            lines += text.mid(k, 72) + QStringLiteral("\r\n");
        return lines;
    }

    QRandomGenerator m_random{20261207};
    QStringList m_words;
};

Record makeRecord(MailMaker &maker, int i)
{
    Record msg;
    const QString subject = maker.subject();
    msg.Add(QStringLiteral("Server"), QStringLiteral("pop.example.com"));
    msg.Add(QStringLiteral("User"), QStringLiteral("user%1").arg(i % 4));
    msg.Add(QStringLiteral("POP3Id"), QStringLiteral("uidl-%1").arg(i));
    msg.Add(QStringLiteral("From"), QStringLiteral("Sender %1 <s%1@example.org>").arg(i));
    msg.Add(QStringLiteral("To"), QStringLiteral("User <user@example.com>"));
    msg.Add(QStringLiteral("Date"), QStringLiteral("Sat, 6 Dec 2026 20:15:00 +0000"));
    msg.Add(QStringLiteral("Subject"), subject);
    msg.Add(QStringLiteral("Content"), maker.message(i, subject));
    return msg;
}

/// Characters of the header texts stored beside the message (one octet each).
qint64 headerChars(const Record &msg)
{
    qint64 n = 0;
    for (const char *name : {"Server", "User", "POP3Id", "From", "To", "Date", "Subject"})
        n += msg.text(QString::fromLatin1(name)).size();
    return n;
}

/// The database's size on disk after folding the WAL into it.
qint64 databaseBytes(Database &db)
{
    QSqlQuery query(db.connection());
    query.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    query.finish();
    return QFileInfo(db.path()).size() + QFileInfo(db.path() + QStringLiteral("-wal")).size();
}

struct RunFigures
{
    double seconds = 0;
    double cpuSeconds = 0;
    long peakKiB = 0;
    int status = -1;
};

/// Runs `program` with stdout to /dev/null; wall time and the child's peak memory.
RunFigures runChild(const QString &program, const QStringList &arguments)
{
    QList<QByteArray> args{QFile::encodeName(program)};
    for (const QString &a : arguments)
        args << a.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    RunFigures figures;
    figures.seconds = double(timer.nsecsElapsed()) / 1e9;
    figures.peakKiB = usage.ru_maxrss;
    figures.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                         + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    figures.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return figures;
}

/// The median of three runs (by time; the memory of the same run).
RunFigures median3(const QString &program, const QStringList &arguments)
{
    QList<RunFigures> runs;
    for (int i = 0; i < 3; ++i)
        runs << runChild(program, arguments);
    std::sort(runs.begin(), runs.end(), [](const RunFigures &a, const RunFigures &b) { return a.seconds < b.seconds; });
    return runs.at(1);
}

void compareList(const QString &cli, const QString &home, const QString &dbPath, bool json)
{
    const QStringList cliArgs = json ? QStringList{QStringLiteral("--home"), home, QStringLiteral("--json"),
                                                   QStringLiteral("messages"), QStringLiteral("list")}
                                     : QStringList{QStringLiteral("--home"), home, QStringLiteral("messages"),
                                                   QStringLiteral("list")};
    // The same rows and columns in the same order as the command prints them.
    const QString sql = json ? QStringLiteral("SELECT pkMsg, Server, User, POP3Id, MsgFrom, MsgTo, Date, Subject FROM Msg "
                                              "WHERE IsDeleted = 0 ORDER BY CreationDate, rowid")
                             : QStringLiteral("SELECT pkMsg, Date, MsgFrom, Subject FROM Msg WHERE IsDeleted = 0 "
                                              "ORDER BY CreationDate, rowid");
    const RunFigures shell = median3(QStringLiteral("sqlite3"), {QStringLiteral("-readonly"), dbPath, sql});
    const RunFigures mine = median3(cli, cliArgs);
    const char *name = json ? "messages list --json" : "messages list";
    std::printf("%-22s %8.3f s (cpu %.3f s) %8ld KiB (exit %d) | sqlite3 shell %8.3f s (cpu %.3f s) %8ld KiB (exit %d)\n",
                name, mine.seconds, mine.cpuSeconds, mine.peakKiB, mine.status, shell.seconds, shell.cpuSeconds,
                shell.peakKiB, shell.status);
    const double timeRatio = mine.seconds / shell.seconds;
    // On a shared machine the wall clock also counts waiting for a core; the CPU time does not.
    std::printf("%-22s cpu time %.2fx the sqlite3 shell's\n", name, mine.cpuSeconds / qMax(shell.cpuSeconds, 1e-3));
    const double memoryRatio = double(mine.peakKiB) / double(shell.peakKiB);
    target(QStringLiteral("%1 time %2x the sqlite3 shell's").arg(QString::fromLatin1(name)).arg(timeRatio, 0, 'f', 2),
           QStringLiteral("at most 2x"), mine.status == 0 && timeRatio <= 2.0);
    target(QStringLiteral("%1 peak memory %2x the sqlite3 shell's (%3 MiB)")
               .arg(QString::fromLatin1(name))
               .arg(memoryRatio, 0, 'f', 2)
               .arg(double(mine.peakKiB) / 1024, 0, 'f', 1),
           QStringLiteral("at most 4x"), mine.status == 0 && memoryRatio <= 4.0);
}

/// A database of the older form: every text a UTF-16 text value, as versions before the
/// packed message texts wrote it. Returns the raw octets stored.
qint64 fillOlderForm(Database &db, MailMaker &maker, int count)
{
    qint64 raw = 0;
    const QString source = QStringLiteral("bench");
    for (int start = 0; start < count; start += 1000) {
        SqlTransaction transaction(db, source);
        for (int i = start; i < qMin(count, start + 1000); ++i) {
            const Record msg = makeRecord(maker, i);
            raw += msg.text(QStringLiteral("Content")).size();
            db.run(QStringLiteral("INSERT INTO Msg (pkMsg, Server, User, POP3Id, MsgFrom, MsgTo, Date, Subject, Content) "
                                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                   {QStringLiteral("{%1}").arg(i, 36, 10, QLatin1Char('0')), msg.text(QStringLiteral("Server")),
                    msg.text(QStringLiteral("User")), msg.text(QStringLiteral("POP3Id")), msg.text(QStringLiteral("From")),
                    msg.text(QStringLiteral("To")), msg.text(QStringLiteral("Date")), msg.text(QStringLiteral("Subject")),
                    msg.text(QStringLiteral("Content"))},
                   source)
                .finish();
        }
        transaction.commit();
    }
    return raw;
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString cli = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("murmelo-cli"));
    if (const qsizetype at = args.indexOf(QStringLiteral("--cli")); at >= 0 && at + 1 < args.size()) {
        cli = args.at(at + 1);
        args.remove(at, 2);
    }
    const int count = args.isEmpty() ? 100000 : args.first().toInt();
    const QString templ = Paths::FindShared(Database::templateName());
    QTemporaryDir home;
    try {
        MailMaker maker;
        {
            Database db(home.path(), templ);
            AccountManager accounts;
            accounts.Init(&db);
            MsgManager msgs;
            msgs.Init(&db, nullptr);

            Record account;
            account.Add(QStringLiteral("Server"), QStringLiteral("pop.example.com"));
            account.Add(QStringLiteral("Port"), 995);
            account.Add(QStringLiteral("User"), QStringLiteral("user0"));
            account.Add(QStringLiteral("Pwd"), QStringLiteral("secret"));
            account.Add(QStringLiteral("CheckInterval"), 10);
            account.Add(QStringLiteral("Disabled"), false);
            account.Add(QStringLiteral("Email"), QStringLiteral("user0@example.com"));
            accounts.add(account);

            qint64 raw = 0;
            qint64 headers = 0;
            QElapsedTimer timer;
            timer.start();
            g_cpuStart = cpuNanoseconds();
            for (int i = 0; i < count; ++i) {
                Record msg = makeRecord(maker, i);
                raw += msg.text(QStringLiteral("Content")).size();
                headers += headerChars(msg);
                if (!msgs.add(msg)) {
                    std::fprintf(stderr, "add %d failed\n", i);
                    return 1;
                }
            }
            report("add (one transaction each)", count, timer.nsecsElapsed());

            const qint64 size = databaseBytes(db);
            std::printf("database %lld bytes; message texts %lld octets, header fields %lld characters\n",
                        static_cast<long long>(size), static_cast<long long>(raw), static_cast<long long>(headers));
            target(QStringLiteral("database size %1x the raw message texts (%2x texts and header fields)")
                       .arg(double(size) / double(raw), 0, 'f', 3)
                       .arg(double(size) / double(raw + headers), 0, 'f', 3),
                   QStringLiteral("at most 1.0x"), size <= raw);

            if (QFileInfo(cli).isExecutable()) {
                compareList(cli, home.path(), db.path(), false);
                compareList(cli, home.path(), db.path(), true);
                // What the program takes before it lists anything: its libraries and engine.
                QTemporaryDir empty;
                const RunFigures none = median3(cli, {QStringLiteral("--home"), empty.path(), QStringLiteral("messages"),
                                                      QStringLiteral("list")});
                std::printf("messages list of no messages %8.3f s %8ld KiB (exit %d)\n", none.seconds, none.peakKiB,
                            none.status);
            } else {
                std::printf("no murmelo-cli at %s: messages list not measured\n", qPrintable(cli));
            }

            timer.restart();
            g_cpuStart = cpuNanoseconds();
            const DataBag list = msgs.GetMsgs();
            report("GetMsgs (rows read)", list.Count(), timer.nsecsElapsed());

            QStringList ids;
            for (qsizetype i = 1; i <= list.Count() && ids.size() < count / 4; ++i)
                ids << list.Key(i);
            timer.restart();
            g_cpuStart = cpuNanoseconds();
            msgs.Remove(ids);
            report("Remove (ids soft-deleted)", ids.size(), timer.nsecsElapsed());

            timer.restart();
            g_cpuStart = cpuNanoseconds();
            const std::optional<DataBag> received = msgs.GetMsgIds(account.Id());
            if (!received) {
                std::fprintf(stderr, "GetMsgIds failed\n");
                return 1;
            }
            report("GetMsgIds (ids of one account)", received->Count(), timer.nsecsElapsed());
        }

        // The one-time conversion of a database written by an older version.
        QTemporaryDir older;
        qint64 raw = 0;
        qint64 before = 0;
        {
            // Older versions made their files with pages of 4 KiB.
            QFile::copy(templ, QDir(older.path()).filePath(Database::fileName()));
            QFile::setPermissions(QDir(older.path()).filePath(Database::fileName()), QFile::ReadOwner | QFile::WriteOwner);
            {
                QSqlDatabase plain = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-older"));
                plain.setDatabaseName(QDir(older.path()).filePath(Database::fileName()));
                plain.open();
                QSqlQuery query(plain);
                query.exec(QStringLiteral("PRAGMA page_size=4096"));
                query.exec(QStringLiteral("VACUUM"));
                query.finish();
                plain.close();
            }
            QSqlDatabase::removeDatabase(QStringLiteral("bench-older"));
            Database db(older.path(), templ);
            raw = fillOlderForm(db, maker, count);
            before = databaseBytes(db);
        }
        Database db(older.path(), templ);
        MsgManager msgs;
        QElapsedTimer timer;
        timer.start();
        g_cpuStart = cpuNanoseconds();
        qint64 compactStart = 0;
        qint64 compactEnd = 0;
        MsgManager::SetConversionProgress([&](const QString &phase, qint64 done, qint64) {
            if (phase == QLatin1String("compact"))
                (done == 0 ? compactStart : compactEnd) = timer.nsecsElapsed();
        });
        msgs.Init(&db, nullptr);
        MsgManager::SetConversionProgress({});
        report("convert older database (rows)", count, timer.nsecsElapsed());
        std::printf("of which compacting (one VACUUM)    %9.1f ms wall\n", double(compactEnd - compactStart) / 1e6);
        const qint64 after = databaseBytes(db);
        std::printf("older database %lld bytes (%.3fx the raw texts), converted %lld bytes (%.3fx)\n",
                    static_cast<long long>(before), double(before) / double(raw), static_cast<long long>(after),
                    double(after) / double(raw));
        target(QStringLiteral("converted database size %1x the raw message texts (was %2x)")
                   .arg(double(after) / double(raw), 0, 'f', 3)
                   .arg(double(before) / double(raw), 0, 'f', 3),
               QStringLiteral("at most 1.0x"), after <= raw);
    } catch (const MUError &error) {
        std::fprintf(stderr, "error %d: %s\n", error.number(), qPrintable(error.description()));
        return 1;
    }
    struct rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory (ru_maxrss)            %ld KiB\n", usage.ru_maxrss);
    std::printf("\nsummary (figure, target, met or not):\n");
    for (const QString &line : std::as_const(g_summary))
        std::printf("  %s\n", qPrintable(line));
    return 0;
}
