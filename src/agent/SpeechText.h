#pragma once
#include <QList>
#include <QString>

/// A Speak text translated for the synthesiser: SSML plus what the balloon shows.
/// A plain value; safe to copy between threads.
struct SpeechText
{
    QString ssml;        ///< "<speak>...</speak>"; every character of the caller's text escaped
    QString balloon;     ///< the text as the balloon shows it (tags removed, \Map balloon parts)
    /// For each character of `ssml`: how much of `balloon` is shown once it is spoken.
    QList<int> balloonAt;

    /// Balloon text shown once the word at `ssmlPos` (0-based) of `length` characters is
    /// spoken: up to the end of that word in the balloon.
    QString balloonUpTo(int ssmlPos, int length) const;
    /// The spoken text of ssml[pos, pos+length) with entities decoded (for word events).
    QString spokenAt(int ssmlPos, int length) const;
};
