#include "RuntimeError.h"
#include "Settings.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

namespace {

const QByteArray Head = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tellwick]\n";

TSettings forLogin(const QString &loginName)
{
    TSettings settings;
    settings.Login = DeriveLogin(loginName);
    return settings;
}

// The text of the RuntimeError that the call throws, or nothing.
template <typename Call> QString failureOf(Call call)
{
    try {
        call();
    } catch (const RuntimeError &failure) {
        return failure.text();
    }
    return {};
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.emplace().isValid());
        m_path = m_dir->filePath(QStringLiteral("Tellwick/registry.reg"));
    }
    void deriveLogin_data();
    void deriveLogin();
    void defaultsWithoutFileThenSaveWritesAllValues();
    void switchTexts_data();
    void switchTexts();
    void storedTextsAreTakenAsTheyAre();
    void nonStringValueStopsTheLoad_data();
    void nonStringValueStopsTheLoad();
    void loginsSharingLettersShareDetails();
    void failedSaveKeepsTheOldFile_data();
    void failedSaveKeepsTheOldFile();
    void unusableFileStartsWithFingerOff_data();
    void unusableFileStartsWithFingerOff();

private:
    std::optional<QTemporaryDir> m_dir;
    QString m_path;
};

void TestSettings::deriveLogin_data()
{
    QTest::addColumn<QString>("loginName");
    QTest::addColumn<QString>("login");
    QTest::addRow("two capitalised words") << QString("Lab User") << "lab_user";
    QTest::addRow("trailing blank stays") << QString("Lab User ") << "lab_user ";
    QTest::addRow("only the last blank stays") << QString("A B  ") << "a_b_ ";
    QTest::addRow("only A to Z lowered") << QString("\u00c4B C\t") << "\u00c4b_c\t";
    QTest::addRow("empty stays empty") << QString() << "";
}

void TestSettings::deriveLogin()
{
    QFETCH(QString, loginName);
    QTEST(DeriveLogin(loginName), "login");
}

void TestSettings::defaultsWithoutFileThenSaveWritesAllValues()
{
    TSettings settings = forLogin(QStringLiteral("Lab User"));
    settings.Enable = settings.EnableList = settings.EnableInfo = settings.EnableUserInfo =
        settings.EnableDayTime = settings.Beep = false;
    settings.RealName = settings.HPhone = settings.OPhone = settings.Plan = settings.Project =
        QStringLiteral("stale");
    LoadSettings(settings, m_path);
    QVERIFY(settings.Enable && settings.EnableList && settings.EnableInfo &&
            settings.EnableUserInfo && settings.EnableDayTime && settings.Beep);
    const QStringList texts{settings.RealName, settings.HPhone, settings.OPhone, settings.Plan,
                            settings.Project};
    QCOMPARE(texts, (QStringList{"Unknown", "-", "-", "", ""}));
    QVERIFY(!QFile::exists(m_path)); // loading writes nothing

    settings.EnableDayTime = false;
    SaveSettings(settings, m_path);
    QCOMPARE(readFile(m_path), Head +
                                   "\"Enable\"=\"1\"\n\"EnableList\"=\"1\"\n\"EnableInfo\"=\"1\"\n"
                                   "\"EnableUserInfo\"=\"1\"\n\"EnableDayTime\"=\"0\"\n"
                                   "\"Beep\"=\"1\"\n\"lab_userRealName\"=\"Unknown\"\n"
                                   "\"lab_userHPhone\"=\"-\"\n\"lab_userOPhone\"=\"-\"\n"
                                   "\"lab_userPlan\"=\"\"\n\"lab_userProject\"=\"\"\n\n");
}

void TestSettings::switchTexts_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("on");
    QTest::addRow("00") << QByteArray("00") << false;
    QTest::addRow("2") << QByteArray("2") << true;
    QTest::addRow("0x0") << QByteArray("0x0") << false;
    QTest::addRow("0x10") << QByteArray("0x10") << true;
    QTest::addRow("letters: default") << QByteArray("off") << true;
    QTest::addRow("empty: default") << QByteArray() << true;
    QTest::addRow("leading blanks, sign") << QByteArray("  +0") << false;
    QTest::addRow("trailing blank: default") << QByteArray("0 ") << true;
    QTest::addRow("dollar hex") << QByteArray("$0") << false;
    QTest::addRow("0x alone: default") << QByteArray("0x") << true;
    QTest::addRow("0x then blank: default") << QByteArray("0x 0") << true;
    QTest::addRow("hex beyond 32 bits: default") << QByteArray("0x100000000") << true;
    QTest::addRow("non-ASCII digit: default") << QByteArray("\xd9\xa0") << true;
}

void TestSettings::switchTexts()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, on);
    QVERIFY(writeFile(m_path, Head + "\"Beep\"=\"" + text + "\"\n"));
    TSettings settings;
    settings.Beep = !on;
    LoadSettings(settings, m_path);
    QCOMPARE(settings.Beep, on);
}

void TestSettings::storedTextsAreTakenAsTheyAre()
{
    QVERIFY(writeFile(m_path, Head + "\"labRealName\"=\"\"\n\"labPlan\"=hex(2):7e,00,2f,00,00,00\n"
                                     "\"Enable\"=hex(2):30,00,00,00\n"));
    TSettings settings = forLogin(QStringLiteral("lab"));
    LoadSettings(settings, m_path);
    QCOMPARE(settings.RealName, ""); // empty, not the default
    QCOMPARE(settings.Plan, "~/");
    QCOMPARE(settings.Enable, false);
}

void TestSettings::nonStringValueStopsTheLoad_data()
{
    QTest::addColumn<QByteArray>("values");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("enable");
    QTest::addRow("dword switch, read first")
        << QByteArray("\"Enable\"=dword:00000001\n") << "Invalid data type for 'Enable'" << false;
    QTest::addRow("binary detail, after the switches")
        << QByteArray("\"Enable\"=\"1\"\n\"labRealName\"=hex:00\n\"labHPhone\"=\"5\"\n")
        << "Invalid data type for 'labRealName'" << true;
}

void TestSettings::nonStringValueStopsTheLoad()
{
    QFETCH(QByteArray, values);
    QFETCH(bool, enable);
    QVERIFY(writeFile(m_path, Head + values));
    TSettings settings = forLogin(QStringLiteral("lab"));
    settings.Enable = false;
    settings.RealName = settings.HPhone = QStringLiteral("before");
    QTEST(failureOf([&] { LoadSettings(settings, m_path); }), "error");
    QCOMPARE(settings.Enable, enable);
    QCOMPARE(settings.RealName, "before");
    QCOMPARE(settings.HPhone, "before");
}

void TestSettings::loginsSharingLettersShareDetails()
{
    TSettings first = forLogin(QStringLiteral("Lab User"));
    first.RealName = QStringLiteral("Lab User");
    first.Beep = false;
    SaveSettings(first, m_path);
    TSettings guest = forLogin(QStringLiteral("Guest"));
    LoadSettings(guest, m_path);
    QCOMPARE(guest.RealName, "Unknown");
    QCOMPARE(guest.Beep, false); // the switches are shared
    guest.RealName = QStringLiteral("Guest");
    SaveSettings(guest, m_path); // keeps the other user's details

    TSettings sameLetters = forLogin(QStringLiteral("LAB USER"));
    LoadSettings(sameLetters, m_path);
    QCOMPARE(sameLetters.RealName, "Lab User");
}

enum class Obstacle { FolderIsAFile, FileIsAFolder, FullDisk };

void TestSettings::failedSaveKeepsTheOldFile_data()
{
    QTest::addColumn<Obstacle>("obstacle");
    QTest::addColumn<QString>("error");
    QTest::addRow("folder is a file") << Obstacle::FolderIsAFile << "Failed to create key Tellwick";
    QTest::addRow("file is a folder, no copy possible")
        << Obstacle::FileIsAFolder << "Failed to create key Tellwick";
    QTest::addRow("full disk") << Obstacle::FullDisk << "Failed to set data for 'Enable'";
}

void TestSettings::failedSaveKeepsTheOldFile()
{
    QFETCH(Obstacle, obstacle);
    const QString folder = QFileInfo(m_path).absolutePath();
    const QString kept = obstacle == Obstacle::FolderIsAFile   ? folder
                         : obstacle == Obstacle::FileIsAFolder ? m_path + QStringLiteral("/in")
                                                               : m_path;
    const QByteArray old = Head + "\"Enable\"=\"0\"\n";
    QVERIFY(writeFile(kept, old));
    TSettings settings = forLogin(QStringLiteral("lab"));
    settings.Plan = QString(8192, u'p');

    // A file size limit makes writes fail past 1 KiB, as a full disk does.
    rlimit unlimited{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    rlimit limited = unlimited;
    if (obstacle == Obstacle::FullDisk)
        limited.rlim_cur = 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const QString failure = failureOf([&] { SaveSettings(settings, m_path); });
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, oldHandler);

    QTEST(failure, "error");
    QCOMPARE(readFile(kept), old);
    // Nothing else appeared: no temporary file, no copy.
    const QDir checked(obstacle == Obstacle::FolderIsAFile ? m_dir->path() : folder);
    QCOMPARE(checked.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 1);
}

void TestSettings::unusableFileStartsWithFingerOff_data()
{
    QTest::addColumn<QByteArray>("contents"); // null: the file is a folder
    QTest::addColumn<QString>("cause");
    QTest::addRow("cut off") << Head + "\"Enable\"=\"1\"\n\"labRealName\"=\"Lab"
                             << ", line 5: unterminated text";
    QTest::addRow("not a registry file")
        << QByteArray("Enable=1\n") << ", line 1: not a registry file";
    QTest::addRow("a folder") << QByteArray() << ": not a regular file";
}

void TestSettings::unusableFileStartsWithFingerOff()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, cause);
    QVERIFY(contents.isNull() ? QDir().mkpath(m_path) : writeFile(m_path, contents));
    TSettings settings = forLogin(QStringLiteral("lab"));
    settings.EnableList = settings.EnableUserInfo = false;
    settings.RealName = QStringLiteral("stale");

    QCOMPARE(LoadSettings(settings, m_path),
             "Cannot read the settings file " + m_path + cause +
                 ".\r\nFinger is off until you switch it on, and the file is left as it is.");
    QVERIFY(!settings.Enable);
    QVERIFY(settings.EnableList && settings.EnableUserInfo);
    QCOMPARE(settings.RealName, "Unknown");
    if (!contents.isNull())
        QCOMPARE(readFile(m_path), contents);

    // Mended while the program runs: the next save still keeps what the file holds, once.
    const QByteArray mended = Head + "\"labRealName\"=\"Mended\"\n";
    if (contents.isNull())
        QVERIFY(QDir(m_path).removeRecursively());
    QVERIFY(writeFile(m_path, mended));
    SaveSettings(settings, m_path);
    SaveSettings(settings, m_path);
    const QDir folder = QFileInfo(m_path).absoluteDir();
    const QStringList copies = folder.entryList({"*.bad-*"});
    QCOMPARE(copies.size(), 1);
    QCOMPARE(readFile(folder.filePath(copies.first())), mended);
    QVERIFY(readFile(m_path).contains("\"Enable\"=\"0\""));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
