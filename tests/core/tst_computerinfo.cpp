#include "ComputerInfo.h"
#include "SystemFacts.h"

#include <QTest>
#include <cstdio>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

class FakeFacts final : public SystemFacts
{
public:
    QString userName() const override { return QStringLiteral("Lab User"); }
    QString computerName() const override { return QStringLiteral("labhost"); }
    qint32 oemId() const override { return 0x0001000C; }
    OsVersion osVersion() const override { return {10, 0, 19045}; }
    qint32 platformId() const override { return platform; }

    qint32 platform = 2;
};

} // namespace

class TestComputerInfo : public QObject
{
    Q_OBJECT

private slots:
    void runningSystem();
    void factsAreKeptAsGiven();
    void platformString_data();
    void platformString();
    void kernelRelease_data();
    void kernelRelease();
    void architecture_data();
    void architecture();
};

void TestComputerInfo::runningSystem()
{
    const TComputerInfo info;
    const passwd *user = ::getpwuid(::geteuid());
    QVERIFY(user);
    QCOMPARE(info.LoginName(), QString::fromLocal8Bit(user->pw_name));
    char host[256] = {};
    QCOMPARE(::gethostname(host, sizeof host - 1), 0);
    QCOMPARE(info.ComputerName(), QString::fromLocal8Bit(host));

    utsname names{};
    QCOMPARE(::uname(&names), 0);
    int major = 0, minor = 0, patch = 0;
    QVERIFY(std::sscanf(names.release, "%d.%d.%d", &major, &minor, &patch) >= 2);
    QCOMPARE(info.OsVersionHi(), major);
    QCOMPARE(info.OsVersionLo(), minor);
    QCOMPARE(info.BuildVersion(), patch);
#if defined(__x86_64__)
    QCOMPARE(info.ProcessorArchitecture(), quint16(9));
#elif defined(__aarch64__)
    QCOMPARE(info.ProcessorArchitecture(), quint16(12));
#endif
    QCOMPARE(info.PlatformID(), LinuxSystemFacts::UnixPlatformId);
    QCOMPARE(info.PlatformString(), "Unknown");
    QCOMPARE(info.InitError(), false);
}

void TestComputerInfo::factsAreKeptAsGiven()
{
    QObject owner;
    const FakeFacts facts;
    const auto *info = new TComputerInfo(&owner, &facts);
    QCOMPARE(info->parent(), &owner);
    QCOMPARE(info->LoginName(), "Lab User"); // case and blank as the system spells it
    QCOMPARE(info->ComputerName(), "labhost");
    QCOMPARE(info->OemID(), 0x0001000C);
    QCOMPARE(info->ProcessorArchitecture(), quint16(12));
    QCOMPARE(info->OsVersionHi(), 10);
    QCOMPARE(info->OsVersionLo(), 0);
    QCOMPARE(info->BuildVersion(), 19045);
    QCOMPARE(info->property("PlatformString").toString(), "Windows NT");
}

void TestComputerInfo::platformString_data()
{
    QTest::addColumn<qint32>("id");
    QTest::addColumn<QString>("text");
    QTest::addRow("0") << 0 << "Windows 3.1 with Win32s";
    QTest::addRow("1") << 1 << "Windows 95";
    QTest::addRow("2") << 2 << "Windows NT";
    QTest::addRow("3") << 3 << "Unknown";
    QTest::addRow("Linux") << LinuxSystemFacts::UnixPlatformId << "Unknown";
    QTest::addRow("-1") << -1 << "Unknown";
}

void TestComputerInfo::platformString()
{
    QFETCH(qint32, id);
    QFETCH(QString, text);
    FakeFacts facts;
    facts.platform = id;
    const TComputerInfo info(nullptr, &facts);
    QCOMPARE(info.PlatformID(), id);
    QCOMPARE(info.PlatformString(), text);
}

void TestComputerInfo::kernelRelease_data()
{
    QTest::addColumn<QByteArray>("release");
    QTest::addColumn<QList<int>>("version");
    QTest::addRow("Debian") << QByteArray("6.1.0-18-amd64") << QList<int>{6, 1, 0};
    QTest::addRow("patch level") << QByteArray("5.15.133+rpt-rpi-v8") << QList<int>{5, 15, 133};
    QTest::addRow("two numbers") << QByteArray("6.8-rc1") << QList<int>{6, 8, 0};
    QTest::addRow("no numbers") << QByteArray("custom") << QList<int>{0, 0, 0};
    QTest::addRow("too large") << QByteArray("6.99999999999.1") << QList<int>{6, 0, 0};
}

void TestComputerInfo::kernelRelease()
{
    QFETCH(QByteArray, release);
    QFETCH(QList<int>, version);
    const SystemFacts::OsVersion parsed = LinuxSystemFacts::parseKernelRelease(release);
    QCOMPARE((QList<int>{parsed.major, parsed.minor, parsed.build}), version);
}

void TestComputerInfo::architecture_data()
{
    QTest::addColumn<QByteArray>("machine");
    QTest::addColumn<int>("architecture");
    QTest::addRow("x86_64") << QByteArray("x86_64") << 9;
    QTest::addRow("i686") << QByteArray("i686") << 0;
    QTest::addRow("armv7l") << QByteArray("armv7l") << 5;
    QTest::addRow("aarch64") << QByteArray("aarch64") << 12;
    QTest::addRow("ia64") << QByteArray("ia64") << 6;
    QTest::addRow("riscv64 unknown") << QByteArray("riscv64") << 0xFFFF;
    QTest::addRow("i786 unknown") << QByteArray("i786") << 0xFFFF;
}

void TestComputerInfo::architecture()
{
    QFETCH(QByteArray, machine);
    QFETCH(int, architecture);
    QCOMPARE(int(LinuxSystemFacts::processorArchitecture(machine)), architecture);
}

QTEST_GUILESS_MAIN(TestComputerInfo)
#include "tst_computerinfo.moc"
