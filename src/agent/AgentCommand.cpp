#include "AgentCommand.h"

AgentCommand::AgentCommand(const QString &name, const QString &caption, const QString &voice,
                           bool enabled, bool visible, QObject *parent)
    : QObject(parent), m_name(name), m_caption(caption), m_voice(voice), m_enabled(enabled),
      m_visible(visible)
{
}

void AgentCommand::setCaption(const QString &caption)
{
    if (caption != m_caption) {
        m_caption = caption;
        Q_EMIT changed();
    }
}

void AgentCommand::setVoice(const QString &voice)
{
    if (voice != m_voice) {
        m_voice = voice;
        Q_EMIT changed();
    }
}

void AgentCommand::setEnabled(bool enabled)
{
    if (enabled != m_enabled) {
        m_enabled = enabled;
        Q_EMIT changed();
    }
}

void AgentCommand::setVisible(bool visible)
{
    if (visible != m_visible) {
        m_visible = visible;
        Q_EMIT changed();
    }
}
