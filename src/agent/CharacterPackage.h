#pragma once
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QStringList>

/// A character package "<Name>.acs": a zip file holding character.json and SVG
/// frames. Loaded once, then shared read-only by the engine and the window.
///
/// character.json:
/// {
///   "format": 1,
///   "name": "Merlin",
///   "width": 200, "height": 240,                 // original size of every frame (SVG viewBox)
///   "extraData": "Hi~~Hello^^more data",          // greeting alternatives before "^^"
///   "voice": { "espeak": "en-us+m3", "pitch": 50, "speed": 160 },   // optional defaults
///   "animations": {
///     "RestPose": { "frames": [ { "image": "rest.svg", "duration": 1000 } ] },
///     "Wave":     { "frames": [ { "image": "wave1.svg", "duration": 120 }, ... ],
///                   "loop": false, "return": "RestPose" },
///     ...
///   },
///   "speaking": { "base": "speak.svg",              // body drawn while talking
///                 "mouth": { "x": 88, "y": 120, "width": 24, "height": 16 },   // in frame units
///                 "shapes": { "closed": "mouth-closed.svg", "small": "mouth-small.svg",
///                             "open": "mouth-open.svg", "wide": "mouth-wide.svg",
///                             "round": "mouth-round.svg" } }
/// }
/// Every "image" names an SVG file in the zip (folders allowed). Durations are in ms.
struct CharacterFrame
{
    QString image;      ///< path inside the package
    int durationMs = 100;
};

struct CharacterAnimation
{
    QString name;
    QList<CharacterFrame> frames;
    bool loop = false;
    QString returnTo;   ///< animation shown after this one ends (empty: stay on the last frame)
};

struct CharacterPackage
{
    QString file;       ///< path of the .acs file it was read from
    QString name;
    QSize originalSize;
    QString extraData;
    QString voiceName;  ///< espeak-ng voice name, may be empty
    int voicePitch = -1;
    int voiceSpeed = -1;
    QMap<QString, CharacterAnimation> animations;   ///< by name, exact case
    QString speakingBase;
    QRectF mouthRect;   ///< where mouth shapes are drawn, in frame units
    QHash<QString, QString> mouthShapes;            ///< shape name -> image path
    QHash<QString, QByteArray> images;              ///< image path -> SVG bytes

    QStringList animationNames() const { return animations.keys(); }
};

namespace CharacterPackageLoader {
/// Reads and validates a package. On failure returns false and sets `error` to a
/// clear reason that names the file and what is wrong ("not found", "not a zip
/// archive", "character.json missing", "frame 'x.svg' is not SVG" ...).
bool Load(const QString &file, CharacterPackage &out, QString &error);
/// An image path as the package holds it: relative, "./" prefixes dropped. False for an
/// empty or absolute path or one with "..".
bool NormalisePath(QString &path);
}
