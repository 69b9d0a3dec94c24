#include "CWavWorker.h"

#include "AudioFileReader.h"
#include "AudioSink.h"
#include "trellis/CancelEvent.h"
#include "trellis/Log.h"
#include "trellis/MUError.h"
#include "trellis/MetaTypes.h"
#include "trellis/Messanger.h"

void CWavWorker::Register()
{
    if (!ThreadRunner::IsRegistered(ProgId()))
        ThreadRunner::Register(ProgId(), [] { return std::make_unique<CWavWorker>(); });
}

void CWavWorker::Run(const DataBag &data)
{
    const LogPtr log = data.Item(QStringLiteral("Log")).value<LogPtr>();
    const MessangerPtr messanger = data.Item(QStringLiteral("Messanger")).value<MessangerPtr>();
    const QString fileName = data.Item(QStringLiteral("FileName")).toString();
    QString failure;
    try {
        QByteArray samples;
        QString error;
        if (!AudioFileReader::read(fileName, AudioSink::SampleRate, samples, error))
            throw MUError(MUError::engineNumber(521), error, QStringLiteral("CWavWorker.Run"));
        const CancelEventPtr end = CancelEvent::Open(data.Item(QStringLiteral("EndEvent")).toString());
        if (!end)
            throw MUError(MUError::Fail, QStringLiteral("The player has gone. "), QStringLiteral("CWavWorker.Run"));
        const qint64 lengthMs = samples.size() / 2 * 1000 / AudioSink::SampleRate;
        if (messanger)
            messanger->Post(MsgSound, samples);
        // Blocks like a synchronous system play: until the waver says the sound was heard.
        end->Wait(lengthMs + SlackMs);
    } catch (const MUError &e) {
        failure = e.description();
        if (log)
            log->Write(e.number(), e.description(), Log::LevelError, QStringLiteral("CWavWorker.Run"));
    } catch (const std::exception &e) {
        failure = QString::fromLocal8Bit(e.what());
        if (log)
            log->Write(MUError::Fail, failure, Log::LevelError, QStringLiteral("CWavWorker.Run"));
    }
    // The waver's wait ends only on this message: it goes out whatever happened above.
    if (messanger)
        messanger->Post(MsgOver, failure);
}
