#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Nothing else is safe here; a full pipe already holds a pending end request.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

const int watchedSignals[] = {SIGTERM, SIGINT};

// Gives the signals their default actions back, then closes the pipe.
void uninstall()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : watchedSignals)
        ::sigaction(signalNumber, &action, nullptr);
    for (int &end : signalPipe) {
        if (end != -1)
            ::close(end);
        end = -1;
    }
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
    // The pipe is open exactly while an instance watches: a second one stays idle.
    if (signalPipe[0] != -1 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == -1)
        return;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : watchedSignals) {
        if (::sigaction(signalNumber, &action, nullptr) == -1) {
            uninstall();
            return;
        }
    }
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readSignal);
}

TerminationSignals::~TerminationSignals()
{
    // Only the instance that installed the handlers and the pipe may remove them.
    if (!m_notifier)
        return;
    delete m_notifier; // before its descriptor closes
    m_notifier = nullptr;
    uninstall();
}

void TerminationSignals::readSignal()
{
    unsigned char byte = 0;
    ssize_t got;
    while ((got = ::read(signalPipe[0], &byte, 1)) == 1)
        emit received(byte);
}
