#pragma once
#include "AudioSink.h"
#include <QElapsedTimer>
#include <QTimer>

/// A silent sink that keeps time: samples are "played" at the sample rate times
/// `speed` (1 real time; 0 at once), so requests take their natural time without a
/// device. Its timer runs only while sound is queued: idle costs nothing. Main thread.
class NullAudioSink : public AudioSink
{
    Q_OBJECT
public:
    explicit NullAudioSink(double speed = 1.0, QObject *parent = nullptr);

    bool open(QString *error) override;
    qint64 bytesFree() const override;
    qint64 write(const char *data, qint64 bytes) override;
    qint64 processedSamples() const override;
    qint64 writtenSamples() const override { return m_written; }
    void discard() override;
    QString describe() const override { return QStringLiteral("silent"); }

    /// How far ahead of the clock writes may go, in samples.
    static constexpr qint64 BufferSamples = AudioSink::SampleRate / 4;

protected:
    /// Called with every accepted block (the file sink stores it).
    virtual void consume(const char *data, qint64 bytes) { Q_UNUSED(data) Q_UNUSED(bytes) }

private:
    void tick();
    void advance() const;

    const double m_speed;
    QTimer m_timer;
    mutable QElapsedTimer m_clock;
    mutable qint64 m_processed = 0;
    mutable qint64 m_clockBase = 0;   ///< m_processed when m_clock was (re)started
    qint64 m_written = 0;
};
