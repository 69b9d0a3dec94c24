#pragma once
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QHash>
#include <QString>
#include <QVariantList>

class MUError;
class QSqlError;

/// The engine database "MU.mdb": SQLite through QtSql, WAL journal, owner-only file.
/// Opening copies the template "MU.tdb" when the file is missing and never overwrites
/// an existing file. Each Database has a connection of its own; use it only on the
/// thread that created it. The stores hold a plain pointer; the Database outlives them.
class Database
{
public:
    static QString fileName() { return QStringLiteral("MU.mdb"); }
    static QString templateName() { return QStringLiteral("MU.tdb"); }

    /// Opens `folder`/MU.mdb (empty folder: Paths::DataDir()), creating it from
    /// `templatePath` (empty: Paths::FindShared("MU.tdb")) when missing.
    /// Throws MUError with a description that names the file and the cause.
    explicit Database(const QString &folder = {}, const QString &templatePath = {});
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    QString path() const { return m_path; }
    QString connectionName() const { return m_connection; }
    QSqlDatabase connection() const;

    /// Prepares `sql` (once per connection; later calls reuse the prepared statement),
    /// binds `values` in order and executes it. Throws MUError (source `source`) on
    /// failure. The query is forward-only; finish() or destroy it before the next run of
    /// the same statement.
    QSqlQuery run(const QString &sql, const QVariantList &values, const QString &source) const;

    /// The value to bind for a text. SQLite takes a leading U+FEFF or U+FFFE of bound UTF-16
    /// for a byte-order mark (dropping it or swapping every byte), so such a text is bound as
    /// its raw UTF-16LE bytes instead; readText() turns those back into the text.
    static QVariant bindText(const QString &text);
    /// A text column's value as read: the exact code units that bindText() was given.
    static QString readText(const QVariant &value);
    /// True when `value` is a text that bindText() stored as bytes.
    static bool isStoredText(const QByteArray &bytes);

    /// The MUError of a failed database call: generic failure number, the driver's
    /// text with SQLite's own code.
    static MUError sqlError(const QSqlError &error, const QString &source, const QString &context = {});

private:
    void createFromTemplate(const QString &templatePath) const;
    void checkIsDatabaseFile() const;
    void openConnection();

    QString m_path;
    QString m_connection;
    mutable QHash<QString, QSqlQuery> m_statements;
};
