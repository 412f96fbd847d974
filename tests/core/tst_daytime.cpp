#include "DayTime.h"

#include <QDateTime>
#include <QLocale>
#include <QTest>

class TestDayTime : public QObject
{
    Q_OBJECT

private slots:
    void formatDayTime_data();
    void formatDayTime();
    void queryTime_data();
    void queryTime();
    void keptForItsSecond();
};

void TestDayTime::formatDayTime_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("expected");

    const QDate monday(1998, 1, 5);
    auto at = [](QDate date, int hour, int minute, int second = 0) {
        return QDateTime(date, QTime(hour, minute, second));
    };

    // 12-hour clock without leading zeros.
    QTest::addRow("en_US afternoon")
        << "en_US" << at(monday, 15, 7) << QStringLiteral("Mon Jan 05 3:07 PM 1998");
    QTest::addRow("en_US morning")
        << "en_US" << at(monday, 9, 41) << QStringLiteral("Mon Jan 05 9:41 AM 1998");
    QTest::addRow("en_US after midnight")
        << "en_US" << at(monday, 0, 30) << QStringLiteral("Mon Jan 05 12:30 AM 1998");
    QTest::addRow("en_US noon") << "en_US" << at(monday, 12, 0)
                                << QStringLiteral("Mon Jan 05 12:00 PM 1998");
    QTest::addRow("en_US last minute")
        << "en_US" << at(monday, 23, 59, 59) << QStringLiteral("Mon Jan 05 11:59 PM 1998");
    QTest::addRow("en_US two-digit day")
        << "en_US" << at(QDate(2024, 12, 31), 10, 0) << QStringLiteral("Tue Dec 31 10:00 AM 2024");
    QTest::addRow("en_US year below 1000")
        << "en_US" << at(QDate(999, 3, 1), 8, 5) << QStringLiteral("Fri Mar 01 8:05 AM 0999");
    QTest::addRow("en_AU lower-case designator")
        << "en_AU" << at(monday, 15, 7) << QStringLiteral("Mon Jan 05 3:07 pm 1998");

    // 24-hour clock with leading zeros ("HH:mm").
    QTest::addRow("de_DE afternoon")
        << "de_DE" << at(monday, 15, 7) << QStringLiteral("Mo Jan 05 15:07 1998");
    QTest::addRow("de_DE morning")
        << "de_DE" << at(monday, 9, 5) << QStringLiteral("Mo Jan 05 09:05 1998");
    QTest::addRow("de_DE after midnight")
        << "de_DE" << at(monday, 0, 30) << QStringLiteral("Mo Jan 05 00:30 1998");
    QTest::addRow("de_DE month name")
        << "de_DE" << at(QDate(1998, 3, 5), 12, 0) << QStringLiteral("Do Mär 05 12:00 1998");
    QTest::addRow("en_GB afternoon")
        << "en_GB" << at(monday, 15, 7) << QStringLiteral("Mon Jan 05 15:07 1998");

    // 24-hour clock without leading zeros ("H:mm"), and other separators.
    QTest::addRow("ja_JP morning")
        << "ja_JP" << at(monday, 9, 5) << QStringLiteral("月 1月 05 9:05 1998");
    QTest::addRow("fi_FI dot separator")
        << "fi_FI" << at(monday, 9, 5) << QStringLiteral("ma tammi 05 9.05 1998");
    QTest::addRow("fr_CA quoted separator")
        << "fr_CA" << at(monday, 15, 7) << QStringLiteral("lun. janv. 05 15 h 07 1998");

    // 12-hour clock with leading zeros ("hh:mm AP").
    QTest::addRow("gu_IN morning")
        << "gu_IN" << at(monday, 9, 5) << QStringLiteral("સોમ જાન્યુ 05 09:05 AM 1998");
    QTest::addRow("gu_IN after midnight")
        << "gu_IN" << at(monday, 0, 30) << QStringLiteral("સોમ જાન્યુ 05 12:30 AM 1998");
    QTest::addRow("gu_IN evening")
        << "gu_IN" << at(monday, 21, 5) << QStringLiteral("સોમ જાન્યુ 05 09:05 PM 1998");

    // The designator stands after the time, even where the locale's own format puts it first.
    QTest::addRow("ko_KR afternoon")
        << "ko_KR" << at(monday, 15, 7) << QStringLiteral("월 1월 05 3:07 오후 1998");
}

void TestDayTime::formatDayTime()
{
    QFETCH(QString, locale);
    QFETCH(QDateTime, when);
    QFETCH(QString, expected);

    const QString text = FormatDayTime(when, QLocale(locale));
    QCOMPARE(text, expected);
    QVERIFY(!text.contains(u'\r') && !text.contains(u'\n'));
}

void TestDayTime::queryTime_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("time");

    QTest::addRow("en_US") << "en_US"
                           << "1/5/98"
                           << "3:07:09 PM";
    QTest::addRow("de_DE") << "de_DE"
                           << "05.01.98"
                           << "15:07:09";
}

void TestDayTime::queryTime()
{
    QFETCH(QString, locale);
    QFETCH(QString, date);
    QFETCH(QString, time);

    const QString text =
        FormatQueryTime(QDateTime(QDate(1998, 1, 5), QTime(15, 7, 9)), QLocale(locale));
    QVERIFY2(text.startsWith(date + u' '), qPrintable(text));
    QVERIFY2(text.contains(time), qPrintable(text));
}

void TestDayTime::keptForItsSecond()
{
    QDateTime clock(QDate(1998, 1, 5), QTime(15, 7, 9, 100));
    const LocalTimeText::Clock read = [&clock] { return clock; };
    const auto made = [&clock] { return FormatQueryTime(clock, QLocale::system()); };
    LocalTimeText text(FormatQueryTime, true);
    const QString first = text.text(read);
    QCOMPARE(first, made());

    clock = clock.addMSecs(800); // still 15:07:09
    QCOMPARE(text.text(read), first);
    clock = clock.addMSecs(100); // 15:07:10
    QCOMPARE(text.text(read), made());
    QVERIFY(text.text(read) != first);
    clock = clock.addSecs(-1); // the clock set back
    QCOMPARE(text.text(read), first);
    QCOMPARE(text.bytes(read), first.toLocal8Bit());
}

QTEST_GUILESS_MAIN(TestDayTime)
#include "tst_daytime.moc"
