// The daytime service of the setup window, through real sockets on port 13.

#include "DayTime.h"
#include "MainFormFixture.h"
#include "NetNamespace.h"

#include <QApplication>

namespace {

// Monday, 5 January 1998, 3:07 in the afternoon; the tests run in the en_US locale.
const QDateTime FixedTime(QDate(1998, 1, 5), QTime(15, 7, 42));
const QByteArray FixedReply = "Mon Jan 05 3:07 PM 1998";

} // namespace

class TestMainDayTime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TELLWICK_REQUIRE_NETNS();
        QCOMPARE(QLocale::system().name(), QStringLiteral("en_US"));
    }

    void init() { writeRegistry({}); }

    void replyIsTheLocalTimeWithoutLineEnd_data()
    {
        QTest::addColumn<bool>("clientSendsText");
        QTest::addColumn<bool>("clientHalfCloses");
        QTest::addRow("silent client") << false << false;
        // Text that is never read must not turn the close into a reset that eats the reply.
        QTest::addRow("client sends text") << true << false;
        QTest::addRow("client half-closes at once") << false << true;
    }

    void replyIsTheLocalTimeWithoutLineEnd()
    {
        QFETCH(bool, clientSendsText);
        QFETCH(bool, clientHalfCloses);
        Program program;
        program.form->now = [] { return FixedTime; };
        LoopbackClient::Options options;
        options.request = "what time is it?\r\n";
        options.sendRequest = clientSendsText;
        options.shutdownWrite = clientHalfCloses;
        LoopbackClient client(13, options);
        WAIT_FOR_CLIENT(client);
        QCOMPARE(client.received(), FixedReply);
        QCOMPARE(client.received().size(), 23);
        QCOMPARE(client.ending(), LoopbackClient::Ending::Closed);

        QTRY_VERIFY(program.logLines().contains("DayTime Closed."));
        // A client that closed its end first may also be reported closed, at any point.
        QStringList lines = program.logLines();
        lines.removeIf([](const QString &line) { return line.startsWith("Socket: "); });
        QVERIFY2(lines.size() >= 3, qPrintable(lines.join('|')));
        static const QRegularExpression accepted(QStringLiteral(
            "^Daytime req, socket\\((\\d+)\\) Peer IP=127\\.0\\.0\\.1 Peer Port=\\d+$"));
        const auto match = accepted.match(lines[0]);
        QVERIFY2(match.hasMatch(), qPrintable(lines[0]));
        QCOMPARE(lines[1], QStringLiteral("DayTime req:") + match.captured(1));
        QCOMPARE(lines[2], QStringLiteral("DayTime Closed."));
        // The finger service is not involved.
        QCOMPARE(program.stat->queryRowCount(), 2);
    }

    void simultaneousClientsEachGetTheirReply()
    {
        Program program;
        program.form->now = [] { return FixedTime; };
        LoopbackClient::Options options;
        options.sendRequest = false;
        LoopbackClient first(13, options);
        options.host = "::1"; // the same listener serves both families
        LoopbackClient second(13, options);
        WAIT_FOR_CLIENT(first);
        WAIT_FOR_CLIENT(second);
        QCOMPARE(first.received(), FixedReply);
        QCOMPARE(second.received(), FixedReply);
        QTRY_COMPARE(program.logLines().count("DayTime Closed."), 2);
        QCOMPARE(program.logLines().filter(QRegularExpression("^Daytime req, socket\\(")).size(),
                 2);
        QCOMPARE(program.logLines().filter(QRegularExpression("^DayTime req:\\d+$")).size(), 2);
    }

    void resettingClientsNeverStopTheListener()
    {
        Program program;
        program.form->now = [] { return FixedTime; };
        const int descriptors = openDescriptorCount();
        for (int i = 0; i < 10; ++i) {
            LoopbackClient::Options reset;
            reset.resetAtOnce = true;
            LoopbackClient resetter(13, reset);
            WAIT_FOR_CLIENT(resetter);
        }
        LoopbackClient::Options options;
        options.sendRequest = false;
        LoopbackClient client(13, options);
        WAIT_FOR_CLIENT(client);
        QCOMPARE(client.received(), FixedReply);
        QVERIFY(program.dialogs.boxes.isEmpty());
        // Every session was closed again.
        QTRY_COMPARE(openDescriptorCount(), descriptors);
    }

    // A reply made once is kept only while the clock stays within its second.
    void replyFollowsTheClock()
    {
        Program program;
        QDateTime clock;
        program.form->now = [&clock] { return clock; };
        const std::pair<QDateTime, QByteArray> steps[] = {
            {FixedTime, FixedReply},
            {FixedTime.addSecs(17), FixedReply}, // the same minute
            {FixedTime.addSecs(18), "Mon Jan 05 3:08 PM 1998"},
            {FixedTime.addDays(1), "Tue Jan 06 3:07 PM 1998"},
        };
        for (const auto &[time, reply] : steps) {
            clock = time;
            LoopbackClient::Options options;
            options.sendRequest = false;
            LoopbackClient client(13, options);
            WAIT_FOR_CLIENT(client);
            QCOMPARE(client.received(), reply);
        }
    }

    // Without a clock of the test's own, the reply is the system's local time.
    void replyIsTheSystemTime()
    {
        Program program;
        LoopbackClient::Options options;
        options.sendRequest = false;
        const QDateTime before = QDateTime::currentDateTime();
        LoopbackClient client(13, options);
        WAIT_FOR_CLIENT(client);
        const QDateTime after = QDateTime::currentDateTime();
        const QByteArray reply = client.received();
        QVERIFY2(reply == FormatDayTime(before, QLocale::system()).toLocal8Bit() ||
                     reply == FormatDayTime(after, QLocale::system()).toLocal8Bit(),
                 reply.constData());
    }

    void disabledDaytimeServiceRefuses()
    {
        writeRegistry({{"EnableDayTime", "\"0\""}});
        Program program;
        QVERIFY(!Settings.EnableDayTime);
        LoopbackClient::Options options;
        options.sendRequest = false;
        LoopbackClient client(13, options);
        WAIT_FOR_CLIENT(client);
        QCOMPARE(client.ending(), LoopbackClient::Ending::Refused);
        QVERIFY(program.stat->logText().isEmpty());
    }
};

TELLWICK_TEST_MAIN_IN_NETNS(TestMainDayTime)
#include "tst_maindaytime.moc"
