#pragma once
#include <QJsonObject>
#include <QString>

/// Service addresses: the shipped services.json, with any key overridden by a
/// services.json in the home folder. Read on each call (cheap, rare).
namespace ServiceConfig {
QJsonObject Load();
/// A top-level text value ("statisticsEndpoint", "feedbackEndpoint", "yahooDomain", "homePage").
QString Text(const QString &key);
/// A top-level number ("checkTimeLimitSeconds"); `fallback` when it is missing, not a
/// number or not positive.
double Number(const QString &key, double fallback);
}
