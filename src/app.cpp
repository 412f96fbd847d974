// The program entry: the application, the four windows, the message loop.

#include "About.h"
#include "CommandLine.h"
#include "Dialogs.h"
#include "FInger.h"
#include "Main.h"
#include "QtDialogs.h"
#include "RuntimeError.h"
#include "SingleInstance.h"
#include "Stat.h"
#include "TellwickVersion.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// An error that escapes a handler ends that handler only: the default error box shows it
// and the program goes on.
class TellwickApplication final : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const RuntimeError &error) {
            showErrorBox(error.text());
        } catch (const std::exception &error) {
            showErrorBox(QString::fromLocal8Bit(error.what()));
        }
        return false;
    }
};

// How long a later start waits for the running program to take its request.
constexpr int HandOverTimeoutMs = 10000;

QStringList argumentList(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

// The platforms to try, in order: Qt takes the first whose plugin loads and whose display
// answers. The list ends with one that needs no display, so that a missing plugin (Wayland's
// is a package of its own) or a display that is gone never ends the program: without a
// display the services still run; only the tray icon and the windows are gone.
// Returns whether a display was to be tried at all.
bool choosePlatforms()
{
    QByteArray platforms = qgetenv("QT_QPA_PLATFORM");
    if (platforms.isEmpty()) {
        if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            platforms += "wayland;";
        if (!qEnvironmentVariableIsEmpty("DISPLAY"))
            platforms += "xcb;";
    } else {
        platforms += ';';
    }
    const bool displayWanted = !platforms.isEmpty() && !platforms.startsWith("offscreen");
    if (!platforms.contains("offscreen"))
        platforms += "offscreen";
    qputenv("QT_QPA_PLATFORM", platforms);
    return displayWanted;
}

// A request of this start (handedOver false) or of a later one (true).
void answer(const InstanceRequest &request, bool handedOver, TMainForm &mainForm,
            TFingerForm &fingerForm)
{
    switch (request.kind) {
    case InstanceRequest::Kind::Start:
        // Starting the program again is asking for it.
        if (handedOver)
            mainForm.Setup1Click();
        break;
    case InstanceRequest::Kind::Setup:
        mainForm.Setup1Click();
        break;
    case InstanceRequest::Kind::Finger:
        mainForm.Finger1Click();
        fingerForm.runQuery(request.address.name, request.address.host);
        break;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    const CommandLine commandLine = parseCommandLine(argumentList(argc, argv));
    switch (commandLine.action) {
    case CommandLine::Action::ShowHelp:
        std::fputs(qPrintable(commandLine.text), stdout);
        return 0;
    case CommandLine::Action::ShowVersion:
        std::printf("%s %s\n", ApplicationTitle, TellwickRelease);
        return 0;
    case CommandLine::Action::Fail:
        std::fprintf(stderr, "tellwick: %s\nTry 'tellwick --help'.\n",
                     qPrintable(commandLine.text));
        return 2;
    case CommandLine::Action::Run:
        break;
    }

    // One program per user: a later start gives the running one its request, before it opens
    // a display or a port.
    auto instance = std::make_unique<SingleInstance>(SingleInstance::runtimeFolder());
    switch (instance->claim()) {
    case SingleInstance::Claim::First:
        break;
    case SingleInstance::Claim::Running:
        if (instance->handOver(commandLine.request, HandOverTimeoutMs))
            return 0;
        std::fprintf(stderr, "tellwick: Tellwick is already running, but %s.\n",
                     qPrintable(instance->errorText()));
        return 1;
    case SingleInstance::Claim::Failed:
        std::fprintf(stderr,
                     "tellwick: cannot tell whether Tellwick is already running (%s); "
                     "starting anyway.\n",
                     qPrintable(instance->errorText()));
        break;
    }

    const bool displayWanted = choosePlatforms();

    // Qt's own event dispatcher instead of the GLib one: GLib writes to its wake-up descriptor
    // for every posted event and every change of a socket notifier, several times a query,
    // and that was a third of the time of a query. Only the GTK platform theme needs GLib's
    // loop: its native file dialogs would freeze without it.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB") &&
        !qEnvironmentVariable("QT_QPA_PLATFORMTHEME").startsWith(QLatin1String("gtk")))
        qputenv("QT_NO_GLIB", "1");

    QueryBusy = false;
    TellwickApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));
    // Wayland compositors match the windows to the menu entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("tellwick"));
    const bool headless = QGuiApplication::platformName() == QLatin1String("offscreen");
    if (headless && displayWanted)
        std::fprintf(stderr,
                     "tellwick: cannot open the display (QT_QPA_PLATFORM=%s); the "
                     "services run without windows.\n",
                     qgetenv("QT_QPA_PLATFORM").constData());
    // The program lives in the tray: hiding the last window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    QtDialogs dialogs;
    Dialogs::install(&dialogs);

    // A request to end that arrives before the main loop runs (in a message box at start-up)
    // would only end that box's loop: remember it, so that the main loop is not entered.
    bool terminationRequested = false;
    TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignals::received, &app,
                     [&terminationRequested] {
                         terminationRequested = true;
                         QCoreApplication::exit(0);
                     });

    auto mainForm = std::make_unique<TMainForm>();
    auto statDialog = std::make_unique<TStatDialog>();
    auto aboutBox = std::make_unique<TAboutBox>();
    auto fingerForm = std::make_unique<TFingerForm>(statDialog.get(), mainForm->Finger1);
    mainForm->setWindows(statDialog.get(), aboutBox.get(), fingerForm.get());

    // With a display, the tray icon says itself whether it waits for a tray.
    if (headless)
        std::fprintf(stderr, "tellwick: no system tray is available; running without a tray "
                             "icon.\n");

    QObject::connect(
        instance.get(), &SingleInstance::requested, &app,
        [&](const InstanceRequest &request) { answer(request, true, *mainForm, *fingerForm); });
    instance->serve();
    QTimer::singleShot(0, &app,
                       [&] { answer(commandLine.request, false, *mainForm, *fingerForm); });

    const int exitCode = terminationRequested ? 0 : QApplication::exec();

    // Windows go in the reverse order of their making; the tray icon leaves with the
    // setup window, and each socket component closes what it still holds.
    fingerForm.reset();
    aboutBox.reset();
    statDialog.reset();
    mainForm.reset();
    Dialogs::install(nullptr);
    // The lock goes last: a start from now on is the first again.
    instance.reset();
    return exitCode;
}
