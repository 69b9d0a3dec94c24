#pragma once
#include <QObject>
#include <QString>

/// Where the agent's sound goes: 22050 Hz, mono, signed 16-bit samples.
/// Main thread. The owner writes at most bytesFree() and reads the clock
/// processedSamples() (samples played so far, never going back).
class AudioSink : public QObject
{
    Q_OBJECT
public:
    static constexpr int SampleRate = 22050;

    using QObject::QObject;
    ~AudioSink() override = default;

    /// Prepares the output. False with `error` set when it cannot play at all.
    virtual bool open(QString *error) = 0;
    /// Bytes that may be written now without blocking.
    virtual qint64 bytesFree() const = 0;
    /// Queues samples; returns the bytes taken (whole samples).
    virtual qint64 write(const char *data, qint64 bytes) = 0;
    /// Samples played since open().
    virtual qint64 processedSamples() const = 0;
    /// Samples written since open().
    virtual qint64 writtenSamples() const = 0;
    /// Drops what was written and not yet played; the clock jumps to writtenSamples().
    virtual void discard() = 0;
    /// A short description for logs ("device: Built-in Audio", "silent", "file: x.wav").
    virtual QString describe() const = 0;

Q_SIGNALS:
    /// The clock moved or room became free (emitted while there is sound to play).
    void progressed();
    /// The output broke; nothing more will play through this sink.
    void failed(const QString &error);
};
