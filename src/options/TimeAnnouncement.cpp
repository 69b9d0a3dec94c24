#include "TimeAnnouncement.h"
#include "speech/CTalker.h"
#include "storage/CSettings.h"
#include "timing/SpokenTime.h"
#include "timing/TimerManager.h"
#include "trellis/Utility.h"

#include <QCoreApplication>

const QString TimeAnnouncement::PulserId = QStringLiteral("{87B53122-9B6B-46c1-8599-0D0A6CA974A3}");
const QString TimeAnnouncement::KeyDisable = QStringLiteral("{AA8A47AE-BCC2-4955-AB8E-F1BC331E4B6A}");
const QString TimeAnnouncement::KeyInterval = QStringLiteral("{EF7423A6-D0AC-482a-A6A1-C1A0FC6B5B8A}");
const QString TimeAnnouncement::KeyPhrase = QStringLiteral("{B067431C-D79B-49fb-A320-667122ED08F9}");
const QString TimeAnnouncement::KeyGesture = QStringLiteral("{76A19D6D-6036-482f-93E6-2E63D9691FA1}");
const QString TimeAnnouncement::KeySound = QStringLiteral("{A5FDD352-587C-4a64-AB91-020BAD7B0656}");
const QString TimeAnnouncement::KeyPattern = QStringLiteral("{804159BE-0424-4ca8-A08C-9D22212C785C}");
const QString TimeAnnouncement::Pattern24 = QStringLiteral("H:MM");
const QString TimeAnnouncement::Pattern12 = QStringLiteral("h:MM AM/PM");

QString TimeAnnouncement::Sentence(CSettings *settings, const QTime &time)
{
    QString phrase = QStringLiteral("The time now is");
    QString pattern = Pattern24;
    if (settings) {
        phrase = settings->GetSetting(KeyPhrase, phrase).toString();
        pattern = settings->GetSetting(KeyPattern, pattern).toString();
    }
    if (pattern.isEmpty())
        pattern = Pattern24;
    return (phrase.isEmpty() ? QString() : phrase + QLatin1Char(' ')) + SpokenTime::TimePhrase(time, pattern);
}

void TimeAnnouncement::Tick(LogPtr log, CTalker *talker, CSettings *settings, const std::function<void()> &sayTime,
                            const std::function<QDateTime()> &now)
{
    if (!talker || !settings)
        return;
    try {
        talker->PlayGestureSafe(settings->GetSetting(KeyGesture, QString()).toString());
        const QString sound = settings->GetSetting(KeySound, QString()).toString();
        if (!sound.isEmpty() && Files::FileExists(sound)) {
            QCoreApplication::processEvents();   // let what is pending run before the sound blocks
            if (log)
                log->Write(0, QStringLiteral("moTalker.PlayWav sFileName, False in moTimerManager_Pulse"),
                           Log::LevelTrace, QStringLiteral("FMain.moTimerManager_Pulse"));
            talker->PlayWav(sound, false);
        }
        if (sayTime)
            sayTime();
        else
            talker->Talk(Sentence(settings, (now ? now() : QDateTime::currentDateTime()).time()));
    } catch (...) {
    }
}

void TimeAnnouncement::Start(TimerManager *timers, CSettings *settings)
{
    if (!timers || !settings)
        return;
    try {
        if (!Utility::ToBool(settings->GetSetting(KeyDisable, false), false))
            timers->AddTimePulser(PulserId, int(Utility::ToInt(settings->GetSetting(KeyInterval, 60), 60)));
    } catch (...) {
    }
}
