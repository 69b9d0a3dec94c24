#include "AudioFileReader.h"

#include <QFile>
#include <QFileInfo>
#include <sndfile.h>
#include <soxr.h>
#include <vector>

namespace AudioFileReader {

QByteArray resample(const QByteArray &samples, int inRate, int outRate)
{
    if (inRate == outRate || samples.isEmpty())
        return samples;
    const size_t inLen = size_t(samples.size() / 2);
    const size_t outCap = size_t(double(inLen) * outRate / inRate) + 64;
    QByteArray out(qsizetype(outCap * 2), Qt::Uninitialized);
    size_t done = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_error_t err = soxr_oneshot(inRate, outRate, 1, samples.constData(), inLen, nullptr,
                                          out.data(), outCap, &done, &io, &q, nullptr);
    if (err)
        return {};
    out.resize(qsizetype(done * 2));
    return out;
}

bool read(const QString &path, int sampleRate, QByteArray &samples, QString &error, int maxSeconds)
{
    if (!QFileInfo::exists(path)) {
        error = QStringLiteral("File '%1' not found.").arg(path);
        return false;
    }
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f) {
        error = QStringLiteral("'%1' is not a sound file: %2").arg(path, QString::fromUtf8(sf_strerror(nullptr)));
        return false;
    }
    if (info.channels <= 0 || info.samplerate <= 0 || info.frames < 0
        || info.frames > sf_count_t(maxSeconds) * info.samplerate) {
        sf_close(f);
        error = QStringLiteral("'%1' is too long or malformed to play.").arg(path);
        return false;
    }
    std::vector<float> buf(size_t(info.frames) * size_t(info.channels));
    const sf_count_t got = sf_readf_float(f, buf.data(), info.frames);
    sf_close(f);
    if (got < 0) {
        error = QStringLiteral("Cannot read '%1'.").arg(path);
        return false;
    }
    QByteArray mono(qsizetype(got * 2), Qt::Uninitialized);
    auto *out = reinterpret_cast<qint16 *>(mono.data());
    for (sf_count_t i = 0; i < got; ++i) {
        float sum = 0;
        for (int c = 0; c < info.channels; ++c)
            sum += buf[size_t(i) * size_t(info.channels) + size_t(c)];
        const float v = qBound(-1.0f, sum / float(info.channels), 1.0f);
        out[i] = qint16(v * 32767.0f);
    }
    samples = resample(mono, info.samplerate, sampleRate);
    if (samples.isEmpty() && !mono.isEmpty()) {
        error = QStringLiteral("Cannot convert '%1' to %2 Hz.").arg(path).arg(sampleRate);
        return false;
    }
    return true;
}

}
