#pragma once
#include <QByteArray>
#include <QString>

typedef struct soxr *soxr_t;

/// Turns the microphone's sound (int16 or float, any channels and rate) into what the
/// recogniser takes: 16 kHz mono int16, resampled with libsoxr. Keeps the resampler's
/// state between calls. Not thread-safe.
class MicrophoneConverter
{
public:
    MicrophoneConverter(int rate, int channels, bool isFloat);
    ~MicrophoneConverter();
    MicrophoneConverter(const MicrophoneConverter &) = delete;
    MicrophoneConverter &operator=(const MicrophoneConverter &) = delete;

    /// Empty when the converter works; else why not.
    const QString &error() const { return m_error; }
    /// Whole frames of `raw`; a partial frame at the end is ignored.
    QByteArray convert(const QByteArray &raw);

private:
    soxr_t m_resampler = nullptr;
    int m_rate;
    int m_channels;
    bool m_float;
    QString m_error;
};
