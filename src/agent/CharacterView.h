#pragma once
#include <QString>

class AgentCharacter;

/// What a character shows on the desktop. The character drives it; a window
/// implements it (the headless control has none, so every call is optional work).
/// All calls come on the main thread. The character owns its view and deletes it
/// when it is unloaded; the view must not delete the character.
///
/// A view reports the user's doings back through the character:
///   AgentCharacter::userMoved(x, y)       after a drag (raises Move with cause 1)
///   AgentCharacter::userCommand(name)     a command chosen from the menu (raises Command)
///   AgentCharacter::Hide(false)           the menu's "Hide"
///   AgentControl::StartListening()/StopListening()  while "Listen" is held
/// and reads what it needs from it: Package() (SVG bytes by image path, mouth
/// rectangle), Balloon() (font, size, style bits), Commands() (visible ones,
/// captions with "&" access keys), Left()/Top()/Width()/Height().
class CharacterView
{
public:
    virtual ~CharacterView() = default;

    /// Show or hide the window (the character plays Show/Hide frames around this).
    virtual void setVisible(bool visible) = 0;
    /// Top-left corner in screen pixels.
    virtual void moveTo(int x, int y) = 0;
    /// Size in pixels; frames are rendered at this size.
    virtual void resize(int width, int height) = 0;
    /// Draws one animation frame: an image path inside the package.
    virtual void showFrame(const QString &image) = 0;
    /// While speaking the body is Package().speakingBase with a mouth shape on top;
    /// false goes back to plain frames.
    virtual void setSpeaking(bool speaking) = 0;
    /// One of "closed", "small", "open", "wide", "round".
    virtual void setMouth(const QString &shape) = 0;
    /// Opens the balloon for a new speech (text empty so far).
    virtual void showBalloon() = 0;
    /// The words spoken so far of the current speech, as the balloon shows them.
    virtual void balloonWords(const QString &textSoFar) = 0;
    virtual void hideBalloon() = 0;
    /// Balloon font, size or style changed; read them from the character.
    virtual void balloonChanged() = 0;
};
