#include "ServiceConfig.h"
#include "Paths.h"
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

const QString kFileName = QStringLiteral("services.json");

/// Parses `path` as a JSON object; a missing file gives an empty object silently,
/// an unreadable or malformed one gives an empty object and a warning naming it.
QJsonObject readObject(const QString &path, bool warnWhenMissing)
{
    QFile file(path);
    if (!file.exists()) {
        if (warnWhenMissing)
            qWarning("ServiceConfig: %s is missing", qPrintable(path));
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("ServiceConfig: cannot read %s (%s)", qPrintable(path), qPrintable(file.errorString()));
        return {};
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning("ServiceConfig: %s is not valid JSON (%s at offset %d); it is ignored",
                 qPrintable(path), qPrintable(error.errorString()), error.offset);
        return {};
    }
    if (!doc.isObject()) {
        qWarning("ServiceConfig: %s does not hold a JSON object; it is ignored", qPrintable(path));
        return {};
    }
    return doc.object();
}

/// The user's override file: in the home folder when one is set, else in the data folder.
QString overridePath()
{
    QString dir = Paths::Home();
    if (dir.isEmpty())
        dir = Paths::DataDir();
    return QDir(dir).filePath(kFileName);
}

}

namespace ServiceConfig {

QJsonObject Load()
{
    QJsonObject config = readObject(QStringLiteral(":/murmelo/") + kFileName, true);
    // Whole top-level values are replaced, not merged: an override of "providers"
    // is the complete list the user wants.
    const QJsonObject local = readObject(overridePath(), false);
    for (auto it = local.constBegin(); it != local.constEnd(); ++it)
        config.insert(it.key(), it.value());
    return config;
}

QString Text(const QString &key)
{
    return Load().value(key).toString();
}

double Number(const QString &key, double fallback)
{
    const QJsonValue value = Load().value(key);
    if (!value.isDouble() || !(value.toDouble() > 0))
        return fallback;
    return value.toDouble();
}

}
