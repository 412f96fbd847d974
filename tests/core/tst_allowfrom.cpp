// Who may ask, and how a peer's address reads.

#include "AllowFrom.h"

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

HostAddress address(const char *text)
{
    const auto parsed = HostAddress::fromText(text);
    return parsed ? *parsed : HostAddress{};
}

// The subnets of a computer on two networks.
const QList<Subnet> Interfaces{{address("203.0.113.0"), 24}, {address("2001:db8:1::"), 48}};

} // namespace

class TestAllowFrom : public QObject
{
    Q_OBJECT

private slots:
    void mayAsk_data();
    void mayAsk();
    void peerAddressTexts_data();
    void peerAddressTexts();
    void settingTexts_data();
    void settingTexts();
};

void TestAllowFrom::mayAsk_data()
{
    QTest::addColumn<QByteArray>("peer");
    QTest::addColumn<bool>("computer");
    QTest::addColumn<bool>("network");
    QTest::addRow("loopback") << QByteArray("127.0.0.1") << true << true;
    QTest::addRow("loopback, whole /8") << QByteArray("127.1.2.3") << true << true;
    QTest::addRow("IPv6 loopback") << QByteArray("::1") << true << true;
    QTest::addRow("mapped loopback") << QByteArray("::ffff:127.0.0.1") << true << true;
    QTest::addRow("link-local") << QByteArray("169.254.10.1") << false << true;
    QTest::addRow("IPv6 link-local") << QByteArray("fe80::1:2") << false << true;
    QTest::addRow("IPv6 link-local, last of /10") << QByteArray("febf::1") << false << true;
    QTest::addRow("10/8") << QByteArray("10.200.0.1") << false << true;
    QTest::addRow("172.16/12, last") << QByteArray("172.31.255.255") << false << true;
    QTest::addRow("172.32 is public") << QByteArray("172.32.0.1") << false << false;
    QTest::addRow("192.168/16") << QByteArray("192.168.1.20") << false << true;
    QTest::addRow("mapped private") << QByteArray("::ffff:192.168.1.20") << false << true;
    QTest::addRow("unique local fd") << QByteArray("fd12:3456::1") << false << true;
    QTest::addRow("unique local fc") << QByteArray("fc00::1") << false << true;
    QTest::addRow("interface subnet") << QByteArray("203.0.113.77") << false << true;
    QTest::addRow("next to the subnet") << QByteArray("203.0.114.1") << false << false;
    QTest::addRow("IPv6 interface subnet") << QByteArray("2001:db8:1:ff::5") << false << true;
    QTest::addRow("next to the IPv6 subnet") << QByteArray("2001:db8:2::5") << false << false;
    QTest::addRow("public") << QByteArray("8.8.8.8") << false << false;
    QTest::addRow("mapped public") << QByteArray("::ffff:8.8.8.8") << false << false;
    QTest::addRow("IPv6 public") << QByteArray("2606:4700::1111") << false << false;
    // The IPv4 loopback's bits in the other family are no loopback.
    QTest::addRow("IPv4-compatible") << QByteArray("::127.0.0.1") << false << false;
    QTest::addRow("unknown peer") << QByteArray() << false << false;
}

void TestAllowFrom::mayAsk()
{
    QFETCH(QByteArray, peer);
    QFETCH(bool, computer);
    QFETCH(bool, network);
    const HostAddress host = address(peer.constData());
    QCOMPARE(host.family == HostAddress::Family::None, peer.isEmpty());
    QVERIFY(MayAsk(AllowedPeers::Anyone, host, {}));
    QCOMPARE(MayAsk(AllowedPeers::Computer, host, Interfaces), computer);
    QCOMPARE(MayAsk(AllowedPeers::Network, host, Interfaces), network);
}

void TestAllowFrom::peerAddressTexts_data()
{
    QTest::addColumn<int>("family");
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QString>("text");
    QTest::addRow("IPv4") << int(AF_INET) << QByteArray("10.0.0.5") << "10.0.0.5";
    QTest::addRow("mapped IPv4") << int(AF_INET6) << QByteArray("::ffff:127.0.0.1") << "127.0.0.1";
    QTest::addRow("IPv6 loopback") << int(AF_INET6) << QByteArray("::1") << "::1";
    QTest::addRow("IPv6 compressed")
        << int(AF_INET6) << QByteArray("2001:0DB8:0000:0000:0000:0000:0000:0001") << "2001:db8::1";
    QTest::addRow("longest run of zeros")
        << int(AF_INET6) << QByteArray("2001:db8:0:1:0:0:0:1") << "2001:db8:0:1::1";
    QTest::addRow("no address") << int(AF_UNSPEC) << QByteArray() << "0.0.0.0";
}

void TestAllowFrom::peerAddressTexts()
{
    QFETCH(int, family);
    QFETCH(QByteArray, address);
    QFETCH(QString, text);
    // As accept and getpeername give it.
    sockaddr_storage peer{};
    peer.ss_family = sa_family_t(family);
    if (family == AF_INET)
        QCOMPARE(::inet_pton(AF_INET, address.constData(),
                             &reinterpret_cast<sockaddr_in &>(peer).sin_addr),
                 1);
    if (family == AF_INET6)
        QCOMPARE(::inet_pton(AF_INET6, address.constData(),
                             &reinterpret_cast<sockaddr_in6 &>(peer).sin6_addr),
                 1);
    QCOMPARE(HostAddress::fromSocketAddress(reinterpret_cast<const sockaddr *>(&peer)).text(),
             text);
}

void TestAllowFrom::settingTexts_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<AllowedPeers>("peers");
    QTest::addColumn<QString>("saved");
    QTest::addRow("anyone") << "anyone" << AllowedPeers::Anyone << "anyone";
    QTest::addRow("network") << "network" << AllowedPeers::Network << "network";
    QTest::addRow("computer") << "computer" << AllowedPeers::Computer << "computer";
    QTest::addRow("other case: anyone") << "Computer" << AllowedPeers::Anyone << "anyone";
    QTest::addRow("blank around: anyone") << " network" << AllowedPeers::Anyone << "anyone";
    QTest::addRow("empty: anyone") << "" << AllowedPeers::Anyone << "anyone";
}

void TestAllowFrom::settingTexts()
{
    QFETCH(QString, stored);
    QFETCH(AllowedPeers, peers);
    QCOMPARE(AllowedPeersFromText(stored), peers);
    QTEST(AllowedPeersText(peers), "saved");
}

QTEST_GUILESS_MAIN(TestAllowFrom)
#include "tst_allowfrom.moc"
