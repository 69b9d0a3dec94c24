#pragma once
#include <QObject>
#include <QString>
#include <memory>

/// One request a character was asked to carry out (Show, Hide, Play, Speak, MoveTo).
/// Lives on the main thread. Held by the character until it ends and by whoever
/// keeps the returned pointer; `finished` fires exactly once.
class AgentRequest : public QObject
{
    Q_OBJECT
public:
    static constexpr int StatusComplete = 0;
    static constexpr int StatusFailed = 1;
    static constexpr int StatusPending = 2;
    static constexpr int StatusInterrupted = 3;
    static constexpr int StatusInProgress = 4;

    enum class Kind { Show, Hide, Play, Speak, Move };

    AgentRequest(int id, Kind kind, QString characterId, QString detail);

    int ID() const { return m_id; }
    int Status() const { return m_status; }
    Kind kind() const { return m_kind; }
    const QString &characterId() const { return m_characterId; }
    /// The animation name, the text to speak, or "x,y" for a move.
    const QString &detail() const { return m_detail; }
    /// Why it failed (empty unless Status() is StatusFailed).
    const QString &Description() const { return m_description; }
    bool isDone() const { return m_status != StatusPending && m_status != StatusInProgress; }

    /// Used by the character: pending -> in progress -> one of the ends.
    void setInProgress();
    void end(int status, const QString &description = {});

Q_SIGNALS:
    /// The request ended (complete, failed or interrupted).
    void finished();

private:
    const int m_id;
    const Kind m_kind;
    const QString m_characterId;
    const QString m_detail;
    int m_status = StatusPending;
    QString m_description;
};

/// Requests are QObjects shared between the character and the caller; the last
/// holder lets it go through deleteLater, so a slot may drop it safely.
using AgentRequestPtr = std::shared_ptr<AgentRequest>;
AgentRequestPtr makeAgentRequest(int id, AgentRequest::Kind kind, const QString &characterId,
                                 const QString &detail);
