#include "AccountManager.h"
#include "Database.h"
#include "PasswordStore.h"
#include "SqlTransaction.h"
#include "trellis/MUError.h"
#include "trellis/Utility.h"
#include <QSqlQuery>
#include <QSet>

namespace {
const QString kColumns = QStringLiteral("pkAccount, Server, Port, User, Pwd, CheckInterval, Disabled, Email, Security, CertPin, Protocol, Folder, OnlineAccount, OAuth2Provider");
/// What a read gives besides the columns a record writes: the engine's mark, never written from a record.
const QString kReadColumns = kColumns + QStringLiteral(", SignInNeeded");

/// A non-null text, so that NOT NULL columns never receive SQL NULL for an empty value.
QString nonNull(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

QVariant required(const Record &account, const QString &name, const QString &source)
{
    if (!account.Exists(name))
        throw MUError(MUError::Fail, QStringLiteral("The account record has no property '%1'.").arg(name), source);
    return account.Item(name);
}

int number(const Record &account, const QString &name, const QString &source)
{
    const QVariant value = required(account, name, source);
    bool ok = false;
    const int result = value.toString().trimmed().toInt(&ok);
    if (value.typeId() == QMetaType::Bool || !ok)
        throw MUError(MUError::Fail,
                      QStringLiteral("The account property '%1' must be a whole number, not '%2'.").arg(name, value.toString()),
                      source);
    return result;
}

Record recordFromRow(const QSqlQuery &query)
{
    Record account;
    account.setId(query.value(0).toString());
    account.Add(QStringLiteral("Server"), Database::readText(query.value(1)));
    account.Add(QStringLiteral("Port"), query.value(2).toInt());
    account.Add(QStringLiteral("User"), Database::readText(query.value(3)));
    account.Add(QStringLiteral("Pwd"), nonNull(AccountManager::StoredPassword(Database::readText(query.value(4)))));
    account.Add(QStringLiteral("CheckInterval"), query.value(5).toInt());
    account.Add(QStringLiteral("Disabled"), query.value(6).toInt() != 0);
    account.Add(QStringLiteral("Email"), Database::readText(query.value(7)));
    account.Add(QStringLiteral("Security"), Database::readText(query.value(8)));
    account.Add(QStringLiteral("CertPin"), Database::readText(query.value(9)));
    account.Add(QStringLiteral("Protocol"), Database::readText(query.value(10)));
    account.Add(QStringLiteral("Folder"), Database::readText(query.value(11)));
    if (const QString online = Database::readText(query.value(12)); !online.isEmpty())
        account.Add(QStringLiteral("OnlineAccount"), online);
    if (const QString provider = Database::readText(query.value(13)); !provider.isEmpty())
        account.Add(QStringLiteral("OAuth2Provider"), provider);
    if (query.value(14).toInt() != 0)
        account.Add(QStringLiteral("SignInNeeded"), true);
    return account;
}
}

AccountManager::AccountManager() = default;
AccountManager::~AccountManager() = default;
AccountManager::AccountManager(AccountManager &&) noexcept = default;
AccountManager &AccountManager::operator=(AccountManager &&) noexcept = default;

void AccountManager::Init(Database *db)
{
    const QString source = QStringLiteral("AccountManager.Init");
    m_db = db;
    QSet<QString> columns;
    QSqlQuery info = m_db->run(QStringLiteral("PRAGMA table_info(Account)"), {}, source);
    while (info.next())
        columns.insert(info.value(1).toString().toLower());
    info.finish();

    // Columns that later versions added; rows stored before them read back the defaults.
    const QList<QPair<QString, QString>> added = {
        {QStringLiteral("email"), QStringLiteral("ALTER TABLE Account ADD COLUMN Email TEXT")},
        {QStringLiteral("security"), QStringLiteral("ALTER TABLE Account ADD COLUMN Security TEXT NOT NULL DEFAULT 'None'")},
        {QStringLiteral("certpin"), QStringLiteral("ALTER TABLE Account ADD COLUMN CertPin TEXT NOT NULL DEFAULT ''")},
        {QStringLiteral("protocol"), QStringLiteral("ALTER TABLE Account ADD COLUMN Protocol TEXT NOT NULL DEFAULT 'POP3'")},
        {QStringLiteral("folder"), QStringLiteral("ALTER TABLE Account ADD COLUMN Folder TEXT NOT NULL DEFAULT 'INBOX'")},
        {QStringLiteral("onlineaccount"), QStringLiteral("ALTER TABLE Account ADD COLUMN OnlineAccount TEXT NOT NULL DEFAULT ''")},
        {QStringLiteral("oauth2provider"), QStringLiteral("ALTER TABLE Account ADD COLUMN OAuth2Provider TEXT NOT NULL DEFAULT ''")},
        {QStringLiteral("signinneeded"), QStringLiteral("ALTER TABLE Account ADD COLUMN SignInNeeded INTEGER NOT NULL DEFAULT 0")},
    };
    bool missing = false;
    for (const auto &column : added)
        missing = missing || !columns.contains(column.first);
    if (!missing)
        return;
    SqlTransaction transaction(*m_db, source);
    for (const auto &column : added) {
        if (!columns.contains(column.first))
            m_db->run(column.second, {}, source);
    }
    transaction.commit();
}

QVariantList AccountManager::columnValues(const Record &account, const QString &source) const
{
    const QString server = nonNull(required(account, QStringLiteral("Server"), source).toString());
    const int port = number(account, QStringLiteral("Port"), source);
    const QString user = nonNull(required(account, QStringLiteral("User"), source).toString());
    const QString plain = required(account, QStringLiteral("Pwd"), source).toString();
    // Keyring: the column stays empty. A refresh token never goes to the table at all.
    const bool tableKeepsNothing = m_passwords || !account.text(QStringLiteral("OAuth2Provider")).trimmed().isEmpty();
    const QString pwd = tableKeepsNothing ? QStringLiteral("") : nonNull(StoredPassword(plain));
    const int interval = number(account, QStringLiteral("CheckInterval"), source);
    const QVariant disabledValue = required(account, QStringLiteral("Disabled"), source);
    bool numeric = false;
    const double disabledNumber = disabledValue.toString().toDouble(&numeric);
    const bool disabled = numeric ? disabledNumber != 0 : disabledValue.toBool();
    const QString email = nonNull(required(account, QStringLiteral("Email"), source).toString());
    const QString security = account.Exists(QStringLiteral("Security"))
        ? nonNull(account.text(QStringLiteral("Security")))
        : ((port == 995 || port == 993) ? QStringLiteral("TLS") : QStringLiteral("STARTTLS"));
    const QString certPin = nonNull(account.text(QStringLiteral("CertPin")));
    const QString protocol = ProtocolText(account.text(QStringLiteral("Protocol")));
    const QString folder = account.text(QStringLiteral("Folder")).trimmed().isEmpty()
        ? QStringLiteral("INBOX") : account.text(QStringLiteral("Folder"));
    return {Database::bindText(server), port, Database::bindText(user), Database::bindText(pwd), interval,
            disabled ? 1 : 0, Database::bindText(email), Database::bindText(security), Database::bindText(certPin),
            Database::bindText(protocol), Database::bindText(folder),
            Database::bindText(nonNull(account.text(QStringLiteral("OnlineAccount")).trimmed())),
            Database::bindText(nonNull(account.text(QStringLiteral("OAuth2Provider")).trimmed()))};
}

void AccountManager::add(Record &account)
{
    const QString source = QStringLiteral("AccountManager.add");
    account.setId(Utility::NewGuidString());
    QVariantList values = columnValues(account, source);
    values.prepend(account.Id());
    // The keyring entry first: a crash in between leaves an entry no account uses, never an
    // account without its password.
    if (m_passwords && !account.text(QStringLiteral("Pwd")).isEmpty())
        m_passwords->Write(account, account.text(QStringLiteral("Pwd")));
    try {
        SqlTransaction transaction(*m_db, source);
        m_db->run(QStringLiteral("INSERT INTO Account (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)").arg(kColumns), values,
                  source)
            .finish();
        transaction.commit();
    } catch (const MUError &) {
        if (m_passwords) {
            try {
                m_passwords->Remove(account.Id());
            } catch (const MUError &) {
                // The row's error is the one the caller needs; the entry is merely unused.
            }
        }
        throw;
    }
}

Record AccountManager::GetAccount(const QString &accountId) const
{
    const QString source = QStringLiteral("AccountManager.GetAccount");
    QSqlQuery query = m_db->run(QStringLiteral("SELECT %1 FROM Account WHERE pkAccount = ?").arg(kReadColumns),
                                {accountId}, source);
    if (!query.next())
        throw MUError(MUError::engineNumber(513), QStringLiteral("Account %1 not found.").arg(accountId), source);
    Record account = recordFromRow(query);
    query.finish();
    resolvePassword(account);
    return account;
}

void AccountManager::Remove(const QString &accountId)
{
    // A keyring that refuses keeps the account too: no password is left behind unseen.
    if (m_passwords)
        m_passwords->Remove(accountId);
    m_db->run(QStringLiteral("DELETE FROM Account WHERE pkAccount = ?"), {accountId},
              QStringLiteral("AccountManager.Remove"));
}

DataBag AccountManager::AccountList() const
{
    DataBag accounts;
    QSqlQuery query = m_db->run(QStringLiteral("SELECT %1 FROM Account ORDER BY Server, User, rowid").arg(kReadColumns), {},
                                QStringLiteral("AccountManager.AccountList"));
    QList<Record> rows;
    while (query.next())
        rows.append(recordFromRow(query));
    query.finish();
    for (Record &account : rows) {
        resolvePassword(account);
        accounts.Add(QVariant::fromValue(account), account.Id());
    }
    return accounts;
}

void AccountManager::Update(const Record &account)
{
    const QString source = QStringLiteral("AccountManager.Update");
    QVariantList values = columnValues(account, source);
    // A record that does not speak of how it signs in (the account dialog's) leaves that as it is.
    const QStringList links = {QStringLiteral("OnlineAccount"), QStringLiteral("OAuth2Provider")};
    for (qsizetype i = 0; i < links.size(); ++i) {
        if (account.Exists(links.at(i)))
            continue;
        QSqlQuery stored = m_db->run(QStringLiteral("SELECT %1 FROM Account WHERE pkAccount = ?").arg(links.at(i)),
                                     {account.Id()}, source);
        if (stored.next())
            values[values.size() - links.size() + i] = stored.value(0);
        stored.finish();
    }
    values.append(account.Id());
    if (m_passwords) {
        QSqlQuery exists = m_db->run(QStringLiteral("SELECT 1 FROM Account WHERE pkAccount = ?"), {account.Id()}, source);
        if (!exists.next())
            throw MUError(MUError::Fail, QStringLiteral("No current record: account %1 does not exist.").arg(account.Id()),
                          source);
        exists.finish();
        // A password the keyring would not give is unknown, not empty: its entry stays.
        const QString password = account.text(QStringLiteral("Pwd"));
        if (!password.isEmpty())
            m_passwords->Write(account, password);
        else if (account.text(QStringLiteral("PwdError")).isEmpty())
            m_passwords->Remove(account.Id());
    }
    SqlTransaction transaction(*m_db, source);
    QSqlQuery query = m_db->run(QStringLiteral("UPDATE Account SET Server = ?, Port = ?, User = ?, Pwd = ?, CheckInterval = ?, "
                                               "Disabled = ?, Email = ?, Security = ?, CertPin = ?, Protocol = ?, Folder = ?, "
                                               "OnlineAccount = ?, OAuth2Provider = ?, SignInNeeded = 0 WHERE pkAccount = ?"),
                                values, source);
    if (query.numRowsAffected() < 1)
        throw MUError(MUError::Fail, QStringLiteral("No current record: account %1 does not exist.").arg(account.Id()), source);
    query.finish();
    transaction.commit();
}

bool AccountManager::SetSignInNeeded(const QString &accountId, bool needed)
{
    const QString source = QStringLiteral("AccountManager.SetSignInNeeded");
    // Changed only when it differs: of two processes that see the same refusal, one sets it.
    QSqlQuery query = m_db->run(QStringLiteral("UPDATE Account SET SignInNeeded = ? WHERE pkAccount = ? AND SignInNeeded <> ?"),
                                {needed ? 1 : 0, accountId, needed ? 1 : 0}, source);
    const bool changed = query.numRowsAffected() > 0;
    query.finish();
    return changed;
}

QString AccountManager::ProtocolText(const QString &protocol)
{
    return protocol.trimmed().compare(QLatin1String("IMAP"), Qt::CaseInsensitive) == 0 ? QStringLiteral("IMAP")
                                                                                        : QStringLiteral("POP3");
}

QString AccountManager::StoredPassword(const QString &password)
{
    QString result;
    result.reserve(password.size());
    for (qsizetype i = password.size() - 1; i >= 0; --i) {
        const char16_t unit = password.at(i).unicode();
        result.append(QChar(unit <= 255 ? char16_t(255 - unit) : unit));
    }
    return result;
}

bool AccountManager::UseKeyring(Log *log)
{
    if (!PasswordStore::KeyringAvailable(log))
        return false;
    if (!m_passwords)
        m_passwords = std::make_unique<PasswordStore>(log);
    movePasswordsToKeyring(log);
    return true;
}

void AccountManager::movePasswordsToKeyring(Log *log)
{
    const QString source = QStringLiteral("AccountManager.UseKeyring");
    struct Row
    {
        Record account;
        QVariant stored;
    };
    QList<Row> rows;
    QSqlQuery query = m_db->run(QStringLiteral("SELECT pkAccount, Server, User, Pwd FROM Account"), {}, source);
    while (query.next()) {
        if (Database::readText(query.value(3)).isEmpty())
            continue;
        Record account;
        account.setId(query.value(0).toString());
        account.Add(QStringLiteral("Server"), Database::readText(query.value(1)));
        account.Add(QStringLiteral("User"), Database::readText(query.value(2)));
        rows.append({account, query.value(3)});
    }
    query.finish();
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const Row &row = rows.at(i);
        try {
            m_passwords->Write(row.account, StoredPassword(Database::readText(row.stored)));
            // Cleared only while it is still the copy just moved: an edit in between wins.
            SqlTransaction transaction(*m_db, source);
            m_db->run(QStringLiteral("UPDATE Account SET Pwd = '' WHERE pkAccount = ? AND Pwd = ?"),
                      {row.account.Id(), row.stored}, source)
                .finish();
            transaction.commit();
            if (log)
                log->Trace(QStringLiteral("The password of account %1 moved into the keyring").arg(row.account.Id()),
                           source);
        } catch (const MUError &e) {
            // The others would meet the same refusal, each with a prompt: they wait for the next start.
            if (log)
                log->Write(e.number(),
                           QStringLiteral("The passwords of %1 accounts stay in the database for now: %2")
                               .arg(rows.size() - i)
                               .arg(e.description()),
                           Log::LevelError, source);
            break;
        }
    }
}

void AccountManager::resolvePassword(Record &account) const
{
    if (!m_passwords)
        return;   // the record of a store without a keyring is the plain one
    if (!account.text(QStringLiteral("OnlineAccount")).isEmpty()) {
        account.Add(QStringLiteral("PasswordStore"), QStringLiteral("online account"));
        return;   // its sign-in is asked of the desktop at each login, never kept
    }
    const bool keyring = account.text(QStringLiteral("Pwd")).isEmpty();
    account.Add(QStringLiteral("PasswordStore"), keyring ? QStringLiteral("keyring") : QStringLiteral("database"));
    if (!keyring)
        return;
    try {
        account.Add(QStringLiteral("Pwd"), m_passwords->Read(account.Id()));
    } catch (const MUError &e) {
        account.Add(QStringLiteral("PwdError"), e.description());
    }
}
