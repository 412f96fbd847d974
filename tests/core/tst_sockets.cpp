#include "RecordingDialogs.h"
#include "RuntimeError.h"
#include "SocketChannels.h"
#include "SocketTestTools.h"
#include "Sockets.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <netinet/tcp.h>
#include <sys/resource.h>
#include <vector>

using namespace WinSock;

namespace {

QByteArray patternText(int size)
{
    QByteArray text(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        text[i] = char('!' + i % 90);
    return text;
}

// The TCP state of a socket of the test (TCP_ESTABLISHED, TCP_CLOSE_WAIT, ...).
int tcpState(int fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == -1)
        return -1;
    return info.tcpi_state;
}

// The text of the RuntimeError that call raises, or the empty text.
template <typename Call> QString raisedBy(Call call)
{
    try {
        call();
    } catch (const RuntimeError &error) {
        return error.text();
    }
    return QString();
}

} // namespace

class TestSockets : public QObject
{
    Q_OBJECT

private slots:
    void exchangeThroughEvents();
    void notificationsReachAHandlersNestedLoop();
    void resetArrivesAsCloseError();
    void refusedConnectionArrivesAsConnectError();
    void portInUse_data();
    void portInUse();
    void portTextsThatAreNoPort_data();
    void portTextsThatAreNoPort();
    void missingSettingsShowBoxesEvenWhenQuiet_data();
    void missingSettingsShowBoxesEvenWhenQuiet();
    void failedOperations_data();
    void failedOperations();
    void sSendCutsTextIntoPieces_data();
    void sSendCutsTextIntoPieces();
    void getTextLimits_data();
    void getTextLimits();
    void withoutSocketNothingIsCalled();
    void acceptedSocketsSurviveCancelListen();
    void blockingAcceptTimesOutWhileEventsRun_data();
    void blockingAcceptTimesOutWhileEventsRun();
    void blockingCallsExchangeData();
    void callTimer_data();
    void callTimer();
    void writingToVanishedPeerIsReported();
    void dispatch_data();
    void dispatch();
    void noNotificationAfterDisconnect();
    void noNotificationAfterCancelListen_data();
    void noNotificationAfterCancelListen();
    void largeSendSurvivesDisconnect();
    void replyArrivesDespiteUnreadInput();
    void peerThatEndedIsNotWaitedFor();
    void closingSessionEndsWithoutAnotherClient();
    void handlerMayDeleteItsComponent();
    void resumeAcceptingOffersWaitingConnectionOnce();
    void acceptPausesWhileDescriptorsRunShort();
    void gracefulClosesPastTheLimitResetTheOldest();
    void noDescriptorLeaks();
    void errorText_data();
    void errorText();
    void errorTextTableHoldsFiftyCodes();
    void errnoCodes_data();
    void errnoCodes();
};

void TestSockets::exchangeThroughEvents()
{
    RecordingDialogs dialogs;
    TSockets server;
    TSockets client;
    EventLog serverLog;
    EventLog clientLog;
    serverLog.attach(server);
    clientLog.attach(client);
    QByteArray serverReceived;
    QByteArray clientReceived;
    int accepted = -1;
    server.OnSessionAvailable = [&](TSockets *, int s) {
        serverLog.add("accept", s);
        accepted = server.Accept();
    };
    server.OnDataAvailable = [&](TSockets *, int s) {
        serverLog.add("read", s);
        server.SessionSocket = s;
        serverReceived += server.GetText();
        if (serverReceived == "hello")
            server.SetText("world");
    };
    client.OnSessionConnected = [&](TSockets *, int s) {
        clientLog.add("connect", s);
        client.SessionSocket = s;
        client.SetText("hello");
    };
    client.OnDataAvailable = [&](TSockets *, int s) {
        clientLog.add("read", s);
        client.SessionSocket = s;
        clientReceived += client.GetText();
        if (clientReceived == "world") {
            client.SetText("bye");
            client.Disconnect();
        }
    };
    aimAt(client, listenOnFreePort(server));
    client.SConnect();
    const int clientSocket = client.SessionSocket;
    QVERIFY(clientSocket != -1);
    QTRY_VERIFY_WITH_TIMEOUT(accepted != -1, waitLimit);
    QCOMPARE(server.PeerAddress(accepted), QStringLiteral("127.0.0.1"));
    QCOMPARE(server.PeerPort(accepted), QString::number(localPort(clientSocket)));

    QTRY_COMPARE_WITH_TIMEOUT(serverLog.count("close", accepted), 1, waitLimit);
    server.SessionSocket = accepted;
    QCOMPARE(server.GetText(), QByteArray()); // the peer has closed: empty, no report
    QTest::qWait(200);
    QCOMPARE(serverReceived, QByteArray("hellobye"));
    QCOMPARE(clientReceived, QByteArray("world"));
    QCOMPARE(serverLog.names(server.ListenSocket()), QStringList{"accept"});
    // One read per arrival; the end of the data is no read notification.
    const QStringList session = serverLog.names(accepted);
    QCOMPARE(session.count("write"), 1);
    QCOMPARE(session.count("read"), 2);
    QCOMPARE(session.count("close"), 1);
    QCOMPARE(session.last(), QStringLiteral("close"));
    QCOMPARE(clientLog.names(clientSocket), (QStringList{"connect", "write", "read"}));
    QVERIFY(serverLog.errors().isEmpty() && clientLog.errors().isEmpty());
    QVERIFY(dialogs.boxes.isEmpty());
}

// A handler that runs the event loop (as the finger responder does) still receives the
// notifications that arrive meanwhile, its own component's included.
void TestSockets::notificationsReachAHandlersNestedLoop()
{
    RecordingDialogs dialogs;
    TSockets server;
    TSockets client;
    QStringList seenInside;
    bool handlerDone = false;
    server.OnSessionAvailable = [&](TSockets *, int) {
        const int session = server.Accept();
        QEventLoop nested;
        server.OnDataNeeded = [&](TSockets *, int s) {
            if (s == session)
                seenInside << "write";
        };
        server.OnDataAvailable = [&](TSockets *, int s) {
            if (s == session)
                seenInside << "read";
            nested.quit();
        };
        QTimer::singleShot(waitLimit, &nested, &QEventLoop::quit);
        nested.exec();
        handlerDone = true;
    };
    client.OnSessionConnected = [&](TSockets *, int s) {
        client.SessionSocket = s;
        client.SetText("x");
    };
    aimAt(client, listenOnFreePort(server));
    client.SConnect();
    QTRY_VERIFY_WITH_TIMEOUT(handlerDone, 2 * waitLimit);
    QCOMPARE(seenInside, (QStringList{"write", "read"}));
    QVERIFY(dialogs.boxes.isEmpty());
}

void TestSockets::resetArrivesAsCloseError()
{
    AcceptedSession s;
    QVERIFY(s.accept());
    QTRY_COMPARE_WITH_TIMEOUT(s.log.count("write", s.accepted), 1, waitLimit);
    s.peer.reset();
    QTRY_COMPARE_WITH_TIMEOUT(s.log.errors().size(), 1, waitLimit);
    QTest::qWait(100);
    const EventLog::Entry error = s.log.errors().first();
    QCOMPARE(error.socket, s.accepted);
    QCOMPARE(error.error, WSAECONNRESET);
    QCOMPARE(error.msg, QStringLiteral("Connection reset by peer"));
    QCOMPARE(s.log.names(s.accepted), (QStringList{"write", "error"}));
}

void TestSockets::refusedConnectionArrivesAsConnectError()
{
    RecordingDialogs dialogs;
    // Bound but not listening: connections to its port are refused.
    const RawSocket closedPort = RawSocket::bound(0);
    TSockets client;
    aimAt(client, localPort(closedPort.fd()));
    client.SConnect();
    QVERIFY(client.SessionSocket != -1);
    QTRY_COMPARE_WITH_TIMEOUT(dialogs.boxes.size(), 1, waitLimit);
    QTest::qWait(200);
    // Only the outcome of the attempt: the pending connect itself (10035) is no failure.
    QCOMPARE(dialogs.texts(), QStringList{boxText(WSAECONNREFUSED, "FD_CONNECT")});
}

void TestSockets::portInUse_data()
{
    QTest::addColumn<bool>("quiet");
    QTest::addRow("without handler") << false;
    QTest::addRow("quiet") << true;
}

void TestSockets::portInUse()
{
    QFETCH(bool, quiet);
    RecordingDialogs dialogs;
    TSockets first;
    EventLog firstLog;
    firstLog.attach(first);
    const quint16 port = listenOnFreePort(first);
    TSockets second;
    EventLog log;
    if (quiet)
        log.attach(second);
    second.QuietErrors = quiet;
    second.Port = QString::number(port);
    second.Listen();
    QVERIFY(second.ListenSocket() != -1);
    QCOMPARE(first.FirstListenFailure().code, 0);
    // What start-up explains on stderr: the bind, not the listen that failed after it.
    QCOMPARE(second.FirstListenFailure().code, WSAEADDRINUSE);
    QCOMPARE(second.FirstListenFailure().cause, EADDRINUSE);
    if (quiet) {
        QVERIFY(log.entries.isEmpty() && dialogs.boxes.isEmpty());
        // The bind failure came first; the failed listen is the one kept.
        QCOMPARE(second.TakeLastError(), WSAEINVAL);
        QCOMPARE(second.TakeLastError(), 0);
        QCOMPARE(second.LastErrorText(), QStringLiteral("Invalid argument"));
    } else {
        QCOMPARE(
            dialogs.texts(),
            (QStringList{QStringLiteral("Error 10048 in function Bind\r\nAddress already in use"),
                         boxText(WSAEINVAL, "Listen")}));
        for (const RecordingDialogs::Box &box : std::as_const(dialogs.boxes)) {
            QCOMPARE(box.caption, QStringLiteral("WINSOCK ERROR"));
            QCOMPARE(box.buttons, Dialogs::Buttons::OkCancel);
        }
        QCOMPARE(dialogs.endRequests, (QList<int>{0, 0}));
    }
    // Each new attempt closes the failed listener it replaces.
    const int descriptors = openDescriptorCount();
    for (int attempt = 0; attempt < 5; ++attempt) {
        second.Listen();
        QVERIFY(second.TakeLastError() != 0);
    }
    QCOMPARE(openDescriptorCount(), descriptors);
    QCOMPARE(second.FirstListenFailure().cause, EADDRINUSE);
    second.CancelListen();
    QCOMPARE(openDescriptorCount(), descriptors - 1);
    // The first listener still has its port.
    const RawSocket peer = RawSocket::connectedTo(port);
    QTRY_COMPARE_WITH_TIMEOUT(firstLog.count("accept"), 1, waitLimit);
}

void TestSockets::portTextsThatAreNoPort_data()
{
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("failure");
    const QString range = QStringLiteral("Range check error");
    for (const char *text : {"79x", "79 ", "  ", "-$4F", "$", "0x4F", "99999999999"})
        QTest::addRow("listen on '%s'", text)
            << false << text << QStringLiteral("'%1' is not a valid integer value").arg(text);
    for (const char *text : {"70000", "-1", "$10000", "$FFFFFFFF"})
        QTest::addRow("listen on %s", text) << false << text << range;
    QTest::addRow("connect to 79x") << true << "79x"
                                    << "'79x' is not a valid integer value";
    QTest::addRow("connect to 70000") << true << "70000" << range;
}

void TestSockets::portTextsThatAreNoPort()
{
    QFETCH(bool, connect);
    QFETCH(QString, port);
    QFETCH(QString, failure);
    const int descriptors = openDescriptorCount();
    TSockets sockets;
    EventLog log;
    log.attach(sockets);
    aimAt(sockets, 0);
    sockets.Port = port;
    QCOMPARE(raisedBy([&] { connect ? sockets.SConnect() : sockets.Listen(); }), failure);
    // Raised before any socket exists.
    QCOMPARE(sockets.ListenSocket(), -1);
    QCOMPARE(sockets.SessionSocket, -1);
    QCOMPARE(openDescriptorCount(), descriptors);
    QVERIFY(log.entries.isEmpty());
}

void TestSockets::missingSettingsShowBoxesEvenWhenQuiet_data()
{
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("box");
    QTest::addRow("listen without port") << false << ""
                                         << ""
                                         << "No Port Specified";
    QTest::addRow("connect without port") << true << ""
                                          << "127.0.0.1"
                                          << "No Port Specified";
    QTest::addRow("connect without anything") << true << ""
                                              << ""
                                              << "No Port Specified";
    QTest::addRow("connect without address") << true << "79"
                                             << ""
                                             << "No IP Address Specified";
}

void TestSockets::missingSettingsShowBoxesEvenWhenQuiet()
{
    QFETCH(bool, connect);
    QFETCH(QString, port);
    QFETCH(QString, address);
    QFETCH(QString, box);
    RecordingDialogs dialogs;
    const int descriptors = openDescriptorCount();
    TSockets sockets;
    sockets.QuietErrors = true;
    sockets.Port = port;
    sockets.IPAddr = address;
    connect ? sockets.SConnect() : sockets.Listen();
    QCOMPARE(dialogs.texts(), QStringList{box});
    QCOMPARE(dialogs.boxes.first().caption, QStringLiteral("WINSOCK ERROR"));
    QCOMPARE(dialogs.boxes.first().buttons, Dialogs::Buttons::OkCancel);
    QVERIFY(dialogs.endRequests.isEmpty());
    QCOMPARE(sockets.TakeLastError(), 0);
    QCOMPARE(sockets.ListenSocket(), -1);
    QCOMPARE(sockets.SessionSocket, -1);
    QCOMPARE(openDescriptorCount(), descriptors);
}

void TestSockets::failedOperations_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("box");
    const QString disconnect = boxText(WSAENOTSOCK, "Disconnect (closesocket)");
    QTest::addRow("disconnect without session") << 0 << disconnect;
    QTest::addRow("disconnect of a descriptor not held") << 1 << disconnect;
    QTest::addRow("second cancel") << 2 << boxText(WSAENOTSOCK, "CancelListen (closesocket)");
    QTest::addRow("accept without client") << 3 << boxText(WSAEWOULDBLOCK, "Accept");
}

void TestSockets::failedOperations()
{
    QFETCH(int, operation);
    QFETCH(QString, box);
    RecordingDialogs dialogs;
    TSockets sockets;
    const quint16 port = listenOnFreePort(sockets);
    const RawSocket foreign = RawSocket::bound(0);
    switch (operation) {
    case 1:
        sockets.SessionSocket = foreign.fd();
        [[fallthrough]];
    case 0:
        sockets.Disconnect();
        break;
    case 2:
        sockets.CancelListen();
        QVERIFY(dialogs.boxes.isEmpty());
        sockets.CancelListen();
        QVERIFY(!RawSocket::connectedTo(port).isOpen());
        break;
    case 3:
        sockets.SessionSocket = 1234;
        QCOMPARE(sockets.Accept(), -1);
        break;
    }
    QCOMPARE(dialogs.texts(), QStringList{box});
    QCOMPARE(dialogs.endRequests, QList<int>{0});
    QCOMPARE(sockets.SessionSocket, -1);
    // A descriptor the component did not open is left alone.
    QVERIFY(descriptorOpen(foreign.fd()));
}

void TestSockets::sSendCutsTextIntoPieces_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<QByteArray>("arrives");
    QTest::addColumn<int>("result");
    const QByteArray text = patternText(250);
    QByteArray withZero = text;
    withZero[150] = '\0';
    QTest::addRow("250 bytes in pieces of 100") << text << 100 << text << 50;
    QTest::addRow("100 bytes in one piece") << text.left(100) << 100 << text.left(100) << 100;
    QTest::addRow("empty text") << QByteArray() << 100 << QByteArray() << 0;
    // A zero byte ends its own piece only: the boundaries show through.
    QTest::addRow("zero byte in the middle piece")
        << withZero << 100 << text.left(150) + text.mid(200) << 50;
    QTest::addRow("no chunk size") << text << 0 << text << 250;
}

void TestSockets::sSendCutsTextIntoPieces()
{
    QFETCH(QByteArray, text);
    QFETCH(int, chunkSize);
    QFETCH(QByteArray, arrives);
    QFETCH(int, result);
    AcceptedSession s;
    QVERIFY(s.accept());
    int sent = -77;
    QCOMPARE(s.server.SSend(s.accepted, text, sent, chunkSize), result);
    QCOMPARE(sent, result);
    s.server.SessionSocket = s.accepted;
    s.server.Disconnect();
    int error = 0;
    QCOMPARE(s.peer.readToEnd(&error), arrives);
    QCOMPARE(error, 0);
    QVERIFY(s.log.errors().isEmpty());
}

void TestSockets::getTextLimits_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<QList<QByteArray>>("texts");
    QTest::addRow("zero byte ends the text")
        << QByteArray("abc\0def", 7) << 8192 << QList<QByteArray>{"abc"};
    QTest::addRow("at most the maximum, the rest reported again")
        << QByteArray("abcdefgh") << 4 << QList<QByteArray>{"abcd", "efgh"};
}

void TestSockets::getTextLimits()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, maximum);
    QFETCH(QList<QByteArray>, texts);
    AcceptedSession s;
    s.server.MaximumReceiveLength = maximum;
    QList<QByteArray> received;
    s.server.OnDataAvailable = [&](TSockets *, int fd) {
        s.server.SessionSocket = fd;
        received.append(s.server.GetText());
    };
    QVERIFY(s.accept());
    QVERIFY(s.peer.send(sent));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), texts.size(), waitLimit);
    QTest::qWait(100);
    QCOMPARE(received, texts);
    QVERIFY(s.log.errors().isEmpty());
}

void TestSockets::withoutSocketNothingIsCalled()
{
    TSockets sockets;
    EventLog log;
    log.attach(sockets);
    QCOMPARE(sockets.GetText(), QByteArray());
    int sent = 12345;
    QCOMPARE(sockets.SSend(-1, "text", sent, 100), 0);
    QCOMPARE(sent, 12345);
    QVERIFY(log.entries.isEmpty());

    sockets.SessionSocket = 5;
    sockets.MaximumReceiveLength = -1;
    QCOMPARE(raisedBy([&] { sockets.GetText(); }), QStringLiteral("Range check error"));
    QVERIFY(log.entries.isEmpty());

    // The failure of a send names SessionSocket, whatever socket was written to.
    const RawSocket foreign = RawSocket::bound(0);
    sockets.SessionSocket = 4321;
    QCOMPARE(sockets.SSend(foreign.fd(), "text", sent, 100), -1);
    QCOMPARE(sent, -1);
    QCOMPARE(log.errors().size(), 1);
    QCOMPARE(log.errors().first().socket, 4321);
    QCOMPARE(log.errors().first().error, WSAENOTSOCK);
}

void TestSockets::acceptedSocketsSurviveCancelListen()
{
    AcceptedSession s;
    QByteArray received;
    s.server.OnDataAvailable = [&](TSockets *, int fd) {
        s.server.SessionSocket = fd;
        received += s.server.GetText();
        s.server.SetText("pong");
    };
    QVERIFY(s.accept());
    s.server.CancelListen();
    QCOMPARE(s.server.ListenSocket(), -1);
    QVERIFY(s.peer.send("ping"));
    QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("ping"), waitLimit);
    // The server closes first, so its end of the connection lingers on the port...
    s.server.SessionSocket = s.accepted;
    s.server.Disconnect();
    int error = 0;
    QCOMPARE(s.peer.readToEnd(&error), QByteArray("pong"));
    QCOMPARE(error, 0);
    s.peer.close();
    QTest::qWait(100);
    // ...which does not keep a new listener from it.
    s.server.Port = QString::number(s.port);
    s.server.Listen();
    QCOMPARE(localPort(s.server.ListenSocket()), s.port);
    QVERIFY(s.log.errors().isEmpty());
}

void TestSockets::blockingAcceptTimesOutWhileEventsRun_data()
{
    QTest::addColumn<bool>("withHandler");
    QTest::addRow("reported to the handler") << true;
    QTest::addRow("shown in boxes") << false;
}

void TestSockets::blockingAcceptTimesOutWhileEventsRun()
{
    QFETCH(bool, withHandler);
    RecordingDialogs dialogs;
    TSockets blocking;
    EventLog log;
    if (withHandler)
        log.attach(blocking);
    blocking.setNonBlocking(false);
    blocking.Timeout = 1;
    listenOnFreePort(blocking);
    // The time-out names the session of before; the failed accept then clears it.
    blocking.SessionSocket = 42;

    AcceptedSession other;
    bool timerRan = false;
    QTimer::singleShot(50, &blocking, [&] { timerRan = true; });

    QCOMPARE(blocking.Accept(), -1);

    QVERIFY(timerRan);
    QVERIFY(other.accepted != -1);
    QCOMPARE(blocking.SessionSocket, -1);
    if (withHandler) {
        const QList<EventLog::Entry> errors = log.errors();
        QCOMPARE(errors.size(), 2);
        QCOMPARE(errors[0].socket, 42);
        QCOMPARE(errors[0].error, WSAETIMEDOUT);
        QCOMPARE(errors[0].msg, QStringLiteral("Blocking call timed out"));
        QCOMPARE(errors[1].socket, -1);
        QCOMPARE(errors[1].error, WSAEINTR);
        QCOMPARE(errors[1].msg, QStringLiteral("Interrupted system call"));
    } else {
        QCOMPARE(dialogs.boxes.size(), 2);
        QCOMPARE(dialogs.boxes[0].caption, QStringLiteral("WINSOCK CALL CANCELED"));
        QCOMPARE(dialogs.boxes[0].text, QStringLiteral("Error 10060\r\nBlocking call timed out"));
        QCOMPARE(dialogs.boxes[1].text, boxText(WSAEINTR, "Accept"));
        // Only the ordinary failure ends the program.
        QCOMPARE(dialogs.endRequests, QList<int>{0});
    }
    // The time-out report leaves the recorded failure to the cancelled call.
    QCOMPARE(blocking.TakeLastError(), WSAEINTR);
}

void TestSockets::blockingCallsExchangeData()
{
    AcceptedSession server;
    server.server.OnDataAvailable = [&](TSockets *, int fd) {
        server.server.SessionSocket = fd;
        if (server.server.GetText() == "question")
            QTimer::singleShot(200, &server.server, [&] { server.server.SetText("answer"); });
    };
    TSockets client;
    EventLog log;
    log.attach(client);
    client.setNonBlocking(false);
    client.Timeout = 0; // no limit: only the answer or a Disconnect ends a wait
    aimAt(client, server.port);
    client.SConnect();
    QVERIFY(client.SessionSocket != -1);
    client.SetText("question");
    // Waits for the answer, which is sent only later.
    QCOMPARE(client.GetText(), QByteArray("answer"));
    QVERIFY(log.entries.isEmpty()); // blocking mode raises no events

    QTimer::singleShot(100, &client, [&] { client.Disconnect(); });
    QCOMPARE(client.GetText(), QByteArray());
    QCOMPARE(client.SessionSocket, -1);
    QCOMPARE(log.names(), QStringList{"error"});
    QCOMPARE(log.errors().first().error, WSAEINTR);
    QTRY_COMPARE_WITH_TIMEOUT(server.log.count("close"), 1, waitLimit);
}

void TestSockets::callTimer_data()
{
    QTest::addColumn<bool>("eventDriven");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("raised");
    QTest::addRow("largest timeout") << false << 2147483 << "";
    QTest::addRow("one second more overflows") << false << 2147484 << "Integer overflow";
    QTest::addRow("event-driven mode starts no timer") << true << 2147484 << "";
}

void TestSockets::callTimer()
{
    QFETCH(bool, eventDriven);
    QFETCH(int, timeout);
    QFETCH(QString, raised);
    RecordingDialogs dialogs;
    TSockets sockets;
    EventLog log;
    log.attach(sockets);
    sockets.setNonBlocking(eventDriven);
    sockets.Timeout = timeout;
    QCOMPARE(raisedBy([&] { sockets.SetText("text"); }), raised);
    // The send on the missing session is made (and fails) only when the timer could start.
    QCOMPARE(log.errors().size(), raised.isEmpty() ? 1 : 0);
    // A tick while no blocking call runs reports nothing.
    sockets.HandleTimer();
    QCOMPARE(log.errors().size(), raised.isEmpty() ? 1 : 0);
    QVERIFY(dialogs.boxes.isEmpty());
}

void TestSockets::writingToVanishedPeerIsReported()
{
    AcceptedSession s;
    QVERIFY(s.accept());
    s.peer.close();
    // The first send may still be taken; the peer's answer to it makes a later one fail.
    s.server.SessionSocket = s.accepted;
    QTRY_VERIFY_WITH_TIMEOUT((s.server.SetText("anyone there?"), !s.log.errors().isEmpty()),
                             waitLimit);
    const int error = s.log.errors().first().error;
    QVERIFY2(error == WSAECONNRESET || error == WSAESHUTDOWN, qPrintable(QString::number(error)));
}

void TestSockets::dispatch_data()
{
    QTest::addColumn<int>("event");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("raised");
    QTest::addColumn<QString>("label");
    const char *names[] = {"read", "write", "oob", "accept", "connect", "close"};
    const char *labels[] = {"FD_READ", "FD_WRITE", "FD_OOB", "FD_ACCEPT", "FD_CONNECT", "FD_CLOSE"};
    for (int bit = 0; bit < 6; ++bit) {
        QTest::addRow("%s", names[bit]) << (1 << bit) << 0 << names[bit] << "";
        QTest::addRow("%s with error 10000", names[bit]) << (1 << bit) << 10000 << names[bit] << "";
        QTest::addRow("%s with error 10001", names[bit])
            << (1 << bit) << 10001 << "" << labels[bit];
    }
    QTest::addRow("error 1 is none") << 1 << 1 << "read"
                                     << "";
    QTest::addRow("close error") << 32 << 10054 << ""
                                 << "FD_CLOSE";
    for (int code : {0, 3, 64}) {
        QTest::addRow("code %d", code) << code << 0 << ""
                                       << "";
        QTest::addRow("code %d with error", code) << code << 10054 << ""
                                                  << "";
    }
}

void TestSockets::dispatch()
{
    QFETCH(int, event);
    QFETCH(int, error);
    QFETCH(QString, raised);
    QFETCH(QString, label);
    const bool failure = error > 10000;
    // Without a handler the failure shows its label in the box.
    RecordingDialogs dialogs;
    TSockets sockets;
    EventLog log;
    log.attach(sockets, false);
    sockets.HandleSocketMessage(7, event, error);
    QCOMPARE(log.names(), raised.isEmpty() ? QStringList() : QStringList{raised});
    QCOMPARE(log.names(7), log.names());
    QCOMPARE(dialogs.texts(), failure ? QStringList{boxText(error, label)} : QStringList());
    // With one it gets the code and the text.
    TSockets handled;
    EventLog handledLog;
    handledLog.attach(handled);
    handled.HandleSocketMessage(7, event, error);
    QCOMPARE(handledLog.errors().size(), failure ? 1 : 0);
    if (failure) {
        QCOMPARE(handledLog.errors().first().socket, 7);
        QCOMPARE(handledLog.errors().first().error, error);
        QCOMPARE(handledLog.errors().first().msg, SocketErrorText(error));
    }
}

void TestSockets::noNotificationAfterDisconnect()
{
    AcceptedSession s;
    TSockets client;
    EventLog clientLog;
    clientLog.attach(client);
    // FD_WRITE is posted together with FD_CONNECT, and must not follow this Disconnect.
    client.OnSessionConnected = [&](TSockets *, int fd) {
        clientLog.add("connect", fd);
        client.SessionSocket = fd;
        client.Disconnect();
    };
    // The partial receive reports the rest at once, and this Disconnect must void that.
    s.server.MaximumReceiveLength = 4;
    QByteArray received;
    s.server.OnDataAvailable = [&](TSockets *, int fd) {
        s.log.add("read", fd);
        s.server.SessionSocket = fd;
        received += s.server.GetText();
        s.server.Disconnect();
    };
    QVERIFY(s.accept());
    QVERIFY(s.peer.send("abcdefgh"));
    int error = 0;
    QCOMPARE(s.peer.readToEnd(&error), QByteArray());
    QCOMPARE(error, 0);

    aimAt(client, s.port);
    client.SConnect();
    QTRY_COMPARE_WITH_TIMEOUT(s.log.count("close"), 1, waitLimit);
    QTest::qWait(100);
    QCOMPARE(clientLog.names(), QStringList{"connect"});
    QCOMPARE(received, QByteArray("abcd"));
    QCOMPARE(s.log.count("read"), 1);
    QVERIFY(s.log.errors().isEmpty());
}

void TestSockets::noNotificationAfterCancelListen_data()
{
    QTest::addColumn<bool>("listenAgain");
    QTest::addRow("cancel") << false;
    QTest::addRow("cancel and listen again under the same number") << true;
}

void TestSockets::noNotificationAfterCancelListen()
{
    QFETCH(bool, listenAgain);
    TSockets server;
    EventLog log;
    log.attach(server);
    int oldListener = -1;
    int newListener = -1;
    // Accepting reports the second waiting client at once; CancelListen must void that,
    // also when a new listener has the old one's number by the time it would be delivered.
    server.OnSessionAvailable = [&](TSockets *, int fd) {
        log.add("accept", fd);
        server.Accept();
        oldListener = server.ListenSocket();
        server.CancelListen();
        if (listenAgain && listenOnFreePort(server) != 0)
            newListener = server.ListenSocket();
    };
    const quint16 port = listenOnFreePort(server);
    const RawSocket first = RawSocket::connectedTo(port);
    const RawSocket second = RawSocket::connectedTo(port);
    QVERIFY(first.isOpen() && second.isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(log.count("accept"), 1, waitLimit);
    QCOMPARE(newListener, listenAgain ? oldListener : -1);
    QTest::qWait(300);
    QCOMPARE(log.count("accept"), 1);
    QVERIFY(log.errors().isEmpty());
}

void TestSockets::largeSendSurvivesDisconnect()
{
    QByteArray text(2 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = char(1 + i % 251);
    int result = -1;
    int sent = -1;
    // Small buffers at both ends (the system would grow its own to hold all of the text):
    // the server has to keep most of it until the client reads.
    AcceptedSession s(4096);
    s.server.OnSessionAvailable = [&](TSockets *, int) {
        const int session = s.server.Accept();
        const int sendBuffer = 4096;
        ::setsockopt(session, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        result = s.server.SSend(session, text, sent, 100);
        s.server.Disconnect();
    };
    int error = 0;
    const QByteArray received = s.peer.readToEnd(&error, 4096);
    QCOMPARE(error, 0);
    QCOMPARE(received.size(), text.size());
    QVERIFY(received == text);
    QCOMPARE(result, int(text.size() % 100));
    QCOMPARE(sent, result);
    QVERIFY(s.log.errors().isEmpty());
}

void TestSockets::replyArrivesDespiteUnreadInput()
{
    const QByteArray reply = patternText(100000);
    bool answered = false;
    AcceptedSession s;
    s.server.OnDataNeeded = [&](TSockets *, int fd) {
        s.server.SessionSocket = fd;
        s.server.SetText(reply);
        s.server.Disconnect();
        answered = true;
    };
    QVERIFY(s.peer.send("a request that the server never reads\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(answered, waitLimit);
    QTest::qWait(100);
    int error = 0;
    QCOMPARE(s.peer.readToEnd(&error), reply);
    QCOMPARE(error, 0);
}

// Once the peer's end of stream was seen, Disconnect closes at once: there is nothing left
// to wait for, and nothing more is read.
void TestSockets::peerThatEndedIsNotWaitedFor()
{
    AcceptedSession s;
    QByteArray request;
    bool closedAtOnce = false;
    s.server.OnDataAvailable = [&](TSockets *, int fd) {
        s.server.SessionSocket = fd;
        request += s.server.GetText();
    };
    s.server.OnSessionClosed = [&](TSockets *, int fd) {
        s.server.SessionSocket = fd;
        QCOMPARE(s.server.GetText(), QByteArray());
        s.server.SetText("reply");
        s.server.Disconnect();
        closedAtOnce = !descriptorOpen(fd);
    };
    QVERIFY(s.accept());
    QVERIFY(s.peer.send("request"));
    QCOMPARE(::shutdown(s.peer.fd(), SHUT_WR), 0);
    int error = 0;
    QCOMPARE(s.peer.readToEnd(&error), QByteArray("reply"));
    QCOMPARE(error, 0);
    QCOMPARE(request, QByteArray("request"));
    QVERIFY(closedAtOnce);
    QVERIFY(s.log.errors().isEmpty());
}

// A closing session is not watched on its own, yet its descriptor goes soon after its peer
// closes, also when no other client comes to wake the listener.
void TestSockets::closingSessionEndsWithoutAnotherClient()
{
    AcceptedSession s;
    QVERIFY(s.accept());
    s.server.SessionSocket = s.accepted;
    s.server.SetText("reply");
    s.server.Disconnect();
    QVERIFY(descriptorOpen(s.accepted));
    int error = 0;
    QCOMPARE(s.peer.readToEnd(&error), QByteArray("reply"));
    s.peer.close();
    QTRY_VERIFY_WITH_TIMEOUT(!descriptorOpen(s.accepted), waitLimit);
}

// Notifications already known are delivered in one turn; a handler that deletes the
// component ends that turn without touching it.
void TestSockets::handlerMayDeleteItsComponent()
{
    auto server = std::make_unique<TSockets>();
    bool deleted = false;
    server->OnSessionAvailable = [&](TSockets *, int) {
        server->Accept(); // FD_WRITE for the session is known at once and queued
        server.reset();
        deleted = true;
    };
    const quint16 port = listenOnFreePort(*server);
    const RawSocket peer = RawSocket::connectedTo(port);
    QVERIFY(peer.isOpen());
    QTRY_VERIFY_WITH_TIMEOUT(deleted, waitLimit);
    QTest::qWait(50);
    int error = 0;
    QCOMPARE(peer.readToEnd(&error), QByteArray());
}

void TestSockets::resumeAcceptingOffersWaitingConnectionOnce()
{
    TSockets server;
    EventLog log;
    log.attach(server);
    const RawSocket peer = RawSocket::connectedTo(listenOnFreePort(server));
    for (int offers = 1; offers <= 2; ++offers) {
        if (offers == 2)
            server.ResumeAccepting();
        QTRY_COMPARE_WITH_TIMEOUT(log.count("accept"), offers, waitLimit);
        QTest::qWait(300);
        QCOMPARE(log.count("accept"), offers);
    }
    QVERIFY(server.Accept() != -1);
    server.ResumeAccepting();
    QTest::qWait(300);
    QCOMPARE(log.count("accept"), 2);
    QVERIFY(log.errors().isEmpty());
}

// A listener that cannot accept for lack of descriptors is offered again after a pause that
// grows, not at once: the connection stays queued and is taken once descriptors are free.
void TestSockets::acceptPausesWhileDescriptorsRunShort()
{
    TSockets server;
    EventLog log;
    log.attach(server);
    QElapsedTimer clock;
    clock.start();
    QList<qint64> failedAt;
    int accepted = -1;
    server.OnSessionAvailable = [&](TSockets *, int fd) {
        log.add("accept", fd);
        accepted = server.Accept();
        if (accepted == -1) {
            failedAt << clock.elapsed();
            // As the finger service does after a failed accept: the pause must still hold.
            server.ResumeAccepting();
        }
    };
    const RawSocket peer = RawSocket::connectedTo(listenOnFreePort(server));
    QVERIFY(peer.isOpen());

    // Every descriptor number below the limit in use.
    rlimit limit{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    limit.rlim_cur = rlim_t(openDescriptorCount() + 16);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<RawSocket> fillers;
    for (int fd; (fd = ::dup(peer.fd())) != -1;)
        fillers.emplace_back(fd);
    QTest::qWait(1300);
    fillers.clear();
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    // Offered at once, after 250 ms, then after 500 ms more; a busy loop would fail thousands
    // of times.
    QVERIFY2(failedAt.size() >= 2 && failedAt.size() <= 4,
             qPrintable(QString::number(failedAt.size())));
    QVERIFY(failedAt[1] - failedAt[0] >= SocketChannels::firstAcceptPauseMs);
    if (failedAt.size() > 2)
        QVERIFY(failedAt[2] - failedAt[1] >= 2 * SocketChannels::firstAcceptPauseMs);
    for (const EventLog::Entry &error : log.errors())
        QCOMPARE(error.error, int(WSAEMFILE));
    QCOMPARE(log.errors().size(), failedAt.size());

    QTRY_VERIFY_WITH_TIMEOUT(accepted != -1, waitLimit);
    QCOMPARE(server.PeerPort(accepted), QString::number(localPort(peer.fd())));
}

// Peers that take their reply and never close must not hold every descriptor: past the
// limit, the graceful close that has gone longest without progress (here the oldest) is
// made hard.
void TestSockets::gracefulClosesPastTheLimitResetTheOldest()
{
    constexpr int beyond = 3;
    TSockets server;
    EventLog log;
    log.attach(server);
    int closed = 0;
    server.OnSessionAvailable = [&](TSockets *, int) {
        server.Accept();
        server.Disconnect();
        ++closed;
    };
    const quint16 port = listenOnFreePort(server);
    const int before = openDescriptorCount();
    std::vector<RawSocket> peers;
    for (int i = 0; i < SocketChannels::closingLimit + beyond; ++i) {
        peers.push_back(RawSocket::connectedTo(port));
        QVERIFY(peers.back().isOpen());
        QVERIFY(QTest::qWaitFor([&] { return closed == i + 1; }, waitLimit));
    }
    for (int i = 0; i < beyond; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(tcpState(peers[i].fd()), int(TCP_CLOSE), waitLimit);
    // The rest saw only the end of the reply, and the server still waits for them.
    for (std::size_t i = beyond; i < peers.size(); ++i)
        QCOMPARE(tcpState(peers[i].fd()), int(TCP_CLOSE_WAIT));
    QVERIFY(openDescriptorCount() - before <= int(peers.size()) + SocketChannels::closingLimit);
    QVERIFY(log.errors().isEmpty());

    // Peers that close end their graceful closes.
    peers.clear();
    QTRY_COMPARE_WITH_TIMEOUT(openDescriptorCount(), before, waitLimit);
}

void TestSockets::noDescriptorLeaks()
{
    {
        TSockets warmUp;
        listenOnFreePort(warmUp);
        QTest::qWait(10);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const int before = openDescriptorCount();
    RawSocket lingering;
    {
        AcceptedSession s;
        QVERIFY(s.accept());
        TSockets client;
        EventLog clientLog;
        clientLog.attach(client);
        aimAt(client, s.port);
        client.SConnect();
        QTRY_COMPARE_WITH_TIMEOUT(clientLog.count("connect"), 1, waitLimit);
        // A graceful close that waits for a peer that does not close.
        s.server.SessionSocket = s.accepted;
        s.server.Disconnect();
        lingering = std::move(s.peer);
        // A second listener on the same port fails while the first still holds it.
        s.server.Port = QString::number(s.port);
        s.server.Listen();
        QCOMPARE(s.log.errors().size(), 2);
        QTest::qWait(50);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    int error = 0;
    QCOMPARE(lingering.readToEnd(&error), QByteArray());
    QCOMPARE(error, 0);
    lingering.close();
    QCOMPARE(openDescriptorCount(), before);
}

void TestSockets::errorText_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addRow("first entry") << 10004 << "Interrupted system call";
    QTest::addRow("bad file number") << 10009 << "Bad file number";
    QTest::addRow("would block") << 10035 << "Operation would block";
    QTest::addRow("not a socket") << 10038 << "Socket operation on non-socket";
    QTest::addRow("longest text") << 10047 << "Address family not supported by protocol family";
    QTest::addRow("address in use") << 10048 << "Address already in use";
    QTest::addRow("apostrophe") << 10049 << "Can't assign requested address";
    QTest::addRow("reset") << 10054 << "Connection reset by peer";
    QTest::addRow("shut down") << 10058 << "Can't send after socket shutdown";
    QTest::addRow("timed out") << 10060 << "Connection timed out";
    QTest::addRow("refused") << 10061 << "Connection refused";
    QTest::addRow("disc quota") << 10069 << "Disc quota exceeded";
    QTest::addRow("last of the first run") << 10071 << "Too many levels of remote in path";
    QTest::addRow("system not ready") << 10091 << "Network sub-system is unusable";
    QTest::addRow("not initialised") << 10093 << "WinSock not initialized";
    QTest::addRow("host not found") << 11001 << "Host not found";
    QTest::addRow("no data") << 11004 << "No Data";

    for (int code : {0, -1, -10054, 104, 10000, 10001, 10005, 10072, 10080, 10090, 10094, 11000,
                     11005, std::numeric_limits<int>::max(), std::numeric_limits<int>::min()})
        QTest::addRow("%d", code) << code << "Not a WinSock error";
}

void TestSockets::errorText()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(SocketErrorText(code), text);
}

void TestSockets::errorTextTableHoldsFiftyCodes()
{
    int known = 0;
    for (int code = 9000; code <= 12000; ++code)
        known += SocketErrorText(code) != QLatin1String("Not a WinSock error") ? 1 : 0;
    QCOMPARE(known, 50);
}

void TestSockets::errnoCodes_data()
{
    QTest::addColumn<int>("errnoValue");
    QTest::addColumn<int>("code");
    QTest::addRow("interrupted") << EINTR << WSAEINTR;
    QTest::addRow("no access") << EACCES << WSAEACCES;
    QTest::addRow("not permitted") << EPERM << WSAEACCES;
    QTest::addRow("would block") << EWOULDBLOCK << WSAEWOULDBLOCK;
    QTest::addRow("connect in progress") << EINPROGRESS << WSAEWOULDBLOCK;
    QTest::addRow("another blocking call") << EBUSY << WSAEINPROGRESS;
    QTest::addRow("bad descriptor") << EBADF << WSAENOTSOCK;
    QTest::addRow("not a socket") << ENOTSOCK << WSAENOTSOCK;
    QTest::addRow("system file table full") << ENFILE << WSAEMFILE;
    QTest::addRow("address in use") << EADDRINUSE << WSAEADDRINUSE;
    QTest::addRow("protocol error") << EPROTO << WSAECONNABORTED;
    QTest::addRow("reset") << ECONNRESET << WSAECONNRESET;
    QTest::addRow("out of memory") << ENOMEM << WSAENOBUFS;
    QTest::addRow("broken pipe") << EPIPE << WSAESHUTDOWN;
    QTest::addRow("refused") << ECONNREFUSED << WSAECONNREFUSED;
    QTest::addRow("last with an errno") << EREMOTE << WSAEREMOTE;
    QTest::addRow("no errno") << 0 << WSASYSNOTREADY;
    QTest::addRow("no counterpart") << ENOENT << WSASYSNOTREADY;
}

void TestSockets::errnoCodes()
{
    QFETCH(int, errnoValue);
    QFETCH(int, code);
    QCOMPARE(winSockError(errnoValue), code);
    QVERIFY(SocketErrorText(code) != QLatin1String("Not a WinSock error"));
}

QTEST_GUILESS_MAIN(TestSockets)

#include "tst_sockets.moc"
