#pragma once
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

/// Builds character packages and sound files for tests: small valid ones, and zips of chosen entries for
/// the loader's error paths.
namespace PackageBuilder {
/// Writes a zip of (name, bytes) entries in order; false when it cannot be written.
bool WriteZip(const QString &file, const QList<QPair<QString, QByteArray>> &entries);
/// A small valid SVG frame.
QByteArray Svg(const QString &colour = QStringLiteral("#3366cc"));
/// A character.json with RestPose, Show, Hide and speaking, all on "a.svg" and "m.svg".
QByteArray MinimalJson();
/// A 16-bit WAV file of `pcm` (interleaved samples); false when it cannot be written.
bool WriteWav(const QString &file, const QByteArray &pcm, int rate = 22050, int channels = 1);
/// `ms` milliseconds of a 440 Hz tone, 16-bit, on every channel.
QByteArray Tone(int ms, int rate = 22050, int channels = 1);
/// `folder`/`name`.acs with RestPose, Show, Hide, Wave, Idle1, Blink and mouth shapes; each
/// animation frame lasts 50 ms, Show and Hide have four frames. Its path, or "".
QString Character(const QString &folder, const QString &name = QStringLiteral("Tester"));
}
