#include "AgentCommands.h"
#include "AgentCommand.h"
#include "trellis/MUError.h"

AgentCommands::AgentCommands(QObject *parent) : QObject(parent) {}

AgentCommand *AgentCommands::Add(const QString &name, const QString &caption, const QString &voice,
                                 bool enabled, bool visible)
{
    if (name.trimmed().isEmpty())
        throw MUError(MUError::Fail, QStringLiteral("A command needs a name."),
                      QStringLiteral("AgentCommands.Add"));
    Remove(name);
    auto *command = new AgentCommand(name, caption, voice, enabled, visible, this);
    connect(command, &AgentCommand::changed, this, &AgentCommands::changed);
    m_commands.append(command);
    Q_EMIT changed();
    return command;
}

AgentCommand *AgentCommands::find(const QString &name) const
{
    for (AgentCommand *c : m_commands)
        if (c->Name().compare(name, Qt::CaseInsensitive) == 0)
            return c;
    return nullptr;
}

AgentCommand *AgentCommands::Item(const QString &name) const
{
    if (AgentCommand *c = find(name))
        return c;
    throw MUError(MUError::Fail, QStringLiteral("The character has no command '%1'.").arg(name),
                  QStringLiteral("AgentCommands.Item"));
}

void AgentCommands::Remove(const QString &name)
{
    if (AgentCommand *c = find(name)) {
        m_commands.removeOne(c);
        delete c;
        Q_EMIT changed();
    }
}

void AgentCommands::RemoveAll()
{
    if (m_commands.isEmpty())
        return;
    qDeleteAll(m_commands);
    m_commands.clear();
    Q_EMIT changed();
}

QString AgentCommands::normalisePhrase(const QString &phrase)
{
    QString out;
    bool blank = false;
    for (QChar ch : phrase.toLower()) {
        if (ch.isLetterOrNumber() || ch == QLatin1Char('\'')) {
            if (blank && !out.isEmpty())
                out += QLatin1Char(' ');
            blank = false;
            out += ch;
        } else if (ch != QLatin1Char('&')) {
            blank = true;
        }
    }
    return out;
}

QStringList AgentCommands::enabledPhrases() const
{
    QStringList phrases;
    for (AgentCommand *c : m_commands) {
        const QString p = normalisePhrase(c->Voice());
        if (c->Enabled() && !p.isEmpty() && !phrases.contains(p))
            phrases.append(p);
    }
    return phrases;
}

AgentCommand *AgentCommands::byPhrase(const QString &phrase) const
{
    const QString wanted = normalisePhrase(phrase);
    for (AgentCommand *c : m_commands)
        if (c->Enabled() && normalisePhrase(c->Voice()) == wanted)
            return c;
    return nullptr;
}
