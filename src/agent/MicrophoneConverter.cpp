#include "MicrophoneConverter.h"
#include "SpeechRecognizer.h"

#include <soxr.h>

MicrophoneConverter::MicrophoneConverter(int rate, int channels, bool isFloat)
    : m_rate(rate), m_channels(qMax(1, channels)), m_float(isFloat)
{
    if (m_rate <= 0) {
        m_error = QStringLiteral("the microphone reports no sample rate");
        return;
    }
    if (m_rate == SpeechRecognizer::SampleRate)
        return;
    soxr_error_t err = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_MQ, 0);
    m_resampler = soxr_create(m_rate, SpeechRecognizer::SampleRate, 1, &err, &io, &q, nullptr);
    if (err) {
        m_error = QStringLiteral("cannot resample the microphone: %1").arg(QString::fromUtf8(err));
        if (m_resampler)
            soxr_delete(m_resampler);
        m_resampler = nullptr;
    }
}

MicrophoneConverter::~MicrophoneConverter()
{
    if (m_resampler)
        soxr_delete(m_resampler);
}

QByteArray MicrophoneConverter::convert(const QByteArray &raw)
{
    const int bytesPerSample = m_float ? 4 : 2;
    const int frameBytes = bytesPerSample * m_channels;
    const int frames = int(raw.size() / frameBytes);
    if (frames <= 0 || !m_error.isEmpty())
        return {};
    QByteArray mono(frames * 2, Qt::Uninitialized);
    auto *out = reinterpret_cast<qint16 *>(mono.data());
    for (int i = 0; i < frames; ++i) {
        double sum = 0;
        for (int c = 0; c < m_channels; ++c) {
            const char *p = raw.constData() + qsizetype(i) * frameBytes + c * bytesPerSample;
            sum += m_float ? double(*reinterpret_cast<const float *>(p)) * 32767.0
                           : double(*reinterpret_cast<const qint16 *>(p));
        }
        out[i] = qint16(qBound(-32768.0, sum / m_channels, 32767.0));
    }
    if (!m_resampler)
        return mono;
    QByteArray resampled(int(frames * double(SpeechRecognizer::SampleRate) / m_rate + 64) * 2, Qt::Uninitialized);
    size_t done = 0;
    soxr_process(m_resampler, mono.constData(), size_t(frames), nullptr, resampled.data(),
                 size_t(resampled.size() / 2), &done);
    resampled.resize(qsizetype(done * 2));
    return resampled;
}
