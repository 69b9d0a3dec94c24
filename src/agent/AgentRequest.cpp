#include "AgentRequest.h"

AgentRequest::AgentRequest(int id, Kind kind, QString characterId, QString detail)
    : m_id(id), m_kind(kind), m_characterId(std::move(characterId)), m_detail(std::move(detail))
{
}

void AgentRequest::setInProgress()
{
    if (m_status == StatusPending)
        m_status = StatusInProgress;
}

void AgentRequest::end(int status, const QString &description)
{
    if (isDone())
        return;
    m_status = status;
    m_description = description;
    Q_EMIT finished();
}

AgentRequestPtr makeAgentRequest(int id, AgentRequest::Kind kind, const QString &characterId,
                                 const QString &detail)
{
    return AgentRequestPtr(new AgentRequest(id, kind, characterId, detail),
                           [](AgentRequest *r) { r->deleteLater(); });
}
