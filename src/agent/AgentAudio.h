#pragma once
#include "AudioStream.h"
#include <QObject>
#include <QString>
#include <deque>
#include <memory>

class AudioSink;

/// The one output path for speech and sounds: streams play one after another
/// through one AudioSink. Never blocks. Main thread; owned by the control.
class AgentAudio : public QObject
{
    Q_OBJECT
public:
    /// Takes the sink (opened here); a sink that cannot open is replaced by the silent one.
    explicit AgentAudio(std::unique_ptr<AudioSink> sink, QObject *parent = nullptr);
    ~AgentAudio() override;

    /// The sink chosen by MURMELO_AUDIO: "null", "file:<path>", "device"; unset: the
    /// default device when there is one, else silent.
    static std::unique_ptr<AudioSink> sinkFromEnvironment();

    /// A new stream queued behind the others.
    AudioStreamPtr openStream();
    /// Plays a sound file (WAV and whatever libsndfile reads), decoded off the main
    /// thread; the stream fails with a clear text when the file cannot be read.
    AudioStreamPtr PlayWav(const QString &file);
    /// Ends a stream at once (status interrupted); queued ones are dropped, the playing
    /// one is cut off in the sink.
    void stop(const AudioStreamPtr &stream);
    void stopAll();

    AudioSink *sink() const { return m_sink.get(); }

Q_SIGNALS:
    /// The sink broke and was replaced by the silent one (the text says why).
    void sinkReplaced(const QString &why);

private:
    void pump();
    void onSinkFailed(const QString &why);
    void installSink(std::unique_ptr<AudioSink> sink);

    std::unique_ptr<AudioSink> m_sink;
    std::deque<AudioStreamPtr> m_queue;   ///< front is playing (or next to play)
    bool m_pumping = false;
};
