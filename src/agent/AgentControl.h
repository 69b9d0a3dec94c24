#pragma once
#include "AgentUserInput.h"
#include "AudioStream.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class AgentAudio;
class AgentCharacter;
class AgentCharacters;
class AgentRequest;
class AudioSink;
class CharacterView;
class VoiceListener;

/// The speaking-character control the engine drives: characters, their requests
/// and the events below. It has no windows of its own; a subclass decides whether a
/// character gets a view (createView). Main thread.
class AgentControl : public QObject
{
    Q_OBJECT
public:
    ~AgentControl() override;

    AgentCharacters *Characters() const { return m_characters; }
    /// The one sound output (speech and WAV files).
    AgentAudio *audio() const { return m_audio; }
    /// Plays a sound file through the same output as speech; never blocks.
    AudioStreamPtr PlayWav(const QString &file);

    /// Voice commands: listen while held (push to talk) ...
    void StartListening();
    void StopListening();
    bool isListening() const;
    /// ... or all the time, reacting to the commands' phrases only (hands-free).
    void setHandsFree(bool on);
    bool handsFree() const;
    /// ... or while a key is held anywhere on the desktop (a name of ListeningKey::Choices(),
    /// empty for none). The windowless control has no keyboard: it refuses every key. False,
    /// with `error` set, when the key cannot be had.
    virtual bool setListeningKey(const QString &name, QString *error);
    /// Why the listening key last set does not work, also when that was found out after
    /// setListeningKey (the desktop refused its shortcut); empty when it works or none is set.
    virtual QString listeningKeyError() const { return {}; }
    /// Recognises a recorded utterance (any WAV file) against the enabled commands of
    /// every character; raises Command when one is recognised. Asynchronous.
    void RecognizeFile(const QString &file);
    VoiceListener *listener() const { return m_listener; }
    /// Some character's speech is being heard (hands-free listening then ignores the
    /// microphone, which hears the loudspeakers).
    bool isSpeaking() const { return m_speaking > 0; }

    /// Idle delay for characters loaded from now on, and for the loaded ones.
    void setIdleDelay(int ms);
    int idleDelay() const { return m_idleDelay; }
    /// How long the balloon stays after speech when it hides by itself.
    void setBalloonHideDelay(int ms) { m_balloonHideDelay = ms; }
    int balloonHideDelay() const { return m_balloonHideDelay; }
    /// The random source for "|" alternatives and idle gestures: a number in [0, n).
    void setRandom(std::function<int(int)> random) { m_random = std::move(random); }
    int random(int n) const;
    int nextRequestId() { return m_nextRequestId++; }

    /// The view for a newly loaded character; nullptr: none (the character still
    /// runs its requests in their natural time). The character owns what is returned.
    virtual CharacterView *createView(AgentCharacter *character);

Q_SIGNALS:
    void RequestStart(AgentRequest *request);
    void RequestComplete(AgentRequest *request);
    void IdleStart(const QString &characterId);
    void IdleComplete(const QString &characterId);
    /// cause: 1 dragged by the user, 2 moved by the program.
    void Move(const QString &characterId, int x, int y, int cause);
    void Command(const AgentUserInput &userInput);
    void Bookmark(int bookmarkId);
    /// Listening started or stopped (push to talk or hands-free).
    void ListeningChanged(bool listening);
    /// What the recogniser made of an utterance: `phrase` is empty when nothing was
    /// accepted; `error` says why recognition could not run at all.
    void Recognized(const QString &phrase, int confidence, const QString &error);
    /// isSpeaking() changed.
    void SpeakingChanged(bool speaking);
    /// The listening key that setListeningKey accepted could not be had after all.
    void ListeningKeyFailed(const QString &why);

protected:
    /// `sink`: where sound goes; nullptr chooses by MURMELO_AUDIO (see AgentAudio).
    explicit AgentControl(std::unique_ptr<AudioSink> sink, QObject *parent = nullptr);

private:
    void onRecognized(const QString &phrase, int confidence, const QString &error);
    QStringList enabledPhrases() const;
    void onCharacterSpeaking(bool speaking);

    AgentCharacters *m_characters;
    AgentAudio *m_audio;
    VoiceListener *m_listener;
    std::function<int(int)> m_random;
    int m_idleDelay = 8000;
    int m_balloonHideDelay = 1500;
    int m_nextRequestId = 1;
    int m_speaking = 0;   ///< characters whose speech is being heard
};
