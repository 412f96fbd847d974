#pragma once

// The far end of a socket test: plain loopback sockets, and a record of what a socket
// component raised.

#include "Descriptors.h"
#include "Sockets.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

// Generous: the test machine may be busy.
inline constexpr int waitLimit = 20000;

// Every event a component raised, in order; handlers set later replace recording ones.
struct EventLog
{
    struct Entry
    {
        QString name;
        int socket;
        int error;
        QString msg;
    };

    void attach(TSockets &s, bool withErrors = true)
    {
        s.OnDataAvailable = [this](TSockets *, int fd) { add("read", fd); };
        s.OnDataNeeded = [this](TSockets *, int fd) { add("write", fd); };
        s.OnOutOfBoundsReceived = [this](TSockets *, int fd) { add("oob", fd); };
        s.OnSessionAvailable = [this](TSockets *, int fd) { add("accept", fd); };
        s.OnSessionConnected = [this](TSockets *, int fd) { add("connect", fd); };
        s.OnSessionClosed = [this](TSockets *, int fd) { add("close", fd); };
        if (withErrors)
            s.OnErrorOccurred = [this](TSockets *, int fd, int error, const QString &msg) {
                entries.append({QStringLiteral("error"), fd, error, msg});
            };
    }

    void add(const char *name, int fd) { entries.append({QLatin1String(name), fd, 0, {}}); }

    // Names of the events of one socket (-2: of all).
    QStringList names(int fd = -2) const
    {
        QStringList result;
        for (const Entry &entry : entries)
            if (fd == -2 || entry.socket == fd)
                result.append(entry.name);
        return result;
    }

    int count(const char *name, int fd = -2) const { return int(names(fd).count(name)); }

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
    RawSocket(RawSocket &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    RawSocket &operator=(RawSocket &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
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

    static sockaddr_in loopback(quint16 port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }

    // Bound to 127.0.0.1:port (0: a free port) without listening, or connected to it;
    // receiveBuffer > 0 shrinks the receive window.
    static RawSocket bound(quint16 port) { return open(port, false, 0); }
    static RawSocket connectedTo(quint16 port, int receiveBuffer = 0)
    {
        return open(port, true, receiveBuffer);
    }

    bool send(const QByteArray &data) const
    {
        return ::send(m_fd, data.constData(), size_t(data.size()), MSG_NOSIGNAL) == data.size();
    }

    // Reads, while the event loop runs, until the peer closes, the connection breaks
    // (*error = errno) or the time is up (*error = ETIMEDOUT).
    QByteArray readToEnd(int *error, int chunk = 65536) const
    {
        QByteArray all;
        QByteArray buffer(chunk, Qt::Uninitialized);
        QDeadlineTimer deadline(6 * waitLimit);
        for (*error = 0;;) {
            QCoreApplication::processEvents();
            const ssize_t received = ::recv(m_fd, buffer.data(), size_t(chunk), MSG_DONTWAIT);
            if (received > 0) {
                all.append(buffer.constData(), received);
                continue;
            }
            if (received == 0)
                return all;
            if (errno != EAGAIN && errno != EINTR)
                *error = errno;
            else if (deadline.hasExpired())
                *error = ETIMEDOUT;
            if (*error)
                return all;
            pollfd entry{m_fd, POLLIN, 0};
            ::poll(&entry, 1, 5);
        }
    }

private:
    static RawSocket open(quint16 port, bool connect, int receiveBuffer)
    {
        RawSocket raw(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (receiveBuffer > 0)
            ::setsockopt(raw.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const sockaddr_in address = loopback(port);
        const auto *target = reinterpret_cast<const sockaddr *>(&address);
        if ((connect ? ::connect(raw.fd(), target, sizeof address)
                     : ::bind(raw.fd(), target, sizeof address)) == -1)
            raw.close();
        return raw;
    }

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

// Listens on a free port of every local address and returns it.
inline quint16 listenOnFreePort(TSockets &sockets)
{
    sockets.Port = QStringLiteral("0");
    sockets.Listen();
    return localPort(sockets.ListenSocket());
}

// Points a client at a port of 127.0.0.1.
inline void aimAt(TSockets &client, quint16 port)
{
    client.IPAddr = QStringLiteral("127.0.0.1");
    client.Port = QString::number(port);
}

inline QString boxText(int code, const QString &label)
{
    return QStringLiteral("Error %1 in function %2\r\n%3")
        .arg(QString::number(code), label, SocketErrorText(code));
}

// A listening component that accepts every client, and one plain client of it.
struct AcceptedSession
{
    explicit AcceptedSession(int receiveBuffer = 0)
    {
        log.attach(server);
        server.OnSessionAvailable = [this](TSockets *, int) { accepted = server.Accept(); };
        port = listenOnFreePort(server);
        peer = RawSocket::connectedTo(port, receiveBuffer);
    }

    // Whether the client was accepted in time.
    bool accept()
    {
        return peer.isOpen() && QTest::qWaitFor([this] { return accepted != -1; }, waitLimit);
    }

    TSockets server;
    EventLog log;
    quint16 port = 0;
    int accepted = -1;
    RawSocket peer;
};
