#include "RecordJson.h"

QJsonObject RecordToJson(const Record &record, const QStringList &properties)
{
    QJsonObject o;
    o.insert(QStringLiteral("Id"), record.Id());
    for (const QString &name : properties) {
        if (name == QLatin1String("Pwd") || !record.Exists(name))
            continue;
        const QVariant v = record.Item(name);
        if (name == QLatin1String("Port") || name == QLatin1String("CheckInterval"))
            o.insert(name, v.toLongLong());
        else if (name == QLatin1String("Disabled"))
            o.insert(name, v.toBool() || v.toString() == QLatin1String("1"));
        else
            o.insert(name, v.toString());
    }
    return o;
}
