#include "SocketSystem.h"

#include <QCoreApplication>

#include <cerrno>
#include <poll.h>

namespace {

thread_local BlockingCall *currentCall = nullptr;

// Length of one wait between two rounds of event dispatch.
constexpr int sliceMilliseconds = 10;

} // namespace

BlockingCall::BlockingCall()
{
    if (currentCall)
        m_nested = true;
    else
        currentCall = this;
}

BlockingCall::~BlockingCall()
{
    if (currentCall == this)
        currentCall = nullptr;
}

bool BlockingCall::inProgress()
{
    return currentCall != nullptr;
}

void BlockingCall::cancelCurrent()
{
    if (currentCall)
        currentCall->m_cancelled = true;
}

bool BlockingCall::startable()
{
    if (m_nested) {
        errno = EBUSY;
        return false;
    }
    return true;
}

bool BlockingCall::wait(int fd, short events)
{
    for (;;) {
        if (m_cancelled) {
            errno = EINTR;
            return false;
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, sliceMilliseconds);
        if (ready == -1 && errno != EINTR)
            return false;
        if (ready == 1) {
            if (entry.revents & POLLNVAL) {
                errno = EBADF;
                return false;
            }
            // Errors and hang-ups count as ready: the call itself then reports them.
            return true;
        }
        QCoreApplication::processEvents();
    }
}

template <typename Call>
auto BlockingCall::retry(int fd, short events, Call call) -> decltype(call())
{
    for (;;) {
        if (m_cancelled) {
            errno = EINTR;
            return -1;
        }
        const auto result = call();
        if (result != -1)
            return result;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        if (!wait(fd, events))
            return -1;
    }
}

ssize_t BlockingCall::receive(int fd, char *buffer, size_t length)
{
    if (!startable())
        return -1;
    return retry(fd, POLLIN, [&] { return ::recv(fd, buffer, length, MSG_DONTWAIT); });
}

ssize_t BlockingCall::sendAll(int fd, const char *data, size_t length)
{
    if (!startable())
        return -1;
    size_t done = 0;
    do {
        const ssize_t sent = retry(fd, POLLOUT, [&] {
            return ::send(fd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (sent == -1)
            return -1;
        done += size_t(sent);
    } while (done < length);
    return ssize_t(length);
}

int BlockingCall::accept(int listenFd, sockaddr *address, socklen_t *length)
{
    if (!startable())
        return -1;
    const socklen_t room = *length;
    return retry(listenFd, POLLIN, [&] {
        *length = room;
        const int fd = ::accept4(listenFd, address, length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        // A connection that ended before it was taken: wait for the next one.
        if (fd == -1 && errno == ECONNABORTED)
            errno = EINTR;
        return fd;
    });
}

int BlockingCall::connect(int fd, const sockaddr *address, socklen_t length)
{
    if (!startable())
        return -1;
    if (::connect(fd, address, length) == 0)
        return 0;
    // An interrupted connect goes on in the background, like one in progress.
    if (errno != EINPROGRESS && errno != EINTR)
        return -1;
    if (!wait(fd, POLLOUT))
        return -1;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == -1)
        return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}
