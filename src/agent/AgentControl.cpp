#include "AgentControl.h"
#include "AgentAudio.h"
#include "AgentCharacter.h"
#include "AgentCharacters.h"
#include "AgentCommand.h"
#include "AgentCommands.h"
#include "AudioSink.h"
#include "VoiceListener.h"

#include <QRandomGenerator>

AgentControl::AgentControl(std::unique_ptr<AudioSink> sink, QObject *parent)
    : QObject(parent), m_characters(new AgentCharacters(this)),
      m_audio(new AgentAudio(sink ? std::move(sink) : AgentAudio::sinkFromEnvironment(), this)),
      m_listener(new VoiceListener(this))
{
    qRegisterMetaType<AgentUserInput>();
    connect(m_listener, &VoiceListener::recognized, this, &AgentControl::onRecognized);
    connect(m_listener, &VoiceListener::listeningChanged, this, &AgentControl::ListeningChanged);
    // The grammar follows the enabled commands of every character.
    auto refresh = [this] { m_listener->setPhrases(enabledPhrases()); };
    connect(m_characters, &AgentCharacters::loaded, this, [this, refresh](const QString &id) {
        AgentCharacter *c = m_characters->Item(id);
        connect(c->Commands(), &AgentCommands::changed, this, refresh);
        connect(c, &AgentCharacter::speakingChanged, this, &AgentControl::onCharacterSpeaking);
        // The control reports for all its characters what each reports for itself.
        connect(c, &AgentCharacter::requestStarted, this, &AgentControl::RequestStart);
        connect(c, &AgentCharacter::requestCompleted, this, &AgentControl::RequestComplete);
        connect(c, &AgentCharacter::idleStarted, this, [this, id] { Q_EMIT IdleStart(id); });
        connect(c, &AgentCharacter::idleCompleted, this, [this, id] { Q_EMIT IdleComplete(id); });
        connect(c, &AgentCharacter::moved, this, [this, id](int x, int y, int cause) { Q_EMIT Move(id, x, y, cause); });
        connect(c, &AgentCharacter::commandChosen, this, &AgentControl::Command);
        connect(c, &AgentCharacter::bookmarkReached, this, &AgentControl::Bookmark);
        refresh();
    });
    connect(m_characters, &AgentCharacters::unloaded, this, refresh);
}

AgentControl::~AgentControl()
{
    // Characters first: they stop their speech in the audio output and synthesiser.
    delete m_characters;
    m_characters = nullptr;
    delete m_listener;
    m_listener = nullptr;
}

void AgentControl::onCharacterSpeaking(bool speaking)
{
    m_speaking += speaking ? 1 : -1;
    Q_ASSERT(m_speaking >= 0);
    if (m_speaking != (speaking ? 1 : 0))
        return;   // another character was already talking, or still is
    m_listener->setSpeakerTalking(speaking);
    Q_EMIT SpeakingChanged(speaking);
}

AudioStreamPtr AgentControl::PlayWav(const QString &file)
{
    return m_audio->PlayWav(file);
}

void AgentControl::StartListening()
{
    m_listener->setPhrases(enabledPhrases());
    m_listener->startListening();
}

void AgentControl::StopListening()
{
    m_listener->stopListening();
}

bool AgentControl::isListening() const
{
    return m_listener->isListening();
}

void AgentControl::setHandsFree(bool on)
{
    m_listener->setPhrases(enabledPhrases());
    m_listener->setHandsFree(on);
}

bool AgentControl::setListeningKey(const QString &name, QString *error)
{
    if (name.isEmpty())
        return true;
    *error = QStringLiteral("A listening key needs the desktop program.");
    return false;
}

bool AgentControl::handsFree() const
{
    return m_listener->handsFree();
}

void AgentControl::RecognizeFile(const QString &file)
{
    m_listener->setPhrases(enabledPhrases());
    m_listener->recognizeFile(file);
}

void AgentControl::setIdleDelay(int ms)
{
    m_idleDelay = qMax(0, ms);
    for (const QString &id : m_characters->ids())
        m_characters->Item(id)->setIdleDelay(m_idleDelay);
}

int AgentControl::random(int n) const
{
    if (n <= 1)
        return 0;
    const int r = m_random ? m_random(n) : int(QRandomGenerator::global()->bounded(n));
    return qBound(0, r, n - 1);
}

CharacterView *AgentControl::createView(AgentCharacter *character)
{
    Q_UNUSED(character)
    return nullptr;
}

QStringList AgentControl::enabledPhrases() const
{
    QStringList phrases;
    if (!m_characters)
        return phrases;
    for (const QString &id : m_characters->ids())
        for (const QString &p : m_characters->Item(id)->Commands()->enabledPhrases())
            if (!phrases.contains(p))
                phrases.append(p);
    return phrases;
}

void AgentControl::onRecognized(const QString &phrase, int confidence, const QString &error)
{
    Q_EMIT Recognized(phrase, confidence, error);
    if (phrase.isEmpty() || !m_characters)
        return;
    for (const QString &id : m_characters->ids()) {
        if (AgentCommand *c = m_characters->Item(id)->Commands()->byPhrase(phrase)) {
            AgentUserInput input;
            input.Name = c->Name();
            input.CharacterID = id;
            input.Confidence = confidence;
            input.Voice = phrase;
            Q_EMIT Command(input);
            return;
        }
    }
}
