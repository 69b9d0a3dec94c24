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
#include <QFile>
#include <QFileInfo>
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
        if (!WriteCharacter(Paths::UserCharactersDir() + QStringLiteral("/Tester.acs"), QStringLiteral("Tester")))
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

bool OptionsFixture::WriteFile(const QString &file, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(content) == content.size();
}

bool OptionsFixture::WriteCharacter(const QString &file, const QString &name, int height)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    const QByteArray json = QStringLiteral(R"({
 "format": 1, "name": "%1", "width": 100, "height": %2, "extraData": "Hi~~Hello there^^x",
 "animations": {
  "RestPose": { "frames": [ { "image": "a.svg", "duration": 1000 } ] },
  "Show": { "frames": [ { "image": "m.svg", "duration": 30 } ], "return": "RestPose" },
  "Hide": { "frames": [ { "image": "a.svg", "duration": 30 } ] },
  "Wave": { "frames": [ { "image": "m.svg", "duration": 40 }, { "image": "a.svg", "duration": 40 } ] },
  "Greet": { "frames": [ { "image": "m.svg", "duration": 40 } ] },
  "GetAttention": { "frames": [ { "image": "m.svg", "duration": 40 } ] },
  "Idle1": { "frames": [ { "image": "a.svg", "duration": 40 } ] }
 },
 "speaking": { "base": "a.svg", "mouth": { "x": 40, "y": 70, "width": 20, "height": 10 },
               "shapes": { "closed": "m.svg", "open": "m.svg" } }
})")
                                 .arg(name)
                                 .arg(height)
                                 .toUtf8();
    const QByteArray svg = QStringLiteral("<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
                                          "width=\"100\" height=\"%1\" viewBox=\"0 0 100 %1\"><circle cx=\"50\" "
                                          "cy=\"60\" r=\"40\" fill=\"#3366cc\"/></svg>\n")
                               .arg(height)
                               .toUtf8();
    const QList<QPair<QString, QByteArray>> entries = {{"character.json", json}, {"a.svg", svg}, {"m.svg", svg}};
    return PackageBuilder::WriteZip(file, entries);
}
