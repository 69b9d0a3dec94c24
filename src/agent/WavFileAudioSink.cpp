#include "WavFileAudioSink.h"
#include <QFile>
#include <sndfile.h>

WavFileAudioSink::WavFileAudioSink(const QString &path, double speed, QObject *parent)
    : NullAudioSink(speed, parent), m_path(path)
{
}

WavFileAudioSink::~WavFileAudioSink()
{
    close();
}

bool WavFileAudioSink::open(QString *error)
{
    close();
    SF_INFO info{};
    info.samplerate = SampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    m_file = sf_open(QFile::encodeName(m_path).constData(), SFM_WRITE, &info);
    if (!m_file) {
        if (error)
            *error = QStringLiteral("Cannot write '%1': %2").arg(m_path, QString::fromUtf8(sf_strerror(nullptr)));
        return false;
    }
    return true;
}

void WavFileAudioSink::close()
{
    if (m_file) {
        sf_close(m_file);
        m_file = nullptr;
    }
}

void WavFileAudioSink::consume(const char *data, qint64 bytes)
{
    if (!m_file)
        return;
    const sf_count_t frames = bytes / 2;
    if (sf_write_short(m_file, reinterpret_cast<const short *>(data), frames) != frames) {
        const QString why = QString::fromUtf8(sf_strerror(m_file));
        close();
        Q_EMIT failed(QStringLiteral("Cannot write '%1': %2").arg(m_path, why));
    }
}
