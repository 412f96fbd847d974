#include "RegistryFile.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Key = QStringLiteral("HKEY_CURRENT_USER\\Software\\Tellwick");
const QByteArray Head = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tellwick]\n";

} // namespace

class TestRegistryFile : public QObject
{
    Q_OBJECT

private slots:
    void defaultPath_data();
    void defaultPath();
    void readsValueKinds_data();
    void readsValueKinds();
    void keepsWhatItDoesNotOwn();
    void lineBreaksSurviveInHexForm();
    void unparsableFileIsKeptAside_data();
    void unparsableFileIsKeptAside();
};

void TestRegistryFile::defaultPath_data()
{
    QTest::addColumn<QByteArray>("configHome");
    QTest::addColumn<QString>("expected");
    QTest::addRow("XDG_CONFIG_HOME set") << QByteArray("/x/cfg") << "/x/cfg/Tellwick/registry.reg";
    QTest::addRow("XDG_CONFIG_HOME empty") << QByteArray() << "/h/.config/Tellwick/registry.reg";
    QTest::addRow("XDG_CONFIG_HOME relative")
        << QByteArray("c") << "/h/.config/Tellwick/registry.reg";
}

void TestRegistryFile::defaultPath()
{
    QFETCH(QByteArray, configHome);
    const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", "/h");
    qputenv("XDG_CONFIG_HOME", configHome);
    const QString path = RegistryFile::defaultPath();
    qputenv("HOME", oldHome);
    qputenv("XDG_CONFIG_HOME", oldConfig);
    QTEST(path, "expected");
}

void TestRegistryFile::readsValueKinds_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("type"); // -1: absent
    QTest::addColumn<QString>("text");
    const int string = int(RegistryFile::ValueType::String);
    const int expand = int(RegistryFile::ValueType::ExpandString);
    const int other = int(RegistryFile::ValueType::Other);
    const QByteArray v5 = "Windows Registry Editor Version 5.00\r\n\r\n"
                          "[HKEY_CURRENT_USER\\Software\\Tellwick]\r\n";
    QTest::addRow("escapes, name case ignored")
        << Head + R"("V"="a\"b\\c\d")" << string << R"(a"b\c\d)";
    QTest::addRow("last duplicate wins") << Head + "\"v\"=\"a\"\n\"v\"=\"b\"" << string << "b";
    QTest::addRow("hex(2) utf-16, continued")
        << Head + "\"v\"=hex(2):25,00,\\\n  48,00,00,00" << expand << "%H";
    QTest::addRow("hex(2) 8-bit") << Head + "\"v\"=hex(2):41,42,00" << expand << "AB";
    QTest::addRow("hex(2) version 5") << v5 + "\"v\"=hex(2):41,00\r\n" << expand << "A";
    QTest::addRow("hex(1) is a string") << Head + "\"v\"=hex(1):41,00" << string << "A";
    QTest::addRow("dword") << Head + "\"v\"=dword:0000000a" << other << "";
    QTest::addRow("multi-string") << Head + "\"v\"=hex(7):41,00,00,00" << other << "";
    QTest::addRow("deleted value") << Head + "\"v\"=-" << -1 << "";
    // 8-bit text: what is not UTF-8 is Latin-1, line by line.
    QTest::addRow("Latin-1 text") << Head + "\"v\"=\"Caf\xe9\"" << string << "Caf\u00e9";
    QTest::addRow("UTF-8 beside a Latin-1 line")
        << Head + "; Jos\xe9\n\"v\"=\"Caf\xc3\xa9\"" << string << "Caf\u00e9";
    QTest::addRow("cut inside a UTF-8 character")
        << Head + "\"v\"=\"J\xc3\"" << string << "J\u00c3";
    QTest::addRow("hex(2) 8-bit, Latin-1")
        << Head + "\"v\"=hex(2):43,61,66,e9,00" << expand << "Caf\u00e9";
}

void TestRegistryFile::readsValueKinds()
{
    QFETCH(QByteArray, file);
    QFETCH(int, type);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("registry.reg"), file));
    RegistryFile registry(dir.filePath("registry.reg"));
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Loaded);
    const auto value = registry.value(Key, QStringLiteral("v"));
    QCOMPARE(value ? int(value->type) : -1, type);
    if (value)
        QTEST(value->text, "text");
}

void TestRegistryFile::keepsWhatItDoesNotOwn()
{
    const QByteArray other = "REGEDIT4\n\n; kept by hand\n[HKEY_CURRENT_USER\\Software\\Other]\n"
                             "\"Size\"=dword:0000000a\n\"Blob\"=hex:01,02,03,\\\n  04,05\n"
                             "\"Name\"=\"Jos%\"\n\n";
    const QByteArray sub = "\n[HKEY_CURRENT_USER\\Software\\Tellwick\\Sub]\n\"x\"=\"y\"\n";
    QTemporaryDir dir;
    const QString path = dir.filePath("registry.reg");
    // Latin-1 text is written back as UTF-8.
    QVERIFY(writeFile(path, QByteArray(other).replace('%', "\xe9") +
                                "[HKEY_CURRENT_USER\\Software\\Tellwick]\n"
                                "\"Path\"=hex(2):25,00,00,00\n\"Enable\"=\"0\"\n@=\"d\"\n" +
                                sub));
    RegistryFile registry(path);
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Loaded);
    QVERIFY(registry.setString(Key, QStringLiteral("ENABLE"), QStringLiteral("1")));
    QVERIFY(registry.setString(Key, QStringLiteral("New"), QStringLiteral("a\"b\\")));
    QVERIFY(registry.setString(Key + QStringLiteral("\\Fresh"), QStringLiteral("v"), {}));
    QCOMPARE(registry.save(), RegistryFile::SaveStatus::Saved);
    QCOMPARE(readFile(path), QByteArray(other).replace('%', "\xc3\xa9") +
                                 "[HKEY_CURRENT_USER\\Software\\Tellwick]\n"
                                 "\"Path\"=hex(2):25,00,00,00\n\"Enable\"=\"1\"\n@=\"d\"\n"
                                 "\"New\"=\"a\\\"b\\\\\"\n" +
                                 sub +
                                 "\n[HKEY_CURRENT_USER\\Software\\Tellwick\\Fresh]\n"
                                 "\"v\"=\"\"\n\n");
}

void TestRegistryFile::lineBreaksSurviveInHexForm()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("new/Tellwick/registry.reg");
    const QString text = QStringLiteral("first line\r\nsecond line, long enough to wrap the hex");
    RegistryFile registry(path);
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Missing);
    QVERIFY(registry.setString(Key, QStringLiteral("Plan"), text));
    QVERIFY(!registry.setString(Key, QStringLiteral("bad\nname"), text));
    QCOMPARE(registry.save(), RegistryFile::SaveStatus::Saved);
    QVERIFY(readFile(path).contains("\"Plan\"=hex(1):66,69,"));
    RegistryFile reread(path);
    QCOMPARE(reread.load(), RegistryFile::LoadStatus::Loaded);
    QCOMPARE(reread.value(Key, QStringLiteral("Plan"))->text, text);
}

void TestRegistryFile::unparsableFileIsKeptAside_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addRow("garbage") << QByteArray("\x7f"
                                           "ELF\x02\x01\x01 not a registry\n");
    QTest::addRow("truncated mid-line") << Head + "\"Enable\"=\"0";
    QTest::addRow("truncated after a continued line") << Head + "\"Blob\"=hex:01,02,\\\n";
    QTest::addRow("UTF-16 export") << QByteArray("\xff\xfeW\0i\0n\0d\0o\0w\0s\0", 16);
    QTest::addRow("larger than 16 MB") << Head + "; " + QByteArray(16 << 20, 'x') + "\n";
    QTest::addRow("value outside any key") << QByteArray("REGEDIT4\n\"Enable\"=\"0\"\n");
}

void TestRegistryFile::unparsableFileIsKeptAside()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath("registry.reg");
    QVERIFY(writeFile(path, bytes));
    RegistryFile registry(path);
    QCOMPARE(registry.load(), RegistryFile::LoadStatus::Unparsable);
    QVERIFY(!registry.errorString().isEmpty());
    QVERIFY(!registry.value(Key, QStringLiteral("Enable")));

    QVERIFY(registry.setString(Key, QStringLiteral("Enable"), QStringLiteral("1")));
    QCOMPARE(registry.save(), RegistryFile::SaveStatus::Saved);
    QCOMPARE(registry.save(), RegistryFile::SaveStatus::Saved); // keeps the copy only once
    const QStringList copies = QDir(dir.path()).entryList({"registry.reg.bad-*"});
    QCOMPARE(copies.size(), 1);
    QCOMPARE(readFile(dir.filePath(copies.first())), bytes);
    RegistryFile reread(path);
    QCOMPARE(reread.load(), RegistryFile::LoadStatus::Loaded);
    QCOMPARE(reread.value(Key, QStringLiteral("Enable"))->text, "1");
}

QTEST_GUILESS_MAIN(TestRegistryFile)
#include "tst_registryfile.moc"
