#include "RuntimeError.h"
#include "Settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <linux/capability.h>
#include <memory>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QByteArray Head = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tellwick]\n";

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

TSettings forLogin(const QString &loginName)
{
    TSettings settings;
    settings.Login = DeriveLogin(loginName);
    return settings;
}

// Root writes into read-only folders; this drops that power from the calling thread while it
// lives, so that a read-only folder means the same for every user.
class WithoutFileOverride
{
public:
    WithoutFileOverride()
    {
        if (::syscall(SYS_capget, &m_header, m_saved) == -1)
            return;
        __user_cap_data_struct reduced[2];
        std::memcpy(reduced, m_saved, sizeof reduced);
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_dropped = ::syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutFileOverride()
    {
        if (m_dropped)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    WithoutFileOverride(const WithoutFileOverride &) = delete;
    WithoutFileOverride &operator=(const WithoutFileOverride &) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_dropped = false;
};

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_temporary = std::make_unique<QTemporaryDir>();
        QVERIFY(m_temporary->isValid());
        m_path = m_temporary->filePath(QStringLiteral("Tellwick/registry.reg"));
    }
    void deriveLogin_data();
    void deriveLogin();
    void defaultsWithoutFileThenSaveWritesAllValues();
    void savedSettingsReadBack();
    void switchTexts_data();
    void switchTexts();
    void storedTextsAreTakenAsTheyAre();
    void nonStringValueStopsTheLoad_data();
    void nonStringValueStopsTheLoad();
    void loginsSharingLettersShareDetails();
    void otherKeysAndValuesSurviveASave();
    void failedSaveKeepsTheOldFile_data();
    void failedSaveKeepsTheOldFile();
    void unparsableFileGivesDefaultsAndIsKept();

private:
    std::unique_ptr<QTemporaryDir> m_temporary;
    QString m_path;
};

void TestSettings::deriveLogin_data()
{
    QTest::addColumn<QString>("loginName");
    QTest::addColumn<QString>("login");
    QTest::addRow("two capitalised words") << "Lab User"
                                           << "lab_user";
    QTest::addRow("trailing blank stays") << "Lab User "
                                          << "lab_user ";
    QTest::addRow("only the last of several blanks stays") << "A B  "
                                                           << "a_b_ ";
    QTest::addRow("a lone blank stays") << " "
                                        << " ";
    QTest::addRow("only A to Z are lowered") << "\u00c4B C"
                                             << "\u00c4b_c";
    QTest::addRow("other characters kept") << "X-1.Y\t"
                                           << "x-1.y\t";
    QTest::addRow("empty stays empty") << ""
                                       << "";
}

void TestSettings::deriveLogin()
{
    QFETCH(QString, loginName);
    QFETCH(QString, login);
    QCOMPARE(DeriveLogin(loginName), login);
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
    QCOMPARE(settings.RealName, "Unknown");
    QCOMPARE(settings.HPhone, "-");
    QCOMPARE(settings.OPhone, "-");
    QCOMPARE(settings.Plan, "");
    QCOMPARE(settings.Project, "");
    QVERIFY(!QFile::exists(m_path)); // loading writes nothing

    SaveSettings(settings, m_path);
    QCOMPARE(contents(m_path), Head +
                                   "\"Enable\"=\"1\"\n\"EnableList\"=\"1\"\n\"EnableInfo\"=\"1\"\n"
                                   "\"EnableUserInfo\"=\"1\"\n\"EnableDayTime\"=\"1\"\n"
                                   "\"Beep\"=\"1\"\n\"lab_userRealName\"=\"Unknown\"\n"
                                   "\"lab_userHPhone\"=\"-\"\n\"lab_userOPhone\"=\"-\"\n"
                                   "\"lab_userPlan\"=\"\"\n\"lab_userProject\"=\"\"\n\n");
}

void TestSettings::savedSettingsReadBack()
{
    TSettings saved = forLogin(QStringLiteral("lab"));
    saved.RealName = QStringLiteral("J\u00fcrgen \"JJ\" Lab");
    saved.HPhone = QStringLiteral("+49 30 1234");
    saved.Plan = QStringLiteral("C:\\plans\\.plan");
    saved.Project = QStringLiteral("/home/lab/.project");
    saved.EnableList = saved.EnableDayTime = false;
    SaveSettings(saved, m_path);
    QVERIFY(contents(m_path).contains("\"EnableList\"=\"0\"\n"));

    TSettings loaded = forLogin(QStringLiteral("lab"));
    LoadSettings(loaded, m_path);
    QCOMPARE(loaded.RealName, saved.RealName);
    QCOMPARE(loaded.HPhone, saved.HPhone);
    QCOMPARE(loaded.OPhone, ""); // saved empty, so not the default
    QCOMPARE(loaded.Plan, saved.Plan);
    QCOMPARE(loaded.Project, saved.Project);
    QCOMPARE(loaded.EnableList, false);
    QCOMPARE(loaded.EnableDayTime, false);
    QCOMPARE(loaded.EnableInfo, true);
}

void TestSettings::switchTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("on");
    QTest::addRow("1") << "1" << true;
    QTest::addRow("0") << "0" << false;
    QTest::addRow("00") << "00" << false;
    QTest::addRow("2") << "2" << true;
    QTest::addRow("0x0") << "0x0" << false;
    QTest::addRow("0X00000000") << "0X00000000" << false;
    QTest::addRow("0x10") << "0x10" << true;
    QTest::addRow("letters: default") << "off" << true;
    QTest::addRow("empty: default") << "" << true;
    QTest::addRow("leading blanks allowed") << "  0" << false;
    QTest::addRow("trailing blank: default") << "0 " << true;
    QTest::addRow("plus sign") << "+0" << false;
    QTest::addRow("minus sign") << "-0" << false;
    QTest::addRow("dollar hex") << "$0" << false;
    QTest::addRow("dollar alone: default") << "$" << true;
    QTest::addRow("0x alone: default") << "0x" << true;
    QTest::addRow("0x then blank: default") << "0x 0" << true;
    QTest::addRow("0x then sign: default") << "0x-0" << true;
    QTest::addRow("hex digits after zero: default") << "0a" << true;
    QTest::addRow("hex beyond 32 bits: default") << "0x100000000" << true;
    QTest::addRow("hex zero with many leading zeros") << "0x000000000000" << false;
    QTest::addRow("decimal beyond 32 bits: default") << "4294967296" << true;
    QTest::addRow("non-ASCII digit: default") << "\u0660" << true;
}

void TestSettings::switchTexts()
{
    QFETCH(QString, text);
    QFETCH(bool, on);
    writeFile(m_path, Head + "\"Beep\"=\"" + text.toUtf8() + "\"\n");
    TSettings settings;
    settings.Beep = !on;
    LoadSettings(settings, m_path);
    QCOMPARE(settings.Beep, on);
}

void TestSettings::storedTextsAreTakenAsTheyAre()
{
    writeFile(m_path, Head + "\"labRealName\"=\"\"\n"
                             "\"labHPhone\"=hex(1):35,00,35,00,00,00\n"
                             "\"labPlan\"=hex(2):7e,00,2f,00,70,00,00,00\n"
                             "\"Enable\"=hex(2):30,00,00,00\n");
    TSettings settings = forLogin(QStringLiteral("lab"));
    LoadSettings(settings, m_path);
    QCOMPARE(settings.RealName, ""); // empty, not the default
    QCOMPARE(settings.HPhone, "55");
    QCOMPARE(settings.Plan, "~/p");
    QCOMPARE(settings.Enable, false);
}

void TestSettings::nonStringValueStopsTheLoad_data()
{
    QTest::addColumn<QByteArray>("values");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("enable");
    QTest::addColumn<bool>("enableList");
    QTest::addRow("dword switch, read first")
        << QByteArray("\"Enable\"=dword:00000001\n\"EnableList\"=\"1\"\n")
        << "Invalid data type for 'Enable'" << false << false;
    QTest::addRow("binary detail, after the switches")
        << QByteArray("\"Enable\"=\"1\"\n\"labRealName\"=hex:00\n\"labHPhone\"=\"5\"\n")
        << "Invalid data type for 'labRealName'" << true << true;
}

void TestSettings::nonStringValueStopsTheLoad()
{
    QFETCH(QByteArray, values);
    QFETCH(QString, error);
    QFETCH(bool, enable);
    QFETCH(bool, enableList);
    writeFile(m_path, Head + values);
    TSettings settings = forLogin(QStringLiteral("lab"));
    settings.Enable = settings.EnableList = false;
    settings.RealName = settings.HPhone = QStringLiteral("before");
    try {
        LoadSettings(settings, m_path);
        QFAIL("the load went through");
    } catch (const RuntimeError &failure) {
        QCOMPARE(failure.text(), error);
    }
    QCOMPARE(settings.Enable, enable);
    QCOMPARE(settings.EnableList, enableList);
    QCOMPARE(settings.RealName, "before");
    QCOMPARE(settings.HPhone, "before");
}

void TestSettings::loginsSharingLettersShareDetails()
{
    TSettings first = forLogin(QStringLiteral("Lab User"));
    first.RealName = QStringLiteral("Lab User");
    first.Beep = false;
    SaveSettings(first, m_path);

    TSettings sameLetters = forLogin(QStringLiteral("LAB USER"));
    LoadSettings(sameLetters, m_path);
    QCOMPARE(sameLetters.RealName, "Lab User");

    TSettings other = forLogin(QStringLiteral("Guest"));
    other.RealName = QStringLiteral("Guest");
    LoadSettings(other, m_path);
    QCOMPARE(other.RealName, "Unknown");
    QCOMPARE(other.Beep, false); // the switches are shared
}

void TestSettings::otherKeysAndValuesSurviveASave()
{
    const QByteArray other = "[HKEY_CURRENT_USER\\Software\\Other]\n\"Size\"=dword:0000000a\n";
    writeFile(m_path,
              "REGEDIT4\n\n" + other + "\n[HKEY_CURRENT_USER\\Software\\Tellwick]\n" +
                  "; the tray icon's colour\n\"Colour\"=\"red\"\n\"guestRealName\"=\"G\"\n");
    SaveSettings(forLogin(QStringLiteral("lab")), m_path);
    const QByteArray after = contents(m_path);
    QVERIFY(after.startsWith("REGEDIT4\n\n" + other));
    QVERIFY(after.contains("; the tray icon's colour\n\"Colour\"=\"red\"\n\"guestRealName\"=\"G\"\n"
                           "\"Enable\"=\"1\"\n"));
    QVERIFY(after.contains("\"labProject\"=\"\"\n"));
}

enum class Obstacle { FolderIsAFile, ReadOnlyFolder, FileIsAFolder };

void TestSettings::failedSaveKeepsTheOldFile_data()
{
    QTest::addColumn<Obstacle>("obstacle");
    QTest::addColumn<QString>("error");
    QTest::addRow("folder is a file") << Obstacle::FolderIsAFile << "Failed to create key Tellwick";
    QTest::addRow("read-only folder")
        << Obstacle::ReadOnlyFolder << "Failed to set data for 'Enable'";
    QTest::addRow("file is a folder") << Obstacle::FileIsAFolder << "Failed to create key Tellwick";
}

void TestSettings::failedSaveKeepsTheOldFile()
{
    QFETCH(Obstacle, obstacle);
    QFETCH(QString, error);
    const QString folder = QFileInfo(m_path).absolutePath();
    const QByteArray old = Head + "\"Enable\"=\"0\"\n";
    QString kept = m_path;
    switch (obstacle) {
    case Obstacle::FolderIsAFile:
        kept = folder;
        break;
    case Obstacle::ReadOnlyFolder:
        break;
    case Obstacle::FileIsAFolder:
        kept = m_path + QStringLiteral("/inside");
        break;
    }
    writeFile(kept, old);

    std::unique_ptr<WithoutFileOverride> unprivileged;
    if (obstacle == Obstacle::ReadOnlyFolder) {
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        unprivileged = std::make_unique<WithoutFileOverride>();
        QFile probe(folder + QStringLiteral("/probe"));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.remove();
            unprivileged.reset();
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QSKIP("this process writes into read-only folders");
        }
    }
    QString failure;
    try {
        SaveSettings(forLogin(QStringLiteral("lab")), m_path);
    } catch (const RuntimeError &e) {
        failure = e.text();
    }
    unprivileged.reset();
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QCOMPARE(failure, error);
    QCOMPARE(contents(kept), old);
    // Nothing else appeared: no temporary file, no copy.
    const QDir checked(obstacle == Obstacle::FolderIsAFile ? m_temporary->path() : folder);
    QCOMPARE(checked.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 1);
}

void TestSettings::unparsableFileGivesDefaultsAndIsKept()
{
    const QByteArray broken = Head + "\"Enable\"=\"0\"\n\"labRealName\"=\"Lab";
    writeFile(m_path, broken);
    TSettings settings = forLogin(QStringLiteral("lab"));
    settings.Enable = false;
    LoadSettings(settings, m_path);
    QCOMPARE(settings.Enable, true);
    QCOMPARE(settings.RealName, "Unknown");
    QCOMPARE(contents(m_path), broken); // loading changes nothing

    settings.RealName = QStringLiteral("Lab User");
    SaveSettings(settings, m_path);
    const QDir folder = QFileInfo(m_path).absoluteDir();
    const QStringList copies = folder.entryList({"registry.reg.bad-*"});
    QCOMPARE(copies.size(), 1);
    QCOMPARE(contents(folder.filePath(copies.first())), broken);
    TSettings reread = forLogin(QStringLiteral("lab"));
    LoadSettings(reread, m_path);
    QCOMPARE(reread.RealName, "Lab User");
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
