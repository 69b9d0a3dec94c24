#pragma once
#include "AudioStream.h"
#include "trellis/Log.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <vector>

class AgentAudio;
class AgentControl;
class CSettings;

/// Plays WAV files through the agent's sound output: in the background, or to the end
/// of the sound while the caller's events keep running (a nested event loop woken by
/// the worker's last message; the file is decoded and waited for on a CWavWorker).
/// Each synchronous play waits for its own worker, so nested plays end in their own
/// time. Main thread; owned by the talker. Never raises to its caller.
class CWaver : public QObject
{
    Q_OBJECT
public:
    explicit CWaver(QObject *parent = nullptr);
    ~CWaver() override;

    /// Keeps `log` and the agent's audio output (`agent` may be null: the waver then
    /// opens its own output as MURMELO_AUDIO says). The settings store is not kept.
    void Init(CSettings *settings, LogPtr log, AgentControl *agent = nullptr);
    /// Plays `fileName`; with `async` it returns at once (a later background sound
    /// replaces it), otherwise when the sound has ended. Failures are logged (521).
    void PlayWav(const QString &fileName, bool async = false);
    /// Ends every play and wait; later plays do nothing.
    void Finalize();

    /// Synchronous plays waiting right now (nested plays count each).
    int waitingPlays() const { return int(m_plays.size()); }

private:
    struct Play;
    AgentAudio *audio();
    void playSync(const QString &fileName);
    void onWorkerMessage(const std::shared_ptr<Play> &play, int msg, const QVariant &data);
    void endPlay(const std::shared_ptr<Play> &play);

    LogPtr m_log;
    QPointer<AgentControl> m_agent;
    std::unique_ptr<AgentAudio> m_ownAudio;
    AudioStreamPtr m_background;
    std::vector<std::shared_ptr<Play>> m_plays;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    bool m_finalizing = false;
};
