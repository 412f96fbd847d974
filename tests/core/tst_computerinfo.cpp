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
    explicit FakeFacts(qint32 platform) : m_platform(platform) {}
    QString userName() const override { return QStringLiteral("Lab User"); }
    QString computerName() const override { return QStringLiteral("labhost"); }
    qint32 oemId() const override { return 0x0001000C; }
    OsVersion osVersion() const override { return {10, 0, 19045}; }
    qint32 platformId() const override { return m_platform; }

private:
    qint32 m_platform;
};

} // namespace

class TestComputerInfo : public QObject
{
    Q_OBJECT

private slots:
    void runningSystem();
    void factsAsGiven_data();
    void factsAsGiven();
    void kernelRelease_data();
    void kernelRelease();
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
    QVERIFY(info.PlatformID() > 2);
    QCOMPARE(info.PlatformString(), "Unknown");
    QCOMPARE(info.InitError(), false);
}

void TestComputerInfo::factsAsGiven_data()
{
    QTest::addColumn<qint32>("platform");
    QTest::addColumn<QString>("text");
    QTest::addRow("0") << 0 << "Windows 3.1 with Win32s";
    QTest::addRow("1") << 1 << "Windows 95";
    QTest::addRow("2") << 2 << "Windows NT";
    QTest::addRow("3") << 3 << "Unknown";
    QTest::addRow("-1") << -1 << "Unknown";
}

void TestComputerInfo::factsAsGiven()
{
    QFETCH(qint32, platform);
    QObject owner;
    const FakeFacts facts(platform);
    const auto *info = new TComputerInfo(&owner, &facts);
    QCOMPARE(info->parent(), &owner);
    QCOMPARE(info->PlatformID(), platform);
    QTEST(info->property("PlatformString").toString(), "text");
    QCOMPARE(info->LoginName(), "Lab User"); // case and blank as the system spells them
    QCOMPARE(info->ComputerName(), "labhost");
    QCOMPARE(info->OemID(), 0x0001000C);
    QCOMPARE(info->ProcessorArchitecture(), quint16(12));
    QCOMPARE(info->BuildVersion(), 19045);
}

void TestComputerInfo::kernelRelease_data()
{
    QTest::addColumn<QByteArray>("release");
    QTest::addColumn<QList<int>>("version");
    QTest::addRow("Debian") << QByteArray("6.1.0-18-amd64") << QList<int>{6, 1, 0};
    QTest::addRow("two numbers") << QByteArray("6.8-rc1") << QList<int>{6, 8, 0};
    QTest::addRow("no numbers") << QByteArray("custom") << QList<int>{0, 0, 0};
    QTest::addRow("too large") << QByteArray("6.99999999999.1") << QList<int>{6, 0, 0};
}

void TestComputerInfo::kernelRelease()
{
    QFETCH(QByteArray, release);
    const SystemFacts::OsVersion parsed = LinuxSystemFacts::parseKernelRelease(release);
    QTEST((QList<int>{parsed.major, parsed.minor, parsed.build}), "version");
}

QTEST_GUILESS_MAIN(TestComputerInfo)
#include "tst_computerinfo.moc"
