// Every text of every window shows whole, at the fonts and in the styles people use, and at the
// scale factor this run has (the program is registered once more with QT_SCALE_FACTOR=2).
// Each window is also saved as a picture in TELLWICK_SCREENSHOTS, for a person to look at.

#include "About.h"
#include "DayTime.h"
#include "FInger.h"
#include "MainFormFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QLabel>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionViewItem>
#include <QTableView>

namespace {

QPalette darkPalette()
{
    QPalette palette(QColor(0x35, 0x35, 0x35));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(role, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Base, QColor(0x2a, 0x2a, 0x2a));
    return palette;
}

// The first control of the window whose own text does not fit it, with the size it has and
// the size it needs; empty when every label and button fits.
QString cutText(const QWidget &window)
{
    for (const QWidget *child : window.findChildren<QWidget *>()) {
        const auto *label = qobject_cast<const QLabel *>(child);
        const auto *button = qobject_cast<const QAbstractButton *>(child);
        if ((!label && !button) || !child->isVisibleTo(&window))
            continue;
        const QSize hint = child->sizeHint();
        if (child->width() < hint.width() || child->height() < hint.height())
            return QStringLiteral("\"%1\" is %2x%3, needs %4x%5")
                .arg(label ? label->text() : button->text())
                .arg(child->width())
                .arg(child->height())
                .arg(hint.width())
                .arg(hint.height());
    }
    return {};
}

} // namespace

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void textsShowWhole_data();
    void textsShowWhole();
};

void TestLayout::initTestCase()
{
    // The setup window opens no listener: finger is off.
    writeRegistry({{"Enable", "\"0\""}, {"EnableDayTime", "\"0\""}});
}

void TestLayout::textsShowWhole_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("style");
    QTest::addColumn<int>("points");
    QTest::addColumn<QString>("variant"); // "dark" palette, or a font that grows "late"
    const std::tuple<const char *, int, const char *> looks[] = {
        {"Fusion", 9, ""},   {"Fusion", 11, ""},  {"Fusion", 14, ""},    {"Fusion", 11, "dark"},
        {"Windows", 11, ""}, {"Windows", 14, ""}, {"Fusion", 14, "late"}};
    for (const auto &[style, points, variant] : looks) {
        for (const char *window : {"setup", "statistics", "about", "finger"})
            QTest::addRow("%s %s %dpt %s", window, style, points, variant)
                << window << style << points << variant;
    }
}

void TestLayout::textsShowWhole()
{
    QFETCH(QString, window);
    QFETCH(QString, style);
    QFETCH(int, points);
    QFETCH(QString, variant);
    QApplication::setStyle(QStyleFactory::create(style));
    QApplication::setPalette(variant == "dark" ? darkPalette()
                                               : QApplication::style()->standardPalette());
    QFont font = QApplication::font();
    font.setPointSize(variant == "late" ? 9 : points);
    QApplication::setFont(font);

    Program program;
    TAboutBox about;
    TFingerForm finger(program.stat.get(), nullptr);
    const QDateTime now = QDateTime::currentDateTime();
    program.stat->AppendQueryRow("127.0.0.1", FormatQueryTime(now, QLocale::system()), "root\r\n");
    program.stat->AppendQueryRow("2001:db8::1:2:3:4", FormatQueryTime(now, QLocale::system()),
                                 "\r\n");
    struct Shown
    {
        QWidget *widget;
        QSize least; // the size it was drawn at
    };
    const QMap<QString, Shown> windows{{"setup", {program.form.get(), {457, 296}}},
                                       {"statistics", {program.stat.get(), {473, 313}}},
                                       {"about", {&about, {298, 258}}},
                                       {"finger", {&finger, {582, 431}}}};
    const Shown shown = windows.value(window);
    if (window == "statistics")
        program.stat->ShowStatistics();
    else
        shown.widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(shown.widget));
    if (variant == "late") {
        font.setPointSize(points);
        QApplication::setFont(font);
        // The change reaches the windows through the event loop.
        QTRY_COMPARE(shown.widget->font().pointSize(), points);
    }

    QCOMPARE(shown.widget->size().expandedTo(shown.least), shown.widget->size());
    QTRY_COMPARE(cutText(*shown.widget), QString());
    if (window == "statistics") {
        // Every cell fits its column: the addresses, the times with their seconds, the requests.
        const QTableView *table = program.stat->Table;
        QStyleOptionViewItem option;
        option.initFrom(table);
        option.font = table->font();
        for (int row = 0; row < 2; ++row) {
            for (int column = 0; column < 3; ++column) {
                const QModelIndex index = table->model()->index(row, column);
                QVERIFY2(table->columnWidth(column) >=
                             table->itemDelegate()->sizeHint(option, index).width(),
                         qPrintable(index.data().toString()));
            }
        }
    }

    const QString folder = QStringLiteral(TELLWICK_SCREENSHOTS);
    QVERIFY(QDir().mkpath(folder));
    const QString name = QStringLiteral("%1/%2-%3-%4pt%5-scale%6.png")
                             .arg(folder, window, style.toLower())
                             .arg(points)
                             .arg(variant.isEmpty() ? QString() : "-" + variant)
                             .arg(shown.widget->devicePixelRatioF());
    QVERIFY(shown.widget->grab().save(name));
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
