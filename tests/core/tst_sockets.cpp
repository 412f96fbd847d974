#include "RecordingDialogs.h"
#include "RuntimeError.h"
#include "SocketTestTools.h"
#include "Sockets.h"

#include <QDeadlineTimer>
#include <QTimer>
#include <QtTest>

using namespace WinSock;

namespace {

// Generous: the test machine may be busy.
constexpr int waitLimit = 20000;

const QString loopbackAddress = QStringLiteral("127.0.0.1");

QByteArray patternText(int size)
{
    QByteArray text(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        text[i] = char('!' + i % 90);
    return text;
}

} // namespace

class TestSockets : public QObject
{
    Q_OBJECT

private slots:
    void exchangeThroughEvents();
    void resetArrivesAsCloseError();
    void refusedConnectionArrivesAsConnectError();
    void portInUseWithoutHandlerShowsBoxesAndEndsProgram();
    void quietErrorsOnlyRecord();
    void portTextsThatAreNoPort_data();
    void portTextsThatAreNoPort();
    void missingSettingsShowBoxesEvenWhenQuiet_data();
    void missingSettingsShowBoxesEvenWhenQuiet();
    void sSendCutsTextIntoPieces_data();
    void sSendCutsTextIntoPieces();
    void sSendFailureNamesSessionSocket();
    void getTextLimits_data();
    void getTextLimits();
    void withoutSocketNothingIsCalled();
    void closingWhatIsNotHeldReportsFailedClose();
    void acceptedSocketsSurviveCancelListen();
    void listenAgainWhileConnectionsClose();
    void getTextAfterPeerClosedIsEmpty();
    void acceptWithoutWaitingClientFails();
    void peerAddressAndPort();
    void blockingAcceptTimesOutWhileEventsRun();
    void blockingTimeOutWithoutHandlerShowsCancelBox();
    void blockingCallsExchangeData();
    void disconnectCancelsBlockingCall();
    void nestedBlockingCallFails();
    void callTimer_data();
    void callTimer();
    void timerTickWithoutBlockingCallDoesNothing();
    void writingToVanishedPeerIsReported();
    void dispatch_data();
    void dispatch();
    void noNotificationAfterDisconnect();
    void noNotificationAfterCancelListen_data();
    void noNotificationAfterCancelListen();
    void largeSendSurvivesDisconnect();
    void replyArrivesDespiteUnreadInput();
    void resumeAcceptingOffersWaitingConnectionOnce();
    void noDescriptorLeaks();
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

    const quint16 port = listenOnFreePort(server);
    QVERIFY(port != 0);
    client.IPAddr = loopbackAddress;
    client.Port = QString::number(port);
    client.SConnect();
    const int clientSocket = client.SessionSocket;
    QVERIFY(clientSocket != -1);

    QTRY_COMPARE_WITH_TIMEOUT(serverLog.count("close", accepted), 1, waitLimit);
    QTest::qWait(200);
    QCOMPARE(serverReceived, QByteArray("hellobye"));
    QCOMPARE(clientReceived, QByteArray("world"));
    QCOMPARE(serverLog.names(server.ListenSocket()), QStringList{"accept"});
    const QStringList session = serverLog.names(accepted);
    QCOMPARE(session.count("write"), 1);
    // One per arrival; the end of the data is no read notification.
    QCOMPARE(session.count("read"), 2);
    QCOMPARE(session.count("close"), 1);
    QCOMPARE(session.last(), QStringLiteral("close"));
    QCOMPARE(clientLog.names(clientSocket), (QStringList{"connect", "write", "read"}));
    QVERIFY(serverLog.errors().isEmpty());
    QVERIFY(clientLog.errors().isEmpty());
    QVERIFY(dialogs.boxes.isEmpty());
}

void TestSockets::resetArrivesAsCloseError()
{
    TSockets server;
    EventLog log;
    log.attach(server);
    int accepted = -1;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(server)));
    QVERIFY(peer.isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(log.count("write", accepted), 1, waitLimit);

    peer.reset();
    QTRY_COMPARE_WITH_TIMEOUT(log.errors().size(), 1, waitLimit);
    const EventLog::Entry error = log.errors().first();
    QCOMPARE(error.socket, accepted);
    QCOMPARE(error.error, WSAECONNRESET);
    QCOMPARE(error.msg, QStringLiteral("Connection reset by peer"));
    QTest::qWait(100);
    QCOMPARE(log.count("close", accepted), 0);
    QCOMPARE(log.count("read", accepted), 0);
}

void TestSockets::refusedConnectionArrivesAsConnectError()
{
    RecordingDialogs dialogs;
    // Bound but not listening: connections to its port are refused.
    RawSocket closedPort(RawSocket::bound(0));
    QVERIFY(closedPort.isOpen());
    TSockets client;
    client.IPAddr = loopbackAddress;
    client.Port = QString::number(localPort(closedPort.fd()));
    client.SConnect();
    QVERIFY(client.SessionSocket != -1);

    QTRY_COMPARE_WITH_TIMEOUT(dialogs.boxes.size(), 1, waitLimit);
    QTest::qWait(200);
    // Only the outcome of the attempt: the pending connect itself (10035) is no failure.
    QCOMPARE(dialogs.texts(), QStringList{boxText(WSAECONNREFUSED, "FD_CONNECT")});
    QCOMPARE(dialogs.boxes.first().caption, QStringLiteral("WINSOCK ERROR"));
}

void TestSockets::portInUseWithoutHandlerShowsBoxesAndEndsProgram()
{
    RecordingDialogs dialogs;
    TSockets first;
    EventLog firstLog;
    firstLog.attach(first);
    const quint16 port = listenOnFreePort(first);

    TSockets second;
    second.Port = QString::number(port);
    second.Listen();

    QCOMPARE(dialogs.texts(),
             (QStringList{QStringLiteral("Error 10048 in function Bind\r\nAddress already in use"),
                          boxText(WSAEINVAL, "Listen")}));
    for (const RecordingDialogs::Box &box : std::as_const(dialogs.boxes)) {
        QCOMPARE(box.caption, QStringLiteral("WINSOCK ERROR"));
        QCOMPARE(box.buttons, Dialogs::Buttons::OkCancel);
    }
    QCOMPARE(dialogs.endRequests, (QList<int>{0, 0}));
    QVERIFY(second.ListenSocket() != -1);

    // The first listener still has its port.
    RawSocket peer(RawSocket::connectTo(port));
    QVERIFY(peer.isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(firstLog.count("accept"), 1, waitLimit);
}

void TestSockets::quietErrorsOnlyRecord()
{
    RecordingDialogs dialogs;
    TSockets first;
    const quint16 port = listenOnFreePort(first);
    TSockets second;
    EventLog log;
    log.attach(second);
    second.QuietErrors = true;
    second.Port = QString::number(port);
    second.Listen();

    QVERIFY(log.entries.isEmpty());
    QVERIFY(dialogs.boxes.isEmpty());
    // The bind failure came first; the failed listen is the one kept.
    QCOMPARE(second.TakeLastError(), WSAEINVAL);
    QCOMPARE(second.TakeLastError(), 0);
    QCOMPARE(second.LastErrorText(), QStringLiteral("Invalid argument"));

    second.QuietErrors = false;
    second.CancelListen();
    QVERIFY(log.entries.isEmpty());
    second.CancelListen();
    QCOMPARE(log.errors().size(), 1);
    QCOMPARE(log.errors().first().error, WSAENOTSOCK);
    // The text alone: neither the label nor the code.
    QCOMPARE(log.errors().first().msg, QStringLiteral("Socket operation on non-socket"));
}

void TestSockets::portTextsThatAreNoPort_data()
{
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("failure");
    const auto notInteger = [](const char *text) {
        return QStringLiteral("'%1' is not a valid integer value").arg(QLatin1String(text));
    };
    const QString range = QStringLiteral("Range check error");
    QTest::addRow("letter after number") << false << "79x" << notInteger("79x");
    QTest::addRow("blank after number") << false << "79 " << notInteger("79 ");
    QTest::addRow("blanks only") << false << "  " << notInteger("  ");
    QTest::addRow("sign before dollar") << false << "-$4F" << notInteger("-$4F");
    QTest::addRow("dollar alone") << false << "$" << notInteger("$");
    QTest::addRow("C hex prefix") << false << "0x4F" << notInteger("0x4F");
    QTest::addRow("beyond 32 bits") << false << "99999999999" << notInteger("99999999999");
    QTest::addRow("above 65535") << false << "70000" << range;
    QTest::addRow("negative") << false << "-1" << range;
    QTest::addRow("hex above 65535") << false << "$10000" << range;
    QTest::addRow("hex wrapping negative") << false << "$FFFFFFFF" << range;
    QTest::addRow("connect, letter after number") << true << "79x" << notInteger("79x");
    QTest::addRow("connect, above 65535") << true << "70000" << range;
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
    sockets.Port = port;
    sockets.IPAddr = loopbackAddress;
    QString raised;
    try {
        if (connect)
            sockets.SConnect();
        else
            sockets.Listen();
    } catch (const RuntimeError &error) {
        raised = error.text();
    }
    QCOMPARE(raised, failure);
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
    if (connect)
        sockets.SConnect();
    else
        sockets.Listen();
    QCOMPARE(dialogs.texts(), QStringList{box});
    QCOMPARE(dialogs.boxes.first().caption, QStringLiteral("WINSOCK ERROR"));
    QCOMPARE(dialogs.boxes.first().buttons, Dialogs::Buttons::OkCancel);
    QVERIFY(dialogs.endRequests.isEmpty());
    QCOMPARE(sockets.TakeLastError(), 0);
    QCOMPARE(sockets.ListenSocket(), -1);
    QCOMPARE(sockets.SessionSocket, -1);
    QCOMPARE(openDescriptorCount(), descriptors);
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
    TSockets server;
    EventLog log;
    log.attach(server);
    int accepted = -1;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(server)));
    QTRY_VERIFY_WITH_TIMEOUT(accepted != -1, waitLimit);

    int sent = -77;
    QCOMPARE(server.SSend(accepted, text, sent, chunkSize), result);
    QCOMPARE(sent, result);
    server.SessionSocket = accepted;
    server.Disconnect();
    int error = 0;
    QCOMPARE(peer.readToEnd(&error, waitLimit), arrives);
    QCOMPARE(error, 0);
    QVERIFY(log.errors().isEmpty());
}

void TestSockets::sSendFailureNamesSessionSocket()
{
    TSockets sockets;
    EventLog log;
    log.attach(sockets);
    // A descriptor the component did not open is no socket to it, and is left alone.
    RawSocket foreign(RawSocket::bound(0));
    sockets.SessionSocket = 4321;
    int sent = 0;
    QCOMPARE(sockets.SSend(foreign.fd(), "text", sent, 100), -1);
    QCOMPARE(sent, -1);
    QCOMPARE(log.errors().size(), 1);
    QCOMPARE(log.errors().first().socket, 4321);
    QCOMPARE(log.errors().first().error, WSAENOTSOCK);
    QVERIFY(descriptorOpen(foreign.fd()));
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
    TSockets server;
    EventLog log;
    log.attach(server);
    server.MaximumReceiveLength = maximum;
    int accepted = -1;
    QList<QByteArray> received;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    server.OnDataAvailable = [&](TSockets *, int s) {
        server.SessionSocket = s;
        received.append(server.GetText());
    };
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(server)));
    QTRY_VERIFY_WITH_TIMEOUT(accepted != -1, waitLimit);
    QVERIFY(peer.send(sent));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), texts.size(), waitLimit);
    QTest::qWait(100);
    QCOMPARE(received, texts);
    QVERIFY(log.errors().isEmpty());
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
    QCOMPARE(sockets.LastErrorCode(), 0);

    sockets.SessionSocket = 5;
    sockets.MaximumReceiveLength = -1;
    QString raised;
    try {
        sockets.GetText();
    } catch (const RuntimeError &error) {
        raised = error.text();
    }
    QCOMPARE(raised, QStringLiteral("Range check error"));
    QVERIFY(log.entries.isEmpty());
}

void TestSockets::closingWhatIsNotHeldReportsFailedClose()
{
    RecordingDialogs dialogs;
    TSockets sockets;
    sockets.Disconnect();
    QCOMPARE(sockets.SessionSocket, -1);

    RawSocket foreign(RawSocket::bound(0));
    sockets.SessionSocket = foreign.fd();
    sockets.Disconnect();
    QCOMPARE(sockets.SessionSocket, -1);
    QVERIFY(descriptorOpen(foreign.fd()));

    const quint16 port = listenOnFreePort(sockets);
    sockets.CancelListen();
    QCOMPARE(sockets.ListenSocket(), -1);
    QCOMPARE(dialogs.boxes.size(), 2);
    sockets.CancelListen();

    const QString disconnect = boxText(WSAENOTSOCK, "Disconnect (closesocket)");
    QCOMPARE(dialogs.texts(), (QStringList{disconnect, disconnect,
                                           boxText(WSAENOTSOCK, "CancelListen (closesocket)")}));
    QCOMPARE(dialogs.endRequests, (QList<int>{0, 0, 0}));
    RawSocket refused(RawSocket::connectTo(port));
    QVERIFY(!refused.isOpen());
}

void TestSockets::acceptedSocketsSurviveCancelListen()
{
    TSockets server;
    EventLog log;
    log.attach(server);
    int accepted = -1;
    QByteArray received;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    server.OnDataAvailable = [&](TSockets *, int s) {
        server.SessionSocket = s;
        received += server.GetText();
        server.SetText("pong");
    };
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(server)));
    QTRY_VERIFY_WITH_TIMEOUT(accepted != -1, waitLimit);
    server.CancelListen();
    QCOMPARE(server.ListenSocket(), -1);

    QVERIFY(peer.send("ping"));
    QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("ping"), waitLimit);
    server.SessionSocket = accepted;
    server.Disconnect();
    int error = 0;
    QCOMPARE(peer.readToEnd(&error, waitLimit), QByteArray("pong"));
    QCOMPARE(error, 0);
    QVERIFY(log.errors().isEmpty());
}

void TestSockets::listenAgainWhileConnectionsClose()
{
    TSockets server;
    EventLog log;
    log.attach(server);
    int accepted = -1;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    const quint16 port = listenOnFreePort(server);
    RawSocket peer(RawSocket::connectTo(port));
    QTRY_VERIFY_WITH_TIMEOUT(accepted != -1, waitLimit);
    // The server closes first, so its end of the connection lingers on the port.
    server.SessionSocket = accepted;
    server.Disconnect();
    int error = 0;
    peer.readToEnd(&error, waitLimit);
    peer.close();
    QTest::qWait(100);

    server.CancelListen();
    server.Port = QString::number(port);
    server.Listen();
    QVERIFY(log.errors().isEmpty());
    QCOMPARE(localPort(server.ListenSocket()), port);
}

void TestSockets::getTextAfterPeerClosedIsEmpty()
{
    TSockets server;
    EventLog log;
    log.attach(server);
    int accepted = -1;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(server)));
    QTRY_VERIFY_WITH_TIMEOUT(accepted != -1, waitLimit);
    peer.close();
    QTRY_COMPARE_WITH_TIMEOUT(log.count("close", accepted), 1, waitLimit);
    server.SessionSocket = accepted;
    QCOMPARE(server.GetText(), QByteArray());
    QTest::qWait(100);
    QCOMPARE(log.count("close", accepted), 1);
    QVERIFY(log.errors().isEmpty());
}

void TestSockets::acceptWithoutWaitingClientFails()
{
    RecordingDialogs dialogs;
    TSockets server;
    listenOnFreePort(server);
    server.SessionSocket = 1234;
    QCOMPARE(server.Accept(), -1);
    QCOMPARE(server.SessionSocket, -1);
    QCOMPARE(dialogs.texts(), QStringList{boxText(WSAEWOULDBLOCK, "Accept")});
}

void TestSockets::peerAddressAndPort()
{
    TSockets server;
    int accepted = -1;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(server)));
    QTRY_VERIFY_WITH_TIMEOUT(accepted != -1, waitLimit);
    QCOMPARE(server.PeerAddress(accepted), QStringLiteral("127.0.0.1"));
    QCOMPARE(server.PeerPort(accepted), QString::number(localPort(peer.fd())));
    QCOMPARE(server.PeerAddress(-1), QStringLiteral("0.0.0.0"));
    QCOMPARE(server.PeerPort(-1), QStringLiteral("0"));
}

void TestSockets::blockingAcceptTimesOutWhileEventsRun()
{
    TSockets blocking;
    EventLog blockingLog;
    blockingLog.attach(blocking);
    blocking.setNonBlocking(false);
    blocking.Timeout = 1;
    QVERIFY(listenOnFreePort(blocking) != 0);
    // The time-out names the session of before; the failed accept then clears it.
    blocking.SessionSocket = 42;

    TSockets other;
    EventLog otherLog;
    otherLog.attach(other);
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(other)));
    QVERIFY(peer.isOpen());
    bool timerRan = false;
    QTimer::singleShot(50, &other, [&] { timerRan = true; });

    QCOMPARE(blocking.Accept(), -1);

    QVERIFY(timerRan);
    QCOMPARE(otherLog.count("accept"), 1);
    QCOMPARE(blocking.SessionSocket, -1);
    const QList<EventLog::Entry> errors = blockingLog.errors();
    QCOMPARE(errors.size(), 2);
    QCOMPARE(errors[0].socket, 42);
    QCOMPARE(errors[0].error, WSAETIMEDOUT);
    QCOMPARE(errors[0].msg, QStringLiteral("Blocking call timed out"));
    QCOMPARE(errors[1].socket, -1);
    QCOMPARE(errors[1].error, WSAEINTR);
    QCOMPARE(errors[1].msg, QStringLiteral("Interrupted system call"));
    // The time-out report leaves the recorded failure to the cancelled call.
    QCOMPARE(blocking.TakeLastError(), WSAEINTR);
}

void TestSockets::blockingTimeOutWithoutHandlerShowsCancelBox()
{
    RecordingDialogs dialogs;
    TSockets blocking;
    blocking.setNonBlocking(false);
    blocking.Timeout = 1;
    listenOnFreePort(blocking);
    QCOMPARE(blocking.Accept(), -1);
    QCOMPARE(dialogs.boxes.size(), 2);
    QCOMPARE(dialogs.boxes[0].caption, QStringLiteral("WINSOCK CALL CANCELED"));
    QCOMPARE(dialogs.boxes[0].text, QStringLiteral("Error 10060\r\nBlocking call timed out"));
    QCOMPARE(dialogs.boxes[1].caption, QStringLiteral("WINSOCK ERROR"));
    QCOMPARE(dialogs.boxes[1].text, boxText(WSAEINTR, "Accept"));
    // Only the ordinary failure ends the program.
    QCOMPARE(dialogs.endRequests, QList<int>{0});
}

void TestSockets::blockingCallsExchangeData()
{
    TSockets server;
    EventLog serverLog;
    serverLog.attach(server);
    int accepted = -1;
    QByteArray request;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    server.OnDataAvailable = [&](TSockets *, int s) {
        server.SessionSocket = s;
        request += server.GetText();
        if (request == "question")
            QTimer::singleShot(200, &server, [&] {
                server.SessionSocket = accepted;
                server.SetText("answer");
            });
    };
    const quint16 port = listenOnFreePort(server);

    TSockets client;
    EventLog clientLog;
    clientLog.attach(client);
    client.setNonBlocking(false);
    client.Timeout = 10;
    client.IPAddr = loopbackAddress;
    client.Port = QString::number(port);
    client.SConnect();
    QVERIFY(client.SessionSocket != -1);
    client.SetText("question");
    // Waits for the answer, which is sent only later.
    QCOMPARE(client.GetText(), QByteArray("answer"));
    // Blocking mode raises no events.
    QVERIFY(clientLog.entries.isEmpty());
    QVERIFY(serverLog.errors().isEmpty());
}

void TestSockets::disconnectCancelsBlockingCall()
{
    TSockets server;
    EventLog serverLog;
    serverLog.attach(server);
    int accepted = -1;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    const quint16 port = listenOnFreePort(server);

    TSockets client;
    EventLog clientLog;
    clientLog.attach(client);
    client.setNonBlocking(false);
    client.Timeout = 0; // no limit: only the Disconnect ends the wait
    client.IPAddr = loopbackAddress;
    client.Port = QString::number(port);
    client.SConnect();
    QVERIFY(client.SessionSocket != -1);
    QTimer::singleShot(100, &client, [&] { client.Disconnect(); });

    QCOMPARE(client.GetText(), QByteArray());

    QCOMPARE(client.SessionSocket, -1);
    const QList<EventLog::Entry> errors = clientLog.errors();
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors[0].error, WSAEINTR);
    QTRY_COMPARE_WITH_TIMEOUT(serverLog.count("close", accepted), 1, waitLimit);
}

void TestSockets::nestedBlockingCallFails()
{
    TSockets outer;
    outer.setNonBlocking(false);
    outer.Timeout = 1;
    EventLog outerLog;
    outerLog.attach(outer);
    listenOnFreePort(outer);
    TSockets inner;
    inner.setNonBlocking(false);
    EventLog innerLog;
    innerLog.attach(inner);
    listenOnFreePort(inner);
    int innerResult = 0;
    // One blocking call per thread: the one started while the other waits fails at once.
    QTimer::singleShot(50, &inner, [&] { innerResult = inner.Accept(); });

    QCOMPARE(outer.Accept(), -1);

    QCOMPARE(innerResult, -1);
    QCOMPARE(innerLog.errors().size(), 1);
    QCOMPARE(innerLog.errors().first().error, WSAEINPROGRESS);
    QCOMPARE(innerLog.errors().first().msg, QStringLiteral("Operation now in progress"));
    QCOMPARE(outerLog.errors().size(), 2);
    QCOMPARE(outerLog.errors().last().error, WSAEINTR);
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
    TSockets sockets;
    EventLog log;
    log.attach(sockets);
    sockets.setNonBlocking(eventDriven);
    sockets.Timeout = timeout;
    QString thrown;
    try {
        sockets.SetText("text");
    } catch (const RuntimeError &error) {
        thrown = error.text();
    }
    QCOMPARE(thrown, raised);
    // The send on the missing session is made (and fails) only when the timer could start.
    QCOMPARE(log.errors().size(), raised.isEmpty() ? 1 : 0);
}

void TestSockets::timerTickWithoutBlockingCallDoesNothing()
{
    RecordingDialogs dialogs;
    TSockets withHandler;
    EventLog log;
    log.attach(withHandler);
    withHandler.HandleTimer();
    TSockets withoutHandler;
    withoutHandler.HandleTimer();
    QVERIFY(log.entries.isEmpty());
    QVERIFY(dialogs.boxes.isEmpty());
}

void TestSockets::writingToVanishedPeerIsReported()
{
    TSockets server;
    EventLog log;
    log.attach(server);
    int accepted = -1;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(server)));
    QTRY_VERIFY_WITH_TIMEOUT(accepted != -1, waitLimit);
    peer.close();

    // The first send may still be taken; the peer's answer to it makes the next ones fail.
    server.SessionSocket = accepted;
    QDeadlineTimer deadline(waitLimit);
    while (log.errors().isEmpty() && !deadline.hasExpired()) {
        server.SetText("anyone there?");
        QTest::qWait(20);
    }
    QVERIFY(!log.errors().isEmpty());
    const int error = log.errors().first().error;
    QVERIFY2(error == WSAECONNRESET || error == WSAESHUTDOWN, qPrintable(QString::number(error)));
    QCOMPARE(log.errors().first().socket, accepted);
}

void TestSockets::dispatch_data()
{
    QTest::addColumn<int>("event");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("raised");
    QTest::addColumn<QString>("label");
    QTest::addRow("read") << 1 << 0 << "read"
                          << "";
    QTest::addRow("write") << 2 << 0 << "write"
                           << "";
    QTest::addRow("out of band") << 4 << 0 << "oob"
                                 << "";
    QTest::addRow("accept") << 8 << 0 << "accept"
                            << "";
    QTest::addRow("connect") << 16 << 0 << "connect"
                             << "";
    QTest::addRow("close") << 32 << 0 << "close"
                           << "";
    QTest::addRow("code 0") << 0 << 0 << ""
                            << "";
    QTest::addRow("code 3") << 3 << 0 << ""
                            << "";
    QTest::addRow("code 64") << 64 << 0 << ""
                             << "";
    QTest::addRow("error 1 is none") << 1 << 1 << "read"
                                     << "";
    QTest::addRow("error 10000 is none") << 32 << 10000 << "close"
                                         << "";
    QTest::addRow("read error") << 1 << 10054 << ""
                                << "FD_READ";
    QTest::addRow("write error") << 2 << 10055 << ""
                                 << "FD_WRITE";
    QTest::addRow("out of band error") << 4 << 10050 << ""
                                       << "FD_OOB";
    QTest::addRow("accept error") << 8 << 10053 << ""
                                  << "FD_ACCEPT";
    QTest::addRow("connect error") << 16 << 10061 << ""
                                   << "FD_CONNECT";
    QTest::addRow("close error") << 32 << 10054 << ""
                                 << "FD_CLOSE";
    QTest::addRow("error 10001") << 8 << 10001 << ""
                                 << "FD_ACCEPT";
    QTest::addRow("error of code 64") << 64 << 10054 << ""
                                      << "";
    QTest::addRow("error of code 0") << 0 << 10060 << ""
                                     << "";
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
    QStringList names;
    for (const EventLog::Entry &entry : std::as_const(log.entries)) {
        names.append(entry.name);
        QCOMPARE(entry.socket, 7);
    }
    QCOMPARE(names, raised.isEmpty() ? QStringList() : QStringList{raised});
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
    TSockets server;
    TSockets client;
    EventLog serverLog;
    EventLog clientLog;
    serverLog.attach(server);
    clientLog.attach(client);
    QList<int> accepted;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted.append(server.Accept()); };
    // FD_WRITE is posted together with FD_CONNECT, and must not follow this Disconnect.
    client.OnSessionConnected = [&](TSockets *, int s) {
        clientLog.add("connect", s);
        client.SessionSocket = s;
        client.Disconnect();
    };
    // The partial receive reports the rest at once, and this Disconnect must void that.
    server.MaximumReceiveLength = 4;
    QByteArray received;
    server.OnDataAvailable = [&](TSockets *, int s) {
        serverLog.add("read", s);
        server.SessionSocket = s;
        received += server.GetText();
        server.Disconnect();
    };
    const quint16 port = listenOnFreePort(server);
    client.IPAddr = loopbackAddress;
    client.Port = QString::number(port);
    client.SConnect();
    QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 1, waitLimit);
    QTRY_COMPARE_WITH_TIMEOUT(serverLog.count("close", accepted[0]), 1, waitLimit);

    RawSocket peer(RawSocket::connectTo(port));
    QVERIFY(peer.send("abcdefgh"));
    int error = 0;
    QCOMPARE(peer.readToEnd(&error, waitLimit), QByteArray());
    QCOMPARE(error, 0);
    QTest::qWait(100);

    QCOMPARE(clientLog.entries.size(), 1);
    QCOMPARE(received, QByteArray("abcd"));
    QCOMPARE(serverLog.count("read"), 1);
    QVERIFY(serverLog.errors().isEmpty());
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
    server.OnSessionAvailable = [&](TSockets *, int s) {
        log.add("accept", s);
        server.Accept();
        oldListener = server.ListenSocket();
        server.CancelListen();
        if (listenAgain)
            newListener = listenOnFreePort(server) != 0 ? server.ListenSocket() : -1;
    };
    const quint16 port = listenOnFreePort(server);
    RawSocket first(RawSocket::connectTo(port));
    RawSocket second(RawSocket::connectTo(port));
    QVERIFY(first.isOpen() && second.isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(log.count("accept"), 1, waitLimit);
    if (listenAgain)
        QCOMPARE(newListener, oldListener);
    QTest::qWait(300);
    QCOMPARE(log.count("accept"), 1);
    QVERIFY(log.errors().isEmpty());
}

void TestSockets::largeSendSurvivesDisconnect()
{
    QByteArray text(2 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = char(1 + i % 251);
    TSockets server;
    EventLog log;
    log.attach(server);
    int result = -1;
    int sent = -1;
    server.OnSessionAvailable = [&](TSockets *, int) {
        const int session = server.Accept();
        // Small buffers at both ends (the system would grow its own to hold all of the
        // text): the server has to keep most of it until the client reads.
        const int sendBuffer = 4096;
        ::setsockopt(session, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        result = server.SSend(session, text, sent, 100);
        server.Disconnect();
    };
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(server), 4096));
    QVERIFY(peer.isOpen());
    int error = 0;
    const QByteArray received = peer.readToEnd(&error, 120000, 4096);
    QCOMPARE(error, 0);
    QCOMPARE(received.size(), text.size());
    QVERIFY(received == text);
    QCOMPARE(result, int(text.size() % 100));
    QCOMPARE(sent, result);
    QVERIFY(log.errors().isEmpty());
}

void TestSockets::replyArrivesDespiteUnreadInput()
{
    const QByteArray reply = patternText(100000);
    TSockets server;
    EventLog log;
    log.attach(server);
    bool answered = false;
    server.OnSessionAvailable = [&](TSockets *, int) { server.Accept(); };
    server.OnDataNeeded = [&](TSockets *, int s) {
        server.SessionSocket = s;
        server.SetText(reply);
        server.Disconnect();
        answered = true;
    };
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(server)));
    QVERIFY(peer.send("a request that the server never reads\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(answered, waitLimit);
    QTest::qWait(100);
    int error = 0;
    QCOMPARE(peer.readToEnd(&error, waitLimit), reply);
    QCOMPARE(error, 0);
    QVERIFY(log.errors().isEmpty());
}

void TestSockets::resumeAcceptingOffersWaitingConnectionOnce()
{
    TSockets server;
    EventLog log;
    log.attach(server);
    RawSocket peer(RawSocket::connectTo(listenOnFreePort(server)));
    QTRY_COMPARE_WITH_TIMEOUT(log.count("accept"), 1, waitLimit);
    QTest::qWait(300);
    QCOMPARE(log.count("accept"), 1);

    server.ResumeAccepting();
    QTRY_COMPARE_WITH_TIMEOUT(log.count("accept"), 2, waitLimit);
    QTest::qWait(300);
    QCOMPARE(log.count("accept"), 2);

    QVERIFY(server.Accept() != -1);
    server.ResumeAccepting();
    QTest::qWait(300);
    QCOMPARE(log.count("accept"), 2);
    QVERIFY(log.errors().isEmpty());
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
        TSockets server;
        TSockets client;
        EventLog serverLog;
        EventLog clientLog;
        serverLog.attach(server);
        clientLog.attach(client);
        QList<int> accepted;
        server.OnSessionAvailable = [&](TSockets *, int) { accepted.append(server.Accept()); };
        const quint16 port = listenOnFreePort(server);

        client.IPAddr = loopbackAddress;
        client.Port = QString::number(port);
        client.SConnect();
        QTRY_COMPARE_WITH_TIMEOUT(clientLog.count("connect"), 1, waitLimit);
        lingering = RawSocket(RawSocket::connectTo(port));
        QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 2, waitLimit);

        // A graceful close that waits for a peer that does not close.
        for (int session : std::as_const(accepted))
            if (server.PeerPort(session) == QString::number(localPort(lingering.fd())))
                server.SessionSocket = session;
        server.Disconnect();
        // A second listener on the same port fails; both sockets are still held.
        server.Port = QString::number(port);
        server.Listen();
        QCOMPARE(serverLog.errors().size(), 2);
        QTest::qWait(50);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    int error = 0;
    QCOMPARE(lingering.readToEnd(&error, waitLimit), QByteArray());
    QCOMPARE(error, 0);
    lingering.close();
    QCOMPARE(openDescriptorCount(), before);
}

QTEST_GUILESS_MAIN(TestSockets)

#include "tst_sockets.moc"
