#include "PasswordStore.h"
#include "trellis/MUError.h"
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QEventLoop>
#include <QStringDecoder>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <qt6keychain/keychain.h>

const QString PasswordStore::Service = QStringLiteral("murmelo");
const QString PasswordStore::NoKeyringText =
    QStringLiteral("No keyring is available: the password is kept in Murmelo's database.");

namespace {
const QString Cls = QStringLiteral("PasswordStore");
int g_timeoutMs = 120000;   // long enough for a person to answer the keyring's unlock prompt
constexpr int ProbeTimeoutMs = 10000;

struct Probe
{
    bool done = false;
    bool available = false;
    bool logged = false;
    QString why;
};

Probe &probe()
{
    static Probe p;
    return p;
}

struct Answer
{
    bool answered = false;
    QKeychain::Error error = QKeychain::NoError;
    QString errorString;
    QString text;
};

/// Starts `job` (owned by the caller until it answers) and waits for its answer in a nested
/// event loop. When the keyring does not answer in time the job is left to delete itself
/// once it does, since the keyring still holds a callback to it.
Answer await(std::unique_ptr<QKeychain::Job> job, int timeoutMs = g_timeoutMs)
{
    Answer answer;
    job->setAutoDelete(false);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(job.get(), &QKeychain::Job::finished, &loop, [&answer, &loop] {
        answer.answered = true;
        loop.quit();
    });
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    job->start();
    timer.start(timeoutMs);
    if (!answer.answered)
        loop.exec();
    if (!answer.answered) {
        // The application deletes it at the latest, when no callback can come any more.
        QKeychain::Job *pending = job.release();
        pending->setAutoDelete(true);
        pending->setParent(QCoreApplication::instance());
        return answer;
    }
    answer.error = job->error();
    answer.errorString = job->errorString();
    if (auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(job.get()); read && answer.error == QKeychain::NoError)
        // textData() drops a leading U+FEFF, which is a character of the password here.
        answer.text = QStringDecoder(QStringDecoder::Utf8, QStringConverter::Flag::ConvertInitialBom)(read->binaryData());
    return answer;
}

Answer readEntry(const QString &key, int timeoutMs = g_timeoutMs)
{
    auto job = std::make_unique<QKeychain::ReadPasswordJob>(PasswordStore::Service);
    job->setKey(key);
    return await(std::move(job), timeoutMs);
}

/// The failure of one keyring call as the error the account's user reads.
MUError failure(const Answer &answer, const QString &doing, const QString &accountId, const QString &member)
{
    const QString source = Cls + QLatin1Char('.') + member;
    if (!answer.answered)
        return MUError(MUError::Fail,
                       QStringLiteral("The keyring did not answer within %1 seconds while %2 the password of account %3.")
                           .arg(g_timeoutMs / 1000)
                           .arg(doing, accountId),
                       source);
    if (answer.error == QKeychain::AccessDeniedByUser || answer.error == QKeychain::AccessDenied)
        return MUError(MUError::Fail,
                       QStringLiteral("The keyring refused access while %1 the password of account %2 (%3). Unlock "
                                      "the keyring and try again.")
                           .arg(doing, accountId, answer.errorString),
                       source);
    return MUError(MUError::Fail,
                   QStringLiteral("The keyring failed while %1 the password of account %2: %3")
                       .arg(doing, accountId, answer.errorString),
                   source);
}

/// A refused unlock prompt: libsecret reports the dismissed prompt as a plain failure.
bool refused(const Answer &answer)
{
    return answer.error == QKeychain::AccessDeniedByUser || answer.error == QKeychain::AccessDenied ||
           answer.errorString.contains(QLatin1String("dismissed"), Qt::CaseInsensitive);
}

const QString SecretsName = QStringLiteral("org.freedesktop.secrets");
constexpr int SecretCallTimeoutMs = 5000;

/// The Secret Service items QtKeychain keeps for an account key (its attributes "server" and
/// "user"). Empty without a Secret Service (KWallet).
struct SecretItems
{
    QList<QDBusObjectPath> unlocked;
    QList<QDBusObjectPath> locked;
    QString why;
};

SecretItems findSecretItems(const QString &key)
{
    SecretItems items;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(SecretsName).value())
        return items;
    qDBusRegisterMetaType<QMap<QString, QString>>();
    QDBusMessage search = QDBusMessage::createMethodCall(SecretsName, QStringLiteral("/org/freedesktop/secrets"),
                                                         QStringLiteral("org.freedesktop.Secret.Service"),
                                                         QStringLiteral("SearchItems"));
    search << QVariant::fromValue(
        QMap<QString, QString>{{QStringLiteral("server"), PasswordStore::Service}, {QStringLiteral("user"), key}});
    const QDBusMessage found = bus.call(search, QDBus::Block, SecretCallTimeoutMs);
    if (found.type() != QDBusMessage::ReplyMessage || found.arguments().size() < 2) {
        items.why = found.errorMessage();
        return items;
    }
    items.unlocked = qdbus_cast<QList<QDBusObjectPath>>(found.arguments().at(0));
    items.locked = qdbus_cast<QList<QDBusObjectPath>>(found.arguments().at(1));
    return items;
}

/// libsecret answers "not found" when the entry exists but its keyring stayed locked (the
/// unlock prompt refused or impossible): that is a refusal, not a missing password.
void checkNotLocked(Answer &answer, const QString &key)
{
    if (answer.answered && answer.error == QKeychain::EntryNotFound && !findSecretItems(key).locked.isEmpty()) {
        answer.error = QKeychain::AccessDeniedByUser;
        answer.errorString = QStringLiteral("the keyring is locked and was not unlocked");
    }
}

QString findKeyringService(QString *why)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *why = QStringLiteral("no D-Bus session bus: ") + bus.lastError().message();
        return {};
    }
    QDBusConnectionInterface *bus_ = bus.interface();
    const QStringList running = bus_->registeredServiceNames().value();
    const QStringList activatable = bus_->activatableServiceNames().value();
    for (const char *name : {"org.freedesktop.secrets", "org.kde.kwalletd6", "org.kde.kwalletd5", "org.kde.kwalletd"}) {
        const QString service = QString::fromLatin1(name);
        if (running.contains(service) || activatable.contains(service))
            return service;
    }
    *why = QStringLiteral("no Secret Service and no KWallet on the D-Bus session bus");
    return {};
}
}

PasswordStore::PasswordStore(Log *log) : m_log(log) {}

int PasswordStore::timeoutMs()
{
    return g_timeoutMs;
}

void PasswordStore::setTimeoutMs(int ms)
{
    g_timeoutMs = ms;
}

bool PasswordStore::KeyringAvailable(Log *log, QString *why)
{
    Probe &p = probe();
    if (!p.done) {
        p.done = true;
        if (!findKeyringService(&p.why).isEmpty()) {
            // The service may be registered and still not work (no default collection,
            // a backend QtKeychain cannot reach): an entry that does not exist must be
            // answered as such.
            // No prompt can come of it, so a keyring that hangs does not hold up the start for long.
            const Answer answer = readEntry(QStringLiteral("murmelo-probe"), std::min(g_timeoutMs, ProbeTimeoutMs));
            p.available = answer.answered &&
                          (answer.error == QKeychain::NoError || answer.error == QKeychain::EntryNotFound);
            if (!p.available)
                p.why = answer.answered ? answer.errorString : QStringLiteral("the keyring did not answer");
        }
    }
    if (!p.available && log && !p.logged) {
        p.logged = true;
        log->Write(0, NoKeyringText + QStringLiteral(" (") + p.why + QLatin1Char(')'), Log::LevelError,
                   Cls + QStringLiteral(".KeyringAvailable"));
    }
    if (why)
        *why = p.why;
    return p.available;
}

QString PasswordStore::Label(const Record &account)
{
    return QStringLiteral("Murmelo: %1 on %2").arg(account.text(QStringLiteral("User")), account.text(QStringLiteral("Server")));
}

QString PasswordStore::Read(const QString &accountId)
{
    // After a refused unlock the keyring is asked again only once it is unlocked (by the
    // person, elsewhere) or a password was stored: one prompt, not one per account and check.
    if (!m_refusal.isEmpty() && findSecretItems(accountId).unlocked.isEmpty())
        throw MUError(MUError::Fail,
                      QStringLiteral("The keyring was not asked for the password of account %1: it refused before (%2). "
                                     "Unlock the keyring and try again.")
                          .arg(accountId, m_refusal),
                      Cls + QStringLiteral(".Read"));
    Answer answer = readEntry(accountId);
    checkNotLocked(answer, accountId);
    if (answer.answered && answer.error == QKeychain::EntryNotFound) {
        m_refusal.clear();
        return {};
    }
    if (!answer.answered || answer.error != QKeychain::NoError) {
        if (refused(answer)) {
            m_refusal = answer.errorString;
            answer.error = QKeychain::AccessDeniedByUser;
        }
        throw failure(answer, QStringLiteral("reading"), accountId, QStringLiteral("Read"));
    }
    m_refusal.clear();
    return answer.text;
}

void PasswordStore::Write(const Record &account, const QString &password)
{
    const QString id = account.Id();
    auto job = std::make_unique<QKeychain::WritePasswordJob>(Service);
    job->setKey(id);
    job->setTextData(password);
    Answer answer = await(std::move(job));
    if (!answer.answered || answer.error != QKeychain::NoError) {
        if (refused(answer)) {
            m_refusal = answer.errorString;
            answer.error = QKeychain::AccessDeniedByUser;
        }
        throw failure(answer, QStringLiteral("storing"), id, QStringLiteral("Write"));
    }
    // Only a password the keyring gives back may replace the database's copy.
    const Answer back = readEntry(id);
    if (!back.answered || back.error != QKeychain::NoError)
        throw failure(back, QStringLiteral("reading back"), id, QStringLiteral("Write"));
    if (back.text != password)
        throw MUError(MUError::Fail,
                      QStringLiteral("The keyring gave back another password than it was given for account %1.").arg(id),
                      Cls + QStringLiteral(".Write"));
    m_refusal.clear();
    relabel(account);
}

void PasswordStore::Remove(const QString &accountId)
{
    auto job = std::make_unique<QKeychain::DeletePasswordJob>(Service);
    job->setKey(accountId);
    Answer answer = await(std::move(job));
    if (answer.answered && (answer.error == QKeychain::NoError || answer.error == QKeychain::EntryNotFound)) {
        // libsecret reports success when a locked keyring kept the entry.
        if (findSecretItems(accountId).locked.isEmpty())
            return;
        answer.error = QKeychain::AccessDeniedByUser;
        answer.errorString = QStringLiteral("the keyring is locked and was not unlocked");
    }
    if (refused(answer))
        answer.error = QKeychain::AccessDeniedByUser;
    throw failure(answer, QStringLiteral("removing"), accountId, QStringLiteral("Remove"));
}

void PasswordStore::relabel(const Record &account)
{
    // QtKeychain labels every Secret Service entry "murmelo"; a person browsing the keyring
    // should see whose password it is. KWallet names entries by key and has no label.
    const SecretItems items = findSecretItems(account.Id());
    QString why = items.why;
    for (const QDBusObjectPath &item : items.unlocked) {
        QDBusMessage set = QDBusMessage::createMethodCall(SecretsName, item.path(),
                                                          QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Set"));
        set << QStringLiteral("org.freedesktop.Secret.Item") << QStringLiteral("Label")
            << QVariant::fromValue(QDBusVariant(Label(account)));
        const QDBusMessage done = QDBusConnection::sessionBus().call(set, QDBus::Block, SecretCallTimeoutMs);
        if (done.type() != QDBusMessage::ReplyMessage)
            why = done.errorMessage();
    }
    if (!why.isEmpty() && m_log)
        m_log->Write(0, QStringLiteral("The keyring entry of account %1 keeps its label: %2").arg(account.Id(), why),
                     Log::LevelTrace, Cls + QStringLiteral(".Write"));
}
