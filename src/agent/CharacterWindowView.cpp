#include "CharacterWindowView.h"

#include "AgentBalloon.h"
#include "AgentCharacter.h"
#include "AgentCommand.h"
#include "AgentCommands.h"
#include "AgentControl.h"
#include "BalloonWidget.h"
#include "CharacterWindow.h"

CharacterWindowView::CharacterWindowView(AgentCharacter *character, AgentControl *control)
    : m_character(character),
      m_window(std::make_unique<CharacterWindow>(&character->Package())),
      m_balloon(std::make_unique<BalloonWidget>())
{
    CharacterWindow *w = m_window.get();
    // The character outlives its view, and the window dies with the view, so the
    // window is the context of every connection that reaches the character.
    QObject::connect(w, &CharacterWindow::userMoved, w, [this](int x, int y) {
        placeBalloon();
        m_character->userMoved(x, y);
    });
    QObject::connect(w, &CharacterWindow::dragging, w, [this] { placeBalloon(); });
    QObject::connect(w, &CharacterWindow::commandChosen, w,
                     [this](const QString &name) { m_character->userCommand(name); });
    QObject::connect(w, &CharacterWindow::hideChosen, w, [this] { m_character->Hide(false); });
    QObject::connect(w, &CharacterWindow::listenPressed, w, [control] { control->StartListening(); });
    QObject::connect(w, &CharacterWindow::listenReleased, w, [control] { control->StopListening(); });
    QObject::connect(character->Commands(), &AgentCommands::changed, w, [this] { updateMenu(); });
    updateMenu();
    balloonChanged();
}

CharacterWindowView::~CharacterWindowView() = default;

void CharacterWindowView::updateMenu()
{
    QList<CharacterWindow::MenuCommand> items;
    for (const AgentCommand *c : m_character->Commands()->all()) {
        if (c->Visible())
            items.append({c->Name(), c->Caption(), c->Enabled()});
    }
    m_window->setMenuCommands(items);
}

void CharacterWindowView::placeBalloon()
{
    m_balloon->placeBeside(m_window->frameGeometry());
}

void CharacterWindowView::setVisible(bool visible)
{
    m_window->setVisible(visible);
    if (visible)
        m_window->raise();
    else
        m_balloon->hide();
}

void CharacterWindowView::moveTo(int x, int y)
{
    m_window->move(x, y);
    if (m_balloon->isVisible())
        placeBalloon();
}

void CharacterWindowView::resize(int width, int height)
{
    Q_UNUSED(width)   // frames keep their proportions; the height decides
    m_window->setCharacterHeight(height);
    if (m_balloon->isVisible())
        placeBalloon();
}

void CharacterWindowView::showFrame(const QString &image)
{
    m_window->showFrame(image);
}

void CharacterWindowView::setSpeaking(bool speaking)
{
    m_window->setSpeaking(speaking);
}

void CharacterWindowView::setMouth(const QString &shape)
{
    m_window->setMouth(shape);
}

void CharacterWindowView::showBalloon()
{
    if (!m_window->isVisible())
        return;
    placeBalloon();
    m_balloon->begin();
}

void CharacterWindowView::balloonWords(const QString &textSoFar)
{
    if (!m_window->isVisible())
        return;
    m_balloon->setText(textSoFar);
}

void CharacterWindowView::hideBalloon()
{
    m_balloon->hide();
}

void CharacterWindowView::balloonChanged()
{
    const AgentBalloon *b = m_character->Balloon();
    m_balloon->setBalloonFont(b->FontName(), b->FontSize());
    m_balloon->setStyleBits(b->Style());
}
