// The program entry: the application, the four windows, the message loop.

#include "About.h"
#include "Dialogs.h"
#include "FInger.h"
#include "Main.h"
#include "QtDialogs.h"
#include "RuntimeError.h"
#include "Stat.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QSystemTrayIcon>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/resource.h>

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

bool hasDisplay()
{
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsSet("DISPLAY") ||
           qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

// Every session and every close that waits for its peer holds a descriptor: take all the
// system allows, not the small default that select() once needed.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == -1 || limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

int main(int argc, char *argv[])
{
    // Without a display the services still run; only the tray icon and the windows are gone.
    raiseDescriptorLimit();
    const bool headless = !hasDisplay();
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

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

    if (headless || !QSystemTrayIcon::isSystemTrayAvailable())
        std::fprintf(stderr, "tellwick: no system tray is available; running without a tray "
                             "icon.\n");

    const int exitCode = terminationRequested ? 0 : QApplication::exec();

    // Windows go in the reverse order of their making; the tray icon leaves with the
    // setup window, and each socket component closes what it still holds.
    fingerForm.reset();
    aboutBox.reset();
    statDialog.reset();
    mainForm.reset();
    Dialogs::install(nullptr);
    return exitCode;
}
