#pragma once

#include <QString>

class QDateTime;
class QLocale;

// The daytime answer, "ddd mmm dd t yyyy": abbreviated weekday and month names, the day with
// two digits, the locale's short time without seconds, the four-digit year. No line end.
QString FormatDayTime(const QDateTime &when, const QLocale &locale);

// The query table's time column: the locale's short date, a blank, its long time.
QString FormatQueryTime(const QDateTime &when, const QLocale &locale);
