#include "HeldNameService.h"
#include "HostResolver.h"

#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <net/if.h>

#include <memory>

class TestHostResolver : public QObject
{
    Q_OBJECT

private slots:
    void literals_data();
    void literals();
    void numericLookUpReportsLater();
    void cancelledLookUpNeverReports_data();
    void cancelledLookUpNeverReports();
    void resolverGoneBeforeAnswer();
};

void TestHostResolver::literals_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("literal");
    QTest::addColumn<QString>("unbracketed");
    // The zone id the socket address gets; -1 when there is no socket address.
    QTest::addColumn<int>("scope");
    const int lo = int(::if_nametoindex("lo"));
    QTest::addRow("loopback") << "::1" << true << "::1" << 0;
    QTest::addRow("in brackets") << "[::1]" << true << "::1" << 0;
    QTest::addRow("zone by name") << "fe80::1%lo" << true << "fe80::1%lo" << lo;
    QTest::addRow("zone by number, in brackets") << "[fe80::1%7]" << true << "fe80::1%7" << 7;
    QTest::addRow("zone that names no interface")
        << "fe80::1%nosuch0" << true << "fe80::1%nosuch0" << -1;
    QTest::addRow("empty zone") << "fe80::1%" << false << "fe80::1%" << -1;
    QTest::addRow("IPv4") << "127.0.0.1" << false << "127.0.0.1" << -1;
    QTest::addRow("name in brackets") << "[example.org]" << false << "[example.org]" << -1;
    QTest::addRow("open bracket") << "[::1" << false << "[::1" << -1;
    QTest::addRow("two gaps") << "1::2::3" << false << "1::2::3" << -1;
}

void TestHostResolver::literals()
{
    QFETCH(QString, text);
    QFETCH(bool, literal);
    QFETCH(QString, unbracketed);
    QFETCH(int, scope);
    QCOMPARE(isIpv6Literal(text), literal);
    QCOMPARE(unbracketedHost(text), unbracketed);
    const auto address = ipv6SocketAddress(text, htons(79));
    QCOMPARE(address.has_value(), scope != -1);
    if (address) {
        QCOMPARE(address->sin6_family, AF_INET6);
        QCOMPARE(ntohs(address->sin6_port), 79);
        QCOMPARE(int(address->sin6_scope_id), scope);
    }
}

void TestHostResolver::numericLookUpReportsLater()
{
    HostResolver resolver;
    resolver.resolveName = [](const QString &) -> QStringList {
        qFatal("a numeric address needs no name service");
    };
    QSignalSpy spy(&resolver, &HostResolver::resolved);
    resolver.lookUp(QStringLiteral("::1"));
    // Never from inside lookUp: the caller finishes its own steps first.
    QCOMPARE(spy.size(), 0);
    QVERIFY(resolver.isLookingUp());
    QTRY_COMPARE(spy.size(), 1);
    QCOMPARE(spy.first().at(1).toStringList(), QStringList{QStringLiteral("::1")});
    QVERIFY(!resolver.isLookingUp());
}

void TestHostResolver::cancelledLookUpNeverReports_data()
{
    QTest::addColumn<bool>("replaced");
    QTest::addRow("cancelled") << false;
    QTest::addRow("replaced by a newer look-up") << true;
}

void TestHostResolver::cancelledLookUpNeverReports()
{
    QFETCH(bool, replaced);
    HostResolver resolver;
    HeldNameService service;
    resolver.resolveName = service.resolve({QStringLiteral("192.0.2.1")});
    QSignalSpy spy(&resolver, &HostResolver::resolved);
    resolver.lookUp(QStringLiteral("slow.example"));
    if (replaced) {
        resolver.lookUp(QStringLiteral("newer.example"));
    } else {
        resolver.cancel();
        QVERIFY(!resolver.isLookingUp());
    }
    service.release.release(2);
    QTRY_COMPARE(service.answered.load(), replaced ? 2 : 1);
    QTest::qWait(100);
    QCOMPARE(spy.size(), replaced ? 1 : 0);
    if (replaced)
        QCOMPARE(spy.first().at(0).toString(), QStringLiteral("newer.example"));
}

void TestHostResolver::resolverGoneBeforeAnswer()
{
    HeldNameService service;
    auto resolver = std::make_unique<HostResolver>();
    resolver->resolveName = service.resolve({QStringLiteral("192.0.2.1")});
    resolver->lookUp(QStringLiteral("slow.example"));
    resolver.reset();
    service.release.release();
    QTRY_COMPARE(service.answered.load(), 1);
    // The answer has nowhere to go; the sanitizer build sees any use of the gone resolver.
    QTest::qWait(100);
}

QTEST_GUILESS_MAIN(TestHostResolver)
#include "tst_hostresolver.moc"
