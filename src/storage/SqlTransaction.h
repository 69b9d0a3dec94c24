#pragma once
#include <QString>

class Database;

/// One write transaction (BEGIN IMMEDIATE) on a connection; rolled back when the guard
/// ends without a successful commit(), so a failure leaves no half-written row.
/// Same thread as the connection.
class SqlTransaction
{
public:
    /// Begins the transaction; throws MUError (source `source`) when it cannot.
    SqlTransaction(const Database &db, const QString &source);
    ~SqlTransaction();
    SqlTransaction(const SqlTransaction &) = delete;
    SqlTransaction &operator=(const SqlTransaction &) = delete;

    /// Commits; on failure rolls back and throws MUError.
    void commit();

private:
    void rollback();

    const Database &m_db;
    QString m_source;
    bool m_open = false;
};
