#pragma once
#include "trellis/Record.h"
#include <QJsonObject>
#include <QStringList>

/// A record as a JSON object: "Id" then the named properties, in the order given.
/// Never include "Pwd".
QJsonObject RecordToJson(const Record &record, const QStringList &properties);
