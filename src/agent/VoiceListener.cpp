#include "VoiceListener.h"
#include "MicrophoneConverter.h"
#include "RecognizerWorker.h"
#include "SpeechRecognizer.h"
#include "SpeechSynthesizer.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QMediaDevices>

// The synthesiser is made here, on the main thread; the recogniser asks it for pronunciations.
VoiceListener::VoiceListener(QObject *parent)
    : QObject(parent), m_worker(new RecognizerWorker(SpeechSynthesizer::instance()->pronouncer()))
{
    m_thread.setObjectName(QStringLiteral("recogniser"));
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &RecognizerWorker::recognized, this, &VoiceListener::recognized);
    m_thread.start();
    // The room rings on a little after the last sample.
    m_echoTail.setSingleShot(true);
    m_echoTail.setInterval(300);
    connect(&m_echoTail, &QTimer::timeout, this, [this] { setDeaf(false); });
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
    if (m_io)
        return true;
    QAudioFormat f;
    QAudioDevice device;
    if (m_input) {
        f = m_inputFormat;
    } else {
        device = QMediaDevices::defaultAudioInput();
        if (device.isNull()) {
            *error = QStringLiteral("no microphone");
            return false;
        }
        f.setSampleRate(SpeechRecognizer::SampleRate);
        f.setChannelCount(1);
        f.setSampleFormat(QAudioFormat::Int16);
        if (!device.isFormatSupported(f))
            f = device.preferredFormat();
    }
    if (f.sampleFormat() != QAudioFormat::Int16 && f.sampleFormat() != QAudioFormat::Float) {
        *error = QStringLiteral("the microphone's sample format is not supported");
        return false;
    }
    m_converter = std::make_unique<MicrophoneConverter>(f.sampleRate(), f.channelCount(),
                                                        f.sampleFormat() == QAudioFormat::Float);
    if (!m_converter->error().isEmpty()) {
        *error = m_converter->error();
        m_converter.reset();
        return false;
    }
    if (m_input) {
        m_io = m_input;
    } else {
        m_source = std::make_unique<QAudioSource>(device, f);
        // A tenth of a second per wake-up: listening all the time must cost next to nothing.
        m_source->setBufferSize(f.bytesForDuration(100000));
        m_io = m_source->start();
        if (!m_io || m_source->error() != QAudio::NoError) {
            *error = QStringLiteral("cannot open the microphone '%1'").arg(device.description());
            closeMicrophone();
            return false;
        }
    }
    connect(m_io, &QIODevice::readyRead, this, &VoiceListener::onMicrophoneData);
    if (m_io->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &VoiceListener::onMicrophoneData, Qt::QueuedConnection);
    return true;
}

void VoiceListener::closeMicrophone()
{
    if (m_io)
        disconnect(m_io, nullptr, this, nullptr);
    if (m_source) {
        m_source->stop();
        m_source.reset();
    }
    m_io = nullptr;
    m_converter.reset();
}

void VoiceListener::useInput(QIODevice *device, const QAudioFormat &format)
{
    m_input = device;
    m_inputFormat = format;
}

void VoiceListener::onMicrophoneData()
{
    if (!m_io || !m_converter)
        return;
    const QByteArray mono = m_converter->convert(m_io->readAll());
    if (mono.isEmpty())
        return;
    QMetaObject::invokeMethod(m_worker, [w = m_worker, mono] { w->feed(mono); }, Qt::QueuedConnection);
}

void VoiceListener::setSpeakerTalking(bool talking)
{
    if (talking) {
        m_echoTail.stop();
        setDeaf(true);
    } else if (m_deaf) {
        m_echoTail.start();
    }
}

void VoiceListener::setDeaf(bool deaf)
{
    if (deaf == m_deaf)
        return;
    m_deaf = deaf;
    // What the microphone holds was heard before this moment: on the old side of it.
    onMicrophoneData();
    QMetaObject::invokeMethod(m_worker, [w = m_worker, deaf] { w->setDeaf(deaf); }, Qt::QueuedConnection);
    Q_EMIT deafChanged(deaf);
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
    onMicrophoneData();   // what was said up to the release
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
