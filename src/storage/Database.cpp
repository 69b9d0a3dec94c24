#include "Database.h"
#include "trellis/MUError.h"
#include "trellis/Paths.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {
const QString kSource = QStringLiteral("Database.Open");
/// Below this much free space an I/O error while opening is taken for a full disk.
constexpr qint64 kFullDiskBytes = 1024 * 1024;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

MUError openError(const QString &text)
{
    return MUError(MUError::Fail, text, kSource);
}

constexpr int SqliteIoErr = 10;
constexpr int SqliteFull = 13;

/// SQLite's primary result code of a failure (its extended code carries more in the high bits).
int primaryCode(const QSqlError &error)
{
    return error.nativeErrorCode().toInt() & 0xFF;
}

/// Bytes free for this user on the file system of `folder`; -1 when unknown.
qint64 freeBytes(const QString &folder)
{
    struct statvfs fs;
    if (::statvfs(QFile::encodeName(folder).constData(), &fs) != 0)
        return -1;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

/// Writes all of `data` to `fd`; false with errno set on failure.
bool writeAll(int fd, const QByteArray &data)
{
    const char *p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

/// True when `path` holds an SQLite database with the tables of the engine.
/// Opened read-only under its own connection name; `why` receives the reason otherwise.
bool looksLikeTemplate(const QString &path, QString *why)
{
    const QString name = QStringLiteral("murmelo-template-check-%1").arg(quintptr(why));
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.setDatabaseName(path);
        if (!db.open()) {
            *why = db.lastError().text();
        } else {
            QSqlQuery query(db);
            if (!query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type='table' AND "
                                           "name IN ('Account','Msg','Option','Property')"))
                || !query.next()) {
                *why = query.lastError().text();
            } else if (query.value(0).toInt() != 4) {
                *why = QStringLiteral("it lacks the tables Account, Msg, Option and Property");
            } else {
                ok = true;
            }
            query.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}
}

Database::Database(const QString &folder, const QString &templatePath)
{
    static std::atomic<int> counter{0};
    const QString dir = folder.isEmpty() ? Paths::DataDir() : folder;
    if (!QFileInfo(dir).isDir() && !Paths::EnsureDir(dir))
        throw openError(QStringLiteral("Cannot create the data folder '%1'.").arg(dir));
    m_path = QDir(dir).filePath(fileName());
    m_connection = QStringLiteral("murmelo-db-%1").arg(++counter);

    struct stat st;
    if (::lstat(QFile::encodeName(m_path).constData(), &st) != 0) {
        if (errno != ENOENT)
            throw openError(QStringLiteral("Cannot read the database '%1': %2.").arg(m_path, errnoText(errno)));
        createFromTemplate(templatePath);
    }
    checkIsDatabaseFile();
    try {
        openConnection();
    } catch (...) {
        {
            QSqlDatabase db = QSqlDatabase::database(m_connection, false);
            if (db.isValid())
                db.close();
        }
        QSqlDatabase::removeDatabase(m_connection);
        throw;
    }
}

Database::~Database()
{
    m_statements.clear();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

QSqlDatabase Database::connection() const
{
    return QSqlDatabase::database(m_connection, false);
}

void Database::createFromTemplate(const QString &templatePath) const
{
    const QString source = templatePath.isEmpty() ? Paths::FindShared(templateName()) : templatePath;
    if (source.isEmpty())
        throw openError(QStringLiteral("The database template '%1' was not found beside the engine library "
                                       "or in the shared data folder; cannot create '%2'.")
                            .arg(templateName(), m_path));
    QFile templ(source);
    if (!templ.open(QIODevice::ReadOnly))
        throw openError(QStringLiteral("Cannot read the database template '%1': %2.").arg(source, templ.errorString()));
    const QByteArray bytes = templ.readAll();
    if (templ.error() != QFileDevice::NoError)
        throw openError(QStringLiteral("Cannot read the database template '%1': %2.").arg(source, templ.errorString()));
    templ.close();

    // Copy into an owner-only temporary beside the target, check it, then link it into
    // place: a crash leaves no partial "MU.mdb" and an existing file is never replaced.
    QByteArray temporary = QFile::encodeName(m_path + QStringLiteral(".XXXXXX"));
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        throw openError(QStringLiteral("Cannot create the database '%1': %2.").arg(m_path, errnoText(errno)));
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ::close(fd);
    const QString temporaryPath = QFile::decodeName(temporary);
    if (!written) {
        ::unlink(temporary.constData());
        throw openError(QStringLiteral("Cannot create the database '%1': %2.").arg(m_path, errnoText(writeErrno)));
    }
    QString why;
    if (!looksLikeTemplate(temporaryPath, &why)) {
        ::unlink(temporary.constData());
        throw openError(QStringLiteral("The database template '%1' is not a valid database (%2); cannot create '%3'.")
                            .arg(source, why, m_path));
    }
    const QByteArray target = QFile::encodeName(m_path);
    if (::link(temporary.constData(), target.constData()) != 0 && errno != EEXIST) {
        const int linkErrno = errno;
        ::unlink(temporary.constData());
        throw openError(QStringLiteral("Cannot create the database '%1': %2.").arg(m_path, errnoText(linkErrno)));
    }
    ::unlink(temporary.constData());
    const int dirFd = ::open(QFile::encodeName(QFileInfo(m_path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

void Database::checkIsDatabaseFile() const
{
    // Looked at before SQLite touches the file: SQLite would take an empty file for a new database.
    QFileInfo info(m_path);
    if (!info.isFile())
        throw openError(QStringLiteral("The database '%1' is not a regular file.").arg(m_path));
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        throw openError(QStringLiteral("Cannot read the database '%1': %2.").arg(m_path, file.errorString()));
    const QByteArray header = file.read(16);
    if (header != QByteArray("SQLite format 3\0", 16))
        throw openError(QStringLiteral("The file '%1' is not a Murmelo database (%2); it was left unchanged. "
                                       "Move it away to start with a new database.")
                            .arg(m_path, header.isEmpty() ? QStringLiteral("it is empty")
                                                          : QStringLiteral("it is not an SQLite database")));
    if (::access(QFile::encodeName(m_path).constData(), W_OK) != 0)
        throw openError(QStringLiteral("Cannot write the database '%1': %2.").arg(m_path, errnoText(errno)));
    if (::access(QFile::encodeName(info.absolutePath()).constData(), W_OK) != 0)
        throw openError(QStringLiteral("Cannot write in the folder of the database '%1': %2.")
                            .arg(m_path, errnoText(errno)));
}

void Database::openConnection()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    if (!db.isValid())
        throw openError(QStringLiteral("The SQLite driver of QtSql is not installed (package libqt6sql6-sqlite)."));
    // Another process (the CLI beside the desktop program) may hold the write lock briefly.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    db.setDatabaseName(m_path);
    if (!db.open())
        throw sqlError(db.lastError(), kSource, QStringLiteral("Cannot open the database '%1'").arg(m_path));

    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) || !query.next()) {
        // The first read creates the shared-memory and journal files; on a full disk that fails
        // as an I/O error, which says nothing about the database itself.
        const QSqlError error = query.lastError();
        const qint64 free = freeBytes(QFileInfo(m_path).absolutePath());
        const int code = primaryCode(error);
        if (code == SqliteFull || (code == SqliteIoErr && free >= 0 && free < kFullDiskBytes))
            throw sqlError(error, kSource,
                           QStringLiteral("Cannot open the database '%1': the disk is full (%2 KB free)")
                               .arg(m_path)
                               .arg(qMax<qint64>(free, 0) / 1024));
        throw sqlError(error, kSource,
                       QStringLiteral("The file '%1' is not a readable Murmelo database; it was left unchanged").arg(m_path));
    }
    query.finish();
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next())
        throw sqlError(query.lastError(), kSource, QStringLiteral("Cannot write the database '%1'").arg(m_path));
    if (query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
        throw openError(QStringLiteral("Cannot write the database '%1': the journal cannot be switched to WAL.").arg(m_path));
    query.finish();
    // With WAL, NORMAL loses at most the last commits on power loss, never consistency.
    if (!query.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
        throw sqlError(query.lastError(), kSource, QStringLiteral("Cannot set up the database '%1'").arg(m_path));
}

QSqlQuery Database::run(const QString &sql, const QVariantList &values, const QString &source) const
{
    auto cached = m_statements.find(sql);
    if (cached == m_statements.end()) {
        QSqlQuery query(connection());
        query.setForwardOnly(true);
        if (!query.prepare(sql))
            throw sqlError(query.lastError(), source);
        cached = m_statements.insert(sql, query);
    }
    // The copy shares the prepared statement with the cache: that sharing is the point of the
    // cache, so the copy Qt 6 discourages is wanted here. A caller must finish with one
    // statement's rows before running the same statement again.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QSqlQuery query = *cached;
    QT_WARNING_POP
    query.finish();
    for (qsizetype i = 0; i < values.size(); ++i)
        query.bindValue(int(i), values.at(i));
    if (!query.exec()) {
        const QSqlError error = query.lastError();
        query.finish();
        // A statement that failed to run (a table dropped since) is prepared afresh next time.
        m_statements.erase(cached);
        throw sqlError(error, source);
    }
    return query;
}

QVariant Database::bindText(const QString &text)
{
    if (text.isEmpty() || (text.at(0).unicode() != 0xFEFF && text.at(0).unicode() != 0xFFFE))
        return text.isNull() ? QStringLiteral("") : text;
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

bool Database::isStoredText(const QByteArray &bytes)
{
    return bytes.size() >= 2 && bytes.size() % 2 == 0
        && ((uchar(bytes.at(0)) == 0xFF && uchar(bytes.at(1)) == 0xFE)
            || (uchar(bytes.at(0)) == 0xFE && uchar(bytes.at(1)) == 0xFF));
}

QString Database::readText(const QVariant &value)
{
    if (value.typeId() == QMetaType::QByteArray) {
        const QByteArray bytes = value.toByteArray();
        if (isStoredText(bytes)) {
            QString text(bytes.size() / 2, Qt::Uninitialized);
            for (qsizetype i = 0; i < text.size(); ++i)
                text[i] = QChar(char16_t(uchar(bytes.at(2 * i)) | (uchar(bytes.at(2 * i + 1)) << 8)));
            return text;
        }
    }
    const QString text = value.toString();
    return text.isNull() ? QStringLiteral("") : text;
}

MUError Database::sqlError(const QSqlError &error, const QString &source, const QString &context)
{
    QString text = error.text().trimmed();
    if (primaryCode(error) == SqliteFull)
        text = QStringLiteral("The disk is full (") + text + QLatin1Char(')');
    if (!error.nativeErrorCode().isEmpty())
        text += QStringLiteral(" (SQLite code %1)").arg(error.nativeErrorCode());
    if (!context.isEmpty())
        text = context + QStringLiteral(": ") + text;
    if (!text.endsWith(QLatin1Char('.')))
        text += QLatin1Char('.');
    return MUError(MUError::Fail, text, source);
}
