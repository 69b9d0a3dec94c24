#pragma once
#include "CharacterView.h"

#include <memory>

class AgentCharacter;
class AgentControl;
class BalloonWidget;
class CharacterWindow;

/// A character's desktop presence: its window and its speech balloon, driven by the
/// character through CharacterView and reporting drags, menu choices and "Listen"
/// back to it. Main thread. Owned by the character; owns the window and balloon.
class CharacterWindowView : public CharacterView
{
public:
    CharacterWindowView(AgentCharacter *character, AgentControl *control);
    ~CharacterWindowView() override;

    CharacterWindow *window() const { return m_window.get(); }
    BalloonWidget *balloon() const { return m_balloon.get(); }

    void setVisible(bool visible) override;
    void moveTo(int x, int y) override;
    void resize(int width, int height) override;
    void showFrame(const QString &image) override;
    void setSpeaking(bool speaking) override;
    void setMouth(const QString &shape) override;
    void showBalloon() override;
    void balloonWords(const QString &textSoFar) override;
    void hideBalloon() override;
    void balloonChanged() override;

private:
    void updateMenu();
    void placeBalloon();

    AgentCharacter *const m_character;
    std::unique_ptr<CharacterWindow> m_window;
    std::unique_ptr<BalloonWidget> m_balloon;
};
