#pragma once
// What the options tests share: a throw-away home and XDG folders, an engine with a
// windowless agent and a loaded character, and message boxes answered without a window.
#include "OptionsServices.h"
#include "trellis/Log.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class AgentControl;
class CSettings;
class CTalker;
class MUScripting;
class TimerManager;

class OptionsFixture
{
public:
    struct Box
    {
        QString prompt;
        int style = 0;
    };

    /// `loadCharacter`: load "Tester" (128 pixels high) into the talker.
    explicit OptionsFixture(bool loadCharacter = true);
    ~OptionsFixture();

    bool isValid() const { return m_ok; }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString configHome() const { return path(QStringLiteral("config")); }
    QString dataHome() const { return path(QStringLiteral("data")); }
    QString dataDir() const { return path(QStringLiteral("sysdata")); }

    MUScripting *engine() const { return m_engine.get(); }
    CSettings *settings() const;
    CTalker *talker() const;
    TimerManager *timers() const;
    AgentControl *agent() const { return m_agent.get(); }
    LogPtr log() const { return m_log; }
    /// Rows of the settings table.
    int optionRows() const;

    /// Handed to the dialog and pages: boxes recorded, no file chooser, no help.
    OptionsServices services;

    /// Every message box since the start, answered with `answer` (1 OK, 2 Cancel).
    QList<Box> boxes;
    int answer = 1;

    /// A character package `file` named `name`, `height` pixels high as designed.
    static bool WriteCharacter(const QString &file, const QString &name, int height = 128);
    /// A text file (parents created).
    static bool WriteFile(const QString &file, const QByteArray &content);

private:
    QTemporaryDir m_dir;
    LogPtr m_log;
    std::unique_ptr<AgentControl> m_agent;
    std::unique_ptr<MUScripting> m_engine;
    QByteArray m_oldConfig, m_oldDataHome, m_oldDataDirs;
    bool m_ok = false;
};
