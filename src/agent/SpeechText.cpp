#include "SpeechText.h"

QString SpeechText::balloonUpTo(int ssmlPos, int length) const
{
    if (balloonAt.isEmpty())
        return {};
    const int last = qBound(0, ssmlPos + qMax(length, 1) - 1, int(balloonAt.size()) - 1);
    int end = balloonAt.at(last);
    while (end < balloon.size() && !balloon.at(end).isSpace())
        ++end;
    return balloon.left(end);
}

QString SpeechText::spokenAt(int ssmlPos, int length) const
{
    QString s = ssml.mid(ssmlPos, length);
    s.replace(QLatin1String("&lt;"), QLatin1String("<"));
    s.replace(QLatin1String("&gt;"), QLatin1String(">"));
    s.replace(QLatin1String("&quot;"), QLatin1String("\""));
    s.replace(QLatin1String("&apos;"), QLatin1String("'"));
    s.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return s;
}
