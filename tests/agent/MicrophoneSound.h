#pragma once
// Sound as a desktop microphone delivers it, for the recognition suite and the agent benchmark.
#include "agent/AudioFileReader.h"

#include <QByteArray>

/// 16 kHz mono 16-bit sound as 48 kHz stereo float.
inline QByteArray asMicrophone(const QByteArray &mono16k)
{
    const QByteArray m48 = AudioFileReader::resample(mono16k, 16000, 48000);
    QByteArray out(m48.size() / 2 * 8, Qt::Uninitialized);
    const auto *in = reinterpret_cast<const qint16 *>(m48.constData());
    auto *f = reinterpret_cast<float *>(out.data());
    for (qsizetype i = 0; i < m48.size() / 2; ++i)
        f[2 * i] = f[2 * i + 1] = float(in[i]) / 32768.0f;
    return out;
}
