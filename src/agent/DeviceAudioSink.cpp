#include "DeviceAudioSink.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QMediaDevices>

namespace {
QAudioFormat speechFormat()
{
    QAudioFormat f;
    f.setSampleRate(AudioSink::SampleRate);
    f.setChannelCount(1);
    f.setSampleFormat(QAudioFormat::Int16);
    return f;
}
}

DeviceAudioSink::DeviceAudioSink(QObject *parent) : AudioSink(parent)
{
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &DeviceAudioSink::tick);
    m_idle.setSingleShot(true);
    m_idle.setInterval(IdleCloseMs);
    connect(&m_idle, &QTimer::timeout, this, &DeviceAudioSink::closeStream);
}

DeviceAudioSink::~DeviceAudioSink()
{
    if (m_sink)
        m_sink->stop();
}

bool DeviceAudioSink::hasDevice()
{
    return !QMediaDevices::defaultAudioOutput().isNull();
}

bool DeviceAudioSink::check(const char *what)
{
    if (!m_sink || m_sink->error() == QAudio::NoError)
        return true;
    m_broken = true;
    m_timer.stop();
    const QString why = QStringLiteral("audio output failed at %1 (error %2)")
                            .arg(QLatin1String(what))
                            .arg(int(m_sink->error()));
    QMetaObject::invokeMethod(this, [this, why] { Q_EMIT failed(why); }, Qt::QueuedConnection);
    return false;
}

bool DeviceAudioSink::open(QString *error)
{
    if (!startStream(error))
        return false;
    // Nothing to play yet: the stream is only kept for a while.
    m_idle.start();
    return true;
}

bool DeviceAudioSink::startStream(QString *error)
{
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) {
        if (error)
            *error = QStringLiteral("no audio output device");
        return false;
    }
    if (!device.isFormatSupported(speechFormat())) {
        if (error)
            *error = QStringLiteral("the audio device '%1' cannot play 22050 Hz mono").arg(device.description());
        return false;
    }
    m_description = QStringLiteral("device: ") + device.description();
    // Everything written before has been played: the new stream's clock starts there.
    m_discarded = m_written;
    m_sink = std::make_unique<QAudioSink>(device, speechFormat());
    // About 200 ms queued in the device: short enough for StopAll to be heard at once.
    m_sink->setBufferSize(AudioSink::SampleRate * 2 / 5);
    m_io = m_sink->start();
    if (!m_io || m_sink->error() != QAudio::NoError) {
        if (error)
            *error = QStringLiteral("cannot start the audio device '%1' (error %2)")
                         .arg(device.description())
                         .arg(int(m_sink->error()));
        m_sink.reset();
        m_io = nullptr;
        return false;
    }
    connect(m_sink.get(), &QAudioSink::stateChanged, this, [this](QAudio::State) { check("state change"); });
    return true;
}

void DeviceAudioSink::closeStream()
{
    if (!m_sink)
        return;
    if (m_written > processedSamples()) {
        m_idle.start();
        return;
    }
    m_timer.stop();
    m_sink->stop();
    m_sink.reset();
    m_io = nullptr;
}

qint64 DeviceAudioSink::bytesFree() const
{
    if (m_broken)
        return 0;
    if (!m_sink)
        return AudioSink::SampleRate * 2 / 5; // what a fresh stream takes
    return m_sink->bytesFree() & ~qint64(1);
}

qint64 DeviceAudioSink::write(const char *data, qint64 bytes)
{
    if (m_broken)
        return 0;
    m_idle.stop();
    if (!m_sink) {
        QString why;
        if (!startStream(&why)) {
            m_broken = true;
            QMetaObject::invokeMethod(this, [this, why] { Q_EMIT failed(why); }, Qt::QueuedConnection);
            return 0;
        }
    }
    if (!m_io)
        return 0;
    const qint64 n = m_io->write(data, qMin(bytes, bytesFree()) & ~qint64(1));
    if (n < 0 || !check("write"))
        return 0;
    m_written += n / 2;
    if (!m_timer.isActive())
        m_timer.start();
    return n;
}

qint64 DeviceAudioSink::processedSamples() const
{
    if (!m_sink || m_sink->state() == QAudio::IdleState)
        return m_written;   // idle in push mode: everything written has been played
    const qint64 played = m_discarded + m_sink->processedUSecs() * SampleRate / 1000000;
    return qMin(played, m_written);
}

void DeviceAudioSink::discard()
{
    if (!m_sink || m_broken)
        return;
    m_idle.start();
    // Restart the device to drop what it holds; the clock continues from what was written.
    m_sink->reset();
    m_discarded = m_written;
    m_io = m_sink->start();
    if (!m_io)
        m_broken = true;
    check("restart");
}

void DeviceAudioSink::tick()
{
    if (!check("play"))
        return;
    // Everything written has reached the device: nothing to follow until the next write
    // (the device may still report itself active, so its state is not waited for).
    if (processedSamples() >= m_written) {
        m_timer.stop();
        m_idle.start();
    }
    Q_EMIT progressed();
}
