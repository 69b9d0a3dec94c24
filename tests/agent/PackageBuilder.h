#pragma once
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

/// Writes zip files for package tests: entries are (name, bytes) in order.
namespace PackageBuilder {
/// False when the zip cannot be written.
bool WriteZip(const QString &file, const QList<QPair<QString, QByteArray>> &entries);
/// A small valid SVG frame.
QByteArray Svg(const QString &colour = QStringLiteral("#3366cc"));
/// A character.json with RestPose, Show, Hide and speaking, all on "a.svg" and "m.svg".
QByteArray MinimalJson();
}
