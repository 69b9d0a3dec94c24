#pragma once
#include "AudioSink.h"
#include <QTimer>
#include <memory>

class QAudioSink;
class QIODevice;

/// Qt Multimedia output to the default device, fed in push mode so nothing blocks.
/// Every call is checked; open() fails at once when there is no usable device. Main thread.
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

private:
    void tick();
    bool check(const char *what);

    std::unique_ptr<QAudioSink> m_sink;
    QIODevice *m_io = nullptr;
    QTimer m_timer;
    qint64 m_written = 0;
    qint64 m_discarded = 0;   ///< samples written before the last restart, counted as played
    QString m_description = QStringLiteral("device");
    bool m_broken = false;
};
