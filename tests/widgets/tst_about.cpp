#include "About.h"
#include "TellwickIcon.h"
#include "TellwickVersion.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>

namespace {

const QString VersionText = QStringLiteral("Version ") + QLatin1String(TellwickRelease);

} // namespace

class TestAbout : public QObject
{
    Q_OBJECT

private slots:
    void content();
    void programIcon();
    void hides_data();
    void hides();
};

void TestAbout::content()
{
    TAboutBox box;
    QCOMPARE(box.windowTitle(), QStringLiteral("About"));
    QCOMPARE(box.ProductName->text(), QStringLiteral("Tellwick"));
    QCOMPARE(box.Version->text(), VersionText);
    QCOMPARE(box.OKButton->text(), QStringLiteral("OK"));
    QVERIFY(box.isHidden());
}

void TestAbout::programIcon()
{
    const QIcon icon = TellwickIcon();
    for (const int size : {16, 32, 48})
        QVERIFY2(icon.availableSizes().contains(QSize(size, size)),
                 qPrintable(QString::number(size)));
    TAboutBox box;
    QVERIFY(!box.ProgramIcon->pixmap().isNull());
}

void TestAbout::hides_data()
{
    QTest::addColumn<int>("how");
    QTest::addRow("OK button") << 0;
    QTest::addRow("Enter") << 1;
    QTest::addRow("close box") << 2;
}

void TestAbout::hides()
{
    QFETCH(int, how);
    QPointer<TAboutBox> box = new TAboutBox;
    const std::unique_ptr<TAboutBox> owner(box);
    box->ShowAbout();
    QVERIFY(QTest::qWaitForWindowExposed(box));
    box->ShowAbout(); // already visible: only raised
    QVERIFY(box->isVisible());
    if (how == 0)
        QTest::mouseClick(box->OKButton, Qt::LeftButton);
    else if (how == 1)
        QTest::keyClick(box, Qt::Key_Return);
    else
        QVERIFY(box->close());
    QVERIFY(box && box->isHidden());
    box->ShowAbout();
    QVERIFY(box->isVisible());
    QCOMPARE(box->Version->text(), VersionText);
}

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
