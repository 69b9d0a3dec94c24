#include "AgentWidgetsControl.h"

#include "AgentCharacter.h"
#include "AgentCharacters.h"
#include "AudioSink.h"
#include "CharacterWindowView.h"
#include "ListeningKey.h"

AgentWidgetsControl::AgentWidgetsControl(std::unique_ptr<AudioSink> sink, QObject *parent)
    : AgentControl(std::move(sink), parent)
{
}

CharacterView *AgentWidgetsControl::createView(AgentCharacter *character)
{
    return new CharacterWindowView(character, this);
}

CharacterWindowView *AgentWidgetsControl::viewOf(const QString &id) const
{
    AgentCharacter *c = Characters()->find(id);
    return c ? dynamic_cast<CharacterWindowView *>(c->view()) : nullptr;
}

CharacterWindow *AgentWidgetsControl::windowOf(const QString &id) const
{
    CharacterWindowView *v = viewOf(id);
    return v ? v->window() : nullptr;
}

bool AgentWidgetsControl::setListeningKey(const QString &name, QString *error)
{
    if (!m_listeningKey) {
        if (name.isEmpty())
            return true;
        m_listeningKey = new ListeningKey(this);
        connect(m_listeningKey, &ListeningKey::pressed, this, &AgentControl::StartListening);
        connect(m_listeningKey, &ListeningKey::released, this, &AgentControl::StopListening);
        connect(m_listeningKey, &ListeningKey::failed, this, &AgentControl::ListeningKeyFailed);
    }
    if (m_listeningKey->setKey(name))
        return true;
    *error = m_listeningKey->error();
    return false;
}

QString AgentWidgetsControl::listeningKeyError() const
{
    return m_listeningKey ? m_listeningKey->error() : QString();
}
