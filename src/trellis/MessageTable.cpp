#include "MessageTable.h"
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace {

/// Reads the table compiled into the library. A missing or broken table is a build fault:
/// it is reported once and every text is then empty, never a crash.
QHash<int, QString> loadTable()
{
    QHash<int, QString> table;
    QFile file(QStringLiteral(":/murmelo/messages.json"));
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("MessageTable: the message table resource is missing (%s)",
                 qPrintable(file.errorString()));
        return table;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        qWarning("MessageTable: the message table is not a JSON object (%s at %d)",
                 qPrintable(error.errorString()), error.offset);
        return table;
    }
    const QJsonObject object = doc.object();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        bool ok = false;
        const int id = it.key().toInt(&ok);
        if (ok && it.value().isString())
            table.insert(id, it.value().toString());
        else
            qWarning("MessageTable: entry '%s' ignored (not an id with a text)", qPrintable(it.key()));
    }
    return table;
}

}

namespace MessageTable {

QString Text(int id)
{
    // Loaded once on first use; C++ guarantees thread-safe initialisation, and the
    // table is read-only afterwards, so any thread may call this.
    static const QHash<int, QString> table = loadTable();
    return table.value(id);
}

}
