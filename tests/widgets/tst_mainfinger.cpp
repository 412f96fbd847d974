// The finger service of the setup window, through real sockets on port 79.

#include "MainFormFixture.h"
#include "NetNamespace.h"

#include "ExpectedReplies.h"
#include "FingerReply.h"
#include "FingerSessions.h"
#include "Sockets.h"
#include "TrayIcon.h"

#include <QApplication>
#include <QTemporaryDir>

using namespace ExpectedReplies;

namespace {

using Values = QList<QPair<QString, QString>>;

const ComputerFacts LabFacts{"Unknown", 6, 1, "labhost"};
const QByteArray ListReplyAllOn = header() + information(LabFacts) + listed(FakeLogin);

} // namespace

class TestMainFinger : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TELLWICK_REQUIRE_NETNS(); }
    void init() { writeRegistry({}); }

    void repliesByteForByte_data()
    {
        QTest::addColumn<Values>("registry");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("expected");

        const Values defaults;
        QTest::addRow("list CR LF") << defaults << QByteArray("\r\n") << ListReplyAllOn;
        QTest::addRow("list LF CR") << defaults << QByteArray("\n\r") << ListReplyAllOn;
        QTest::addRow("list CR") << defaults << QByteArray("\r") << ListReplyAllOn;
        QTest::addRow("list LF") << defaults << QByteArray("\n") << ListReplyAllOn;
        QTest::addRow("list, both off") << Values{{"EnableInfo", "\"0\""}, {"EnableList", "\"0\""}}
                                        << QByteArray("\r\n") << header() + unlisted();
        QTest::addRow("list, information only")
            << Values{{"EnableList", "\"0\""}} << QByteArray("\r\n")
            << header() + information(LabFacts) + unlisted();
        QTest::addRow("list, user only") << Values{{"EnableInfo", "\"0\""}} << QByteArray("\r\n")
                                         << header() + listed(FakeLogin);
        QTest::addRow("verbose switch is a user")
            << defaults << QByteArray("/W\r\n") << noSuchUser("/W");
        QTest::addRow("three bytes have no name")
            << defaults << QByteArray("a\r\n") << noSuchUser("");
        QTest::addRow("two letters") << defaults << QByteArray("ab\r\n") << noSuchUser("ab");
        QTest::addRow("the login") << defaults << FakeLogin + "\r\n" << detailsReply(FakeLogin);
        QTest::addRow("name holding the login") << defaults << "x" + FakeLogin + "x\r\n"
                                                << detailsReply("x" + FakeLogin + "x");
        QTest::addRow("login in other case")
            << defaults << QByteArray("Lab_User\r\n") << noSuchUser("Lab_User");
        QTest::addRow("user information off")
            << Values{{"EnableUserInfo", "\"0\""}} << FakeLogin + "\r\n"
            << restricted(FakeLogin);
        QTest::addRow("details from the registry")
            << Values{{"lab_userRealName", "\"Ada Lovelace\""}} << FakeLogin + "\r\n"
            << detailsReply(FakeLogin, {.realName = "Ada Lovelace"});
    }

    void repliesByteForByte()
    {
        QFETCH(Values, registry);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, expected);
        writeRegistry(registry);
        Program program;
        QVERIFY(FingerListening);

        LoopbackClient client(79, ::request(request));
        WAIT_FOR_CLIENT(client);
        QCOMPARE(client.received(), expected);
        QCOMPARE(client.ending(), LoopbackClient::Ending::Closed);
        QTRY_VERIFY(!QueryBusy);
        QCOMPARE(program.beeps, 1);
        QVERIFY(program.dialogs.boxes.isEmpty());
    }

    void tableLogAndToolTipRecordTheQuery_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("answerLine");
        QTest::addColumn<bool>("details");
        QTest::addRow("list") << QByteArray("\r\n")
                              << QStringLiteral("Sending user list to socket%1:") << false;
        QTest::addRow("details") << FakeLogin + "\r\n"
                                 << QStringLiteral("Socket(%1), asked for: lab_user") << true;
        QTest::addRow("refusal") << QByteArray("nobody\r\n")
                                 << QStringLiteral("Socket(%1), asked for: nobody") << false;
    }

    void tableLogAndToolTipRecordTheQuery()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, answerLine);
        QFETCH(bool, details);
        Program program;
        LoopbackClient client(79, ::request(request));
        WAIT_FOR_CLIENT(client);
        QTRY_VERIFY(!QueryBusy);

        QCOMPARE(program.stat->queryRowCount(), 3);
        QCOMPARE(program.stat->queryCell(1, 0), QStringLiteral("127.0.0.1"));
        QVERIFY(!program.stat->queryCell(1, 1).isEmpty());
        QCOMPARE(program.stat->queryCell(1, 2), QString::fromLatin1(request));
        QVERIFY(program.stat->queryCell(2, 0).isEmpty());

        const QString log = program.stat->logText();
        static const QRegularExpression accepted(
            QStringLiteral("^Client session accepted, socket\\((\\d+)\\) Peer IP=127\\.0\\.0\\.1 "
                           "Peer Port=(\\d+)\r\n"));
        const auto match = accepted.match(log);
        QVERIFY2(match.hasMatch(), qPrintable(log));
        const QString socket = match.captured(1);
        const QString port = match.captured(2);
        QVERIFY(socket.toInt() != program.form->Sockets->ListenSocket());
        QString expected = match.captured(0);
        expected += QStringLiteral("Starting send on socket(%1) Peer IP=127.0.0.1 Peer Port=%2\r\n")
                        .arg(socket, port);
        expected += QStringLiteral("Socket(%1), sent: ").arg(socket) +
                    QString::fromLatin1(request) + QStringLiteral("\r\n");
        expected += QStringLiteral("Buffer Len: %1\r\n").arg(request.size());
        expected += QStringLiteral("Sending data to Socket: %1\r\n").arg(socket);
        expected += answerLine.arg(socket) + QStringLiteral("\r\n");
        if (details)
            expected += QStringLiteral("Data len: %1\r\n").arg(client.received().size());
        QCOMPARE(log, expected);
        QCOMPARE(program.form->TrayIcon->ToolTip(), QStringLiteral("Latest from: 127.0.0.1"));
    }

    void clientArrivingWhileBusyIsServedAfterwards()
    {
        Program program;
        LoopbackClient::Options slow = request(FakeLogin + "\r\n");
        // Well within the 2 s that a silent session keeps the slot while another waits.
        slow.delayBeforeSendMs = 1000;
        LoopbackClient first(79, slow);
        QTRY_VERIFY(QueryBusy);
        LoopbackClient second(79, request("\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(program.logLines().contains("Can not handle two queries..."),
                                 10000);
        WAIT_FOR_CLIENT(first);
        WAIT_FOR_CLIENT(second);
        QCOMPARE(first.received(), detailsReply(FakeLogin));
        QCOMPARE(second.received(), ListReplyAllOn);
        // One refusal line per notification, not one per turn of the loop.
        QCOMPARE(program.logLines().count("Can not handle two queries..."), 1);
        QTRY_COMPARE(program.stat->queryRowCount(), 4);
    }

    void clientLeavingSilentlyFreesTheListener()
    {
        Program program;
        const int descriptors = openDescriptorCount();
        LoopbackClient::Options silent;
        silent.leaveSilently = true;
        LoopbackClient leaver(79, silent);
        WAIT_FOR_CLIENT(leaver);
        QTRY_COMPARE(program.logLines().size(), 2);
        QVERIFY(!QueryBusy);
        const QStringList lines = program.logLines();
        QVERIFY(lines[0].startsWith("Client session accepted, socket("));
        const QString socket = lines[0].section('(', 1).section(')', 0, 0);
        QCOMPARE(lines[1], QStringLiteral("Socket: %1 closed.").arg(socket));

        LoopbackClient next(79, request("\r\n"));
        WAIT_FOR_CLIENT(next);
        QCOMPARE(next.received(), ListReplyAllOn);
        QTRY_COMPARE(openDescriptorCount(), descriptors);
    }

    void resetIsShownAndFreesTheListener()
    {
        Program program;
        LoopbackClient::Options reset;
        reset.resetAtOnce = true;
        LoopbackClient resetter(79, reset);
        WAIT_FOR_CLIENT(resetter);
        QTRY_COMPARE(program.dialogs.texts(), QStringList{"Connection reset by peer"});
        QVERIFY(!QueryBusy);
        QVERIFY(!program.stat->logText().contains("closed."));

        LoopbackClient next(79, request("\r\n"));
        WAIT_FOR_CLIENT(next);
        QCOMPARE(next.received(), ListReplyAllOn);
    }

    void resetsWhileTheBoxIsOpenNeverStackBoxes()
    {
        Program program;
        const int descriptors = openDescriptorCount();
        int nested = 0;
        bool open = false;
        program.dialogs.whileShown = [&](const RecordingDialogs::Box &) {
            if (open) {
                ++nested;
                return;
            }
            open = true;
            // The person has not closed the box yet; 40 more clients reset meanwhile.
            for (int i = 0; i < 40; ++i) {
                LoopbackClient::Options reset;
                reset.resetAtOnce = true;
                LoopbackClient resetter(79, reset);
                QTRY_VERIFY(resetter.isFinished());
                QTest::qWait(5);
                QTRY_VERIFY(!QueryBusy);
            }
            open = false;
        };
        LoopbackClient::Options reset;
        reset.resetAtOnce = true;
        LoopbackClient first(79, reset);
        QTRY_VERIFY_WITH_TIMEOUT(!program.dialogs.boxes.isEmpty() && !open, 60000);
        QTRY_COMPARE(openDescriptorCount(), descriptors);
        QCOMPARE(nested, 0);
        QCOMPARE(program.dialogs.boxes.size(), 1);
        QVERIFY(program.logLines().contains("Connection reset by peer"));

        LoopbackClient next(79, request("\r\n"));
        WAIT_FOR_CLIENT(next);
        QCOMPARE(next.received(), ListReplyAllOn);
    }

    void silentSessionIsClosedAfterTheRequestTimeout()
    {
        Program program;
        program.form->fingerSessions->requestTimeoutMs = 300;
        LoopbackClient::Options mute;
        mute.sendRequest = false;
        LoopbackClient waiter(79, mute);
        WAIT_FOR_CLIENT(waiter);
        QCOMPARE(waiter.ending(), LoopbackClient::Ending::Closed);
        QVERIFY(waiter.received().isEmpty());
        QTRY_VERIFY(!QueryBusy);

        LoopbackClient next(79, request("\r\n"));
        WAIT_FOR_CLIENT(next);
        QCOMPARE(next.received(), ListReplyAllOn);
    }

    void silentSessionGivesWayToAWaitingClient()
    {
        Program program;
        program.form->fingerSessions->yieldAfterMs = 300;
        LoopbackClient::Options mute;
        mute.sendRequest = false;
        LoopbackClient waiter(79, mute);
        QTRY_VERIFY(QueryBusy);
        QTest::qWait(500);
        LoopbackClient next(79, request("\r\n"));
        WAIT_FOR_CLIENT(next);
        QCOMPARE(next.received(), ListReplyAllOn);
        WAIT_FOR_CLIENT(waiter);
        QCOMPARE(waiter.ending(), LoopbackClient::Ending::Closed);

        // It was not turned away: the silent session made room for it at once.
        const QStringList lines = program.logLines();
        QVERIFY(lines.size() > 3);
        const QString silent = lines[0].section('(', 1).section(')', 0, 0);
        QCOMPARE(lines[1], QStringLiteral("Socket: %1 timed out.").arg(silent));
        QVERIFY(lines[2].startsWith("Client session accepted, socket("));
        QVERIFY(!lines.contains("Can not handle two queries..."));
    }

    void largePlanReachesASlowReaderWhole()
    {
        QTemporaryDir dir;
        const QString plan = dir.filePath("plan.txt");
        {
            QFile file(plan);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QByteArray line = QByteArray(70, 'p') + '\n';
            for (int i = 0; file.size() < 2 * 1024 * 1024; ++i)
                file.write(QByteArray::number(i) + line);
        }
        writeRegistry({{"lab_userPlan", "\"" + QString(plan).replace('\\', "\\\\") + "\""}});
        Program program;
        QCOMPARE(Settings.Plan, plan);

        FingerDetails details;
        details.Login = FakeLogin;
        details.RealName = "Unknown";
        details.HPhone = details.OPhone = "-";
        details.Plan = plan;
        const QByteArray expected = BuildFingerReply(FakeLogin + "\r\n", details, LabFacts).bytes;
        QVERIFY(expected.size() > 2 * 1024 * 1024);

        LoopbackClient::Options slow = request(FakeLogin + "\r\n");
        slow.readChunk = 64 * 1024;
        slow.pauseBetweenReadsMs = 20;
        LoopbackClient reader(79, slow);
        // The listener is free again long before the slow reader has everything.
        QTRY_VERIFY(program.stat->queryRowCount() == 3 && !QueryBusy);
        LoopbackClient other(79, request("\r\n"));
        WAIT_FOR_CLIENT(other);
        QCOMPARE(other.received(), ListReplyAllOn);
        QTRY_VERIFY_WITH_TIMEOUT(reader.isFinished(), 60000);
        QCOMPARE(reader.ending(), LoopbackClient::Ending::Closed);
        QCOMPARE(reader.received().size(), expected.size());
        QVERIFY(reader.received() == expected);
    }

    void disabledFingerServiceRefuses()
    {
        writeRegistry({{"Enable", "\"0\""}});
        Program program;
        QVERIFY(!FingerListening);
        QVERIFY(!program.form->Enabled1->isChecked());
        LoopbackClient client(79, request("\r\n"));
        WAIT_FOR_CLIENT(client);
        QCOMPARE(client.ending(), LoopbackClient::Ending::Refused);
    }
};

TELLWICK_TEST_MAIN_IN_NETNS(TestMainFinger)
#include "tst_mainfinger.moc"
