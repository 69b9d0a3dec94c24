#pragma once
// What the options tests share: the kit's throw-away home, an engine with a windowless
// agent and a loaded character, message boxes answered without a window, and each page
// driven as the dialog drives it.
#include "OptionsServices.h"
#include "kit/TestHome.h"

#include <QList>
#include <QPushButton>
#include <QString>
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

    /// `loadCharacter`: load "Tester" (PackageBuilder's, 120 pixels high) into the talker.
    explicit OptionsFixture(bool loadCharacter = true);
    ~OptionsFixture();

    bool isValid() const { return m_ok; }
    const TestHome &home() const { return m_home; }

    MUScripting *engine() const { return m_engine.get(); }
    CSettings *settings() const;
    CTalker *talker() const;
    TimerManager *timers() const;
    AgentControl *agent() const { return m_agent.get(); }
    LogPtr log() const { return m_home.log(); }
    /// Rows of the settings table.
    int optionRows() const;

    /// Handed to the dialog and pages: boxes recorded, no file chooser, no help.
    OptionsServices services;

    /// Every message box since the start, answered with `answer` (1 OK, 2 Cancel).
    QList<Box> boxes;
    int answer = 1;

private:
    TestHome m_home;
    std::unique_ptr<AgentControl> m_agent;
    std::unique_ptr<MUScripting> m_engine;
    bool m_ok = false;
};

/// A page of the dialog on the fixture's engine, with the dialog's Apply and OK buttons.
template <class P>
struct PageOf
{
    QPushButton apply;
    QPushButton ok;
    P page;
    explicit PageOf(OptionsFixture &f) : page(f.services)
    {
        apply.setEnabled(false);
        page.Init(f.engine(), &apply, &ok, f.log());
    }
};
