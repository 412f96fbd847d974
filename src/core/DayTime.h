#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>

#include <functional>

// The daytime answer, "ddd mmm dd t yyyy": abbreviated weekday and month names, the day with
// two digits, the locale's short time without seconds, the four-digit year. No line end.
QString FormatDayTime(const QDateTime &when, const QLocale &locale);

// The query table's time column: the locale's short date, a blank, its long time.
QString FormatQueryTime(const QDateTime &when, const QLocale &locale);

// A text made from the local time, kept for the second of the clock it was made in and for
// the locale in force: reading the clock is cheap, its local time is not (each conversion
// looks at the time zone file), and many queries arrive within one second.
class LocalTimeText
{
public:
    using Format = QString (*)(const QDateTime &when, const QLocale &locale);
    // The clock: the system's when empty; a test sets a time of its own.
    using Clock = std::function<QDateTime()>;

    // showsFractions: the text follows the locale's long time format, which may show
    // fractions of a second; such a text is made again every time.
    explicit LocalTimeText(Format format, bool showsFractions = false);

    // The text for the clock's current time, and the same in the wire encoding.
    QString text(const Clock &clock);
    QByteArray bytes(const Clock &clock);

private:
    void update(const Clock &clock);

    Format m_format;
    bool m_showsFractions;
    QString m_text;
    QByteArray m_bytes;
    qint64 m_second = -1;
    QLocale m_locale;
};
