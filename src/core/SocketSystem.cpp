#include "SocketSystem.h"

#include "Sockets.h"

#include <QCoreApplication>

#include <cerrno>
#include <poll.h>

namespace {

thread_local BlockingCall *currentCall = nullptr;

// Length of one wait between two rounds of event dispatch.
constexpr int sliceMilliseconds = 10;

} // namespace

int winSockError(int errnoValue)
{
    using namespace WinSock;
    switch (errnoValue) {
    case EINTR:
        return WSAEINTR;
    case EBADF:
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
        return WSAEWOULDBLOCK;
    case EBUSY:
        // Another blocking call of this thread is in progress.
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
    case EPROTO:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case EPIPE:
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        // Anything else is a failure of the system underneath the sockets.
        return 10091;
    }
}

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
