#include "SpeechFixture.h"
#include "agent/PackageBuilder.h"

#include <QDir>

SpeechFixture::SpeechFixture()
{
    m_ready = TestHome::isValid() && settings() && QDir().mkpath(path(QStringLiteral("chars")))
              && !PackageBuilder::Character(path(QStringLiteral("chars"))).isEmpty();
}
