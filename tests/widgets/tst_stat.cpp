#include "Stat.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include <vector>

namespace {

const QString RestartLog = QStringLiteral("Log Restart.\r\n------------\r\n");

// 64 lines of 62 characters, each with its CR LF: exactly the 4096 characters the log holds.
QStringList fullLog()
{
    return QStringList(64, QString(62, QLatin1Char('x')));
}

QString joined(const QStringList &lines)
{
    QString text;
    for (const QString &line : lines)
        text += line + QLatin1String("\r\n");
    return text;
}

void appendAll(TStatDialog &dialog, const QStringList &lines)
{
    for (const QString &line : lines)
        dialog.AppendLog(line);
}

// The lines that the window shows, each followed by CR LF as the log counts them.
QString shownLog(const TStatDialog &dialog)
{
    const QTextDocument *document = dialog.Memo1->document();
    if (document->isEmpty())
        return {};
    QString text;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        text += block.text() + QLatin1String("\r\n");
    return text;
}

QStringList cells(const TStatDialog &dialog)
{
    QStringList all;
    for (int row = 0; row < dialog.queryRowCount(); ++row)
        for (int column = 0; column < 3; ++column)
            all << dialog.queryCell(row, column);
    return all;
}

} // namespace

class TestStat : public QObject
{
    Q_OBJECT

private slots:
    void appendedLines_data();
    void appendedLines();
    void typing_data();
    void typing();
    void clearLog();
    void rowsAfterClear();
    void showTwiceChangesOnlyHeader();
    void hiding_data();
    void hiding();
    void markupStaysLiteral();
    void logWrittenWhileHiddenLooksTheSame_data();
    void logWrittenWhileHiddenLooksTheSame();
    void tabFollowsTheTabOrder();
    void queryTableKeepsTheLatestRows_data();
    void queryTableKeepsTheLatestRows();
    void requestsShowTheirLineEnds_data();
    void requestsShowTheirLineEnds();
    void askedForKeepsTheStartOfARequest_data();
    void askedForKeepsTheStartOfARequest();
};

void TestStat::appendedLines_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("log");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("together");

    struct Case
    {
        const char *name;
        QStringList lines;
        QString log;
    };
    // 63 lines of 62 characters: 4032 of the 4096.
    const QStringList nearlyFull = fullLog().mid(1);
    const std::vector<Case> cases{
        {"exactly 4096 stays", fullLog(), joined(fullLog())},
        {"one more line restarts", fullLog() + QStringList{"y"}, RestartLog},
        {"one more empty line restarts", fullLog() + QStringList{""}, RestartLog},
        {"long line on empty log restarts", {QString(4097, 'a')}, RestartLog},
        {"line after a restart is kept", fullLog() + QStringList{"y", "next"},
         RestartLog + "next\r\n"},
        {"lines longer than the log", {QString(3000, 'a'), QString(2000, 'b')}, RestartLog},
        {"restart amid a query's lines",
         nearlyFull + QStringList{"Buffer Len: 10", "Socket(12), sent: lab_user\r\n",
                                  "Sending data to Socket: 12", "next"},
         RestartLog + "next\r\n"},
        {"query's lines up to 4096 stay",
         nearlyFull + QStringList{"Buffer Len: 10", "Socket(12), sent: lab_user\r\n", "x"},
         joined(nearlyFull) + "Buffer Len: 10\r\nSocket(12), sent: lab_user\r\n\r\nx\r\n"},
        {"empty first line is a line", {"", "a"}, "\r\na\r\n"},
        {"request with its CR LF",
         {"sent: user\r\n", "Buffer Len: 6"},
         "sent: user\r\n\r\nBuffer Len: 6\r\n"},
        {"lone CR and lone LF break lines",
         {"lone\rCR", "lone\nLF"},
         "lone\r\nCR\r\nlone\r\nLF\r\n"},
        {"LF CR and doubled breaks",
         {"LF CR\n\r", "\r\n\r\n"},
         "LF CR\r\n\r\n\r\n"
         "\r\n\r\n\r\n"},
        {"separators break lines, other marks stay",
         {QString(QChar::ParagraphSeparator) + "p", QString(QChar::LineSeparator) + "l",
          QString(QChar(0xfdd0)) + "frame" + QChar(0xfdd1), QString(QChar(0)) + "nul"},
         "\r\np\r\n" + QString(QChar::LineSeparator) + "l\r\n" + "\r\nframe\r\n\r\n" + QChar(0) +
             "nul\r\n"},
    };
    for (const Case &c : cases) {
        for (const bool shown : {false, true}) {
            for (const bool together : {false, true}) {
                QTest::addRow("%s, %s, %s", c.name, shown ? "shown" : "hidden",
                              together ? "together" : "one by one")
                    << c.lines << c.log << shown << together;
            }
        }
    }
}

// The log holds the lines as the rule says, whether the window is shown or not and whether
// they come one by one or together, and the window shows exactly those lines.
void TestStat::appendedLines()
{
    QFETCH(QStringList, lines);
    QFETCH(QString, log);
    QFETCH(bool, shown);
    QFETCH(bool, together);
    TStatDialog dialog;
    if (shown)
        dialog.ShowStatistics();
    if (together)
        dialog.AppendLog(lines);
    else
        appendAll(dialog, lines);
    QCOMPARE(dialog.logText(), log);
    dialog.ShowStatistics();
    QCOMPARE(shownLog(dialog), log);
    QCOMPARE(dialog.logText(), log);
}

void TestStat::typing_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("log");

    QTest::addRow("character at 4096 restarts") << fullLog() << int(Qt::Key_X) << RestartLog;
    QTest::addRow("character on short log stays")
        << QStringList{"abc"} << int(Qt::Key_X) << "xabc\r\n";
    const QStringList at4094{QString(4092, 'a')};
    QTest::addRow("new line reaching 4096 stays")
        << at4094 << int(Qt::Key_Return) << "\r\n" + joined(at4094);
    QTest::addRow("new line past 4096 restarts")
        << QStringList{QString(4093, 'a')} << int(Qt::Key_Return) << RestartLog;
}

void TestStat::typing()
{
    QFETCH(QStringList, lines);
    QFETCH(int, key);
    QFETCH(QString, log);
    TStatDialog dialog;
    appendAll(dialog, lines);
    dialog.ShowStatistics();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.Memo1->setFocus();
    dialog.Memo1->moveCursor(QTextCursor::Start);
    QTest::keyClick(dialog.Memo1, Qt::Key(key));
    QCOMPARE(dialog.logText(), log);
    // The count stays right after the user's edit: the next line is counted on top of it.
    dialog.AppendLog(QStringLiteral("then"));
    QCOMPARE(dialog.logText(), log.size() + 6 <= 4096 ? log + "then\r\n" : RestartLog);
}

void TestStat::clearLog()
{
    TStatDialog dialog;
    QTest::mouseClick(dialog.ClearBtn, Qt::LeftButton);
    QCOMPARE(dialog.queryRowCount(), 2);
    QCOMPARE(dialog.logText(), QString());

    appendAll(dialog, {"one", "two"});
    dialog.AppendQueryRow("127.0.0.1", "1/2/25 10:00:00 AM", "user\r\n");
    dialog.AppendQueryRow("127.0.0.2", "1/2/25 10:00:01 AM", "\r\n");
    dialog.ShowStatistics();
    QTest::mouseClick(dialog.ClearBtn, Qt::LeftButton);
    QCOMPARE(dialog.logText(), QString());
    QCOMPARE(cells(dialog), (QStringList{"From:", "Time:", "Asked For:", "", "", ""}));
}

void TestStat::rowsAfterClear()
{
    TStatDialog dialog;
    dialog.AppendQueryRow("a", "b", "c");
    QCOMPARE(cells(dialog), (QStringList{"", "", "", "a", "b", "c", "", "", ""}));
    dialog.AppendQueryRow("d", "e", "f");
    dialog.ClearBtnClick();
    dialog.AppendQueryRow("g", "h", "i");
    QCOMPARE(dialog.queryRowCount(), 3);
    QCOMPARE(cells(dialog), (QStringList{"", "", "", "g", "h", "i", "", "", ""}));
}

void TestStat::showTwiceChangesOnlyHeader()
{
    TStatDialog dialog;
    dialog.AppendQueryRow("10.0.0.1", "t", "user");
    dialog.AppendLog("line");
    QCOMPARE(dialog.queryCell(0, 0), QString());
    dialog.ShowStatistics();
    const QStringList first = cells(dialog);
    QCOMPARE(first.mid(0, 3), (QStringList{"From:", "Time:", "Asked For:"}));
    dialog.ShowStatistics();
    QVERIFY(dialog.isVisible());
    QCOMPARE(cells(dialog), first);
    QCOMPARE(dialog.logText(), QStringLiteral("line\r\n"));
}

void TestStat::hiding_data()
{
    QTest::addColumn<int>("how");
    QTest::addRow("close box") << 0;
    QTest::addRow("OK button") << 1;
    QTest::addRow("Enter") << 2;
}

void TestStat::hiding()
{
    QFETCH(int, how);
    QPointer<TStatDialog> dialog = new TStatDialog;
    const std::unique_ptr<TStatDialog> owner(dialog);
    dialog->AppendQueryRow("10.0.0.1", "t", "user");
    dialog->AppendLog("kept");
    dialog->ShowStatistics();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    QVERIFY(!dialog->Button2->isEnabled());
    if (how == 0)
        QVERIFY(dialog->close());
    else if (how == 1)
        QTest::mouseClick(dialog->Button1, Qt::LeftButton);
    else
        QTest::keyClick(dialog->Table, Qt::Key_Return); // the default button answers
    QVERIFY(!dialog->isVisible());
    dialog->ShowStatistics();
    QVERIFY(dialog);
    QCOMPARE(dialog->queryCell(1, 2), QStringLiteral("user"));
    QCOMPARE(dialog->logText(), QStringLiteral("kept\r\n"));
}

void TestStat::markupStaysLiteral()
{
    const QString markup = QStringLiteral("<b>x</b><img src=/etc/passwd>");
    TStatDialog dialog;
    dialog.AppendLog(markup);
    dialog.AppendQueryRow(markup, "t", markup);
    QCOMPARE(dialog.logText(), markup + "\r\n");
    dialog.ShowStatistics();
    QCOMPARE(dialog.Memo1->toPlainText(), markup);
    QVERIFY(!dialog.Memo1->document()->toHtml().contains("<img"));
    QCOMPARE(dialog.queryCell(1, 0), markup);
    QCOMPARE(dialog.queryCell(1, 2), markup);
}

void TestStat::logWrittenWhileHiddenLooksTheSame_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("lines");

    QStringList numbered;
    for (int i = 0; i < 40; ++i)
        numbered << QStringLiteral("Client session accepted, socket(%1) Peer IP=127.0.0.1").arg(i);
    const QStringList wrapping{QString(300, 'w'), "short", QString(150, 'v') + " tail"};
    QTest::addRow("few lines") << QStringList{} << QStringList{"one", "two", "three"};
    QTest::addRow("more lines than the view") << QStringList{} << numbered;
    QTest::addRow("wrapping lines") << QStringList{"first"} << wrapping;
    QTest::addRow("restart while hidden") << numbered << fullLog() + QStringList{"after"};
    QTest::addRow("shown, hidden, appended") << numbered.mid(0, 5) << numbered.mid(5);
}

// The log shows the same, pixel for pixel, whether its lines arrived while it was hidden or
// while it was on the screen.
void TestStat::logWrittenWhileHiddenLooksTheSame()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, lines);
    QImage seen;
    {
        TStatDialog dialog;
        dialog.ShowStatistics();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        appendAll(dialog, before + lines);
        QApplication::processEvents();
        seen = dialog.Memo1->grab().toImage();
    }
    TStatDialog dialog;
    if (!before.isEmpty()) {
        dialog.ShowStatistics();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        appendAll(dialog, before);
        dialog.Button1Click();
    }
    appendAll(dialog, lines);
    dialog.ShowStatistics();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QApplication::processEvents();
    QCOMPARE(dialog.Memo1->grab().toImage(), seen);
    QCOMPARE(dialog.Memo1->verticalScrollBar()->maximum(),
             dialog.Memo1->verticalScrollBar()->value());
}

// Tab goes from control to control in the window's order, through the table as well.
void TestStat::tabFollowsTheTabOrder()
{
    TStatDialog dialog;
    dialog.AppendQueryRow("10.0.0.1", "t", "user");
    dialog.AppendQueryRow("10.0.0.2", "t", "user");
    dialog.ShowStatistics();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    dialog.Button1->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dialog.Table);
    QTest::keyClick(dialog.Table, Qt::Key_Down); // arrows stay in the table
    QCOMPARE(QApplication::focusWidget(), dialog.Table);
    QTest::keyClick(dialog.Table, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dialog.ClearBtn);
    QTest::keyClick(dialog.ClearBtn, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dialog.Memo1);
    QTest::keyClick(dialog.Memo1, Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), dialog.ClearBtn);
    QTest::keyClick(dialog.ClearBtn, Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), dialog.Table);
}

void TestStat::queryTableKeepsTheLatestRows_data()
{
    QTest::addColumn<int>("queries");
    QTest::addColumn<int>("rows");
    QTest::addRow("below the limit")
        << TStatDialog::MaxQueryRows - 1 << TStatDialog::MaxQueryRows - 1;
    QTest::addRow("at the limit") << TStatDialog::MaxQueryRows << TStatDialog::MaxQueryRows;
    QTest::addRow("one past the limit")
        << TStatDialog::MaxQueryRows + 1 << TStatDialog::MaxQueryRows;
    QTest::addRow("far past the limit")
        << 2 * TStatDialog::MaxQueryRows + 7 << TStatDialog::MaxQueryRows;
}

// However many clients ask, the table holds the latest rows only: memory stays bounded.
void TestStat::queryTableKeepsTheLatestRows()
{
    QFETCH(int, queries);
    QFETCH(int, rows);
    TStatDialog dialog;
    dialog.ShowStatistics();
    for (int i = 0; i < queries; ++i)
        dialog.AppendQueryRow(QString::number(i), "t", QStringLiteral("user%1").arg(i));
    // The header, the data rows and the empty last row.
    QCOMPARE(dialog.queryRowCount(), rows + 2);
    QCOMPARE(dialog.queryCell(0, 0), QStringLiteral("From:"));
    QCOMPARE(dialog.queryCell(1, 0), QString::number(queries - rows));
    QCOMPARE(dialog.queryCell(rows, 2), QStringLiteral("user%1").arg(queries - 1));
    QCOMPARE(dialog.queryCell(rows + 1, 0), QString());
    // The window shows the same rows, in the same order, and nothing in the empty last row.
    const QAbstractItemModel *shown = dialog.Table->model();
    QCOMPARE(shown->rowCount(), rows + 1);
    QCOMPARE(shown->index(0, 0).data().toString(), QString::number(queries - rows));
    QCOMPARE(shown->index(rows / 2, 2).data().toString(),
             QStringLiteral("user%1").arg(queries - rows + rows / 2));
    QCOMPARE(shown->index(rows - 1, 0).data().toString(), QString::number(queries - 1));
    QVERIFY(!shown->index(rows, 0).data().isValid());
    QCOMPARE(shown->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Asked For:"));

    dialog.ClearBtnClick();
    dialog.AppendQueryRow("a", "b", "c");
    QCOMPARE(cells(dialog),
             (QStringList{"From:", "Time:", "Asked For:", "a", "b", "c", "", "", ""}));
}

void TestStat::requestsShowTheirLineEnds_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("shown");
    QTest::addRow("CR LF") << "root\r\n" << QStringLiteral("root\u23ce");
    QTest::addRow("only CR LF") << "\r\n" << QStringLiteral("\u23ce");
    QTest::addRow("LF CR") << "root\n\r" << QStringLiteral("root\u240a\u240d");
    QTest::addRow("lone LF inside") << "a\nb" << QStringLiteral("a\u240ab");
    QTest::addRow("tab, NUL, DEL")
        << QString("/W\tx") + QChar(0) + QChar(0x7f) << QStringLiteral("/W\u2409x\u2400\u2421");
    QTest::addRow("separators") << QString("a") + QChar::LineSeparator + QChar::ParagraphSeparator
                                << QStringLiteral("a\u2424\u2424");
    QTest::addRow("no line end") << "root"
                                 << "root";
}

// The table shows a request's line ends as marks on one line; the cell, and what is copied
// from it, keep the request exactly as it came.
void TestStat::requestsShowTheirLineEnds()
{
    QFETCH(QString, request);
    QFETCH(QString, shown);
    TStatDialog dialog;
    dialog.AppendQueryRow("127.0.0.1", "t", request);
    dialog.ShowStatistics();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    const QModelIndex cell = dialog.Table->model()->index(0, 2);
    const auto *delegate = qobject_cast<QStyledItemDelegate *>(dialog.Table->itemDelegate());
    QVERIFY(delegate);
    QCOMPARE(delegate->displayText(cell.data(), QLocale()), shown);
    QCOMPARE(dialog.queryCell(1, 2), request);
    QApplication::clipboard()->clear();
    dialog.Table->setFocus();
    dialog.Table->setCurrentIndex(cell);
    QTest::keyClick(dialog.Table, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), request);
}

void TestStat::askedForKeepsTheStartOfARequest_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("kept");

    const int limit = TStatDialog::MaxAskedForLength;
    const QString start = QString(limit - 1, QLatin1Char('a'));
    const QString clef = QStringLiteral("\U0001D11E"); // two UTF-16 units
    QTest::addRow("short") << QStringLiteral("user") << QStringLiteral("user");
    QTest::addRow("at the limit") << start + "b" << start + "b";
    QTest::addRow("one past the limit") << start + "bc" << start + "b";
    QTest::addRow("a full receive")
        << QString(8192, QLatin1Char('n')) << QString(limit, QLatin1Char('n'));
    QTest::addRow("character across the limit") << start + clef + "x" << start;
    QTest::addRow("character ending at the limit")
        << start.left(limit - 2) + clef + "x" << start.left(limit - 2) + clef;
}

// A request of 8192 bytes per row would make a full table hold 160 MB.
void TestStat::askedForKeepsTheStartOfARequest()
{
    QFETCH(QString, request);
    QFETCH(QString, kept);
    TStatDialog dialog;
    dialog.AppendQueryRow("127.0.0.1", "t", request);
    QCOMPARE(dialog.queryCell(1, 2), kept);
    QCOMPARE(dialog.queryCell(1, 0), QStringLiteral("127.0.0.1"));
}

QTEST_MAIN(TestStat)
#include "tst_stat.moc"
