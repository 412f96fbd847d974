#include "QueryHistory.h"
#include "TestFiles.h"

#include <QTemporaryDir>
#include <QTest>

class TestQueryHistory : public QObject
{
    Q_OBJECT

private slots:
    void remember_data();
    void remember();
    void storage();
    void unusableFileLeftAlone();
};

void TestQueryHistory::remember_data()
{
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<QStringList>("entries");
    QTest::addRow("most recent first") << QStringList{"a", "b", "c"} << QStringList{"c", "b", "a"};
    QTest::addRow("case duplicates merged, last spelling kept")
        << QStringList{"Alice", "bob", "ALICE"} << QStringList{"ALICE", "bob"};
    QTest::addRow("empty and control texts not kept")
        << QStringList{"a", "", "x\ty", "b\nc"} << QStringList{"a"};
    QStringList eleven;
    for (int i = 1; i <= 11; ++i)
        eleven.append(QString::number(i));
    QStringList lastTen;
    for (int i = 11; i >= 2; --i)
        lastTen.append(QString::number(i));
    QTest::addRow("ten kept") << eleven << lastTen;
}

void TestQueryHistory::remember()
{
    QFETCH(QStringList, given);
    QFETCH(QStringList, entries);
    QueryHistory history;
    for (const QString &text : given)
        history.remember(text);
    QCOMPARE(history.entries(), entries);
    QCOMPARE(QueryHistory::fromValue(history.toValue()).entries(), entries);
}

void TestQueryHistory::storage()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("registry.reg"));
    QVERIFY(writeFile(path, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tellwick]\n"
                            "\"Beep\"=\"0\"\n"
                            "\"FingerHostHistory\"=dword:00000001\n"));
    // A value of another type reads as an empty history and is replaced.
    QCOMPARE(LoadClientHistory(path).hosts.entries(), QStringList());

    ClientHistory history;
    history.names.remember(QStringLiteral("alice"));
    history.names.remember(QStringLiteral("bob \"b\""));
    history.hosts.remember(QStringLiteral("[::1]"));
    QVERIFY(SaveClientHistory(history, path));

    const ClientHistory loaded = LoadClientHistory(path);
    QCOMPARE(loaded.names.entries(), history.names.entries());
    QCOMPARE(loaded.hosts.entries(), history.hosts.entries());
    QVERIFY(readFile(path).contains("\"Beep\"=\"0\""));
}

void TestQueryHistory::unusableFileLeftAlone()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("registry.reg"));
    const QByteArray unparsable("not a registry file\n");
    QVERIFY(writeFile(path, unparsable));
    ClientHistory history;
    history.hosts.remember(QStringLiteral("example.org"));
    QVERIFY(!SaveClientHistory(history, path));
    QCOMPARE(readFile(path), unparsable);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("registry.reg")});
}

QTEST_GUILESS_MAIN(TestQueryHistory)
#include "tst_queryhistory.moc"
