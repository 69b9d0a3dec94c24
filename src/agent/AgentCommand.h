#pragma once
#include <QObject>
#include <QString>

/// One command of a character: shown in its menu when Visible, listened for when
/// Enabled and it has a Voice phrase. Main thread; owned by AgentCommands.
class AgentCommand : public QObject
{
    Q_OBJECT
public:
    AgentCommand(const QString &name, const QString &caption, const QString &voice, bool enabled,
                 bool visible, QObject *parent);

    QString Name() const { return m_name; }
    QString Caption() const { return m_caption; }
    void setCaption(const QString &caption);
    QString Voice() const { return m_voice; }
    void setVoice(const QString &voice);
    bool Enabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    bool Visible() const { return m_visible; }
    void setVisible(bool visible);

Q_SIGNALS:
    void changed();

private:
    const QString m_name;
    QString m_caption;
    QString m_voice;
    bool m_enabled;
    bool m_visible;
};
