#pragma once
#include <QDate>
#include <QLocale>
#include <QString>
#include <QTime>

/// The date and the time as the character says them. Pure functions; any thread.
class SpokenTime
{
public:
    /// "Saturday, 5th of December, 2026" (weekday and month names of `locale`).
    static QString DatePhrase(const QDate &date, const QLocale &locale = QLocale::system());
    /// The English ordinal suffix of a day of the month: st, nd, rd or th.
    static QString OrdinalSuffix(int day);
    /// `time` in `pattern` ("H:MM" or "h:MM AM/PM"; empty means "H:MM"), with ":00"
    /// said as " o'clock" (24-hour) or dropped (12-hour).
    static QString TimePhrase(const QTime &time, const QString &pattern);
    /// `time` in `pattern`: H/HH hour (0-23, or 1-12 when the pattern has AM/PM),
    /// h/hh likewise, M/MM/m/mm/N/NN minutes (two digits when doubled), S/SS seconds,
    /// "AM/PM" or "am/pm" the marker, anything else as written.
    static QString Format(const QTime &time, const QString &pattern);
};
