#include "SpokenTime.h"

QString SpokenTime::OrdinalSuffix(int day)
{
    switch (day) {
    case 1: case 21: case 31: return QStringLiteral("st");
    case 2: case 22: return QStringLiteral("nd");
    case 3: case 23: return QStringLiteral("rd");
    default: return QStringLiteral("th");
    }
}

QString SpokenTime::DatePhrase(const QDate &date, const QLocale &locale)
{
    return locale.dayName(date.dayOfWeek(), QLocale::LongFormat) + QStringLiteral(", ") +
           QString::number(date.day()) + OrdinalSuffix(date.day()) + QStringLiteral(" of ") +
           locale.monthName(date.month(), QLocale::LongFormat) + QStringLiteral(", ") +
           QString::number(date.year()).rightJustified(4, QLatin1Char('0'));
}

QString SpokenTime::Format(const QTime &time, const QString &pattern)
{
    const bool twelve = pattern.contains(QLatin1String("AM/PM"), Qt::CaseInsensitive);
    auto hour = [&](bool twoDigits) {
        int h = time.hour();
        if (twelve) {
            h %= 12;
            if (h == 0)
                h = 12;
        }
        return twoDigits ? QString::number(h).rightJustified(2, QLatin1Char('0')) : QString::number(h);
    };
    auto two = [](int v, bool twoDigits) {
        return twoDigits ? QString::number(v).rightJustified(2, QLatin1Char('0')) : QString::number(v);
    };

    QString out;
    for (int i = 0; i < pattern.size();) {
        if (pattern.mid(i, 5).compare(QLatin1String("AM/PM"), Qt::CaseSensitive) == 0) {
            out += time.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM");
            i += 5;
            continue;
        }
        if (pattern.mid(i, 5) == QLatin1String("am/pm")) {
            out += time.hour() < 12 ? QStringLiteral("am") : QStringLiteral("pm");
            i += 5;
            continue;
        }
        const QChar c = pattern.at(i);
        const bool doubled = i + 1 < pattern.size() && pattern.at(i + 1) == c;
        const int step = doubled ? 2 : 1;
        switch (c.unicode()) {
        case 'H': case 'h': out += hour(doubled); i += step; continue;
        case 'M': case 'm': case 'N': case 'n': out += two(time.minute(), doubled); i += step; continue;
        case 'S': case 's': out += two(time.second(), doubled); i += step; continue;
        default: out += c; ++i; continue;
        }
    }
    return out;
}

QString SpokenTime::TimePhrase(const QTime &time, const QString &pattern)
{
    QString text = Format(time, pattern.isEmpty() ? QStringLiteral("H:MM") : pattern);
    if (!text.contains(QLatin1Char('M')) && text.contains(QLatin1String(":00")))
        text.replace(QLatin1String(":00"), QLatin1String(" o'clock"));
    else if (text.contains(QLatin1Char('M')) && text.contains(QLatin1String(":00")))
        text.replace(QLatin1String(":00"), QString());
    return text;
}
