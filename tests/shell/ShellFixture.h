#pragma once
#include "ShellServices.h"
#include "kit/TestHome.h"
#include "trellis/Record.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <memory>

class AgentControl;
class FMain;
class CTalker;
class MUScripting;

/// What the shell tests share: the kit's throw-away home (silent sound), the windows'
/// services with message boxes and opened addresses recorded instead of shown, and
/// ready-made message records.
class ShellFixture
{
public:
    struct Box
    {
        QString prompt;
        int buttons = 0;
        QString title;
    };

    ShellFixture();
    ~ShellFixture();

    QString home() const { return m_home.path(); }
    /// Writes `name` (absolute, or under the home; parents made).
    bool writeFile(const QString &name, const QByteArray &content) const { return m_home.writeFile(name, content); }
    /// The services handed to the windows: boxes and opened addresses recorded.
    ShellServices services;
    /// Every message box since the start (or the last clear), answered with `answer`.
    QList<Box> boxes;
    int answer = 1;
    QList<QUrl> opened;
    void clear();
    /// The prompts of `boxes`, in their order.
    QStringList prompts() const;
    /// The text of the long log.
    QString logText() const;

    /// A message record as a receiver delivers it; `content` is the raw message.
    static Record message(const QString &from, const QString &subject, const QString &content = {});
    /// A raw message with these headers and a plain-text body.
    static QString rawPlain(const QString &from, const QString &subject, const QString &body);

private:
    TestHome m_home;
};

/// An engine on the fixture's home with a windowed agent and the talker, as the
/// start-up makes them (without the rest of the start-up).
class ShellEngine
{
public:
    ShellEngine();
    ~ShellEngine();
    MUScripting *engine() const { return m_engine.get(); }
    AgentControl *agent() const { return m_agent.get(); }
    CTalker *talker() const;
    /// Stores `msg` like the engine does for an arrived message; gives it its id.
    [[nodiscard]] bool store(Record &msg);

private:
    std::unique_ptr<AgentControl> m_agent;
    std::unique_ptr<MUScripting> m_engine;
};

/// The one driver of the shell's windows: a main window initialised on an engine as the
/// start-up leaves it (hidden), with the speech pulse stopped so the spool stays readable.
class ShellWindow
{
public:
    explicit ShellWindow(bool firstStart = true, const QList<Record> &stored = {});
    ~ShellWindow();
    ShellFixture fx;
    ShellEngine ef;

private:
    std::unique_ptr<FMain> m_window;

public:
    FMain &w;
    /// Shows the window and waits until it is on screen.
    [[nodiscard]] bool shown();
    /// Stores `msg` and hands it to the window as the engine does for new mail.
    [[nodiscard]] bool arrive(Record &msg);
    /// One column of the list (the senders by default), from the top.
    QStringList rows(int column = 0) const;
};
