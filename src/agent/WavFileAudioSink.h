#pragma once
#include "NullAudioSink.h"
#include <QString>

typedef struct sf_private_tag SNDFILE;

/// Writes everything played into a WAV file (22050 Hz mono 16-bit), keeping time
/// like the silent sink at `speed` (0: as fast as it comes). Main thread.
class WavFileAudioSink : public NullAudioSink
{
    Q_OBJECT
public:
    explicit WavFileAudioSink(const QString &path, double speed = 0.0, QObject *parent = nullptr);
    ~WavFileAudioSink() override;

    bool open(QString *error) override;
    QString describe() const override { return QStringLiteral("file: ") + m_path; }
    /// Finishes the file (header sizes); later writes are dropped. Also done on destruction.
    void close();
    const QString &path() const { return m_path; }

protected:
    void consume(const char *data, qint64 bytes) override;

private:
    const QString m_path;
    SNDFILE *m_file = nullptr;
};
