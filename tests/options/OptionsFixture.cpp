#include "OptionsFixture.h"
#include "agent/PackageBuilder.h"

#include "HeadlessAgentControl.h"
#include "NullAudioSink.h"
#include "engine/MUScripting.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "storage/Database.h"
#include "trellis/Paths.h"

#include <QDir>
#include <QSqlQuery>

OptionsFixture::OptionsFixture(bool loadCharacter)
{
    services.showMessage = [this](QWidget *, const QString &prompt, int style) {
        boxes.append({prompt, style});
        return answer;
    };
    services.chooseFile = [](QWidget *, const QString &, const QString &) { return QString(); };
    services.openHelp = [](const QString &) {};
    if (!m_home.isValid())
        return;
    m_agent = std::make_unique<HeadlessAgentControl>(std::make_unique<NullAudioSink>());
    m_engine = std::make_unique<MUScripting>();
    try {
        m_engine->Init(m_home.log(), m_agent.get());
        const QString chars = Paths::UserCharactersDir();
        if (!QDir().mkpath(chars) || PackageBuilder::Character(chars).isEmpty())
            return;
        settings()->SaveSetting(CTalker::KeyCharacterName, QStringLiteral("Tester"));
        if (loadCharacter)
            talker()->LoadAgent();
        m_ok = true;
    } catch (...) {
    }
}

OptionsFixture::~OptionsFixture()
{
    if (m_engine)
        m_engine->Finalize();
    m_engine.reset();
    m_agent.reset();
}

CSettings *OptionsFixture::settings() const
{
    return m_engine->settings();
}

CTalker *OptionsFixture::talker() const
{
    return m_engine->talker();
}

TimerManager *OptionsFixture::timers() const
{
    return m_engine->timerManager();
}

int OptionsFixture::optionRows() const
{
    QSqlQuery q(m_engine->db()->connection());
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM Option")) || !q.next())
        return -1;
    return q.value(0).toInt();
}
