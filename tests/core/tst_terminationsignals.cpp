#include "TerminationSignals.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>

class TestTerminationSignals : public QObject
{
    Q_OBJECT

private slots:
    void signalReachesTheEventLoop_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addRow("SIGTERM") << SIGTERM;
        QTest::addRow("SIGINT") << SIGINT;
    }

    void signalReachesTheEventLoop()
    {
        QFETCH(int, signalNumber);
        TerminationSignals watcher;
        QVERIFY(watcher.isWatching());
        QSignalSpy spy(&watcher, &TerminationSignals::received);
        QCOMPARE(::raise(signalNumber), 0);
        // The handler only writes to the pipe: nothing is emitted before the loop runs.
        QCOMPARE(spy.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
        QCOMPARE(spy.first().first().toInt(), signalNumber);
    }

    void secondInstanceLeavesTheFirstOneWatching()
    {
        TerminationSignals first;
        QVERIFY(first.isWatching());
        QSignalSpy spy(&first, &TerminationSignals::received);
        {
            TerminationSignals second;
            QVERIFY(!second.isWatching());
        }
        struct sigaction action = {};
        QCOMPARE(::sigaction(SIGTERM, nullptr, &action), 0);
        QVERIFY(action.sa_handler != SIG_DFL);
        QCOMPARE(::raise(SIGTERM), 0);
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
        QCOMPARE(spy.first().first().toInt(), int(SIGTERM));
    }

    void defaultActionIsRestoredAfterwards()
    {
        {
            TerminationSignals watcher;
        }
        struct sigaction action = {};
        QCOMPARE(::sigaction(SIGTERM, nullptr, &action), 0);
        QVERIFY(action.sa_handler == SIG_DFL);
    }
};

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_terminationsignals.moc"
