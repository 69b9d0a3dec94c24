#include "CSettings.h"
#include "Database.h"
#include "SqlTransaction.h"
#include "trellis/Log.h"
#include "trellis/MUError.h"
#include <QDataStream>
#include <QDateTime>
#include <QIODevice>
#include <QSqlQuery>

namespace {
/// Serialised objects start with "?" and U+0000 as UTF-16LE bytes and are stored as a
/// BLOB; a text is always stored as TEXT, so no text can be mistaken for an object.
const QByteArray kObjectMarker("\x3f\x00\x00\x00", 4);
constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_4;

QString scalarText(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return QStringLiteral("");
    switch (value.typeId()) {
    case QMetaType::QDateTime:
        return value.toDateTime().toString(Qt::ISODateWithMs);
    case QMetaType::QTime:
        return value.toTime().toString(Qt::ISODateWithMs);
    default: {
        const QString text = value.toString();
        return text.isNull() ? QStringLiteral("") : text;
    }
    }
}
}

void CSettings::Init(Database *db, Log *log)
{
    m_db = db;
    m_log = log;
}

bool CSettings::IsScalar(const QVariant &value)
{
    if (!value.isValid())
        return true;
    switch (value.typeId()) {
    case QMetaType::QString:
    case QMetaType::QChar:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::QDate:
    case QMetaType::QTime:
    case QMetaType::QDateTime:
        return true;
    default:
        return value.metaType().flags().testFlag(QMetaType::IsEnumeration);
    }
}

void CSettings::SaveSetting(const QString &id, const QVariant &value)
{
    const QString source = QStringLiteral("CSettings.SaveSetting");
    if (m_log)
        m_log->Trace(QStringLiteral("SaveSetting(%1) call").arg(id), source);
    try {
        if (id == RunCounterKey()) {
            saveRunCounter(value);
            return;
        }
        QVariant stored;
        if (IsScalar(value)) {
            stored = Database::bindText(scalarText(value));
        } else {
            QByteArray bytes = kObjectMarker;
            QDataStream stream(&bytes, QIODevice::WriteOnly | QIODevice::Append);
            stream.setVersion(kStreamVersion);
            if (value.metaType().hasRegisteredDataStreamOperators())
                stream << value;
            if (!value.metaType().hasRegisteredDataStreamOperators() || stream.status() != QDataStream::Ok)
                throw MUError(MUError::Fail,
                              QStringLiteral("A value of type %1 cannot be serialised.").arg(QString::fromLatin1(value.typeName())),
                              source);
            stored = bytes;
        }
        SqlTransaction transaction(*m_db, source);
        m_db->run(QStringLiteral("INSERT INTO \"Option\" (Id, Value) VALUES (?, ?) "
                                 "ON CONFLICT (Id) DO UPDATE SET Value = excluded.Value"),
                  {id, stored}, source);
        transaction.commit();
    } catch (const MUError &error) {
        throw MUError::engine(528, source, {id}, error.description());
    }
}

QVariant CSettings::GetSetting(const QString &id, const QVariant &defaultValue) const
{
    const QString source = QStringLiteral("CSettings.GetSetting");
    if (m_log)
        m_log->Trace(QStringLiteral("GetSetting(%1) call").arg(id), source);
    if (id == RunCounterKey())
        return runCounter();

    QSqlQuery query = m_db->run(QStringLiteral("SELECT Value FROM \"Option\" WHERE Id = ?"), {id}, source);
    if (!query.next())
        return defaultValue;
    const QVariant value = query.value(0);
    query.finish();
    if (value.typeId() != QMetaType::QByteArray)
        return Database::readText(value);
    const QByteArray bytes = value.toByteArray();
    if (Database::isStoredText(bytes))
        return Database::readText(value);
    if (!bytes.startsWith(kObjectMarker))
        return bytes;
    QDataStream stream(bytes.sliced(kObjectMarker.size()));
    stream.setVersion(kStreamVersion);
    QVariant object;
    stream >> object;
    if (stream.status() != QDataStream::Ok || !stream.atEnd())
        throw MUError(MUError::Fail, QStringLiteral("The stored value of setting '%1' is damaged.").arg(id), source);
    return object;
}

QVariant CSettings::runCounter() const
{
    // Failures are ignored: the read yields what was obtained, 0 when nothing was.
    try {
        const QString source = QStringLiteral("CSettings.GetSetting");
        QSqlQuery query = m_db->run(QStringLiteral("SELECT Value FROM Property WHERE Name = 'RC'"), {}, source);
        if (query.next()) {
            const QString text = Database::readText(query.value(0));
            query.finish();
            return text;
        }
        query.finish();
        m_db->run(QStringLiteral("INSERT INTO Property (Name, Value) VALUES ('RC', '1')"), {}, source);
    } catch (const MUError &error) {
        if (m_log)
            m_log->Write(error.number(), error.description(), Log::LevelTrace, QStringLiteral("CSettings.GetSetting"));
    }
    return QStringLiteral("0");
}

void CSettings::saveRunCounter(const QVariant &value)
{
    m_db->run(QStringLiteral("INSERT INTO Property (Name, Value) VALUES ('RC', ?) "
                             "ON CONFLICT (Name) DO UPDATE SET Value = excluded.Value"),
              {scalarText(value)}, QStringLiteral("CSettings.SaveSetting"));
}
