#include "Sockets.h"

#include <QtTest>

class TestSocketErrorText : public QObject
{
    Q_OBJECT

private slots:
    void text_data();
    void text();
    void tableHoldsFiftyCodes();
};

void TestSocketErrorText::text_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addRow("first entry") << 10004 << "Interrupted system call";
    QTest::addRow("bad file number") << 10009 << "Bad file number";
    QTest::addRow("would block") << 10035 << "Operation would block";
    QTest::addRow("not a socket") << 10038 << "Socket operation on non-socket";
    QTest::addRow("longest text") << 10047 << "Address family not supported by protocol family";
    QTest::addRow("address in use") << 10048 << "Address already in use";
    QTest::addRow("apostrophe") << 10049 << "Can't assign requested address";
    QTest::addRow("reset") << 10054 << "Connection reset by peer";
    QTest::addRow("shut down") << 10058 << "Can't send after socket shutdown";
    QTest::addRow("timed out") << 10060 << "Connection timed out";
    QTest::addRow("refused") << 10061 << "Connection refused";
    QTest::addRow("disc quota") << 10069 << "Disc quota exceeded";
    QTest::addRow("last of the first run") << 10071 << "Too many levels of remote in path";
    QTest::addRow("system not ready") << 10091 << "Network sub-system is unusable";
    QTest::addRow("not initialised") << 10093 << "WinSock not initialized";
    QTest::addRow("host not found") << 11001 << "Host not found";
    QTest::addRow("no data") << 11004 << "No Data";

    const QString none = QStringLiteral("Not a WinSock error");
    QTest::addRow("zero") << 0 << none;
    QTest::addRow("negative") << -1 << none;
    QTest::addRow("negative of a code") << -10054 << none;
    QTest::addRow("errno value of a reset") << 104 << none;
    QTest::addRow("10000") << 10000 << none;
    QTest::addRow("10001") << 10001 << none;
    QTest::addRow("gap after 10004") << 10005 << none;
    QTest::addRow("10072") << 10072 << none;
    QTest::addRow("10080") << 10080 << none;
    QTest::addRow("10090") << 10090 << none;
    QTest::addRow("10094") << 10094 << none;
    QTest::addRow("11000") << 11000 << none;
    QTest::addRow("11005") << 11005 << none;
    QTest::addRow("largest integer") << std::numeric_limits<int>::max() << none;
    QTest::addRow("smallest integer") << std::numeric_limits<int>::min() << none;
}

void TestSocketErrorText::text()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(SocketErrorText(code), text);
}

void TestSocketErrorText::tableHoldsFiftyCodes()
{
    int known = 0;
    for (int code = 9000; code <= 12000; ++code)
        known += SocketErrorText(code) != QLatin1String("Not a WinSock error") ? 1 : 0;
    QCOMPARE(known, 50);
}

QTEST_APPLESS_MAIN(TestSocketErrorText)

#include "tst_socketerrortext.moc"
