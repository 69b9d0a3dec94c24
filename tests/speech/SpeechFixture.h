#pragma once
// The kit's throw-away home with the character "Tester" (PackageBuilder's) in the user's
// characters folder.
#include "TestHome.h"
#include "storage/CSettings.h"

class SpeechFixture : public TestHome
{
public:
    SpeechFixture();

    bool isValid() const { return m_ready; }
    QString home() const { return path(); }
    QString shortLog() const { return shortLogText(); }

private:
    bool m_ready = false;
};
