// The finger service of the setup window, through real sockets on port 79.

#include "MainFormFixture.h"
#include "NetNamespace.h"

#include "ExpectedReplies.h"
#include "FingerReply.h"
#include "FingerSessions.h"
#include "Sockets.h"
#include "TestFiles.h"
#include "TrayIcon.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace ExpectedReplies;

namespace {

using Values = QList<QPair<QString, QString>>;

const ComputerFacts LabFacts{"Unknown", 6, 1, "labhost"};
const QByteArray ListReplyAllOn = header() + information(LabFacts) + listed(FakeLogin);

// Addresses of no network of this computer, added to loopback for peers from elsewhere.
const char ForeignIPv4[] = "192.0.2.1";
const char ForeignIPv6[] = "2001:db8::1";

} // namespace

class TestMainFinger : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TELLWICK_REQUIRE_NETNS();
        m_foreign = addForeignAddress(ForeignIPv4, &m_noForeign) &&
                    addForeignAddress(ForeignIPv6, &m_noForeign);
    }
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

        // One listener answers both families alike.
        for (const QByteArray host : {"127.0.0.1", "::1"}) {
            LoopbackClient::Options options = ::request(request);
            options.host = host;
            LoopbackClient client(79, options);
            WAIT_FOR_CLIENT(client);
            QVERIFY2(client.received() == expected, host.constData());
            QCOMPARE(client.ending(), LoopbackClient::Ending::Closed);
            QTRY_VERIFY(!QueryBusy);
        }
        QCOMPARE(program.beeps, 2);
        QVERIFY(program.dialogs.boxes.isEmpty());
    }

    void tableLogAndToolTipRecordTheQuery_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("answerLine");
        QTest::addColumn<bool>("details");
        QTest::addRow("list") << QByteArray("127.0.0.1") << QByteArray("\r\n")
                              << QStringLiteral("Sending user list to socket%1:") << false;
        QTest::addRow("details") << QByteArray("127.0.0.1") << FakeLogin + "\r\n"
                                 << QStringLiteral("Socket(%1), asked for: lab_user") << true;
        QTest::addRow("refusal") << QByteArray("127.0.0.1") << QByteArray("nobody\r\n")
                                 << QStringLiteral("Socket(%1), asked for: nobody") << false;
        QTest::addRow("details over IPv6")
            << QByteArray("::1") << FakeLogin + "\r\n"
            << QStringLiteral("Socket(%1), asked for: lab_user") << true;
    }

    void tableLogAndToolTipRecordTheQuery()
    {
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, request);
        QFETCH(QString, answerLine);
        QFETCH(bool, details);
        Program program;
        LoopbackClient::Options options = ::request(request);
        options.host = host;
        LoopbackClient client(79, options);
        WAIT_FOR_CLIENT(client);
        QTRY_VERIFY(!QueryBusy);

        // The address as the client knows it: an IPv4 peer never in the mapped form.
        const QString peer = QString::fromLatin1(host);
        QCOMPARE(program.stat->queryRowCount(), 3);
        QCOMPARE(program.stat->queryCell(1, 0), peer);
        QVERIFY(!program.stat->queryCell(1, 1).isEmpty());
        QCOMPARE(program.stat->queryCell(1, 2), QString::fromLatin1(request));
        QVERIFY(program.stat->queryCell(2, 0).isEmpty());

        const QString log = program.stat->logText();
        const QRegularExpression accepted(
            QStringLiteral("^Client session accepted, socket\\((\\d+)\\) Peer IP=%1 "
                           "Peer Port=(\\d+)\r\n")
                .arg(QRegularExpression::escape(peer)));
        const auto match = accepted.match(log);
        QVERIFY2(match.hasMatch(), qPrintable(log));
        const QString socket = match.captured(1);
        const QString port = match.captured(2);
        QVERIFY(socket.toInt() != program.form->Sockets->ListenSocket());
        QString expected = match.captured(0);
        expected += QStringLiteral("Starting send on socket(%1) Peer IP=%2 Peer Port=%3\r\n")
                        .arg(socket, peer, port);
        expected += QStringLiteral("Socket(%1), sent: ").arg(socket) +
                    QString::fromLatin1(request) + QStringLiteral("\r\n");
        expected += QStringLiteral("Buffer Len: %1\r\n").arg(request.size());
        expected += QStringLiteral("Sending data to Socket: %1\r\n").arg(socket);
        expected += answerLine.arg(socket) + QStringLiteral("\r\n");
        if (details)
            expected += QStringLiteral("Data len: %1\r\n").arg(client.received().size());
        QCOMPARE(log, expected);
        QCOMPARE(program.form->TrayIcon->ToolTip(), QStringLiteral("Latest from: ") + peer);
    }

    // Both services: a peer that may not ask is closed unanswered and logged once.
    void whoMayAsk_data()
    {
        QTest::addColumn<QString>("allowFrom");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<bool>("answered");
        const QByteArray v4 = "127.0.0.1", foreign4 = ForeignIPv4, foreign6 = ForeignIPv6;
        QTest::addRow("computer, loopback") << "computer" << 79 << v4 << v4 << true;
        QTest::addRow("computer, foreign") << "computer" << 79 << v4 << foreign4 << false;
        QTest::addRow("network, loopback") << "network" << 79 << v4 << v4 << true;
        QTest::addRow("network, foreign IPv6, daytime")
            << "network" << 13 << QByteArray("::1") << foreign6 << false;
        QTest::addRow("junk text, loopback") << "Computer" << 79 << v4 << v4 << true;
        QTest::addRow("junk text, foreign") << "Computer" << 79 << v4 << foreign4 << true;
    }

    void whoMayAsk()
    {
        QFETCH(QString, allowFrom);
        QFETCH(int, port);
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, source);
        QFETCH(bool, answered);
        if (!m_foreign && (source == ForeignIPv4 || source == ForeignIPv6))
            QSKIP(qPrintable(m_noForeign));
        writeRegistry({{"AllowFrom", "\"" + allowFrom + "\""}});
        Program program;
        LoopbackClient::Options options = request("\r\n");
        options.host = host;
        options.source = source;
        LoopbackClient client(quint16(port), options);
        WAIT_FOR_CLIENT(client);
        QCOMPARE(client.received().isEmpty(), !answered);
        QVERIFY(client.ending() != LoopbackClient::Ending::Failed);
        QTRY_VERIFY(!QueryBusy);
        // Logged once, and nothing else of the refused session.
        const QString refusal = QStringLiteral("Refused %1: not allowed").arg(source);
        QCOMPARE(program.logLines().contains(refusal), !answered);
        if (!answered)
            QCOMPARE(program.logLines(), QStringList{refusal});
    }

    // A client that tries the IPv6 loopback first is answered there, not turned to IPv4.
    void localhostAnsweredOverIpv6First()
    {
        if (!QFile::exists(QStringLiteral("/usr/bin/finger")))
            QSKIP("no finger client installed");
        QTemporaryDir dir;
        const QString hostsPath = dir.filePath(QStringLiteral("hosts"));
        QVERIFY(writeFile(hostsPath, "::1 localhost\n127.0.0.1 localhost\n"));
        const QByteArray hosts = hostsPath.toLocal8Bit();
        Program program;
        QProcess finger;
        // The hosts file is the client's alone, in a mount namespace of its own.
        finger.setChildProcessModifier([&hosts] {
            if (::unshare(CLONE_NEWNS) == -1 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
                ::mount(hosts.constData(), "/etc/hosts", nullptr, MS_BIND, nullptr) == -1)
                ::_exit(77);
        });
        finger.start(QStringLiteral("/usr/bin/finger"), {QStringLiteral("@localhost")});
        QTRY_COMPARE_WITH_TIMEOUT(finger.state(), QProcess::NotRunning, 20000);
        if (finger.exitCode() == 77)
            QSKIP("cannot give the client a hosts file of its own");
        const QByteArray output = finger.readAllStandardOutput();
        QVERIFY2(output.contains("1 user logged in:") && output.contains(FakeLogin),
                 output.constData());
        QVERIFY2(finger.readAllStandardError().isEmpty(), "the client met a refusal first");
        QVERIFY(program.logLines().first().contains(QLatin1String(" Peer IP=::1 ")));
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

private:
    bool m_foreign = false;
    QString m_noForeign;
};

TELLWICK_TEST_MAIN_IN_NETNS(TestMainFinger)
#include "tst_mainfinger.moc"
