#include "ReplyDecoder.h"

#include <QTest>

class TestReplyDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
};

void TestReplyDecoder::decode_data()
{
    QTest::addColumn<QList<QByteArray>>("blocks");
    QTest::addColumn<QString>("text");
    QTest::addRow("ASCII with TAB, CR and LF")
        << QList<QByteArray>{"a\tb\r\nc"} << QStringLiteral("a\tb\r\nc");
    QTest::addRow("two bytes split") << QList<QByteArray>{"Gr\xc3", "\xbc"
                                                                    "e"}
                                     << QStringLiteral("Grüe");
    QTest::addRow("three bytes split after one")
        << QList<QByteArray>{"\xe2", "\x82\xac"} << QStringLiteral("€");
    QTest::addRow("three bytes split after two")
        << QList<QByteArray>{"\xe2\x82", "\xac"} << QStringLiteral("€");
    QTest::addRow("four bytes over three blocks")
        << QList<QByteArray>{"\xf0\x9f", "\x98", "\x80!"} << QStringLiteral("😀!");
    QTest::addRow("Latin-1 byte") << QList<QByteArray>{"caf\xe9 ok"} << QStringLiteral("café ok");
    QTest::addRow("Latin-1 byte at a block end")
        << QList<QByteArray>{"caf\xe9", "!"} << QStringLiteral("café!");
    QTest::addRow("Latin-1 byte ends the reply")
        << QList<QByteArray>{"caf\xe9"} << QStringLiteral("café");
    QTest::addRow("unfinished character ends the reply")
        << QList<QByteArray>{"ok\xe2\x82"} << QStringLiteral("okâ<82>");
    QTest::addRow("overlong form") << QList<QByteArray>{"\xc0\xaf"} << QStringLiteral("À¯");
    QTest::addRow("surrogate") << QList<QByteArray>{"\xed\xa0\x80"}
                               << QStringLiteral("í\u00a0<80>");
    QTest::addRow("beyond U+10FFFF")
        << QList<QByteArray>{"\xf4\x90\x80\x80"} << QStringLiteral("ô<90><80><80>");
    QTest::addRow("ESC, BEL and DEL shown")
        << QList<QByteArray>{"\x1b[1mx\x07\x7f"} << QStringLiteral("\u241b[1mx\u2407\u2421");
    QTest::addRow("C1 control, as UTF-8 and as a byte")
        << QList<QByteArray>{"\xc2\x85|\x85"} << QStringLiteral("<85>|<85>");
}

void TestReplyDecoder::decode()
{
    QFETCH(QList<QByteArray>, blocks);
    QFETCH(QString, text);
    ReplyDecoder decoder;
    QString decoded;
    for (const QByteArray &block : blocks)
        decoded += decoder.decode(block);
    decoded += decoder.finish();
    QCOMPARE(decoded, text);
    // Nothing is left over for the next reply.
    QCOMPARE(decoder.decode("x"), QStringLiteral("x"));
}

QTEST_GUILESS_MAIN(TestReplyDecoder)
#include "tst_replydecoder.moc"
