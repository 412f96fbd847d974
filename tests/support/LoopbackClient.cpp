#include "LoopbackClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

LoopbackClient::LoopbackClient(quint16 port, Options options)
    : m_thread([this, port, options] { run(port, options); })
{
}

LoopbackClient::~LoopbackClient()
{
    m_thread.join();
}

QByteArray LoopbackClient::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

namespace {

// An IPv4 or IPv6 address text with a port; false when the text is neither.
bool socketAddress(const QByteArray &host, quint16 port, sockaddr_storage *address)
{
    *address = {};
    auto *ipv4 = reinterpret_cast<sockaddr_in *>(address);
    auto *ipv6 = reinterpret_cast<sockaddr_in6 *>(address);
    ipv4->sin_port = htons(port); // at the same place in both records
    if (::inet_pton(AF_INET, host.constData(), &ipv4->sin_addr) == 1)
        address->ss_family = AF_INET;
    else if (::inet_pton(AF_INET6, host.constData(), &ipv6->sin6_addr) == 1)
        address->ss_family = AF_INET6;
    return address->ss_family != AF_UNSPEC;
}

} // namespace

void LoopbackClient::run(quint16 port, Options options)
{
    sockaddr_storage address;
    sockaddr_storage source;
    if (!socketAddress(options.host, port, &address) ||
        (!options.source.isEmpty() && !socketAddress(options.source, 0, &source))) {
        m_ending = Ending::Failed;
        return;
    }
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        m_ending = Ending::Failed;
        return;
    }
    timeval timeout{options.receiveTimeoutMs / 1000, (options.receiveTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (!options.source.isEmpty() &&
        ::bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) == -1) {
        m_ending = Ending::Failed;
        ::close(fd);
        return;
    }
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1) {
        m_ending = errno == ECONNREFUSED ? Ending::Refused : Ending::Failed;
        ::close(fd);
        return;
    }
    if (options.resetAtOnce) {
        const linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(fd);
        m_ending = Ending::Reset;
        return;
    }
    if (options.leaveSilently) {
        ::close(fd);
        m_ending = Ending::Closed;
        return;
    }
    if (options.delayBeforeSendMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(options.delayBeforeSendMs));
    if (options.sendRequest && !options.request.isEmpty())
        ::send(fd, options.request.constData(), options.request.size(), MSG_NOSIGNAL);
    if (options.shutdownWrite)
        ::shutdown(fd, SHUT_WR);
    QByteArray buffer(options.readChunk, Qt::Uninitialized);
    Ending ending = Ending::Closed;
    for (;;) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got > 0) {
            std::lock_guard lock(m_mutex);
            m_received.append(buffer.constData(), got);
        } else if (got == 0) {
            break;
        } else if (errno == EINTR) {
            continue;
        } else {
            ending = (errno == EAGAIN || errno == EWOULDBLOCK) ? Ending::TimedOut : Ending::Reset;
            break;
        }
        if (options.pauseBetweenReadsMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options.pauseBetweenReadsMs));
    }
    ::close(fd);
    m_ending = ending;
}
