#include "NoiseLimit.h"

#include <QTest>

// Each step is "<ms> <text>": the text is passed at that time, or "<ms> @": the timer's
// summary runs then.
class TestNoiseLimit : public QObject
{
    Q_OBJECT

private slots:
    void repeats_data();
    void repeats();
    void summaryFollowsWithoutFurtherRepeats();
};

void TestNoiseLimit::repeats_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("out");

    QTest::addRow("more are counted, then summed up")
        << QStringList{"0 reset", "1 reset", "2 reset", "3 reset", "4 reset", "1000 @"}
        << QStringList{"reset", "reset", "reset ... 3 more"};
    QTest::addRow("no summary before the second is over")
        << QStringList{"0 reset", "1 reset", "2 reset", "999 @"} << QStringList{"reset", "reset"};
    QTest::addRow("each text has its own share")
        << QStringList{"0 reset",   "1 reset",   "2 reset", "3 refused",
                       "4 refused", "5 refused", "1000 @",  "1003 @"}
        << QStringList{
               "reset", "reset", "refused", "refused", "reset ... 1 more", "refused ... 1 more"};
    QTest::addRow("counts in the order their seconds end")
        << QStringList{"0 zeta", "0 zeta", "0 zeta", "1 alpha", "1 alpha", "1 alpha", "1005 @"}
        << QStringList{"zeta", "zeta", "alpha", "alpha", "zeta ... 1 more", "alpha ... 1 more"};
    QTest::addRow("a late summary comes before the next repeat")
        << QStringList{"0 reset", "1 reset", "2 reset", "3 reset", "1500 reset"}
        << QStringList{"reset", "reset", "reset ... 2 more", "reset"};
    QTest::addRow("a storm that goes on gets longer windows")
        << QStringList{"0 reset",    "1 reset",    "2 reset",    "1000 @", "1001 reset",
                       "1002 reset", "1003 reset", "2999 @",     "3000 @", "3001 reset",
                       "3002 reset", "3003 reset", "3004 reset", "6999 @", "7000 @"}
        << QStringList{"reset", "reset", "reset ... 1 more", "reset", "reset", "reset ... 1 more",
                       "reset", "reset", "reset ... 2 more"};
    QTest::addRow("windows grow to half a minute")
        << QStringList{"0 x",     "0 x",     "0 x",     "1000 x",  "1000 x",  "1000 x",
                       "3000 x",  "3000 x",  "3000 x",  "7000 x",  "7000 x",  "7000 x",
                       "15000 x", "15000 x", "15000 x", "31000 x", "31000 x", "31000 x",
                       "61000 x", "61000 x", "61000 x", "91000 @"}
        << QStringList{"x", "x", "x ... 1 more", "x", "x", "x ... 1 more", "x", "x", "x ... 1 more",
                       "x", "x", "x ... 1 more", "x", "x", "x ... 1 more", "x", "x", "x ... 1 more",
                       "x", "x", "x ... 1 more"};
    QTest::addRow("a quiet window after a storm starts over")
        << QStringList{"0 reset",    "1 reset",    "2 reset",    "1000 @", "3000 @",
                       "3001 reset", "3002 reset", "3003 reset", "4001 @"}
        << QStringList{"reset", "reset", "reset ... 1 more", "reset", "reset", "reset ... 1 more"};
}

void TestNoiseLimit::repeats()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, out);
    qint64 now = 0;
    NoiseLimit limit(nullptr, [&now] { return now; });
    QStringList seen;
    for (const QString &step : steps) {
        const qsizetype blank = step.indexOf(QLatin1Char(' '));
        now = step.left(blank).toLongLong();
        const QString text = step.mid(blank + 1);
        if (text == QLatin1String("@"))
            limit.summarize();
        else
            limit.pass(text, [&seen](const QString &line) { seen << line; });
    }
    QCOMPARE(seen, out);
}

// The count goes out on its own timer, with the out of the latest repeat.
void TestNoiseLimit::summaryFollowsWithoutFurtherRepeats()
{
    NoiseLimit limit;
    QStringList first;
    QStringList latest;
    for (int i = 0; i < 5; ++i)
        limit.pass("reset", [&first](const QString &line) { first << line; });
    limit.pass("reset", [&latest](const QString &line) { latest << line; });
    QCOMPARE(first, (QStringList{"reset", "reset"}));
    QTRY_COMPARE_WITH_TIMEOUT(latest, QStringList{"reset ... 4 more"}, 5000);
    QCOMPARE(first.size(), 2);
}

QTEST_GUILESS_MAIN(TestNoiseLimit)
#include "tst_noiselimit.moc"
