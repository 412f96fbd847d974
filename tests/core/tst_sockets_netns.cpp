// The socket component on fixed ports (79, 80, 13, the reserved ports below 1024), in a
// network namespace of the test's own.

#include "NetNamespace.h"
#include "RecordingDialogs.h"
#include "SocketTestTools.h"
#include "Sockets.h"

#include <QtTest>

class TestSocketsInNamespace : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TELLWICK_REQUIRE_NETNS(); }
    void portTexts_data();
    void portTexts();
    void bindReservedPortSkipsPortsInUse();
    void hostNames();
};

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
    // Every address of both families.
    sockaddr_in6 local{};
    socklen_t size = sizeof local;
    QVERIFY(::getsockname(sockets.ListenSocket(), reinterpret_cast<sockaddr *>(&local), &size) !=
            -1);
    QCOMPARE(local.sin6_family, sa_family_t(AF_INET6));
    QCOMPARE(int(ntohs(local.sin6_port)), number);
    QVERIFY(IN6_IS_ADDR_UNSPECIFIED(&local.sin6_addr));
    const RawSocket peer = RawSocket::connectedTo(quint16(number));
    QTRY_COMPARE_WITH_TIMEOUT(log.count("accept", sockets.ListenSocket()), 1, waitLimit);
}

void TestSocketsInNamespace::bindReservedPortSkipsPortsInUse()
{
    const RawSocket taken1024 = RawSocket::bound(1024);
    const RawSocket taken1023 = RawSocket::bound(1023);
    QVERIFY(taken1024.isOpen() && taken1023.isOpen());
    TSockets server;
    TSockets client;
    EventLog log;
    log.attach(client);
    client.BindReservedPort = true;
    aimAt(client, listenOnFreePort(server));
    client.SConnect();
    QCOMPARE(localPort(client.SessionSocket), quint16(1022));
    QTRY_COMPARE_WITH_TIMEOUT(log.names(), QStringList({"connect", "write"}), waitLimit);
}

void TestSocketsInNamespace::hostNames()
{
    AcceptedSession s;
    s.peer.close();
    s.server.CancelListen();
    s.server.Port = QStringLiteral("79");
    s.server.Listen();
    TSockets client;
    EventLog log;
    log.attach(client);
    client.IPAddr = QStringLiteral("localhost");
    client.Port = QStringLiteral("finger");
    client.SConnect();
    QTRY_COMPARE_WITH_TIMEOUT(log.count("connect"), 1, waitLimit);
    QTRY_COMPARE_WITH_TIMEOUT(s.server.PeerPort(s.accepted),
                              QString::number(localPort(client.SessionSocket)), waitLimit);

    // A name that does not resolve: a box even when quiet, and no socket.
    RecordingDialogs dialogs;
    const int descriptors = openDescriptorCount();
    client.QuietErrors = true;
    client.SessionSocket = -1;
    client.IPAddr = QStringLiteral("no-such-host.invalid");
    client.SConnect();
    QCOMPARE(dialogs.texts(), QStringList{"Cannot convert host address"});
    QCOMPARE(dialogs.boxes.first().caption, QStringLiteral("WINSOCK ERROR"));
    QVERIFY(dialogs.endRequests.isEmpty());
    QCOMPARE(client.SessionSocket, -1);
    QCOMPARE(client.TakeLastError(), 0);
    QCOMPARE(openDescriptorCount(), descriptors);
    QVERIFY(log.errors().isEmpty() && s.log.errors().isEmpty());
}

TELLWICK_GUILESS_TEST_MAIN_IN_NETNS(TestSocketsInNamespace)

#include "tst_sockets_netns.moc"
