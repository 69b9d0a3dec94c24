#include "CWaver.h"
#include "CWavWorker.h"

#include "AgentAudio.h"
#include "AgentControl.h"
#include "AudioSink.h"
#include "trellis/CancelEvent.h"
#include "trellis/DataBag.h"
#include "trellis/MUError.h"
#include "trellis/MessageTable.h"
#include "trellis/MetaTypes.h"
#include "trellis/Messanger.h"
#include "trellis/ThreadRunner.h"
#include "trellis/Utility.h"

#include <QEventLoop>

struct CWaver::Play
{
    MessangerPtr messanger;
    CancelEventPtr end;          ///< signalled when the sound has been heard (or dropped)
    AudioStreamPtr stream;
    QEventLoop *loop = nullptr;
    bool over = false;           ///< the worker's last message arrived
};

CWaver::CWaver(QObject *parent) : QObject(parent) {}

CWaver::~CWaver()
{
    *m_alive = false;
    Finalize();
}

void CWaver::Init(CSettings *settings, LogPtr log, AgentControl *agent)
{
    Q_UNUSED(settings)
    m_log = std::move(log);
    m_agent = agent;
    RegisterTrellisMetaTypes();
    CWavWorker::Register();
}

AgentAudio *CWaver::audio()
{
    if (m_agent)
        return m_agent->audio();
    if (!m_ownAudio)
        m_ownAudio = std::make_unique<AgentAudio>(AgentAudio::sinkFromEnvironment());
    return m_ownAudio.get();
}

void CWaver::PlayWav(const QString &fileName, bool async)
{
    if (m_finalizing)
        return;
    try {
        if (!Files::FileExists(fileName))
            throw MUError::engine(522, QStringLiteral("CWaver.PlayWav"), {fileName});
        if (async) {
            if (m_background)
                audio()->stop(m_background);
            m_background = audio()->PlayWav(fileName);
            return;
        }
        playSync(fileName);
    } catch (const MUError &e) {
        if (m_log)
            m_log->Write(MUError::engineNumber(521), MessageTable::Text(521) + e.description(), Log::LevelError,
                         QStringLiteral("CWaver.PlayWav"));
    }
}

void CWaver::playSync(const QString &fileName)
{
    auto play = std::make_shared<Play>();
    play->messanger = Messanger::Create();
    play->end = CancelEvent::Create(Utility::NewGuidString() + QStringLiteral("WC"));
    connect(play->messanger.get(), &Messanger::MsgArrived, this,
            [this, weak = std::weak_ptr<Play>(play)](int msg, const QVariant &data) {
                if (auto p = weak.lock())
                    onWorkerMessage(p, msg, data);
            });
    DataBag bag;
    bag.Add(QVariant::fromValue(play->messanger), QStringLiteral("Messanger"));
    bag.Add(fileName, QStringLiteral("FileName"));
    bag.Add(QVariant::fromValue(m_log), QStringLiteral("Log"));
    bag.Add(play->end->name(), QStringLiteral("EndEvent"));
    ThreadRunner runner;
    runner.Start(CWavWorker::ProgId(), QStringLiteral("Run"), bag);

    m_plays.push_back(play);
    QEventLoop loop;
    play->loop = &loop;
    const std::shared_ptr<bool> alive = m_alive;
    if (!play->over)
        loop.exec();
    if (!*alive)
        return;   // the waver went away while the sound played
    play->loop = nullptr;
    std::erase(m_plays, play);
    play->messanger->disconnect(this);
}

void CWaver::onWorkerMessage(const std::shared_ptr<Play> &play, int msg, const QVariant &data)
{
    if (msg == CWavWorker::MsgSound) {
        if (m_finalizing || play->over) {
            play->end->Signal();
            return;
        }
        play->stream = audio()->openStream();
        connect(play->stream.get(), &AudioStream::finished, this, [end = play->end] { end->Signal(); });
        play->stream->append(data.toByteArray());
        play->stream->end();
        return;
    }
    play->over = true;
    endPlay(play);
}

void CWaver::endPlay(const std::shared_ptr<Play> &play)
{
    if (play->stream && !play->stream->isDone()) {
        play->stream->disconnect(this);
        if (m_agent)
            m_agent->audio()->stop(play->stream);
        else if (m_ownAudio)
            m_ownAudio->stop(play->stream);
    }
    play->end->Signal();
    if (play->loop)
        play->loop->quit();
}

void CWaver::Finalize()
{
    m_finalizing = true;
    if (m_background && !m_background->isDone()) {
        if (m_agent)
            m_agent->audio()->stop(m_background);
        else if (m_ownAudio)
            m_ownAudio->stop(m_background);
    }
    m_background.reset();
    const auto plays = m_plays;
    for (const auto &play : plays)
        endPlay(play);
}
