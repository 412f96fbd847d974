// Who may ask, and how a peer's address reads.

#include "AllowFrom.h"

#include <QTest>

namespace {

HostAddress address(const char *text)
{
    return HostAddress::fromText(text).value_or(HostAddress{});
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
    void addressTexts_data();
    void addressTexts();
    void settingTexts_data();
    void settingTexts();
};

void TestAllowFrom::mayAsk_data()
{
    QTest::addColumn<QByteArray>("peer");
    QTest::addColumn<bool>("computer");
    QTest::addColumn<bool>("network");
    QTest::addRow("loopback /8") << QByteArray("127.1.2.3") << true << true;
    QTest::addRow("IPv6 loopback") << QByteArray("::1") << true << true;
    QTest::addRow("mapped loopback") << QByteArray("::ffff:127.0.0.1") << true << true;
    QTest::addRow("link-local") << QByteArray("169.254.10.1") << false << true;
    QTest::addRow("IPv6 link-local, end of /10") << QByteArray("febf::1") << false << true;
    QTest::addRow("172.16/12, end") << QByteArray("172.31.255.255") << false << true;
    QTest::addRow("172.32 is public") << QByteArray("172.32.0.1") << false << false;
    QTest::addRow("mapped 192.168/16") << QByteArray("::ffff:192.168.1.20") << false << true;
    QTest::addRow("unique local fc00::/7") << QByteArray("fd12:3456::1") << false << true;
    QTest::addRow("interface subnet") << QByteArray("203.0.113.77") << false << true;
    QTest::addRow("beside it") << QByteArray("203.0.114.1") << false << false;
    QTest::addRow("IPv6 interface subnet") << QByteArray("2001:db8:1:ff::5") << false << true;
    QTest::addRow("IPv6 public") << QByteArray("2606:4700::1111") << false << false;
    QTest::addRow("unknown peer") << QByteArray() << false << false;
}

void TestAllowFrom::mayAsk()
{
    QFETCH(QByteArray, peer);
    const HostAddress host = address(peer.constData());
    QVERIFY(MayAsk(AllowedPeers::Anyone, host, {}));
    QTEST(MayAsk(AllowedPeers::Computer, host, Interfaces), "computer");
    QTEST(MayAsk(AllowedPeers::Network, host, Interfaces), "network");
}

void TestAllowFrom::addressTexts_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QString>("text");
    QTest::addRow("mapped IPv4") << QByteArray("::FFFF:127.0.0.1") << "127.0.0.1";
    QTest::addRow("compressed") << QByteArray("2001:0DB8:0:0:0000:0:0:0001") << "2001:db8::1";
    QTest::addRow("none") << QByteArray("no address") << "0.0.0.0";
}

void TestAllowFrom::addressTexts()
{
    QFETCH(QByteArray, address);
    QTEST(::address(address.constData()).text(), "text");
}

void TestAllowFrom::settingTexts_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<AllowedPeers>("peers");
    QTest::addRow("network") << "network" << AllowedPeers::Network;
    QTest::addRow("computer") << "computer" << AllowedPeers::Computer;
    QTest::addRow("anyone") << "anyone" << AllowedPeers::Anyone;
    QTest::addRow("other case") << "Computer" << AllowedPeers::Anyone;
}

void TestAllowFrom::settingTexts()
{
    QFETCH(QString, stored);
    QFETCH(AllowedPeers, peers);
    QCOMPARE(AllowedPeersFromText(stored), peers);
    QCOMPARE(AllowedPeersFromText(AllowedPeersText(peers)), peers);
}

QTEST_GUILESS_MAIN(TestAllowFrom)
#include "tst_allowfrom.moc"
