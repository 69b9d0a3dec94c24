#pragma once
#include <QAudioFormat>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <memory>

class QAudioSource;
class QIODevice;
class MicrophoneConverter;
class RecognizerWorker;

/// Voice input: the default microphone (or a device handed in), made 16 kHz mono and
/// fed to the recogniser on its own thread while listening is held or hands-free is on.
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
    /// Sound from `device` (not owned; must outlive the listening) in `format` instead
    /// of the default microphone, from the next opening on: a recording or a pipe.
    void useInput(QIODevice *device, const QAudioFormat &format);
    /// The character talks through the loudspeakers (from its first sample heard to its
    /// last): hands-free listening ignores the microphone then and for the echo tail
    /// after, so that it neither obeys nor decodes the character's own voice.
    void setSpeakerTalking(bool talking);
    void setEchoTailMs(int ms) { m_echoTail.setInterval(ms); }
    bool isDeaf() const { return m_deaf; }

Q_SIGNALS:
    void recognized(const QString &phrase, int confidence, const QString &error);
    void listeningChanged(bool listening);
    /// Hands-free listening started or stopped ignoring the microphone.
    void deafChanged(bool deaf);

private:
    bool openMicrophone(QString *error);
    void closeMicrophone();
    void onMicrophoneData();
    void setDeaf(bool deaf);

    QThread m_thread;
    RecognizerWorker *m_worker;   ///< lives on m_thread
    std::unique_ptr<QAudioSource> m_source;
    QIODevice *m_io = nullptr;
    std::unique_ptr<MicrophoneConverter> m_converter;
    QPointer<QIODevice> m_input;   ///< handed in; replaces the microphone
    QAudioFormat m_inputFormat;
    bool m_holding = false;
    bool m_handsFree = false;
    bool m_deaf = false;
    QTimer m_echoTail;
};
