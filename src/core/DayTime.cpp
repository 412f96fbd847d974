#include "DayTime.h"

#include <QDateTime>
#include <QLocale>

namespace {

// How the locale writes a short time, as far as the daytime answer follows it.
struct ShortTimeStyle
{
    bool twelveHour = false;
    bool leadingZero = false;
    QString separator = QStringLiteral(":"); // for a format that shows no minutes
};

// Reads a Qt time format: quoted text ('' is a quote) is a literal and never a field; an hour
// field "h" runs 1 to 12 when the format shows AM/PM, "H" always runs 0 to 23; the separator is
// the literal text between the hour and the minutes.
ShortTimeStyle parseShortTimeFormat(const QString &format)
{
    static const QString fieldLetters = QStringLiteral("dMyhHmszaApPt");
    ShortTimeStyle style;
    QChar hourLetter;
    bool hasAmPm = false;
    enum class Place { BeforeHour, AfterHour, AfterMinutes } place = Place::BeforeHour;
    QString between;

    const qsizetype size = format.size();
    qsizetype i = 0;
    while (i < size) {
        const QChar c = format.at(i);
        QString literal;
        if (c == u'\'') {
            ++i;
            if (i < size && format.at(i) == u'\'') {
                literal = c;
                ++i;
            } else {
                while (i < size) {
                    if (format.at(i) == u'\'') {
                        if (i + 1 < size && format.at(i + 1) == u'\'') {
                            literal += u'\'';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    literal += format.at(i++);
                }
            }
        } else if (!fieldLetters.contains(c)) {
            literal = c;
            ++i;
        } else {
            qsizetype run = 1;
            while (i + run < size && format.at(i + run) == c)
                ++run;
            if ((c == u'h' || c == u'H') && place == Place::BeforeHour) {
                hourLetter = c;
                style.leadingZero = run >= 2;
                place = Place::AfterHour;
            } else if (c == u'm' && place == Place::AfterHour) {
                style.separator = between;
                place = Place::AfterMinutes;
            } else if (c == u'a' || c == u'A') {
                hasAmPm = true; // "AP", "ap", "A" and "a" all show the AM/PM designator
            }
            i += run;
        }
        if (place == Place::AfterHour)
            between += literal;
    }
    style.twelveHour = hasAmPm && hourLetter == u'h';
    return style;
}

QString twoDigits(int value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

} // namespace

QString FormatDayTime(const QDateTime &when, const QLocale &locale)
{
    const QDate date = when.date();
    const QTime time = when.time();
    if (!date.isValid() || !time.isValid())
        return {};

    const ShortTimeStyle style = parseShortTimeFormat(locale.timeFormat(QLocale::ShortFormat));
    int hour = time.hour();
    if (style.twelveHour)
        hour = hour % 12 == 0 ? 12 : hour % 12;
    QString clock = style.leadingZero ? twoDigits(hour) : QString::number(hour);
    clock += style.separator + twoDigits(time.minute());
    // A plain blank before the designator, even where the locale's own format has another space.
    if (style.twelveHour)
        clock += u' ' + (time.hour() < 12 ? locale.amText() : locale.pmText());

    // The standalone names: the fields stand on their own, not inside a written-out date, and
    // some locales add an abbreviation dot to the names used inside dates ("Mo." for "Mo").
    return locale.standaloneDayName(date.dayOfWeek(), QLocale::ShortFormat) + u' ' +
           locale.standaloneMonthName(date.month(), QLocale::ShortFormat) + u' ' +
           twoDigits(date.day()) + u' ' + clock + u' ' +
           QStringLiteral("%1").arg(date.year(), 4, 10, QLatin1Char('0'));
}

QString FormatQueryTime(const QDateTime &when, const QLocale &locale)
{
    // The time is formatted from the date and time together so that a zone field can be shown.
    return locale.toString(when.date(), QLocale::ShortFormat) + u' ' +
           locale.toString(when, locale.timeFormat(QLocale::LongFormat));
}

LocalTimeText::LocalTimeText(Format format, bool showsFractions)
    : m_format(format), m_showsFractions(showsFractions)
{
}

QString LocalTimeText::text(const Clock &clock)
{
    update(clock);
    return m_text;
}

QByteArray LocalTimeText::bytes(const Clock &clock)
{
    update(clock);
    return m_bytes;
}

void LocalTimeText::update(const Clock &clock)
{
    const QLocale locale = QLocale::system();
    const QDateTime now = clock ? clock() : QDateTime();
    const qint64 second = clock ? now.toSecsSinceEpoch() : QDateTime::currentSecsSinceEpoch();
    if (!m_text.isNull() && second == m_second && locale == m_locale)
        return;
    m_text = m_format(clock ? now : QDateTime::currentDateTime(), locale);
    m_bytes = m_text.toLocal8Bit();
    const bool fractions =
        m_showsFractions && locale.timeFormat(QLocale::LongFormat).contains(QLatin1Char('z'));
    m_second = fractions ? -1 : second;
    m_locale = locale;
}
