#include "AgentCharacters.h"
#include "AgentCharacter.h"
#include "AgentControl.h"
#include "CharacterPackage.h"
#include "trellis/MUError.h"

AgentCharacters::AgentCharacters(AgentControl *control) : QObject(control), m_control(control) {}

AgentCharacters::~AgentCharacters()
{
    for (auto &[id, c] : m_characters)
        delete c;
}

void AgentCharacters::Load(const QString &id, const QString &file)
{
    const QString source = QStringLiteral("AgentCharacters.Load");
    if (id.isEmpty())
        throw MUError(MUError::Fail, QStringLiteral("A character needs an id."), source);
    if (m_characters.count(id))
        throw MUError(MUError::Fail, QStringLiteral("A character is already loaded as '%1'.").arg(id), source);
    auto package = std::make_shared<CharacterPackage>();
    QString error;
    if (!CharacterPackageLoader::Load(file, *package, error))
        throw MUError(MUError::Fail, QStringLiteral("Cannot load the character: %1").arg(error), source);
    m_characters[id] = new AgentCharacter(id, std::move(package), m_control);
    Q_EMIT loaded(id);
}

AgentCharacter *AgentCharacters::find(const QString &id) const
{
    auto it = m_characters.find(id);
    return it == m_characters.end() ? nullptr : it->second;
}

AgentCharacter *AgentCharacters::Item(const QString &id) const
{
    if (AgentCharacter *c = find(id))
        return c;
    throw MUError(MUError::Fail, QStringLiteral("No character is loaded as '%1'.").arg(id),
                  QStringLiteral("AgentCharacters.Item"));
}

void AgentCharacters::Unload(const QString &id)
{
    auto it = m_characters.find(id);
    if (it == m_characters.end())
        throw MUError(MUError::Fail, QStringLiteral("No character is loaded as '%1'.").arg(id),
                      QStringLiteral("AgentCharacters.Unload"));
    AgentCharacter *c = it->second;
    m_characters.erase(it);
    c->StopAll();
    // Unload may be called from one of the character's own signals: delete it once that returns.
    c->deleteLater();
    Q_EMIT unloaded(id);
}

QStringList AgentCharacters::ids() const
{
    QStringList out;
    for (const auto &[id, c] : m_characters)
        out.append(id);
    return out;
}
