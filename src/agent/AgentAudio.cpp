#include "AgentAudio.h"
#include "AudioFileReader.h"
#include "DeviceAudioSink.h"
#include "NullAudioSink.h"
#include "WavFileAudioSink.h"

#include <QPointer>
#include <QThreadPool>

namespace {
AudioStreamPtr makeStream()
{
    return AudioStreamPtr(new AudioStream, [](AudioStream *s) { s->deleteLater(); });
}
}

AgentAudio::AgentAudio(std::unique_ptr<AudioSink> sink, QObject *parent) : QObject(parent)
{
    installSink(sink ? std::move(sink) : std::make_unique<NullAudioSink>());
}

AgentAudio::~AgentAudio()
{
    stopAll();
}

std::unique_ptr<AudioSink> AgentAudio::sinkFromEnvironment()
{
    const QString choice = qEnvironmentVariable("MURMELO_AUDIO");
    if (choice == QLatin1String("null"))
        return std::make_unique<NullAudioSink>();
    if (choice.startsWith(QLatin1String("file:")))
        return std::make_unique<WavFileAudioSink>(choice.mid(5), 1.0);
    if (choice == QLatin1String("device") || DeviceAudioSink::hasDevice())
        return std::make_unique<DeviceAudioSink>();
    return std::make_unique<NullAudioSink>();
}

void AgentAudio::installSink(std::unique_ptr<AudioSink> sink)
{
    QString why;
    if (!sink->open(&why)) {
        sink = std::make_unique<NullAudioSink>();
        sink->open(nullptr);
        QMetaObject::invokeMethod(this, [this, why] { Q_EMIT sinkReplaced(why); }, Qt::QueuedConnection);
    }
    m_sink = std::move(sink);
    connect(m_sink.get(), &AudioSink::progressed, this, &AgentAudio::pump);
    // Queued: a sink may fail inside write(); it is replaced once that call is over.
    connect(m_sink.get(), &AudioSink::failed, this, &AgentAudio::onSinkFailed, Qt::QueuedConnection);
}

void AgentAudio::onSinkFailed(const QString &why)
{
    // What the broken sink held is lost; the streams go on in the silent sink in real time.
    for (const AudioStreamPtr &s : m_queue)
        s->m_startAt = -1;
    if (!m_queue.empty() && m_queue.front()->m_startAt < 0 && m_queue.front()->m_status == AudioStream::StatusInProgress)
        m_queue.front()->m_played = m_queue.front()->m_appended - m_queue.front()->m_pending.size() / 2;
    auto old = std::move(m_sink);
    old->disconnect(this);
    old.release()->deleteLater();
    installSink(std::make_unique<NullAudioSink>());
    Q_EMIT sinkReplaced(why);
    pump();
}

AudioStreamPtr AgentAudio::openStream()
{
    AudioStreamPtr s = makeStream();
    connect(s.get(), &AudioStream::dataReady, this, &AgentAudio::pump);
    m_queue.push_back(s);
    QMetaObject::invokeMethod(this, &AgentAudio::pump, Qt::QueuedConnection);
    return s;
}

AudioStreamPtr AgentAudio::PlayWav(const QString &file)
{
    AudioStreamPtr s = openStream();
    AudioStreamPtr keep = s;
    QThreadPool::globalInstance()->start([keep, file] {
        QByteArray samples;
        QString error;
        const bool ok = AudioFileReader::read(file, AudioSink::SampleRate, samples, error);
        QMetaObject::invokeMethod(keep.get(), [keep, ok, samples, error] {
            if (!ok) {
                keep->fail(error);
                return;
            }
            keep->append(samples);
            keep->end();
        }, Qt::QueuedConnection);
    });
    return s;
}

void AgentAudio::stop(const AudioStreamPtr &stream)
{
    if (!stream)
        return;
    if (stream->isDone()) {
        std::erase(m_queue, stream);
        return;
    }
    const bool front = !m_queue.empty() && m_queue.front() == stream;
    if (front && stream->m_startAt >= 0)
        m_sink->discard();
    std::erase(m_queue, stream);
    stream->finish(AudioStream::StatusInterrupted);
    QMetaObject::invokeMethod(this, &AgentAudio::pump, Qt::QueuedConnection);
}

void AgentAudio::stopAll()
{
    while (!m_queue.empty())
        stop(m_queue.front());
}

void AgentAudio::pump()
{
    if (m_pumping)
        return;
    m_pumping = true;
    while (!m_queue.empty()) {
        AudioStreamPtr s = m_queue.front();
        if (s->isDone()) {
            m_queue.pop_front();
            continue;
        }
        if (s->m_startAt < 0) {
            if (s->m_pending.isEmpty() && !s->m_ended)
                break;   // nothing to play yet
            const bool first = s->m_status == AudioStream::StatusPending;
            s->m_startAt = m_sink->writtenSamples() - (s->m_appended - s->m_pending.size() / 2);
            s->m_status = AudioStream::StatusInProgress;
            if (first)
                Q_EMIT s->started();
            if (s->isDone())
                continue;
        }
        while (!s->m_pending.isEmpty()) {
            const qint64 n = m_sink->write(s->m_pending.constData(), s->m_pending.size());
            if (n <= 0)
                break;
            s->m_pending.remove(0, n);
        }
        const qint64 written = s->m_appended - s->m_pending.size() / 2;
        const qint64 played = qBound<qint64>(0, m_sink->processedSamples() - s->m_startAt, written);
        if (played > s->m_played) {
            s->m_played = played;
            Q_EMIT s->progressed(played);
            if (s->isDone())
                continue;
        }
        if (s->m_ended && s->m_pending.isEmpty() && s->m_played >= s->m_appended) {
            m_queue.pop_front();
            s->finish(AudioStream::StatusComplete);
            continue;
        }
        break;
    }
    m_pumping = false;
}
