#include "TrayIcon.h"

#include <QCursor>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

namespace {

// Records every call to the notification area as "add:<tip>", "modify:<tip>" or "remove".
class RecordingShell final : public TrayShell
{
public:
    explicit RecordingShell(QStringList &calls) : m_calls(calls) {}
    bool add(const QIcon &icon, const QString &toolTip) override
    {
        lastIcon = icon.cacheKey();
        m_calls << "add:" + toolTip;
        return true;
    }
    bool modify(const QIcon &icon, const QString &toolTip) override
    {
        lastIcon = icon.cacheKey();
        m_calls << "modify:" + toolTip;
        return true;
    }
    bool remove() override
    {
        m_calls << QStringLiteral("remove");
        return true;
    }
    void setMenu(QMenu *newMenu) override { menu = newMenu; }
    qint64 lastIcon = 0;
    QMenu *menu = nullptr;

private:
    QStringList &m_calls;
};

QIcon redIcon()
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::red);
    return QIcon(pixmap);
}

} // namespace

class TestTrayIcon : public QObject
{
    Q_OBJECT

private slots:
    void init() { calls.clear(); }
    void toolTipIsCut_data();
    void toolTipIsCut();
    void changesWhileInactiveWaitForAdd();
    void emptyTipIsAppliedAgainAfterAdd();
    void mouseActions_data();
    void mouseActions();
    void rightClickWithoutMenu();
    void rightClickRunsMenuFirst();
    void menuActionMayDestroyIcon();
    void activeAndDestruction_data();
    void activeAndDestruction();
    void runsOnWithoutTrayHost();
    void iconWaitsForHost_data();
    void iconWaitsForHost();

private:
    std::unique_ptr<TTrayIcon> makeIcon()
    {
        auto recording = std::make_unique<RecordingShell>(calls);
        shell = recording.get();
        return std::make_unique<TTrayIcon>(nullptr, std::move(recording));
    }

    QStringList calls;
    RecordingShell *shell = nullptr;
};

void TestTrayIcon::toolTipIsCut_data()
{
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QString>("kept");
    const QString seventy = QString("0123456789").repeated(7);
    QTest::addRow("70 characters keep 62") << seventy << seventy.left(62);
    QTest::addRow("62 characters stay") << seventy.left(62) << seventy.left(62);
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // outside the BMP
    QTest::addRow("surrogate pairs count once") << face.repeated(70) << face.repeated(62);
    QTest::addRow("cut never splits a pair")
        << QString(61, 'a') + face + "b" << QString(61, 'a') + face;
}

void TestTrayIcon::toolTipIsCut()
{
    QFETCH(QString, toolTip);
    QFETCH(QString, kept);
    const auto icon = makeIcon();
    icon->setToolTip("idle");
    icon->setActive(true);
    icon->setToolTip(toolTip);
    QCOMPARE(icon->ToolTip(), kept);
    QCOMPARE(calls.last(), "modify:" + kept);
}

void TestTrayIcon::changesWhileInactiveWaitForAdd()
{
    const auto icon = makeIcon();
    const QIcon red = redIcon();
    icon->setIcon(red);
    icon->setToolTip("Tellwick Idle");
    QVERIFY(calls.isEmpty());
    icon->setActive(true);
    QCOMPARE(calls, QStringList{"add:Tellwick Idle"});
    QCOMPARE(shell->lastIcon, red.cacheKey());
    QTest::qWait(20); // nothing is queued when the tip was there at the add
    QCOMPARE(calls.size(), 1);
}

void TestTrayIcon::emptyTipIsAppliedAgainAfterAdd()
{
    // The setup window's order: active first, then the image and the tip.
    const auto icon = makeIcon();
    icon->setActive(true);
    icon->setIcon(redIcon());
    icon->setToolTip("Tellwick Idle");
    QCOMPARE(calls, (QStringList{"add:", "modify:", "modify:Tellwick Idle"}));
    QTRY_COMPARE_WITH_TIMEOUT(calls.size(), 4, 2000);
    QCOMPARE(calls.last(), "modify:Tellwick Idle");
}

void TestTrayIcon::mouseActions_data()
{
    QTest::addColumn<TrayShell::MouseAction>("action");
    QTest::addColumn<QStringList>("events");
    QTest::addRow("left release clicks")
        << TrayShell::MouseAction::LeftButtonUp << QStringList{"click"};
    QTest::addRow("double click") << TrayShell::MouseAction::LeftDoubleClick
                                  << QStringList{"double"};
    QTest::addRow("host activation is the double click")
        << TrayShell::MouseAction::Activate << QStringList{"double"};
    QTest::addRow("middle button does nothing") << TrayShell::MouseAction::Other << QStringList{};
}

void TestTrayIcon::mouseActions()
{
    QFETCH(TrayShell::MouseAction, action);
    QFETCH(QStringList, events);
    const auto icon = makeIcon();
    QStringList seen;
    icon->OnClick = [&](QObject *sender) { seen << (sender == icon.get() ? "click" : "?"); };
    icon->OnDblClick = [&](QObject *sender) { seen << (sender == icon.get() ? "double" : "?"); };
    icon->OnRightClick = [&](QObject *, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
        seen << "right";
    };
    emit shell->mouseAction(action);
    QCOMPARE(seen, events);
}

void TestTrayIcon::rightClickWithoutMenu()
{
    const auto icon = makeIcon();
    QCursor::setPos(123, 45);
    QStringList seen;
    icon->OnRightClick = [&](QObject *sender, Qt::MouseButton button, Qt::KeyboardModifiers shift,
                             int x, int y) {
        QCOMPARE(sender, icon.get());
        QCOMPARE(button, Qt::RightButton);
        QCOMPARE(shift, Qt::NoModifier);
        seen << QStringLiteral("right %1,%2").arg(x).arg(y);
    };
    emit shell->mouseAction(TrayShell::MouseAction::RightButtonUp);
    QCOMPARE(seen, QStringList{"right 123,45"});
}

void TestTrayIcon::rightClickRunsMenuFirst()
{
    const auto icon = makeIcon();
    QMenu menu;
    QStringList seen;
    connect(&menu, &QMenu::aboutToShow, [&] { seen << "menu"; });
    connect(menu.addAction("Statistics..."), &QAction::triggered, [&] { seen << "action"; });
    icon->setPopupMenu(&menu);
    QCOMPARE(shell->menu, &menu); // for hosts that draw the menu themselves
    icon->OnRightClick = [&](QObject *, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
        seen << "right";
    };
    // Chooses the item once the menu is up; the guard fails the test instead of hanging.
    QTimer chooser;
    connect(&chooser, &QTimer::timeout, [&] {
        if (menu.isVisible()) {
            QTest::keyClick(&menu, Qt::Key_Down);
            QTest::keyClick(&menu, Qt::Key_Return);
        }
    });
    chooser.start(10);
    QTimer::singleShot(5000, &menu, &QMenu::close);
    emit shell->mouseAction(TrayShell::MouseAction::RightButtonUp);
    QCOMPARE(seen, (QStringList{"menu", "action", "right"}));
}

void TestTrayIcon::menuActionMayDestroyIcon()
{
    auto icon = makeIcon();
    QMenu menu;
    connect(menu.addAction("Exit"), &QAction::triggered, [&] { icon.reset(); });
    bool rightClicked = false;
    icon->setPopupMenu(&menu);
    icon->OnRightClick = [&](QObject *, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
        rightClicked = true;
    };
    QTimer::singleShot(50, &menu, [&] {
        menu.actions().first()->trigger();
        menu.close();
    });
    QTimer::singleShot(5000, &menu, &QMenu::close);
    emit shell->mouseAction(TrayShell::MouseAction::RightButtonUp);
    QVERIFY(!icon);
    QVERIFY(!rightClicked);
}

void TestTrayIcon::activeAndDestruction_data()
{
    QTest::addColumn<QList<bool>>("actives");
    QTest::addColumn<QStringList>("expected");
    QTest::addRow("active icon is removed")
        << QList<bool>{true} << QStringList{"add:tip", "remove"};
    QTest::addRow("active twice adds once")
        << QList<bool>{true, true} << QStringList{"add:tip", "remove"};
    QTest::addRow("inactive twice removes once")
        << QList<bool>{true, false, false} << QStringList{"add:tip", "remove"};
    QTest::addRow("never active sends nothing") << QList<bool>{false} << QStringList{};
}

void TestTrayIcon::activeAndDestruction()
{
    QFETCH(QList<bool>, actives);
    QFETCH(QStringList, expected);
    auto icon = makeIcon();
    icon->setToolTip("tip");
    for (const bool active : actives)
        icon->setActive(active);
    icon.reset();
    QCOMPARE(calls, expected);
}

void TestTrayIcon::runsOnWithoutTrayHost()
{
    QCOMPARE(QtTrayShell::findHost(), TrayHost::Headless); // the offscreen platform
    TTrayIcon icon;
    icon.setActive(true);
    icon.setIcon(redIcon());
    icon.setToolTip("Tellwick Idle");
    QVERIFY(icon.Active());
    QCOMPARE(icon.ToolTip(), QStringLiteral("Tellwick Idle"));
    QTest::qWait(20);
}

void TestTrayIcon::iconWaitsForHost_data()
{
    using Action = TrayShell::MouseAction;
    QTest::addColumn<QList<TrayHost>>("hosts"); // found in turn; the last one stays
    QTest::addColumn<bool>("removeAtOnce");
    QTest::addColumn<QStringList>("said");
    QTest::addColumn<int>("looks");
    QTest::addColumn<bool>("menuGiven");
    QTest::addColumn<Action>("leftClick"); // Other: no icon to click
    const QString waits = "tellwick: no system tray is available yet; the icon waits for one.";
    const QString placed = "tellwick: a system tray is available; the icon is in place.";
    QTest::addRow("XEmbed tray at start: silent, menu left to the icon")
        << QList{TrayHost::XEmbed} << false << QStringList{} << 1 << false << Action::LeftButtonUp;
    QTest::addRow("late StatusNotifier host: said once each, menu exported")
        << QList{TrayHost::None, TrayHost::None, TrayHost::StatusNotifier} << false
        << QStringList{waits, placed} << 3 << true << Action::Activate;
    QTest::addRow("no host yet: said once, still looking")
        << QList{TrayHost::None} << false << QStringList{waits} << -1 << false << Action::Other;
    QTest::addRow("removed while waiting: stops looking")
        << QList{TrayHost::None, TrayHost::XEmbed} << true << QStringList{waits} << 1 << false
        << Action::Other;
    QTest::addRow("no display: silent, never looks again")
        << QList{TrayHost::Headless} << false << QStringList{} << 1 << false << Action::Other;
}

void TestTrayIcon::iconWaitsForHost()
{
    QFETCH(QList<TrayHost>, hosts);
    QFETCH(bool, removeAtOnce);
    QFETCH(QStringList, said);
    QFETCH(int, looks);
    QFETCH(bool, menuGiven);
    QFETCH(TrayShell::MouseAction, leftClick);
    int looked = 0;
    QStringList lines;
    QtTrayShell shell(
        nullptr,
        [&] {
            ++looked;
            return hosts.size() > 1 ? hosts.takeFirst() : hosts.constFirst();
        },
        [&](const char *line) { lines << QString::fromUtf8(line); });
    shell.lookIntervalMs = 5;
    QMenu menu;
    shell.setMenu(&menu);
    shell.add(redIcon(), "Tellwick Idle");
    if (removeAtOnce)
        shell.remove();
    QTest::qWait(100);
    QCOMPARE(lines, said);
    if (looks >= 0)
        QCOMPARE(looked, looks);
    else
        QVERIFY2(looked > 3, "looks again while there is no host");
    auto *icon = shell.findChild<QSystemTrayIcon *>();
    QCOMPARE(shell.isShown(), leftClick != TrayShell::MouseAction::Other);
    if (!icon)
        return;
    QCOMPARE(icon->toolTip(), QStringLiteral("Tellwick Idle"));
    QCOMPARE(icon->contextMenu() == &menu, menuGiven);
    QSignalSpy actions(&shell, &TrayShell::mouseAction);
    emit icon->activated(QSystemTrayIcon::Trigger);
    QTRY_COMPARE(actions.size(), 1);
    QCOMPARE(actions.constFirst().constFirst().value<TrayShell::MouseAction>(), leftClick);
}

QTEST_MAIN(TestTrayIcon)
#include "tst_trayicon.moc"
