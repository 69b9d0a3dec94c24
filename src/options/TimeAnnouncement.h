#pragma once
#include "trellis/Log.h"

#include <QString>
#include <QDateTime>
#include <QTime>
#include <functional>

class CSettings;
class CTalker;
class TimerManager;

/// Saying the time at the chosen points of the clock: the keys, the sentence, the tick
/// and the start of the time pulser. Main thread.
class TimeAnnouncement
{
public:
    static const QString PulserId;
    static const QString KeyDisable;
    static const QString KeyInterval;
    static const QString KeyPhrase;
    static const QString KeyGesture;
    static const QString KeySound;
    static const QString KeyPattern;
    static const QString Pattern24;
    static const QString Pattern12;

    /// The stored phrase, a blank when it is not empty, and the time as the main window's
    /// "Say the Time" says it (SpokenTime::TimePhrase).
    static QString Sentence(CSettings *settings, const QTime &time);
    /// The tick: the gesture, the sound (to its end), then `sayTime` (the main window's
    /// "Say the Time"; empty: the talker queues Sentence at the time `now` gives).
    static void Tick(LogPtr log, CTalker *talker, CSettings *settings, const std::function<void()> &sayTime = {},
                     const std::function<QDateTime()> &now = {});
    /// Starts the time pulser unless the announcement is switched off (program start).
    static void Start(TimerManager *timers, CSettings *settings);
};
