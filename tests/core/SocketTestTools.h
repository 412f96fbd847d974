#pragma once

// The far end of a socket test: plain loopback sockets, and a record of what a socket
// component raised.

#include "Sockets.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QList>
#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

// Every event a component raised, in order.
struct EventLog
{
    struct Entry
    {
        QString name;
        int socket;
        int error;
        QString msg;
    };

    // Records every event; handlers set later replace the recording one of their event.
    void attach(TSockets &sockets, bool withErrors = true)
    {
        sockets.OnDataAvailable = [this](TSockets *, int s) { add("read", s); };
        sockets.OnDataNeeded = [this](TSockets *, int s) { add("write", s); };
        sockets.OnOutOfBoundsReceived = [this](TSockets *, int s) { add("oob", s); };
        sockets.OnSessionAvailable = [this](TSockets *, int s) { add("accept", s); };
        sockets.OnSessionConnected = [this](TSockets *, int s) { add("connect", s); };
        sockets.OnSessionClosed = [this](TSockets *, int s) { add("close", s); };
        if (withErrors)
            sockets.OnErrorOccurred = [this](TSockets *, int s, int error, const QString &msg) {
                entries.append({QStringLiteral("error"), s, error, msg});
            };
    }

    void add(const char *name, int socket)
    {
        entries.append({QString::fromLatin1(name), socket, 0, {}});
    }

    int count(const QString &name, int socket) const
    {
        int found = 0;
        for (const Entry &entry : entries)
            found += entry.name == name && entry.socket == socket ? 1 : 0;
        return found;
    }

    int count(const QString &name) const
    {
        int found = 0;
        for (const Entry &entry : entries)
            found += entry.name == name ? 1 : 0;
        return found;
    }

    QStringList names(int socket) const
    {
        QStringList result;
        for (const Entry &entry : entries)
            if (entry.socket == socket)
                result.append(entry.name);
        return result;
    }

    QList<Entry> errors() const
    {
        QList<Entry> result;
        for (const Entry &entry : entries)
            if (entry.name == QLatin1String("error"))
                result.append(entry);
        return result;
    }

    QList<Entry> entries;
};

// A plain socket of the test, closed when it goes out of scope.
class RawSocket
{
public:
    RawSocket() = default;
    explicit RawSocket(int fd) : m_fd(fd) {}
    ~RawSocket() { close(); }
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;
    RawSocket(RawSocket &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    RawSocket &operator=(RawSocket &&other) noexcept
    {
        if (this != &other) {
            close();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }

    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd != -1; }

    void close()
    {
        if (m_fd != -1)
            ::close(m_fd);
        m_fd = -1;
    }

    // Closes with a reset instead of an orderly end.
    void reset()
    {
        const linger abort{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close();
    }

    // A TCP socket bound to 127.0.0.1:port (0: any free port), without listening.
    static int bound(quint16 port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(port);
        if (fd != -1 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    // A TCP connection to 127.0.0.1:port; receiveBuffer > 0 shrinks the receive window.
    static int connectTo(quint16 port, int receiveBuffer = 0)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd == -1)
            return -1;
        if (receiveBuffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address = loopback(port);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    static sockaddr_in loopback(quint16 port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }

    bool send(const QByteArray &data) const
    {
        return ::send(m_fd, data.constData(), size_t(data.size()), MSG_NOSIGNAL) == data.size();
    }

    // Reads, while the event loop runs, until the peer closes, the connection breaks or the
    // time is up. *error gets errno of a broken connection, or ETIMEDOUT.
    QByteArray readToEnd(int *error, int milliseconds = 60000, int chunk = 65536) const
    {
        QByteArray all;
        QByteArray buffer(chunk, Qt::Uninitialized);
        QDeadlineTimer deadline(milliseconds);
        *error = 0;
        for (;;) {
            QCoreApplication::processEvents();
            const ssize_t received = ::recv(m_fd, buffer.data(), size_t(chunk), MSG_DONTWAIT);
            if (received > 0) {
                all.append(buffer.constData(), received);
                continue;
            }
            if (received == 0)
                return all;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                *error = errno;
                return all;
            }
            if (deadline.hasExpired()) {
                *error = ETIMEDOUT;
                return all;
            }
            pollfd entry{m_fd, POLLIN, 0};
            ::poll(&entry, 1, 5);
        }
    }

private:
    int m_fd = -1;
};

inline quint16 localPort(int fd)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == -1)
        return 0;
    return ntohs(address.sin_port);
}

inline bool descriptorOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

inline int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

// Listens on a free port of every local address and returns it.
inline quint16 listenOnFreePort(TSockets &sockets)
{
    sockets.Port = QStringLiteral("0");
    sockets.Listen();
    return localPort(sockets.ListenSocket());
}

inline QString boxText(int code, const QString &label)
{
    return QStringLiteral("Error %1 in function %2\r\n%3")
        .arg(code)
        .arg(label, SocketErrorText(code));
}
