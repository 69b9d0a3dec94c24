// The message store's memory of IMAP folders (table Uid).
#include "Database.h"
#include "MsgManager.h"
#include "SqlTransaction.h"
#include "trellis/Log.h"
#include "trellis/MUError.h"
#include <QSqlQuery>

namespace {
/// The same table as in schema.sql.
const QString kCreateUid = QStringLiteral("CREATE TABLE Uid (Server TEXT NOT NULL COLLATE NOCASE, "
                                          "User TEXT NOT NULL COLLATE NOCASE, Folder TEXT NOT NULL, "
                                          "UidValidity INTEGER NOT NULL, HighestUid INTEGER NOT NULL, "
                                          "PRIMARY KEY (Server, User, Folder))");
}

void MsgManager::ensureImapTable()
{
    const QString source = QStringLiteral("MsgManager.Init");
    SqlTransaction transaction(*m_db, source);
    m_db->run(kCreateUid, {}, source).finish();
    transaction.commit();
}

QVariantMap MsgManager::GetImapState(const QString &accountId) const
{
    const QString source = QStringLiteral("MsgManager.GetImapState");
    trace(QStringLiteral("GetImapState call"), source);
    try {
        QVariantMap state;
        QSqlQuery query = m_db->run(QStringLiteral("SELECT Uid.UidValidity, Uid.HighestUid FROM Uid INNER JOIN Account "
                                                   "ON Account.User = Uid.User AND Account.Server = Uid.Server "
                                                   "AND Account.Folder = Uid.Folder WHERE Account.pkAccount = ?"),
                                    {Database::bindText(accountId)}, source);
        if (query.next()) {
            state.insert(QStringLiteral("UidValidity"), query.value(0).toLongLong());
            state.insert(QStringLiteral("HighestUid"), query.value(1).toLongLong());
        }
        query.finish();
        return state;
    } catch (const MUError &error) {
        logError(error, source);
        return {};
    }
}

bool MsgManager::SetImapState(const QString &server, const QString &user, const QString &folder, qint64 uidValidity,
                              qint64 highestUid)
{
    const QString source = QStringLiteral("MsgManager.SetImapState");
    trace(QStringLiteral("SetImapState call"), source);
    try {
        SqlTransaction transaction(*m_db, source);
        m_db->run(QStringLiteral("INSERT OR REPLACE INTO Uid (Server, User, Folder, UidValidity, HighestUid) "
                                 "VALUES (?, ?, ?, ?, ?)"),
                  {Database::bindText(server.left(50)), Database::bindText(user.left(100)), Database::bindText(folder),
                   uidValidity, highestUid},
                  source)
            .finish();
        transaction.commit();
        return true;
    } catch (const MUError &error) {
        logError(error, source);
        return false;
    }
}
