#pragma once
#include "SpeechText.h"
#include <QString>
#include <functional>

/// Translates a Speak text with inline tags into SSML for espeak-ng. Pure and
/// reentrant. Tags (case-insensitive, "\Name=value\"):
///   \Ctx=Email\  \Ctx=Unknown\   read addresses and links sensibly / stop doing so
///   \Pau=n\      pause of n ms            \Mrk=n\   bookmark n (an SSML mark)
///   \chr="Normal"|"Monotone"|"Whisper"\    \Spd=n\  words per minute
///   \Pit=n\      baseline pitch, 0..100 with 50 the voice's own
///   \Vol=n\      0..65535                 \Emp\     stress the next word
///   \Map="spoken"="balloon"\              \Rst\     back to the defaults
/// "\\" is a backslash; an unknown or malformed tag is dropped; "|" separates
/// alternatives of which one is spoken (tags before the first word apply to all).
/// Everything else is text: XML-escaped, and "<" / ">" are read out.
class SpeechTags
{
public:
    struct Defaults
    {
        QString voice = QStringLiteral("en-us");   ///< espeak-ng voice name ("en-us+m3")
        int speedWpm = 175;
        int pitch = 50;            ///< in \Pit units
        int volume = 65535;        ///< in \Vol units
    };
    /// Returns a number in [0, n); the default uses QRandomGenerator.
    using Random = std::function<int(int n)>;

    static SpeechText translate(const QString &text, const Defaults &defaults, const Random &random = {});

    /// \Pau=n\ becomes a mark named this plus n between closed elements: the synthesiser
    /// speaks the two sides separately with n ms of silence between them, on top of any
    /// pause of its own (an SSML break would merge with a sentence's pause).
    static constexpr const char *PauseMarkPrefix = "pause:";

    /// The synthesiser's base settings the SSML is relative to (set before each text).
    static constexpr int BaseRateWpm = 175;
    static constexpr int BasePitch = 50;
    static constexpr int BaseRange = 50;
    static constexpr int BaseVolume = 100;

    /// \Pit value -> espeak-ng pitch (0..100): 50 stays 50 and the ends are softened,
    /// so that the whole range of the options page sounds like a person.
    static int espeakPitch(int pit);
    /// \Spd value -> words per minute that espeak-ng accepts.
    static int clampRate(int wpm);
    /// The espeak-ng voice for a character of voice ("Whisper" -> "<language>+whisper").
    static QString voiceFor(const QString &baseVoice, const QString &characterOfVoice);
};
