#pragma once
#include "AgentCharacter.h"
#include "AgentRequest.h"
#include "trellis/Log.h"
#include "trellis/Record.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QStringList>
#include <functional>
#include <memory>

class AgentControl;
class CSettings;
class CWaver;
class QEventLoop;

/// The engine's voice: one character of the agent control, a first-in-first-out
/// spool of texts and the announcement text of a message. Producers queue (Talk,
/// TalkMsg, TalkWelcome); TalkFromSpool speaks the spool dry. Every wait is a nested
/// event loop on the request's end, so pulses, new mail and commands keep running
/// while it speaks and may call it again. Main thread only; owned by the engine.
class CTalker : public QObject
{
    Q_OBJECT
public:
    enum enCharacterOfVoice { covNormal = 0, covMonotone = 1, covWhisper = 2 };
    Q_ENUM(enCharacterOfVoice)

    static const QString KeyCharacterName;
    static const QString KeyCharacterSize;
    static const QString KeyCharacterOfVoice;
    static const QString KeyVoiceSpeed;
    static const QString KeyVoicePitch;
    static const QString KeyPlayAnimation;
    static const QString KeyBalloonFontName;
    static const QString KeyBalloonFontSize;
    static const QString KeyLeft;
    static const QString KeyTop;
    static const QString KeySpokenCount;
    static const QString KeyGesture;
    static const QString KeyNewMessagePhrase;
    static const QString KeySaySender;
    static const QString KeySenderPhrase;
    static const QString KeySaySubject;
    static const QString KeySubjectPhrase;
    static const QString KeyStripQuoted;
    static const QString KeySayBody;

    /// Used for the position when no screen is known.
    static constexpr QSize DefaultScreenSize{1024, 768};

    explicit CTalker(QObject *parent = nullptr);
    ~CTalker() override;

    /// Keeps the settings store (not owned, outlives the talker), the log and the agent
    /// control (an AgentControl; null or another object: nothing can be loaded).
    void Init(CSettings *settings, LogPtr log, QObject *agent);

    void TalkMsg(const Record &msg);
    void Talk(const QString &text);
    void TalkWelcome();
    void PlayGestureSafe(const QString &gesture);
    void TalkFromSpool();
    QString MsgToString(const Record &msg, bool itsANewMessage, bool withContent = true);
    /// Throws MUError 526 when the character cannot be loaded.
    void LoadAgent();
    void UnloadAgent();
    void Finalize();
    bool Talking() const { return m_talking; }
    /// The loaded character; null before LoadAgent and after UnloadAgent.
    AgentCharacter *Character() const { return m_character; }
    /// Plays to the end of the sound whatever `async` says; failures are only logged.
    void PlayWav(const QString &fileName, bool async = false);
    /// Skips the text being spoken; with true also empties the spool and ends the run.
    void StopTalking(bool withPendingMessages);
    void ShowCharacter();

    /// The screen the character is placed on (the program hands in its primary screen).
    void setScreenSizeProvider(std::function<QSize()> provider) { m_screenSize = std::move(provider); }
    QSize screenSize() const;

    QStringList spool() const { return m_spool; }
    QString characterId() const { return m_characterId; }
    CWaver *waver() const { return m_waver; }

    /// Pitch, speed and character-of-voice tags in front of `chunk`.
    QString AddVoiceTags(const QString &chunk) const;

    /// The character file of `name` in `folder` as the file is spelled there ("owl.Acs"
    /// for "Owl": characters are listed without regard to case), or "" when none.
    static QString CharacterFileIn(const QString &folder, const QString &name);

Q_SIGNALS:
    void StartTalking();
    void StopTalking();
    /// A text was added to the spool; whoever drives TalkFromSpool can wake for it.
    void Spooled();

private:
    void LoadCharacterSettings();
    QString findCharacterFile(const QString &name) const;
    AgentCharacter *requireCharacter() const;
    bool characterVisible() const;
    /// Runs events until the request ends (or, with `onlyInProgress`, while it runs).
    /// False when the talker was destroyed meanwhile (touch nothing then).
    bool waitFor(const AgentRequestPtr &request, bool onlyInProgress = false);
    QVariant setting(const QString &key, const QVariant &fallback) const;
    void trace(const QString &text, const QString &member) const;
    void logError(qint64 number, const QString &description, const QString &member) const;

    CSettings *m_settings = nullptr;
    LogPtr m_log;
    QPointer<AgentControl> m_agent;
    QPointer<AgentCharacter> m_character;
    QString m_characterId;
    CWaver *m_waver = nullptr;   ///< child

    QString m_characterName;
    int m_characterSize = 128;
    QString m_characterOfVoice;
    int m_voiceSpeed = 146;
    int m_voicePitch = 50;
    bool m_playAnimation = true;
    QString m_balloonFontName;
    int m_balloonFontSize = 10;

    QStringList m_spool;
    bool m_talking = false;
    bool m_skipRequested = false;
    bool m_stopRequested = false;
    bool m_finalizing = false;

    std::function<QSize()> m_screenSize;
    QList<QEventLoop *> m_waits;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
