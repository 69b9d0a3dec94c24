#pragma once
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

/// Builds character packages for tests: small valid ones, and zips of chosen entries for
/// the loader's error paths.
namespace PackageBuilder {
/// Writes a zip of (name, bytes) entries in order; false when it cannot be written.
bool WriteZip(const QString &file, const QList<QPair<QString, QByteArray>> &entries);
/// A small valid SVG frame.
QByteArray Svg(const QString &colour = QStringLiteral("#3366cc"));
/// A character.json with RestPose, Show, Hide and speaking, all on "a.svg" and "m.svg".
QByteArray MinimalJson();
/// `folder`/`name`.acs with RestPose, Show, Hide, Wave, Idle1, Blink and mouth shapes; each
/// animation frame lasts `frameMs`, Show and Hide have `showHideFrames` frames. Its path, or "".
QString Character(const QString &folder, const QString &name = QStringLiteral("Tester"), int frameMs = 50,
                  int showHideFrames = 4);
}
