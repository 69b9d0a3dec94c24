#pragma once
#include "AudioSink.h"
#include <QTimer>
#include <memory>

class QAudioSink;
class QIODevice;

/// Qt Multimedia output to the default device, fed in push mode so nothing blocks.
/// Every call is checked; open() fails at once when there is no usable device. The device
/// stream is closed a few seconds after the last sound (an open stream wakes the program
/// many times a second) and opened again by the next write. Main thread.
class DeviceAudioSink : public AudioSink
{
    Q_OBJECT
public:
    explicit DeviceAudioSink(QObject *parent = nullptr);
    ~DeviceAudioSink() override;

    /// True when the system reports a default output device.
    static bool hasDevice();

    bool open(QString *error) override;
    qint64 bytesFree() const override;
    qint64 write(const char *data, qint64 bytes) override;
    qint64 processedSamples() const override;
    qint64 writtenSamples() const override { return m_written; }
    void discard() override;
    QString describe() const override { return m_description; }

    /// Whether the device stream is open now (it is closed while idle).
    bool isStreamOpen() const { return m_sink != nullptr; }

    static constexpr int IdleCloseMs = 3000;

private:
    bool startStream(QString *error);
    void closeStream();
    void tick();
    bool check(const char *what);

    std::unique_ptr<QAudioSink> m_sink;
    QIODevice *m_io = nullptr;
    QTimer m_timer;
    QTimer m_idle;
    qint64 m_written = 0;
    qint64 m_discarded = 0;   ///< samples written before the last restart, counted as played
    QString m_description = QStringLiteral("device");
    bool m_broken = false;
};
