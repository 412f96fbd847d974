// Saving the settings where the disk is full or read-only, in a private mount namespace with a
// small file system of its own: the save reports the failure and the old file stays whole.

#include "FaultTools.h"
#include "RuntimeError.h"
#include "Settings.h"

#include <QCoreApplication>

#include <sched.h>
#include <sys/mount.h>

using namespace fault;

namespace {

QString mountFailure;

// A mount namespace of our own, so that the small file systems are nobody else's business.
bool enterPrivateMountNamespace()
{
    if (::geteuid() != 0) {
        mountFailure = QStringLiteral("mounting a file system needs root");
        return false;
    }
    if (::unshare(CLONE_NEWNS) == -1 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) {
        mountFailure = QStringLiteral("no private mount namespace: %1").arg(strerror(errno));
        return false;
    }
    return true;
}

const bool inPrivateMountNamespace = enterPrivateMountNamespace();

// Fills the file system of folder until it takes no more.
void fillUp(const QString &folder)
{
    QFile filler(folder + "/filler");
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return;
    const QByteArray block(512, 'f');
    while (filler.write(block) == block.size()) {
    }
    const QByteArray byte(1, 'f');
    while (filler.write(byte) == 1) {
    }
}

} // namespace

class TestFaultSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!inPrivateMountNamespace)
            QSKIP(qPrintable(mountFailure));
    }

    void failedSaveKeepsTheFileWhole_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("full");
        QTest::addColumn<QString>("error");

        const QByteArray valid = registryText({{"Beep", "\"0\""}, {"labRealName", "\"Ada\""}});
        const QString setData = QStringLiteral("Failed to set data for 'Enable'");
        const QString createKey = QStringLiteral("Failed to create key Tellwick");
        QTest::addRow("full disk") << valid << true << setData;
        QTest::addRow("read-only file system") << valid << false << setData;
        // A damaged file is copied aside before it is replaced; no room for the copy.
        QTest::addRow("full disk, damaged")
            << QByteArray("REGEDIT4\r\n\xff\xfe") << true << createKey;
        QTest::addRow("read-only, cut off") << valid.left(valid.size() - 5) << false << createKey;
    }

    void failedSaveKeepsTheFileWhole()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, full);
        QFETCH(QString, error);
        QTemporaryDir mountPoint;
        QVERIFY(mountPoint.isValid());
        const QByteArray where = QFile::encodeName(mountPoint.path());
        QVERIFY2(::mount("tellwick-test", where.constData(), "tmpfs", 0, "size=64k") == 0,
                 strerror(errno));
        const auto unmount = qScopeGuard([&] { ::umount2(where.constData(), MNT_DETACH); });

        const QString folder = mountPoint.path() + "/Tellwick";
        const QString path = folder + "/registry.reg";
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(writeFile(path, contents));
        if (full)
            fillUp(folder);
        else
            QVERIFY2(
                ::mount(nullptr, where.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0,
                strerror(errno));
        const QStringList before = QDir(folder).entryList(QDir::Files | QDir::Hidden);

        TSettings settings;
        settings.Login = QStringLiteral("lab");
        LoadSettings(settings, path);
        settings.RealName = QStringLiteral("Somebody Else");
        settings.Beep = true;
        QString thrown;
        try {
            SaveSettings(settings, path);
        } catch (const RuntimeError &failure) {
            thrown = failure.text();
        }
        QCOMPARE(thrown, error);
        // The old file, byte for byte, and nothing half-written beside it.
        QCOMPARE(readFile(path), contents);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), before);
    }
};

QTEST_GUILESS_MAIN(TestFaultSettings)
#include "tst_fault_settings.moc"
