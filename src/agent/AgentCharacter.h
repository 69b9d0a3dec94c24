#pragma once
#include "AgentRequest.h"
#include "AgentUserInput.h"
#include "AudioStream.h"
#include "CharacterPackage.h"
#include "SpeechEvent.h"
#include "SpeechJob.h"
#include "SpeechText.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

class AgentBalloon;
class AgentCommands;
class AgentControl;
class CharacterView;
struct CharacterAnimation;

/// One loaded character: its requests run one after another, driven by timers and
/// the audio clock, never blocking. Main thread; owned by AgentCharacters.
/// Errors are thrown as MUError.
class AgentCharacter : public QObject
{
    Q_OBJECT
public:
    AgentCharacter(const QString &id, std::shared_ptr<const CharacterPackage> package, AgentControl *control);
    ~AgentCharacter() override;

    AgentRequestPtr Show(bool fast = false);
    AgentRequestPtr Hide(bool fast = false);
    /// Throws MUError when the character has no animation `animation` (case-insensitive).
    AgentRequestPtr Play(const QString &animation);
    AgentRequestPtr Speak(const QString &text);
    /// Moves the top-left corner to (x, y) in `speed` ms (0: at once); raises Move with cause 2.
    AgentRequestPtr MoveTo(int x, int y, int speed = 1000);
    /// Interrupts the current request and drops the queued ones (all status 3).
    void StopAll();

    QString ID() const { return m_id; }
    bool Visible() const { return m_visible; }
    int Left() const { return m_left; }
    int Top() const { return m_top; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    void setLeft(int x);
    void setTop(int y);
    void setWidth(int w);
    void setHeight(int h);
    int OriginalWidth() const { return m_package->originalSize.width(); }
    int OriginalHeight() const { return m_package->originalSize.height(); }
    QString Name() const { return m_package->name; }
    QString ExtraData() const { return m_package->extraData; }
    QStringList AnimationNames() const { return m_package->animationNames(); }
    bool hasAnimation(const QString &name) const { return findAnimation(name) != nullptr; }
    AgentBalloon *Balloon() const { return m_balloon; }
    AgentCommands *Commands() const { return m_commands; }
    /// The control that loaded the character.
    AgentControl *control() const { return m_control; }
    const CharacterPackage &Package() const { return *m_package; }
    CharacterView *view() const { return m_view.get(); }

    /// The espeak-ng voice ("en-us+m3") and the defaults for text without tags.
    QString voice() const { return m_voice; }
    void setVoice(const QString &espeakVoice) { m_voice = espeakVoice; }
    /// Delay before idling (ms); 0 switches idling off.
    void setIdleDelay(int ms);
    bool isIdle() const { return m_idle; }
    /// True while a request runs or waits.
    bool isBusy() const { return m_current.request || !m_queue.empty(); }

    /// From the view: the user dragged the character to (x, y). Raises Move with cause 1.
    void userMoved(int x, int y);
    /// From the view: the user chose the command `name`. Raises Command.
    void userCommand(const QString &name);

Q_SIGNALS:
    /// A word is being heard: its text and the balloon so far.
    void wordSpoken(const QString &word, const QString &balloonSoFar);
    /// The mouth shape changed while speaking.
    void mouthChanged(const QString &shape);
    /// An animation frame is shown (image path inside the package).
    void frameShown(const QString &image);
    /// Its speech started to be heard / its last sample was heard (or it was cut off).
    void speakingChanged(bool speaking);
    /// A request leaves the queue and starts / ends (its status says how).
    void requestStarted(AgentRequest *request);
    void requestCompleted(AgentRequest *request);
    /// Nobody needed the character for the idle delay / a request ends its idling.
    void idleStarted();
    void idleCompleted();
    /// It stands at (x, y) now. cause: 1 dragged by the user, 2 moved by the program.
    void moved(int x, int y, int cause);
    /// The user chose one of its commands.
    void commandChosen(const AgentUserInput &userInput);
    /// Speech reached a \Mrk=n\ tag.
    void bookmarkReached(int bookmarkId);

private:
    struct Job
    {
        AgentRequestPtr request;
        bool fast = false;
        int x = 0, y = 0, speed = 0;
    };

    AgentRequestPtr enqueue(AgentRequest::Kind kind, const QString &detail, bool fast = false, int x = 0,
                            int y = 0, int speed = 0);
    void scheduleNext();
    void startNext();
    void complete(int status, const QString &description = {});

    const CharacterAnimation *findAnimation(const QString &name) const;
    void runAnimation(const CharacterAnimation *animation, std::function<void()> done);
    void stopAnimation();
    void nextFrame();
    void showFrame(const QString &image);
    void restPose();

    void startSpeak(const QString &text);
    void onSpeechAudio(const QByteArray &samples, const SpeechEvents &events);
    void fireEvents(qint64 upToSample);
    void endSpeech();

    void startMove(int x, int y, int speed);
    void moveStep();

    void scheduleIdle();
    void onIdleTimer();
    void endIdle();

    const QString m_id;
    const std::shared_ptr<const CharacterPackage> m_package;
    AgentControl *const m_control;
    std::unique_ptr<CharacterView> m_view;
    AgentBalloon *m_balloon;
    AgentCommands *m_commands;

    int m_left = 0, m_top = 0, m_width = 0, m_height = 0;
    bool m_visible = false;
    QString m_voice;
    int m_speed = 175;
    int m_pitch = 50;

    std::deque<Job> m_queue;
    Job m_current;
    int m_nextRequestId = 1;
    bool m_nextScheduled = false;

    const CharacterAnimation *m_animation = nullptr;
    int m_frame = 0;
    std::function<void()> m_animationDone;
    QTimer m_frameTimer;

    SpeechText m_speech;
    SpeechJobPtr m_job;
    AudioStreamPtr m_stream;
    bool m_audible = false;   ///< m_stream has started playing
    SpeechEvents m_events;
    int m_nextEvent = 0;
    QTimer m_balloonTimer;

    QTimer m_moveTimer;
    int m_moveFromX = 0, m_moveFromY = 0, m_moveToX = 0, m_moveToY = 0, m_moveMs = 0;
    qint64 m_moveStarted = 0;

    QTimer m_idleTimer;
    int m_idleDelay = 8000;
    bool m_idle = false;
};
