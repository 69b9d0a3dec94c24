#pragma once
#include <QObject>
#include <QStringList>
#include <map>
#include <memory>

class AgentCharacter;
class AgentControl;

/// The control's loaded characters by id. Main thread; owned by the control.
class AgentCharacters : public QObject
{
    Q_OBJECT
public:
    explicit AgentCharacters(AgentControl *control);
    ~AgentCharacters() override;

    /// Loads the package `file` under `id`. Throws MUError with the reason
    /// (missing file, not a character package, id already in use).
    void Load(const QString &id, const QString &file);
    /// Throws MUError when no character has that id.
    AgentCharacter *Item(const QString &id) const;
    AgentCharacter *find(const QString &id) const;
    /// Stops and removes the character; an unknown id throws MUError.
    void Unload(const QString &id);
    int Count() const { return int(m_characters.size()); }
    QStringList ids() const;

Q_SIGNALS:
    void loaded(const QString &id);
    void unloaded(const QString &id);

private:
    AgentControl *const m_control;
    std::map<QString, AgentCharacter *> m_characters;   ///< owned (children of the control)
};
