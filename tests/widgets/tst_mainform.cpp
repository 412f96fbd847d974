// Start-up, Exit and the setup window.

#include "MainFormFixture.h"
#include "NetNamespace.h"

#include "Sockets.h"
#include "TestFiles.h"
#include "TrayIcon.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScopeGuard>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Another program that holds a port.
int holdPort(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Like any server: connections of earlier tests that are still closing do not count.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (fd == -1 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1 ||
        ::listen(fd, 5) == -1) {
        if (fd != -1)
            ::close(fd);
        return -1;
    }
    return fd;
}

LoopbackClient::Ending knock(quint16 port)
{
    LoopbackClient::Options options;
    options.request = "\r\n";
    LoopbackClient client(port, options);
    while (!client.isFinished())
        QTest::qWait(5);
    return client.ending();
}

const QStringList ElevenValues = {"Enable",           "EnableList",     "EnableInfo",
                                  "EnableUserInfo",   "EnableDayTime",  "Beep",
                                  "lab_userRealName", "lab_userHPhone", "lab_userOPhone",
                                  "lab_userPlan",     "lab_userProject"};

} // namespace

class TestMainForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TELLWICK_REQUIRE_NETNS(); }
    void init() { writeRegistry({}); }

    void startsHiddenWithBothServices()
    {
        Program program;
        QVERIFY(!program.form->isVisible());
        QVERIFY(program.dialogs.boxes.isEmpty());
        QVERIFY(program.dialogs.endRequests.isEmpty());
        QCOMPARE(Settings.Login, QString::fromLatin1(FakeLogin));
        QCOMPARE(Settings.RealName, QStringLiteral("Unknown"));
        QVERIFY(FingerListening);
        QVERIFY(program.form->Enabled1->isChecked());
        QCOMPARE(program.form->TrayIcon->ToolTip(), QStringLiteral("Tellwick Idle"));
        QVERIFY(program.form->TrayIcon->Active());
        QCOMPARE(knock(79), LoopbackClient::Ending::Closed);
        QCOMPARE(knock(13), LoopbackClient::Ending::Closed);
        // Starting writes nothing.
        QVERIFY(!QFile::exists(registryPath()));
    }

    void trayMenuHasItsSevenItems()
    {
        Program program;
        QStringList captions;
        for (QAction *action : program.form->PopupMenu1->actions())
            captions << (action->isSeparator() ? QStringLiteral("-") : action->text());
        QCOMPARE(captions, (QStringList{"Setup...", "Statistics...", "Finger...", "Enabled", "-",
                                        "About...", "Exit"}));
        QCOMPARE(program.form->PopupMenu1->defaultAction(), program.form->Setup1);
        QCOMPARE(program.form->TrayIcon->PopupMenu(), program.form->PopupMenu1);
    }

    void fingerPortTakenEndsWithoutSaving()
    {
        const int holder = holdPort(79);
        QVERIFY(holder != -1);
        const auto release = qScopeGuard([holder] { ::close(holder); });
        writeRegistry({{"lab_userRealName", "\"Kept\""}});
        const QByteArray before = readRegistry();

        Program program;
        QCOMPARE(program.dialogs.texts(), QStringList{"Finger port already in use. Terminating"});
        QCOMPARE(program.dialogs.boxes.first().caption, QStringLiteral("Tellwick"));
        QCOMPARE(program.dialogs.endRequests, QList<int>{0});
        QVERIFY(!FingerListening);
        QVERIFY(!Settings.Enable);
        QVERIFY(!program.form->Enabled1->isChecked());
        // The daytime listener was still opened, and nothing was written.
        QCOMPARE(knock(13), LoopbackClient::Ending::Closed);
        QCOMPARE(readRegistry(), before);
    }

    void daytimePortTakenDisablesDaytime()
    {
        const int holder = holdPort(13);
        QVERIFY(holder != -1);
        const auto release = qScopeGuard([holder] { ::close(holder); });
        Program program;
        QCOMPARE(program.dialogs.texts(),
                 QStringList{"DayTime port already in use. Dissabling DayTime."});
        QVERIFY(program.dialogs.endRequests.isEmpty());
        QVERIFY(!Settings.EnableDayTime);
        QVERIFY(FingerListening);
    }

    void unusableSettingsFileStartsWithFingerOff()
    {
        QDir().mkpath(QFileInfo(registryPath()).absolutePath());
        QVERIFY(writeFile(registryPath(), "Enable=1\n"));
        Program program;
        QCOMPARE(program.dialogs.boxes.size(), 1);
        QVERIFY(program.dialogs.texts().first().contains(registryPath()));
        QCOMPARE(program.dialogs.boxes.first().icon, Dialogs::Icon::None);
        QVERIFY(!FingerListening);
        QVERIFY(!program.form->Enabled1->isChecked());
        QCOMPARE(knock(13), LoopbackClient::Ending::Closed);
        // Opening the setup window shows finger off and opens nothing.
        program.form->Setup1Click();
        QVERIFY(!program.form->FingerBox->isChecked());
        QCOMPARE(knock(79), LoopbackClient::Ending::Refused);
        QCOMPARE(readRegistry(), QByteArray("Enable=1\n"));
    }

    void unreadableSettingsStopStartUp()
    {
        writeRegistry({{"Enable", "dword:00000001"}});
        Program program;
        QCOMPARE(program.dialogs.texts(), QStringList{"Invalid data type for 'Enable'."});
        QVERIFY(program.dialogs.endRequests.isEmpty());
        QVERIFY(!FingerListening);
        QCOMPARE(knock(79), LoopbackClient::Ending::Refused);
    }

    void exitAnsweredNoChangesNothing()
    {
        Program program;
        bool exitEnabledWhileAsking = true;
        program.dialogs.whileShown = [&](const RecordingDialogs::Box &) {
            exitEnabledWhileAsking = program.form->Exit1->isEnabled();
        };
        program.dialogs.nextAnswers.enqueue(Dialogs::Answer::No);
        program.form->Exit1->trigger();

        QCOMPARE(program.dialogs.boxes.size(), 1);
        const RecordingDialogs::Box &box = program.dialogs.boxes.first();
        QCOMPARE(box.caption, QStringLiteral("Information"));
        QCOMPARE(box.text, QStringLiteral("Finger service will not be available if you exit.\r\n"
                                          "Are you sure you wan't to exit ?"));
        QCOMPARE(box.icon, Dialogs::Icon::Information);
        QCOMPARE(box.buttons, Dialogs::Buttons::YesNo);
        QVERIFY(!exitEnabledWhileAsking);
        QVERIFY(program.form->Exit1->isEnabled());
        QVERIFY(program.dialogs.endRequests.isEmpty());
        QVERIFY(!QFile::exists(registryPath()));
        QCOMPARE(knock(79), LoopbackClient::Ending::Closed);
        QCOMPARE(knock(13), LoopbackClient::Ending::Closed);
    }

    void exitAnsweredYesSavesAndEnds()
    {
        writeRegistry({{"Beep", "\"0\""}, {"Other", "\"kept\""}});
        Program program;
        Settings.RealName = QStringLiteral("Ada \"Countess\" Lovelace");
        program.dialogs.nextAnswers.enqueue(Dialogs::Answer::Yes);
        program.form->Exit1->trigger();

        QCOMPARE(program.dialogs.endRequests, QList<int>{0});
        QVERIFY(program.form->Exit1->isEnabled());
        QCOMPARE(program.form->Sockets->ListenSocket(), -1);
        QCOMPARE(program.form->Sockets1->ListenSocket(), -1);
        RegistryFile registry(registryPath());
        QCOMPARE(registry.load(), RegistryFile::LoadStatus::Loaded);
        const QString key = QStringLiteral("HKEY_CURRENT_USER\\Software\\Tellwick");
        for (const QString &name : ElevenValues)
            QVERIFY2(registry.value(key, name).has_value(), qPrintable(name));
        QCOMPARE(registry.value(key, "Beep")->text, QStringLiteral("0"));
        QCOMPARE(registry.value(key, "Enable")->text, QStringLiteral("1"));
        QCOMPARE(registry.value(key, "lab_userRealName")->text, Settings.RealName);
        QCOMPARE(registry.value(key, "Other")->text, QStringLiteral("kept"));
    }

    void exitWithFingerDisabledCancelsOnlyDaytime()
    {
        writeRegistry({{"Enable", "\"0\""}});
        Program program;
        QVERIFY(!FingerListening);
        program.dialogs.nextAnswers.enqueue(Dialogs::Answer::Yes);
        program.form->Exit1->trigger();
        // A finger listener that was never opened is not closed: no failure is reported.
        QCOMPARE(program.dialogs.boxes.size(), 1);
        QCOMPARE(program.form->Sockets1->ListenSocket(), -1);
        QCOMPARE(program.dialogs.endRequests, QList<int>{0});
    }

    void openingTheWindowOpensNoSecondListener()
    {
        Program program;
        const int finger = program.form->Sockets->ListenSocket();
        const int daytime = program.form->Sockets1->ListenSocket();
        program.form->Setup1Click();
        QVERIFY(program.form->isVisible());
        QVERIFY(program.dialogs.boxes.isEmpty());
        QVERIFY(program.stat->logText().isEmpty());
        QCOMPARE(program.form->Sockets->ListenSocket(), finger);
        QCOMPARE(program.form->Sockets1->ListenSocket(), daytime);
        QVERIFY(program.form->FingerBox->isChecked());
        QVERIFY(program.form->CheckBox1->isChecked());
        QCOMPARE(program.form->LoginName->text(), QString::fromLatin1(FakeLogin));
        QVERIFY(program.form->LoginName->isReadOnly());
        QVERIFY(!program.form->CheckBox3->isVisible());
        QVERIFY(!program.form->CheckBox3->isEnabled());
    }

    void enabledItemSwitchesTheFingerService()
    {
        Program program;
        program.form->Enabled1->trigger();
        QVERIFY(!FingerListening);
        QVERIFY(!Settings.Enable);
        QVERIFY(!program.form->Enabled1->isChecked());
        QCOMPARE(knock(79), LoopbackClient::Ending::Refused);

        program.form->Setup1Click();
        QVERIFY(!program.form->FingerBox->isChecked());
        QVERIFY(program.dialogs.boxes.isEmpty());

        program.form->Enabled1->trigger();
        QVERIFY(FingerListening);
        QVERIFY(program.form->Enabled1->isChecked());
        QCOMPARE(knock(79), LoopbackClient::Ending::Closed);
        QVERIFY(program.dialogs.boxes.isEmpty());
    }

    void boxesSwitchTheServices()
    {
        Program program;
        program.form->Setup1Click();
        program.form->FingerBox->click();
        QVERIFY(!FingerListening);
        QVERIFY(!program.form->Enabled1->isChecked());
        QCOMPARE(knock(79), LoopbackClient::Ending::Refused);
        program.form->CheckBox1->click();
        QVERIFY(!Settings.EnableDayTime);
        QCOMPARE(knock(13), LoopbackClient::Ending::Refused);

        program.form->FingerBox->click();
        program.form->CheckBox1->click();
        QVERIFY(FingerListening);
        QVERIFY(Settings.Enable);
        QVERIFY(Settings.EnableDayTime);
        QCOMPARE(knock(79), LoopbackClient::Ending::Closed);
        QCOMPARE(knock(13), LoopbackClient::Ending::Closed);
        QVERIFY(program.dialogs.boxes.isEmpty());

        program.form->InfoBox->click();
        program.form->UserLBox->click();
        program.form->UserInfoBox->click();
        program.form->CheckBox2->click();
        QVERIFY(!Settings.EnableInfo);
        QVERIFY(!Settings.EnableList);
        QVERIFY(!Settings.EnableUserInfo);
        QVERIFY(!Settings.Beep);
    }

    void typedDetailsTakeEffectAtOnceAndAreSavedByOk()
    {
        Program program;
        program.form->Setup1Click();
        program.form->RealNameEditor->clear();
        QTest::keyClicks(program.form->RealNameEditor, QStringLiteral("Grace Hopper"));
        QCOMPARE(Settings.RealName, QStringLiteral("Grace Hopper"));

        LoopbackClient client(79, request(FakeLogin + "\r\n"));
        WAIT_FOR_CLIENT(client);
        QVERIFY(client.received().contains("Real Name: Grace Hopper\r\n"));

        program.form->close();
        QVERIFY(!program.form->isVisible());
        QCOMPARE(Settings.RealName, QStringLiteral("Grace Hopper"));
        QVERIFY(!QFile::exists(registryPath()));

        program.form->Setup1Click();
        QCOMPARE(program.form->RealNameEditor->text(), QStringLiteral("Grace Hopper"));
        QTest::mouseClick(program.form->Button2, Qt::LeftButton);
        QVERIFY(!program.form->isVisible());
        QVERIFY(readRegistry().contains("\"lab_userRealName\"=\"Grace Hopper\""));
    }

    void typingLimitNeverCutsAStoredText()
    {
        const QString longName(150, QLatin1Char('n'));
        writeRegistry({{"lab_userRealName", "\"" + longName + "\""}});
        Program program;
        program.form->Setup1Click();
        QCOMPARE(program.form->RealNameEditor->text(), longName);
        QCOMPARE(Settings.RealName, longName);
        // Typing cannot make it longer, but may shorten it.
        program.form->RealNameEditor->end(false);
        QTest::keyClick(program.form->RealNameEditor, Qt::Key_X);
        QCOMPARE(Settings.RealName, longName);
        QTest::keyClick(program.form->RealNameEditor, Qt::Key_Backspace);
        QCOMPARE(Settings.RealName.size(), 149);

        program.form->HomePhoneEditor->clear();
        QTest::keyClicks(program.form->HomePhoneEditor, QString(60, QLatin1Char('5')));
        QCOMPARE(Settings.HPhone.size(), 50);
    }

    void controlsCarryTheirHints_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("hint");
        QTest::addRow("login") << "LoginName"
                               << "Shows the name that you used to log in to the system, i can't "
                                  "change this";
        QTest::addRow("plan") << "PlanEditor"
                              << "Give a path to your \".plan\" file";
        QTest::addRow("project browse") << "ProjectBtn"
                                        << "Browse a project ";
        QTest::addRow("information box") << "InfoBox"
                                         << "Check to enable computer information ";
    }

    void controlsCarryTheirHints()
    {
        QFETCH(QString, control);
        QFETCH(QString, hint);
        Program program;
        const QHash<QString, QWidget *> controls{{"LoginName", program.form->LoginName},
                                                 {"PlanEditor", program.form->PlanEditor},
                                                 {"ProjectBtn", program.form->ProjectBtn},
                                                 {"InfoBox", program.form->InfoBox}};
        QCOMPARE(controls.value(control)->toolTip(), hint);
    }
};

TELLWICK_TEST_MAIN_IN_NETNS(TestMainForm)
#include "tst_mainform.moc"
