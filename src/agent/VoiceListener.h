#pragma once
#include <QObject>
#include <QStringList>
#include <QThread>
#include <memory>

class QAudioSource;
class QIODevice;
class RecognizerWorker;
typedef struct soxr *soxr_t;

/// Voice input: the default microphone, resampled to 16 kHz with libsoxr, fed to
/// the recogniser on its own thread while listening is held or hands-free is on.
/// Main thread; owned by the control.
class VoiceListener : public QObject
{
    Q_OBJECT
public:
    explicit VoiceListener(QObject *parent = nullptr);
    ~VoiceListener() override;

    void setPhrases(const QStringList &phrases);
    void startListening();
    void stopListening();
    bool isListening() const { return m_holding; }
    void setHandsFree(bool on);
    bool handsFree() const { return m_handsFree; }
    void recognizeFile(const QString &path);

Q_SIGNALS:
    void recognized(const QString &phrase, int confidence, const QString &error);
    void listeningChanged(bool listening);

private:
    bool openMicrophone(QString *error);
    void closeMicrophone();
    void onMicrophoneData();

    QThread m_thread;
    RecognizerWorker *m_worker;   ///< lives on m_thread
    std::unique_ptr<QAudioSource> m_source;
    QIODevice *m_io = nullptr;
    soxr_t m_resampler = nullptr;
    int m_micRate = 0;
    int m_micChannels = 1;
    int m_micBytesPerSample = 2;
    bool m_micFloat = false;
    bool m_holding = false;
    bool m_handsFree = false;
};
