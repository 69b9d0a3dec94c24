#pragma once
#include "AgentControl.h"
#include "AudioSink.h"

class CharacterWindow;
class ListeningKey;
class CharacterWindowView;

/// The control the desktop program creates: the windowless control, with a window
/// and a speech balloon for every loaded character. Main thread.
class AgentWidgetsControl : public AgentControl
{
    Q_OBJECT
public:
    /// `sink`: where sound goes; empty chooses by MURMELO_AUDIO (the default device if any).
    explicit AgentWidgetsControl(std::unique_ptr<AudioSink> sink = {}, QObject *parent = nullptr);

    /// The window and balloon of the character `id`; nullptr when it is not loaded.
    CharacterWindowView *viewOf(const QString &id) const;
    CharacterWindow *windowOf(const QString &id) const;

    CharacterView *createView(AgentCharacter *character) override;
    /// Held: listens (as the character's Listen item does); released: stops.
    bool setListeningKey(const QString &name, QString *error) override;
    QString listeningKeyError() const override;

private:
    ListeningKey *m_listeningKey = nullptr;
};
