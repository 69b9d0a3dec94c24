#include "AudioStream.h"

void AudioStream::append(const QByteArray &samples)
{
    if (m_ended || isDone() || samples.isEmpty())
        return;
    m_pending += samples;
    m_appended += samples.size() / 2;
    Q_EMIT dataReady();
}

void AudioStream::end()
{
    if (m_ended)
        return;
    m_ended = true;
    Q_EMIT dataReady();
}

void AudioStream::fail(const QString &error)
{
    m_ended = true;
    m_pending.clear();
    finish(StatusFailed, error);
}

void AudioStream::finish(int status, const QString &error)
{
    if (isDone())
        return;
    m_status = status;
    m_error = error;
    m_pending.clear();
    Q_EMIT finished();
}
