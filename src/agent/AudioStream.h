#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

/// One sound on its way through AgentAudio: speech as it is synthesised or a WAV
/// file. The producer appends samples (22050 Hz mono int16) and calls end(); the
/// output reports how far it has played and when it is over. Main thread.
class AudioStream : public QObject
{
    Q_OBJECT
public:
    static constexpr int StatusComplete = 0;
    static constexpr int StatusFailed = 1;
    static constexpr int StatusPending = 2;
    static constexpr int StatusInterrupted = 3;
    static constexpr int StatusInProgress = 4;

    AudioStream() = default;

    void append(const QByteArray &samples);
    /// No more samples will come.
    void end();
    /// Ends it at once as failed (for example a file that cannot be read).
    void fail(const QString &error);

    int Status() const { return m_status; }
    const QString &error() const { return m_error; }
    bool isEnded() const { return m_ended; }
    bool isDone() const { return m_status != StatusPending && m_status != StatusInProgress; }
    /// Samples appended so far / handed to the sink so far / heard so far.
    qint64 appendedSamples() const { return m_appended; }
    qint64 playedSamples() const { return m_played; }

Q_SIGNALS:
    /// Samples were appended or the producer ended (for the output).
    void dataReady();
    /// `played` samples of this stream have been heard.
    void progressed(qint64 played);
    /// Started playing (first sample handed to the sink).
    void started();
    /// Complete, failed or interrupted; exactly once.
    void finished();

private:
    friend class AgentAudio;
    void finish(int status, const QString &error = {});

    QByteArray m_pending;      ///< appended, not yet written to the sink
    qint64 m_appended = 0;
    qint64 m_played = 0;
    qint64 m_startAt = -1;     ///< sink's written-sample count when this stream began
    int m_status = StatusPending;
    QString m_error;
    bool m_ended = false;
};

using AudioStreamPtr = std::shared_ptr<AudioStream>;
