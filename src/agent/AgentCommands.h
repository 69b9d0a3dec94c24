#pragma once
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class AgentCommand;

/// A character's commands, in the order added. Main thread; owned by its character.
class AgentCommands : public QObject
{
    Q_OBJECT
public:
    explicit AgentCommands(QObject *parent = nullptr);

    /// Adds (or replaces) the command `name`. Throws MUError for an empty name.
    AgentCommand *Add(const QString &name, const QString &caption, const QString &voice,
                      bool enabled = true, bool visible = true);
    /// The command by name (case-insensitive). Throws MUError when there is none.
    AgentCommand *Item(const QString &name) const;
    /// As Item, but nullptr when there is none.
    AgentCommand *find(const QString &name) const;
    void Remove(const QString &name);
    void RemoveAll();
    int Count() const { return int(m_commands.size()); }
    const QList<AgentCommand *> &all() const { return m_commands; }

    /// Lower-case phrases of the enabled commands with a voice phrase.
    QStringList enabledPhrases() const;
    /// The enabled command whose phrase matches `phrase` (compared as normalised words).
    AgentCommand *byPhrase(const QString &phrase) const;
    /// "Play &WAV File!" -> "play wav file": lower case, letters, digits and single blanks.
    static QString normalisePhrase(const QString &phrase);

Q_SIGNALS:
    /// Any command added, removed or changed.
    void changed();

private:
    QList<AgentCommand *> m_commands;
};
