#include "RegistryFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

const QString Key = QStringLiteral("HKEY_CURRENT_USER\\Software\\Tellwick");

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestRegistryFile : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_temporary = std::make_unique<QTemporaryDir>();
        QVERIFY(m_temporary->isValid());
        m_dir.setPath(m_temporary->path());
    }
    void defaultPath_data();
    void defaultPath();
    void readsValueKinds_data();
    void readsValueKinds();
    void keepsWhatItDoesNotOwn();
    void lineBreaksSurviveInHexForm();
    void unparsableFileIsKeptAside_data();
    void unparsableFileIsKeptAside();
    void unreadableFileIsNeverReplaced();
    void fullDiskLeavesOldFileAndNoTemporary();
    void folderThatIsAFileFailsTheSave();

private:
    QString filePath() const { return m_dir.filePath(QStringLiteral("registry.reg")); }
    std::unique_ptr<QTemporaryDir> m_temporary;
    QDir m_dir;
};

void TestRegistryFile::defaultPath_data()
{
    QTest::addColumn<QByteArray>("configHome");
    QTest::addColumn<QString>("expected");
    QTest::addRow("XDG_CONFIG_HOME set") << QByteArray("/x/cfg") << "/x/cfg/Tellwick/registry.reg";
    QTest::addRow("XDG_CONFIG_HOME empty") << QByteArray() << "/h/.config/Tellwick/registry.reg";
    QTest::addRow("XDG_CONFIG_HOME relative, ignored")
        << QByteArray("cfg") << "/h/.config/Tellwick/registry.reg";
}

void TestRegistryFile::defaultPath()
{
    QFETCH(QByteArray, configHome);
    QFETCH(QString, expected);
    const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", "/h");
    qputenv("XDG_CONFIG_HOME", configHome);
    const QString path = RegistryFile::defaultPath();
    qputenv("HOME", oldHome);
    qputenv("XDG_CONFIG_HOME", oldConfig);
    QCOMPARE(path, expected);
}

void TestRegistryFile::readsValueKinds_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<int>("type"); // -1: absent
    QTest::addColumn<QString>("text");
    const QByteArray v4 = "REGEDIT4", v5 = "Windows Registry Editor Version 5.00";
    const int string = int(RegistryFile::ValueType::String);
    const int expand = int(RegistryFile::ValueType::ExpandString);
    const int other = int(RegistryFile::ValueType::Other);
    QTest::addRow("string") << v4 << QByteArray("\"v\"=\"Lab User\"") << string << "Lab User";
    QTest::addRow("escaped quote and backslash")
        << v4 << QByteArray("\"v\"=\"a\\\"b\\\\c\"") << string << "a\"b\\c";
    QTest::addRow("lone backslash kept")
        << v4 << QByteArray("\"v\"=\"C:\\plan.txt\"") << string << "C:\\plan.txt";
    QTest::addRow("empty string") << v4 << QByteArray("\"v\"=\"\"") << string << "";
    QTest::addRow("utf-8 text") << v4 << QByteArray("\"v\"=\"J\xc3\xbcrgen\"") << string
                                << QString::fromUtf8("J\xc3\xbcrgen");
    QTest::addRow("name case ignored") << v4 << QByteArray("\"V\"=\"x\"") << string << "x";
    QTest::addRow("last duplicate wins")
        << v4 << QByteArray("\"v\"=\"a\"\n\"v\"=\"b\"") << string << "b";
    QTest::addRow("hex(2) utf-16 in REGEDIT4")
        << v4 << QByteArray("\"v\"=hex(2):25,00,48,00,00,00") << expand << "%H";
    QTest::addRow("hex(2) continued line")
        << v4 << QByteArray("\"v\"=hex(2):25,00,\\\n  48,00,00,00") << expand << "%H";
    QTest::addRow("hex(2) 8-bit in REGEDIT4")
        << v4 << QByteArray("\"v\"=hex(2):41,42,00") << expand << "AB";
    QTest::addRow("hex(2) version 5") << v5 << QByteArray("\"v\"=hex(2):41,00") << expand << "A";
    QTest::addRow("hex(1) is a string") << v4 << QByteArray("\"v\"=hex(1):41,00") << string << "A";
    QTest::addRow("dword") << v4 << QByteArray("\"v\"=dword:0000000a") << other << "";
    QTest::addRow("binary") << v4 << QByteArray("\"v\"=hex:01,02") << other << "";
    QTest::addRow("multi-string") << v4 << QByteArray("\"v\"=hex(7):41,00,00,00") << other << "";
    QTest::addRow("deleted value") << v4 << QByteArray("\"v\"=-") << -1 << "";
    QTest::addRow("unnamed value is not v") << v4 << QByteArray("@=\"x\"") << -1 << "";
}

void TestRegistryFile::readsValueKinds()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, lines);
    QFETCH(int, type);
    QFETCH(QString, text);
    writeFile(filePath(),
              header + "\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tellwick]\r\n" + lines + "\r\n");
    RegistryFile registry(filePath());
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Loaded);
    const auto value = registry.value(Key, QStringLiteral("v"));
    QCOMPARE(value.has_value(), type != -1);
    if (value) {
        QCOMPARE(int(value->type), type);
        QCOMPARE(value->text, text);
    }
}

void TestRegistryFile::keepsWhatItDoesNotOwn()
{
    const QByteArray before = "REGEDIT4\n\n; kept by hand\n"
                              "[HKEY_CURRENT_USER\\Software\\Other]\n"
                              "\"Size\"=dword:0000000a\n"
                              "\"Blob\"=hex:01,02,03,\\\n  04,05\n\n"
                              "[HKEY_CURRENT_USER\\Software\\Tellwick]\n"
                              "\"Path\"=hex(2):25,00,48,00,00,00\n"
                              "\"Enable\"=\"0\"\n"
                              "@=\"default\"\n\n"
                              "[HKEY_CURRENT_USER\\Software\\Tellwick\\Sub]\n"
                              "\"x\"=\"y\"\n";
    writeFile(filePath(), before);
    RegistryFile registry(filePath());
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Loaded);
    QVERIFY(registry.setString(Key, QStringLiteral("ENABLE"), QStringLiteral("1")));
    QVERIFY(registry.setString(Key, QStringLiteral("New"), QStringLiteral("a\"b\\")));
    QVERIFY(registry.setString(QStringLiteral("HKEY_CURRENT_USER\\Software\\Fresh"),
                               QStringLiteral("v"), QStringLiteral("w")));
    QCOMPARE(registry.save(), RegistryFile::SaveStatus::Saved);
    QCOMPARE(contents(filePath()), "REGEDIT4\n\n; kept by hand\n"
                                   "[HKEY_CURRENT_USER\\Software\\Other]\n"
                                   "\"Size\"=dword:0000000a\n"
                                   "\"Blob\"=hex:01,02,03,\\\n  04,05\n\n"
                                   "[HKEY_CURRENT_USER\\Software\\Tellwick]\n"
                                   "\"Path\"=hex(2):25,00,48,00,00,00\n"
                                   "\"Enable\"=\"1\"\n"
                                   "@=\"default\"\n"
                                   "\"New\"=\"a\\\"b\\\\\"\n\n"
                                   "[HKEY_CURRENT_USER\\Software\\Tellwick\\Sub]\n"
                                   "\"x\"=\"y\"\n\n"
                                   "[HKEY_CURRENT_USER\\Software\\Fresh]\n"
                                   "\"v\"=\"w\"\n\n");
}

void TestRegistryFile::lineBreaksSurviveInHexForm()
{
    const QString path = m_dir.filePath(QStringLiteral("new/Tellwick/registry.reg"));
    const QString text = QStringLiteral("first line\r\nsecond line, long enough to wrap the hex");
    RegistryFile registry(path);
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Missing);
    QVERIFY(registry.setString(Key, QStringLiteral("Plan"), text));
    QVERIFY(!registry.setString(Key, QStringLiteral("bad\nname"), text));
    QCOMPARE(registry.save(), RegistryFile::SaveStatus::Saved);

    RegistryFile reread(path);
    QCOMPARE(reread.load(), RegistryFile::LoadStatus::Loaded);
    QVERIFY(contents(path).contains("\"Plan\"=hex(1):66,69,"));
    QCOMPARE(reread.value(Key, QStringLiteral("Plan"))->text, text);
    QCOMPARE(reread.value(Key, QStringLiteral("Plan"))->type, RegistryFile::ValueType::String);
}

void TestRegistryFile::unparsableFileIsKeptAside_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray head = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tellwick]\n";
    QTest::addRow("garbage") << QByteArray("\x7f"
                                           "ELF\x02\x01\x01 not a registry\n");
    QTest::addRow("truncated mid-line") << head + "\"Enable\"=\"0";
    QTest::addRow("truncated after a continued line") << head + "\"Blob\"=hex:01,02,\\\n";
    QTest::addRow("truncated key name") << QByteArray("REGEDIT4\n\n[HKEY_CURRENT_USER\\Sof");
    QTest::addRow("not UTF-8") << head + "\"v\"=\"Lab \xe9t\xe9\"\n";
    QTest::addRow("cut inside a UTF-8 character") << head + "; J\xc3";
    QTest::addRow("value outside any key") << QByteArray("REGEDIT4\n\"Enable\"=\"0\"\n");
    QTest::addRow("bad hex byte") << head + "\"v\"=hex(2):4g,00\n";
    QTest::addRow("unknown value kind") << head + "\"v\"=1\n";
}

void TestRegistryFile::unparsableFileIsKeptAside()
{
    QFETCH(QByteArray, bytes);
    writeFile(filePath(), bytes);
    RegistryFile registry(filePath());
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Unparsable);
    QVERIFY(!registry.errorString().isEmpty());
    QVERIFY(!registry.value(Key, QStringLiteral("Enable")));

    QVERIFY(registry.setString(Key, QStringLiteral("Enable"), QStringLiteral("1")));
    QCOMPARE(registry.save(), RegistryFile::SaveStatus::Saved);
    QCOMPARE(registry.save(), RegistryFile::SaveStatus::Saved); // keeps the copy only once
    const QStringList copies = m_dir.entryList({"registry.reg.bad-*"});
    QCOMPARE(copies.size(), 1);
    QCOMPARE(contents(m_dir.filePath(copies.first())), bytes);

    RegistryFile reread(filePath());
    QCOMPARE(reread.load(), RegistryFile::LoadStatus::Loaded);
    QCOMPARE(reread.value(Key, QStringLiteral("Enable"))->text, "1");
}

void TestRegistryFile::unreadableFileIsNeverReplaced()
{
    QVERIFY(m_dir.mkpath(QStringLiteral("registry.reg/inside")));
    RegistryFile registry(filePath());
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Unreadable);
    QVERIFY(registry.setString(Key, QStringLiteral("Enable"), QStringLiteral("1")));
    QCOMPARE(registry.save(), RegistryFile::SaveStatus::BackupFailed);
    QVERIFY(!registry.errorString().isEmpty());
    QVERIFY(QFileInfo(m_dir.filePath(QStringLiteral("registry.reg/inside"))).isDir());
}

void TestRegistryFile::fullDiskLeavesOldFileAndNoTemporary()
{
    const QByteArray before = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tellwick]\n"
                              "\"Enable\"=\"0\"\n";
    writeFile(filePath(), before);
    RegistryFile registry(filePath());
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Loaded);
    QVERIFY(registry.setString(Key, QStringLiteral("Plan"), QString(8192, u'x')));

    // A file size limit makes writes fail past 1 KiB, as a full disk would.
    rlimit old{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const RegistryFile::SaveStatus status = registry.save();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(status, RegistryFile::SaveStatus::WriteFailed);
    QVERIFY(!registry.errorString().isEmpty());
    QCOMPARE(contents(filePath()), before);
    QCOMPARE(m_dir.entryList(QDir::Files | QDir::Hidden), QStringList{"registry.reg"});
}

void TestRegistryFile::folderThatIsAFileFailsTheSave()
{
    writeFile(m_dir.filePath(QStringLiteral("Tellwick")), "a file, not a folder");
    RegistryFile registry(m_dir.filePath(QStringLiteral("Tellwick/registry.reg")));
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Missing);
    QVERIFY(registry.setString(Key, QStringLiteral("Enable"), QStringLiteral("1")));
    QCOMPARE(registry.save(), RegistryFile::SaveStatus::FolderFailed);
    QCOMPARE(contents(m_dir.filePath(QStringLiteral("Tellwick"))), "a file, not a folder");
}

QTEST_GUILESS_MAIN(TestRegistryFile)
#include "tst_registryfile.moc"
