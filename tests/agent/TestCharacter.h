#pragma once
#include <QString>
#include <QStringList>

/// Builds small but valid character packages (zip with character.json and SVG frames)
/// for tests, and broken ones for the loader's error paths.
namespace TestCharacter {
/// A package with RestPose, Show, Hide, Wave, Idle1, Blink and mouth shapes; each
/// animation frame lasts `frameMs`, Show and Hide have `showHideFrames` frames.
QString build(const QString &folder, const QString &name = QStringLiteral("Tester"), int frameMs = 50,
              int showHideFrames = 4);
/// A zip holding the given entries (name -> content), for broken packages.
QString buildZip(const QString &path, const QList<QPair<QString, QByteArray>> &entries);
}
