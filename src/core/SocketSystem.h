#pragma once

// Private to the Sockets unit: blocking calls wait in short slices on non-blocking descriptors
// while the Qt event loop keeps dispatching, the way the WinSock 1.1 blocking hook did.

#include <sys/socket.h>
#include <sys/types.h>

// One blocking call of this thread. Only one can be in progress per thread: a second one
// (from a handler that runs while the first waits) fails at once with EBUSY.
class BlockingCall
{
public:
    BlockingCall();
    ~BlockingCall();
    BlockingCall(const BlockingCall &) = delete;
    BlockingCall &operator=(const BlockingCall &) = delete;

    // Whether a blocking call of this thread is in progress, and cancelling it: the call
    // then fails with EINTR.
    static bool inProgress();
    static void cancelCurrent();

    // Each returns what the system call returns, -1 with errno on failure, once the call
    // could complete, failed or was cancelled.
    ssize_t receive(int fd, char *buffer, size_t length);
    // Sends everything; returns the length, or -1 when a send failed.
    ssize_t sendAll(int fd, const char *data, size_t length);
    int accept(int listenFd, sockaddr *address, socklen_t *length);
    int connect(int fd, const sockaddr *address, socklen_t length);

private:
    // Waits until fd is ready for events (poll flags) while dispatching; false with errno
    // set when cancelled (EINTR) or when fd is not open (EBADF).
    bool wait(int fd, short events);
    // Repeats a call that does not block until it completes or fails other than for
    // "would block", waiting for fd to become ready for events in between.
    template <typename Call> auto retry(int fd, short events, Call call) -> decltype(call());
    bool startable();

    bool m_nested = false;
    bool m_cancelled = false;
};
