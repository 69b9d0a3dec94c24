#include "NullAudioSink.h"

NullAudioSink::NullAudioSink(double speed, QObject *parent) : AudioSink(parent), m_speed(speed)
{
    m_timer.setInterval(20);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &NullAudioSink::tick);
}

bool NullAudioSink::open(QString *error)
{
    Q_UNUSED(error)
    return true;
}

void NullAudioSink::advance() const
{
    if (m_processed >= m_written || !m_clock.isValid())
        return;
    if (m_speed <= 0) {
        m_processed = m_written;
        return;
    }
    const qint64 due = m_clockBase + qint64(m_clock.nsecsElapsed() * 1e-9 * SampleRate * m_speed);
    m_processed = qMin(m_written, due);
}

qint64 NullAudioSink::processedSamples() const
{
    advance();
    return m_processed;
}

qint64 NullAudioSink::bytesFree() const
{
    advance();
    if (m_speed <= 0)
        return 1 << 20;
    return qMax<qint64>(0, BufferSamples - (m_written - m_processed)) * 2;
}

qint64 NullAudioSink::write(const char *data, qint64 bytes)
{
    const qint64 take = qMin(bytes, bytesFree()) & ~qint64(1);
    if (take <= 0)
        return 0;
    advance();
    if (m_processed >= m_written) {
        // The clock was idle: playing starts now.
        m_clock.start();
        m_clockBase = m_processed;
    }
    consume(data, take);
    m_written += take / 2;
    if (!m_timer.isActive())
        m_timer.start();
    if (m_speed <= 0)
        QMetaObject::invokeMethod(this, [this] { tick(); }, Qt::QueuedConnection);
    return take;
}

void NullAudioSink::discard()
{
    advance();
    m_processed = m_written;
}

void NullAudioSink::tick()
{
    advance();
    if (m_processed >= m_written)
        m_timer.stop();
    Q_EMIT progressed();
}
