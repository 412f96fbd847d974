// The socket component on fixed ports (79, 80, 13, the reserved ports below 1024), in a
// network namespace of the test's own.

#include "NetNamespace.h"
#include "RecordingDialogs.h"
#include "SocketTestTools.h"
#include "Sockets.h"

#include <QtTest>

namespace {

constexpr int waitLimit = 20000;

} // namespace

class TestSocketsInNamespace : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void portTexts_data();
    void portTexts();
    void bindReservedPortSkipsPortsInUse();
    void hostNameIsLookedUp();
    void unresolvableHostShowsBox();
};

void TestSocketsInNamespace::initTestCase()
{
    TELLWICK_REQUIRE_NETNS();
}

void TestSocketsInNamespace::portTexts_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("number");
    QTest::addRow("service name") << "finger" << 79;
    QTest::addRow("another service") << "daytime" << 13;
    QTest::addRow("service alias") << "www" << 80;
    QTest::addRow("number") << "79" << 79;
    QTest::addRow("leading blanks") << "  79" << 79;
    QTest::addRow("plus sign") << "+79" << 79;
    QTest::addRow("leading zeros") << "0079" << 79;
    QTest::addRow("hexadecimal") << "$4F" << 79;
    QTest::addRow("lower-case hexadecimal") << " $4f" << 79;
    QTest::addRow("highest port") << "65535" << 65535;
}

void TestSocketsInNamespace::portTexts()
{
    QFETCH(QString, port);
    QFETCH(int, number);
    TSockets sockets;
    EventLog log;
    log.attach(sockets);
    sockets.Port = port;
    sockets.Listen();
    QVERIFY(log.entries.isEmpty());
    sockaddr_in local{};
    socklen_t size = sizeof local;
    QVERIFY(::getsockname(sockets.ListenSocket(), reinterpret_cast<sockaddr *>(&local), &size) !=
            -1);
    QCOMPARE(int(ntohs(local.sin_port)), number);
    QCOMPARE(ntohl(local.sin_addr.s_addr), quint32(INADDR_ANY));

    RawSocket peer(RawSocket::connectTo(quint16(number)));
    QVERIFY(peer.isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(log.count("accept", sockets.ListenSocket()), 1, waitLimit);
}

void TestSocketsInNamespace::bindReservedPortSkipsPortsInUse()
{
    RawSocket taken1024(RawSocket::bound(1024));
    RawSocket taken1023(RawSocket::bound(1023));
    QVERIFY(taken1024.isOpen() && taken1023.isOpen());
    TSockets server;
    const quint16 port = listenOnFreePort(server);

    TSockets client;
    EventLog log;
    log.attach(client);
    client.BindReservedPort = true;
    client.IPAddr = QStringLiteral("127.0.0.1");
    client.Port = QString::number(port);
    client.SConnect();
    QCOMPARE(localPort(client.SessionSocket), quint16(1022));
    QTRY_COMPARE_WITH_TIMEOUT(log.count("connect", client.SessionSocket), 1, waitLimit);
    QVERIFY(log.errors().isEmpty());
}

void TestSocketsInNamespace::hostNameIsLookedUp()
{
    TSockets server;
    EventLog serverLog;
    serverLog.attach(server);
    int accepted = -1;
    server.OnSessionAvailable = [&](TSockets *, int) { accepted = server.Accept(); };
    server.Port = QStringLiteral("79");
    server.Listen();

    TSockets client;
    EventLog clientLog;
    clientLog.attach(client);
    client.IPAddr = QStringLiteral("localhost");
    client.Port = QStringLiteral("finger");
    client.SConnect();
    QTRY_COMPARE_WITH_TIMEOUT(clientLog.count("connect"), 1, waitLimit);
    QTRY_VERIFY_WITH_TIMEOUT(accepted != -1, waitLimit);
    QCOMPARE(server.PeerAddress(accepted), QStringLiteral("127.0.0.1"));
    QCOMPARE(server.PeerPort(accepted), QString::number(localPort(client.SessionSocket)));
    QVERIFY(clientLog.errors().isEmpty());
    QVERIFY(serverLog.errors().isEmpty());
}

void TestSocketsInNamespace::unresolvableHostShowsBox()
{
    RecordingDialogs dialogs;
    const int descriptors = openDescriptorCount();
    TSockets client;
    client.QuietErrors = true;
    client.IPAddr = QStringLiteral("no-such-host.invalid");
    client.Port = QStringLiteral("79");
    client.SConnect();
    QCOMPARE(dialogs.texts(), QStringList{"Cannot convert host address"});
    QCOMPARE(dialogs.boxes.first().caption, QStringLiteral("WINSOCK ERROR"));
    QVERIFY(dialogs.endRequests.isEmpty());
    QCOMPARE(client.SessionSocket, -1);
    QCOMPARE(client.TakeLastError(), 0);
    QCOMPARE(openDescriptorCount(), descriptors);
}

TELLWICK_GUILESS_TEST_MAIN_IN_NETNS(TestSocketsInNamespace)

#include "tst_sockets_netns.moc"
