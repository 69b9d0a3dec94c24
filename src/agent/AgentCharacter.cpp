#include "AgentCharacter.h"
#include "AgentAudio.h"
#include "AgentBalloon.h"
#include "AgentCommand.h"
#include "AgentCommands.h"
#include "AgentControl.h"
#include "AgentUserInput.h"
#include "CharacterView.h"
#include "MouthShapes.h"
#include "SpeechSynthesizer.h"
#include "SpeechTags.h"
#include "trellis/MUError.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <utility>

namespace {
qint64 nowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}
}

AgentCharacter::AgentCharacter(const QString &id, std::shared_ptr<const CharacterPackage> package,
                               AgentControl *control)
    : QObject(control), m_id(id), m_package(std::move(package)), m_control(control),
      m_balloon(new AgentBalloon(this)), m_commands(new AgentCommands(this))
{
    m_width = m_package->originalSize.width();
    m_height = m_package->originalSize.height();
    m_voice = m_package->voiceName.isEmpty() ? QStringLiteral("en-us") : m_package->voiceName;
    if (m_package->voiceSpeed > 0)
        m_speed = m_package->voiceSpeed;
    if (m_package->voicePitch >= 0)
        m_pitch = m_package->voicePitch;
    m_idleDelay = control->idleDelay();

    m_frameTimer.setSingleShot(true);
    connect(&m_frameTimer, &QTimer::timeout, this, &AgentCharacter::nextFrame);
    m_balloonTimer.setSingleShot(true);
    connect(&m_balloonTimer, &QTimer::timeout, this, [this] {
        if (m_view)
            m_view->hideBalloon();
    });
    m_moveTimer.setInterval(16);
    connect(&m_moveTimer, &QTimer::timeout, this, &AgentCharacter::moveStep);
    m_idleTimer.setSingleShot(true);
    connect(&m_idleTimer, &QTimer::timeout, this, &AgentCharacter::onIdleTimer);

    m_view.reset(control->createView(this));
    if (m_view) {
        m_view->resize(m_width, m_height);
        m_view->moveTo(m_left, m_top);
        connect(m_balloon, &AgentBalloon::changed, this, [this] { m_view->balloonChanged(); });
    }
    restPose();
}

AgentCharacter::~AgentCharacter()
{
    StopAll();
    m_view.reset();
}

// ---- requests -------------------------------------------------------------------------

AgentRequestPtr AgentCharacter::enqueue(AgentRequest::Kind kind, const QString &detail, bool fast, int x, int y,
                                        int speed)
{
    Job job;
    job.request = makeAgentRequest(m_control->nextRequestId(), kind, m_id, detail);
    job.fast = fast;
    job.x = x;
    job.y = y;
    job.speed = speed;
    m_queue.push_back(job);
    scheduleNext();
    return job.request;
}

AgentRequestPtr AgentCharacter::Show(bool fast)
{
    return enqueue(AgentRequest::Kind::Show, {}, fast);
}

AgentRequestPtr AgentCharacter::Hide(bool fast)
{
    return enqueue(AgentRequest::Kind::Hide, {}, fast);
}

AgentRequestPtr AgentCharacter::Play(const QString &animation)
{
    const CharacterAnimation *a = findAnimation(animation);
    if (!a)
        throw MUError(MUError::Fail,
                      QStringLiteral("The character '%1' has no animation '%2'.").arg(Name(), animation),
                      QStringLiteral("AgentCharacter.Play"));
    return enqueue(AgentRequest::Kind::Play, a->name);
}

AgentRequestPtr AgentCharacter::Speak(const QString &text)
{
    return enqueue(AgentRequest::Kind::Speak, text);
}

AgentRequestPtr AgentCharacter::MoveTo(int x, int y, int speed)
{
    return enqueue(AgentRequest::Kind::Move, QStringLiteral("%1,%2").arg(x).arg(y), false, x, y, qMax(0, speed));
}

void AgentCharacter::StopAll()
{
    std::deque<Job> dropped;
    dropped.swap(m_queue);
    if (m_current.request) {
        stopAnimation();
        endSpeech();
        m_moveTimer.stop();
        complete(AgentRequest::StatusInterrupted);
    }
    for (Job &j : dropped)
        j.request->end(AgentRequest::StatusInterrupted);
    if (m_visible)
        restPose();
}

void AgentCharacter::scheduleNext()
{
    // Started from the event loop, so a caller always sees its request pending first
    // and a request ending inside a signal never starts the next one re-entrantly.
    if (m_nextScheduled)
        return;
    m_nextScheduled = true;
    QMetaObject::invokeMethod(this, &AgentCharacter::startNext, Qt::QueuedConnection);
}

void AgentCharacter::startNext()
{
    m_nextScheduled = false;
    if (m_current.request || m_queue.empty())
        return;
    if (m_idle)
        endIdle();
    m_idleTimer.stop();
    m_current = m_queue.front();
    m_queue.pop_front();
    AgentRequestPtr request = m_current.request;
    request->setInProgress();
    Q_EMIT requestStarted(request.get());
    if (m_current.request != request)
        return;   // stopped from a requestStarted handler

    switch (request->kind()) {
    case AgentRequest::Kind::Show:
        if (m_visible) {
            complete(AgentRequest::StatusComplete);
            break;
        }
        m_visible = true;
        if (m_view)
            m_view->setVisible(true);
        if (!m_current.fast && findAnimation(QStringLiteral("Show")))
            runAnimation(findAnimation(QStringLiteral("Show")), [this] {
                restPose();
                complete(AgentRequest::StatusComplete);
            });
        else {
            restPose();
            complete(AgentRequest::StatusComplete);
        }
        break;
    case AgentRequest::Kind::Hide: {
        if (!m_visible) {
            complete(AgentRequest::StatusComplete);
            break;
        }
        // The balloon goes with the character, not after its hiding animation.
        m_balloonTimer.stop();
        if (m_view)
            m_view->hideBalloon();
        auto hideNow = [this] {
            m_visible = false;
            if (m_view) {
                m_view->hideBalloon();
                m_view->setVisible(false);
            }
            complete(AgentRequest::StatusComplete);
        };
        if (!m_current.fast && findAnimation(QStringLiteral("Hide")))
            runAnimation(findAnimation(QStringLiteral("Hide")), hideNow);
        else
            hideNow();
        break;
    }
    case AgentRequest::Kind::Play: {
        const CharacterAnimation *a = findAnimation(request->detail());
        if (!a) {
            complete(AgentRequest::StatusFailed, QStringLiteral("no animation '%1'").arg(request->detail()));
            break;
        }
        runAnimation(a, [this, a] {
            const CharacterAnimation *back = a->returnTo.isEmpty() ? nullptr : findAnimation(a->returnTo);
            complete(AgentRequest::StatusComplete);
            // The return animation plays on until the next request takes over.
            if (back && !m_current.request && !m_animation)
                runAnimation(back, {});
        });
        break;
    }
    case AgentRequest::Kind::Speak:
        startSpeak(request->detail());
        break;
    case AgentRequest::Kind::Move:
        startMove(m_current.x, m_current.y, m_current.speed);
        break;
    }
}

void AgentCharacter::complete(int status, const QString &description)
{
    AgentRequestPtr request = std::move(m_current.request);
    m_current = Job{};
    if (!request)
        return;
    request->end(status, description);
    Q_EMIT requestCompleted(request.get());
    if (!m_queue.empty())
        scheduleNext();
    else
        scheduleIdle();
}

// ---- animation ------------------------------------------------------------------------

const CharacterAnimation *AgentCharacter::findAnimation(const QString &name) const
{
    auto it = m_package->animations.constFind(name);
    if (it != m_package->animations.constEnd())
        return &it.value();
    for (auto i = m_package->animations.constBegin(); i != m_package->animations.constEnd(); ++i)
        if (i.key().compare(name, Qt::CaseInsensitive) == 0)
            return &i.value();
    return nullptr;
}

void AgentCharacter::runAnimation(const CharacterAnimation *animation, std::function<void()> done)
{
    stopAnimation();
    m_animation = animation;
    m_frame = 0;
    m_animationDone = std::move(done);
    nextFrame();
}

void AgentCharacter::stopAnimation()
{
    m_frameTimer.stop();
    m_animation = nullptr;
    m_animationDone = nullptr;
}

void AgentCharacter::nextFrame()
{
    if (!m_animation)
        return;
    if (m_frame >= m_animation->frames.size()) {
        const CharacterAnimation *a = m_animation;
        auto done = std::move(m_animationDone);
        m_animationDone = nullptr;
        if (a->loop && !a->frames.isEmpty()) {
            m_frame = 0;   // keeps looping in the background until something else plays
        } else {
            m_animation = nullptr;
        }
        if (done)
            done();
        if (m_animation != a || !a->loop)
            return;
    }
    const CharacterFrame &f = m_animation->frames.at(m_frame++);
    showFrame(f.image);
    m_frameTimer.start(qMax(10, f.durationMs));
}

void AgentCharacter::showFrame(const QString &image)
{
    if (m_view)
        m_view->showFrame(image);
    Q_EMIT frameShown(image);
}

void AgentCharacter::restPose()
{
    const CharacterAnimation *rest = findAnimation(QStringLiteral("RestPose"));
    if (rest && !rest->frames.isEmpty())
        showFrame(rest->frames.first().image);
}

// ---- speech ---------------------------------------------------------------------------

void AgentCharacter::startSpeak(const QString &text)
{
    SpeechTags::Defaults d;
    d.voice = m_voice;
    d.speedWpm = m_speed;
    d.pitch = m_pitch;
    m_speech = SpeechTags::translate(text, d, [this](int n) { return m_control->random(n); });
    m_events.clear();
    m_nextEvent = 0;
    m_balloonTimer.stop();
    stopAnimation();
    if (m_view) {
        m_view->setSpeaking(true);
        m_view->setMouth(QStringLiteral("closed"));
        if (m_balloon->enabled()) {
            m_view->showBalloon();
            m_view->balloonWords(QString());
        }
    }
    m_stream = m_control->audio()->openStream();
    m_job = SpeechSynthesizer::instance()->synthesize(m_speech.ssml, m_voice);
    connect(m_job.get(), &SpeechJob::audio, this, &AgentCharacter::onSpeechAudio);
    connect(m_job.get(), &SpeechJob::finished, this, [this](bool aborted, const QString &error) {
        if (!error.isEmpty()) {
            endSpeech();
            complete(AgentRequest::StatusFailed, error);
            return;
        }
        if (!aborted && m_stream)
            m_stream->end();
    });
    connect(m_stream.get(), &AudioStream::started, this, [this] {
        m_audible = true;
        Q_EMIT speakingChanged(true);
    });
    connect(m_stream.get(), &AudioStream::progressed, this, &AgentCharacter::fireEvents);
    connect(m_stream.get(), &AudioStream::finished, this, [this] {
        const int status = m_stream->Status();
        const QString error = m_stream->error();
        if (status == AudioStream::StatusComplete)
            fireEvents(std::numeric_limits<qint64>::max());
        endSpeech();
        complete(status == AudioStream::StatusComplete ? AgentRequest::StatusComplete
                 : status == AudioStream::StatusFailed ? AgentRequest::StatusFailed
                                                       : AgentRequest::StatusInterrupted,
                 error);
    });
}

void AgentCharacter::onSpeechAudio(const QByteArray &samples, const SpeechEvents &events)
{
    m_events.append(events);
    if (m_stream)
        m_stream->append(samples);
}

void AgentCharacter::fireEvents(qint64 upToSample)
{
    while (m_nextEvent < m_events.size() && m_events.at(m_nextEvent).sample <= upToSample) {
        const SpeechEvent e = m_events.at(m_nextEvent++);
        switch (e.type) {
        case SpeechEvent::Word: {
            const QString shown = m_speech.balloonUpTo(e.textPosition, e.length);
            if (m_view && m_balloon->enabled())
                m_view->balloonWords(shown);
            Q_EMIT wordSpoken(m_speech.spokenAt(e.textPosition, e.length), shown);
            break;
        }
        case SpeechEvent::Phoneme: {
            const QString shape = MouthShapes::forPhoneme(e.name);
            if (m_view)
                m_view->setMouth(shape);
            Q_EMIT mouthChanged(shape);
            break;
        }
        case SpeechEvent::Mark: {
            bool ok = false;
            const int mark = e.name.toInt(&ok);
            if (ok)
                Q_EMIT bookmarkReached(mark);
            break;
        }
        default:
            break;
        }
        if (!m_stream)
            return;   // a handler stopped the speech
    }
}

void AgentCharacter::endSpeech()
{
    if (m_job) {
        m_job->disconnect(this);
        SpeechSynthesizer::instance()->cancel(m_job);
        m_job.reset();
    }
    if (m_stream) {
        m_stream->disconnect(this);
        m_control->audio()->stop(m_stream);
        m_stream.reset();
        if (std::exchange(m_audible, false))
            Q_EMIT speakingChanged(false);
        if (m_view) {
            m_view->setMouth(QStringLiteral("closed"));
            m_view->setSpeaking(false);
            if (m_balloon->enabled() && m_balloon->autoHide())
                m_balloonTimer.start(m_control->balloonHideDelay());
        }
        Q_EMIT mouthChanged(QStringLiteral("closed"));
    }
}

// ---- position -------------------------------------------------------------------------

void AgentCharacter::setLeft(int x)
{
    m_left = x;
    if (m_view)
        m_view->moveTo(m_left, m_top);
}

void AgentCharacter::setTop(int y)
{
    m_top = y;
    if (m_view)
        m_view->moveTo(m_left, m_top);
}

void AgentCharacter::setWidth(int w)
{
    m_width = qBound(8, w, 4096);
    if (m_view)
        m_view->resize(m_width, m_height);
}

void AgentCharacter::setHeight(int h)
{
    m_height = qBound(8, h, 4096);
    if (m_view)
        m_view->resize(m_width, m_height);
}

void AgentCharacter::startMove(int x, int y, int speed)
{
    if (speed <= 0 || (x == m_left && y == m_top)) {
        m_left = x;
        m_top = y;
        if (m_view)
            m_view->moveTo(x, y);
        Q_EMIT moved(x, y, 2);
        complete(AgentRequest::StatusComplete);
        return;
    }
    m_moveFromX = m_left;
    m_moveFromY = m_top;
    m_moveToX = x;
    m_moveToY = y;
    m_moveMs = speed;
    m_moveStarted = nowMs();
    m_moveTimer.start();
}

void AgentCharacter::moveStep()
{
    const double t = qMin(1.0, double(nowMs() - m_moveStarted) / m_moveMs);
    m_left = m_moveFromX + qRound((m_moveToX - m_moveFromX) * t);
    m_top = m_moveFromY + qRound((m_moveToY - m_moveFromY) * t);
    if (m_view)
        m_view->moveTo(m_left, m_top);
    if (t >= 1.0) {
        m_moveTimer.stop();
        Q_EMIT moved(m_left, m_top, 2);
        complete(AgentRequest::StatusComplete);
    }
}

void AgentCharacter::userMoved(int x, int y)
{
    m_left = x;
    m_top = y;
    Q_EMIT moved(x, y, 1);
}

void AgentCharacter::userCommand(const QString &name)
{
    AgentUserInput input;
    input.Name = name;
    input.CharacterID = m_id;
    input.Confidence = 100;
    if (AgentCommand *c = m_commands->find(name)) {
        input.Name = c->Name();
        input.Voice = c->Voice();
    }
    Q_EMIT commandChosen(input);
}

// ---- idle -----------------------------------------------------------------------------

void AgentCharacter::setIdleDelay(int ms)
{
    m_idleDelay = qMax(0, ms);
    if (m_idleTimer.isActive())
        scheduleIdle();
}

void AgentCharacter::scheduleIdle()
{
    if (!m_visible || m_idleDelay <= 0 || isBusy()) {
        m_idleTimer.stop();
        return;
    }
    m_idleTimer.start(m_idle ? m_idleDelay + m_control->random(m_idleDelay) : m_idleDelay);
}

void AgentCharacter::onIdleTimer()
{
    if (isBusy() || !m_visible)
        return;
    if (!m_idle) {
        m_idle = true;
        Q_EMIT idleStarted();
    }
    // An occasional gesture while nobody needs the character.
    QList<const CharacterAnimation *> idles;
    for (const char *name : {"Idle1", "Idle2", "Blink"})
        if (const CharacterAnimation *a = findAnimation(QLatin1String(name)))
            idles.append(a);
    if (!idles.isEmpty() && !m_animation)
        runAnimation(idles.at(m_control->random(int(idles.size()))), [this] { restPose(); });
    scheduleIdle();
}

void AgentCharacter::endIdle()
{
    m_idle = false;
    stopAnimation();
    Q_EMIT idleCompleted();
}
