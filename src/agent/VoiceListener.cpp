#include "VoiceListener.h"
#include "RecognizerWorker.h"
#include "SpeechRecognizer.h"
#include "SpeechSynthesizer.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QMediaDevices>
#include <soxr.h>

VoiceListener::VoiceListener(QObject *parent) : QObject(parent), m_worker(new RecognizerWorker)
{
    SpeechSynthesizer::instance();   // the recogniser asks it for pronunciations
    m_thread.setObjectName(QStringLiteral("recogniser"));
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &RecognizerWorker::recognized, this, &VoiceListener::recognized);
    m_thread.start();
}

VoiceListener::~VoiceListener()
{
    closeMicrophone();
    m_thread.quit();
    m_thread.wait();
}

void VoiceListener::setPhrases(const QStringList &phrases)
{
    QMetaObject::invokeMethod(m_worker, [w = m_worker, phrases] { w->setPhrases(phrases); }, Qt::QueuedConnection);
}

bool VoiceListener::openMicrophone(QString *error)
{
    if (m_source)
        return true;
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (device.isNull()) {
        *error = QStringLiteral("no microphone");
        return false;
    }
    QAudioFormat f;
    f.setSampleRate(SpeechRecognizer::SampleRate);
    f.setChannelCount(1);
    f.setSampleFormat(QAudioFormat::Int16);
    if (!device.isFormatSupported(f))
        f = device.preferredFormat();
    if (f.sampleFormat() != QAudioFormat::Int16 && f.sampleFormat() != QAudioFormat::Float) {
        *error = QStringLiteral("the microphone's sample format is not supported");
        return false;
    }
    m_micRate = f.sampleRate();
    m_micChannels = qMax(1, f.channelCount());
    m_micFloat = f.sampleFormat() == QAudioFormat::Float;
    m_micBytesPerSample = m_micFloat ? 4 : 2;
    if (m_micRate != SpeechRecognizer::SampleRate) {
        soxr_error_t err = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
        const soxr_quality_spec_t q = soxr_quality_spec(SOXR_MQ, 0);
        m_resampler = soxr_create(m_micRate, SpeechRecognizer::SampleRate, 1, &err, &io, &q, nullptr);
        if (err) {
            *error = QStringLiteral("cannot resample the microphone: %1").arg(QString::fromUtf8(err));
            return false;
        }
    }
    m_source = std::make_unique<QAudioSource>(device, f);
    m_io = m_source->start();
    if (!m_io || m_source->error() != QAudio::NoError) {
        *error = QStringLiteral("cannot open the microphone '%1'").arg(device.description());
        closeMicrophone();
        return false;
    }
    connect(m_io, &QIODevice::readyRead, this, &VoiceListener::onMicrophoneData);
    return true;
}

void VoiceListener::closeMicrophone()
{
    if (m_source) {
        m_source->stop();
        m_source.reset();
    }
    m_io = nullptr;
    if (m_resampler) {
        soxr_delete(m_resampler);
        m_resampler = nullptr;
    }
}

void VoiceListener::onMicrophoneData()
{
    if (!m_io)
        return;
    const QByteArray raw = m_io->readAll();
    const int frameBytes = m_micBytesPerSample * m_micChannels;
    const int frames = int(raw.size() / frameBytes);
    if (frames <= 0)
        return;
    QByteArray mono(frames * 2, Qt::Uninitialized);
    auto *out = reinterpret_cast<qint16 *>(mono.data());
    for (int i = 0; i < frames; ++i) {
        double sum = 0;
        for (int c = 0; c < m_micChannels; ++c) {
            const char *p = raw.constData() + i * frameBytes + c * m_micBytesPerSample;
            sum += m_micFloat ? double(*reinterpret_cast<const float *>(p)) * 32767.0
                              : double(*reinterpret_cast<const qint16 *>(p));
        }
        out[i] = qint16(qBound(-32768.0, sum / m_micChannels, 32767.0));
    }
    if (m_resampler) {
        QByteArray resampled(int(frames * double(SpeechRecognizer::SampleRate) / m_micRate + 64) * 2,
                             Qt::Uninitialized);
        size_t done = 0;
        soxr_process(m_resampler, mono.constData(), size_t(frames), nullptr, resampled.data(),
                     size_t(resampled.size() / 2), &done);
        resampled.resize(qsizetype(done * 2));
        mono = resampled;
    }
    QMetaObject::invokeMethod(m_worker, [w = m_worker, mono] { w->feed(mono); }, Qt::QueuedConnection);
}

void VoiceListener::startListening()
{
    if (m_holding)
        return;
    QString error;
    if (!openMicrophone(&error)) {
        Q_EMIT recognized({}, 0, error);
        return;
    }
    m_holding = true;
    QMetaObject::invokeMethod(m_worker, [w = m_worker] { w->begin(); }, Qt::QueuedConnection);
    Q_EMIT listeningChanged(true);
}

void VoiceListener::stopListening()
{
    if (!m_holding)
        return;
    m_holding = false;
    QMetaObject::invokeMethod(m_worker, [w = m_worker] { w->end(); }, Qt::QueuedConnection);
    if (!m_handsFree)
        closeMicrophone();
    Q_EMIT listeningChanged(m_handsFree);
}

void VoiceListener::setHandsFree(bool on)
{
    if (on == m_handsFree)
        return;
    if (on) {
        QString error;
        if (!openMicrophone(&error)) {
            Q_EMIT recognized({}, 0, error);
            return;
        }
    }
    m_handsFree = on;
    QMetaObject::invokeMethod(m_worker, [w = m_worker, on] { w->setHandsFree(on); }, Qt::QueuedConnection);
    if (!on && !m_holding)
        closeMicrophone();
    Q_EMIT listeningChanged(on || m_holding);
}

void VoiceListener::recognizeFile(const QString &path)
{
    QMetaObject::invokeMethod(m_worker, [w = m_worker, path] { w->recognizeFile(path); }, Qt::QueuedConnection);
}
