#pragma once
#include <QString>

/// Mouth shapes for espeak-ng phonemes: "closed", "small", "open", "wide", "round".
namespace MouthShapes {
QString forPhoneme(const QString &espeakPhoneme);
}
