#include "SqlTransaction.h"
#include "Database.h"
#include "trellis/MUError.h"

SqlTransaction::SqlTransaction(const Database &db, const QString &source)
    : m_db(db), m_source(source)
{
    // IMMEDIATE takes the write lock now, so the busy timeout applies here and not at commit.
    m_db.run(QStringLiteral("BEGIN IMMEDIATE"), {}, m_source).finish();
    m_open = true;
}

SqlTransaction::~SqlTransaction()
{
    if (m_open)
        rollback();
}

void SqlTransaction::commit()
{
    try {
        m_db.run(QStringLiteral("COMMIT"), {}, m_source).finish();
    } catch (const MUError &error) {
        rollback();
        throw MUError(error.number(), QStringLiteral("Cannot commit: ") + error.description(), m_source);
    }
    m_open = false;
}

void SqlTransaction::rollback()
{
    m_open = false;
    try {
        m_db.run(QStringLiteral("ROLLBACK"), {}, m_source).finish();
    } catch (const MUError &) {
        // SQLite already rolled back (disk full, I/O error): nothing is left to undo.
    }
}
