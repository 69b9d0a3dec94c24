#pragma once
#include <QString>

/// Turns espeak-ng phoneme mnemonics of an English word ("w'av", separated by "|"
/// or not) into CMU dictionary phones ("W AE V") for the recogniser. Pure.
namespace CmuPronouncer {
QString fromEspeak(const QString &espeakPhonemes);
}
