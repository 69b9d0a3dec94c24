#pragma once
// The kit's throw-away home with what the speech tests add: the character "Tester" in the
// user's characters folder, and WAV files of a chosen length.
#include "TestHome.h"
#include "storage/CSettings.h"

class SpeechFixture : public TestHome
{
public:
    SpeechFixture();

    bool isValid() const { return m_ready; }
    QString home() const { return path(); }
    QString shortLog() const { return shortLogText(); }

    /// A package of `name`: 100 x 120, greeting "Hi~~Hello^^x", animations RestPose, Show
    /// (on "m.svg"), Hide, Wave.
    static bool WriteCharacter(const QString &file, const QString &name = QStringLiteral("Tester"));
    /// A 22050 Hz mono 16-bit WAV file of `ms` milliseconds of a quiet tone.
    static bool WriteWav(const QString &file, int ms);

private:
    bool m_ready = false;
};
