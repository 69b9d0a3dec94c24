// murmelo-mktemplate SCHEMA OUTPUT: builds the empty database template from schema.sql.
// Runs at build time; writes a temporary file and renames it, so a failed run leaves no template.
#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTextStream>
#include <cstdio>

namespace {
int fail(const QString &text)
{
    std::fprintf(stderr, "murmelo-mktemplate: %s\n", qPrintable(text));
    return 1;
}

/// Splits the schema into statements: each ends with ";" at the end of a line; "--" lines are comments.
QStringList statements(const QString &schema)
{
    QStringList result;
    QString current;
    const QStringList lines = schema.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1String("--")))
            continue;
        current += line + QLatin1Char('\n');
        if (trimmed.endsWith(QLatin1Char(';'))) {
            result << current.trimmed();
            current.clear();
        }
    }
    if (!current.trimmed().isEmpty())
        result << current.trimmed();
    return result;
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3)
        return fail(QStringLiteral("usage: murmelo-mktemplate SCHEMA.sql OUTPUT.tdb"));

    QFile schemaFile(args.at(1));
    if (!schemaFile.open(QIODevice::ReadOnly | QIODevice::Text))
        return fail(QStringLiteral("cannot read %1: %2").arg(args.at(1), schemaFile.errorString()));
    const QStringList sql = statements(QString::fromUtf8(schemaFile.readAll()));

    const QString output = args.at(2);
    const QString temporary = output + QStringLiteral(".part");
    QFile::remove(temporary);

    int status = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("mktemplate"));
        db.setDatabaseName(temporary);
        if (!db.open()) {
            status = fail(QStringLiteral("cannot create %1: %2").arg(temporary, db.lastError().text()));
        } else {
            QSqlQuery query(db);
            for (const QString &statement : sql) {
                if (!query.exec(statement)) {
                    status = fail(QStringLiteral("%1\n  in: %2").arg(query.lastError().text(), statement));
                    break;
                }
            }
            query.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("mktemplate"));

    if (status != 0) {
        QFile::remove(temporary);
        return status;
    }
    QFile::remove(output);
    if (!QFile::rename(temporary, output))
        return fail(QStringLiteral("cannot rename %1 to %2").arg(temporary, output));
    return 0;
}
