#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A request is one kind word and one address; anything longer is not from this program.
constexpr qsizetype MaxRequestBytes = 4096;
// Later starts that have connected and not yet finished their request.
constexpr std::size_t MaxConnections = 8;
constexpr char Taken = 'k';

QString systemError(const char *what, const QByteArray &path, int error)
{
    return QStringLiteral("%1 %2: %3")
        .arg(QLatin1String(what), QString::fromLocal8Bit(path),
             QString::fromLocal8Bit(std::strerror(error)));
}

sockaddr_un socketAddress(const QByteArray &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), path.size());
    return address;
}

// Waits for one of events on fd until the deadline; false when it passed.
bool awaitReady(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, int(deadline.remainingTime()));
        if (ready == -1 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

QString addressText(const FingerAddress &address)
{
    const QString host = address.host.contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + address.host + QLatin1Char(']')
                             : address.host;
    return address.name + QLatin1Char('@') + host;
}

} // namespace

QByteArray InstanceRequest::encoded() const
{
    switch (kind) {
    case Kind::Start:
        return QByteArrayLiteral("start\n");
    case Kind::Setup:
        return QByteArrayLiteral("setup\n");
    case Kind::Finger:
        break;
    }
    // The address travels as a person writes it, and is read back by the same parser.
    return QByteArrayLiteral("finger\n") + addressText(address).toUtf8();
}

std::optional<InstanceRequest> InstanceRequest::decoded(const QByteArray &data)
{
    const qsizetype lineEnd = data.indexOf('\n');
    if (lineEnd == -1)
        return std::nullopt;
    const QByteArray kind = data.left(lineEnd);
    const QByteArray argument = data.mid(lineEnd + 1);
    if (kind == "start" && argument.isEmpty())
        return InstanceRequest{Kind::Start, {}};
    if (kind == "setup" && argument.isEmpty())
        return InstanceRequest{Kind::Setup, {}};
    if (kind != "finger")
        return std::nullopt;
    const std::optional<FingerAddress> address = parseFingerAddress(QString::fromUtf8(argument));
    if (!address)
        return std::nullopt;
    return InstanceRequest{Kind::Finger, *address};
}

struct SingleInstance::Connection
{
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    QByteArray data;
};

SingleInstance::SingleInstance(const QString &folder, QObject *parent) : QObject(parent)
{
    if (!folder.isEmpty()) {
        const QByteArray base = QFile::encodeName(folder) + "/tellwick";
        m_lockPath = base + ".lock";
        m_socketPath = base + ".socket";
    }
}

SingleInstance::~SingleInstance()
{
    while (!m_connections.empty())
        drop(m_connections.front().get());
    // The socket goes while the lock is still held: the next first start makes its own.
    if (m_listenFd != -1) {
        ::close(m_listenFd);
        ::unlink(m_socketPath.constData());
    }
    if (m_lockFd != -1)
        ::close(m_lockFd);
}

QString SingleInstance::runtimeFolder()
{
    const uid_t user = ::geteuid();
    struct stat info
    {
    };
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && ::stat(runtime.constData(), &info) == 0 &&
        S_ISDIR(info.st_mode) && info.st_uid == user)
        return QFile::decodeName(runtime);
    // Without one, a folder of our own in /tmp, which nobody else may have made or entered.
    const QByteArray own = "/tmp/tellwick-" + QByteArray::number(user);
    if (::mkdir(own.constData(), 0700) == -1 && errno != EEXIST)
        return QString();
    if (::lstat(own.constData(), &info) == -1 || !S_ISDIR(info.st_mode) || info.st_uid != user ||
        (info.st_mode & 077) != 0)
        return QString();
    return QFile::decodeName(own);
}

SingleInstance::Claim SingleInstance::claim()
{
    if (m_lockPath.isEmpty()) {
        m_error = QStringLiteral("no private runtime folder");
        return Claim::Failed;
    }
    if (std::size_t(m_socketPath.size()) >= sizeof(sockaddr_un::sun_path)) {
        m_error = QStringLiteral("the runtime folder's path is too long for a socket");
        return Claim::Failed;
    }
    m_lockFd = ::open(m_lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lockFd == -1) {
        m_error = systemError("cannot open", m_lockPath, errno);
        return Claim::Failed;
    }
    int locked;
    do
        locked = ::flock(m_lockFd, LOCK_EX | LOCK_NB);
    while (locked == -1 && errno == EINTR);
    if (locked == -1) {
        const int error = errno;
        ::close(m_lockFd);
        m_lockFd = -1;
        if (error == EWOULDBLOCK)
            return Claim::Running;
        m_error = systemError("cannot lock", m_lockPath, error);
        return Claim::Failed;
    }

    // A socket file that is still there was left by a program that ended without removing it.
    ::unlink(m_socketPath.constData());
    const sockaddr_un address = socketAddress(m_socketPath);
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd == -1 ||
        ::bind(m_listenFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == -1 ||
        ::listen(m_listenFd, int(MaxConnections)) == -1) {
        m_error = systemError("cannot listen on", m_socketPath, errno);
        if (m_listenFd != -1)
            ::close(m_listenFd);
        m_listenFd = -1;
        // Without a socket later starts could not hand over: let them run as this one does.
        ::close(m_lockFd);
        m_lockFd = -1;
        return Claim::Failed;
    }
    return Claim::First;
}

bool SingleInstance::handOver(const InstanceRequest &request, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const sockaddr_un address = socketAddress(m_socketPath);
    int fd = -1;
    for (;;) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd == -1) {
            m_error = systemError("cannot make a socket for", m_socketPath, errno);
            return false;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
            break;
        const int error = errno;
        ::close(fd);
        // The running program may hold the lock and not listen yet, or have a full queue.
        const bool worthRetrying =
            error == ENOENT || error == ECONNREFUSED || error == EAGAIN || error == EINTR;
        if (!worthRetrying || deadline.hasExpired()) {
            m_error = systemError("cannot connect to", m_socketPath, error);
            return false;
        }
        ::usleep(20000);
    }

    const QByteArray message = request.encoded();
    qsizetype sent = 0;
    while (sent < message.size()) {
        const ssize_t wrote =
            ::send(fd, message.constData() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (wrote > 0)
            sent += wrote;
        else if (wrote == -1 && errno != EINTR &&
                 !((errno == EAGAIN || errno == EWOULDBLOCK) && awaitReady(fd, POLLOUT, deadline)))
            break;
    }
    ::shutdown(fd, SHUT_WR);
    char answer = 0;
    ssize_t got = -1;
    while (sent == message.size() && awaitReady(fd, POLLIN, deadline)) {
        got = ::recv(fd, &answer, 1, 0);
        if (got != -1 || errno != EINTR)
            break;
    }
    ::close(fd);
    if (got == 1 && answer == Taken)
        return true;
    m_error = deadline.hasExpired() ? QStringLiteral("it did not answer in time")
                                    : QStringLiteral("it refused the request");
    return false;
}

void SingleInstance::serve()
{
    if (m_listenFd == -1 || m_listenNotifier)
        return;
    m_listenNotifier = new QSocketNotifier(m_listenFd, QSocketNotifier::Read, this);
    connect(m_listenNotifier, &QSocketNotifier::activated, this,
            &SingleInstance::acceptConnections);
}

void SingleInstance::acceptConnections()
{
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd == -1) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE) {
                // The waiting connection stays and would wake us at once: pause instead.
                m_listenNotifier->setEnabled(false);
                QTimer::singleShot(1000, m_listenNotifier,
                                   [notifier = m_listenNotifier] { notifier->setEnabled(true); });
            }
            return;
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == -1 ||
            peer.uid != ::geteuid()) {
            ::close(fd);
            continue;
        }
        if (m_connections.size() >= MaxConnections)
            drop(m_connections.front().get());
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(connection->notifier, &QSocketNotifier::activated, this,
                [this, raw = connection.get()] { readFrom(raw); });
        m_connections.push_back(std::move(connection));
    }
}

void SingleInstance::readFrom(Connection *connection)
{
    char buffer[512];
    ssize_t got;
    for (;;) {
        got = ::recv(connection->fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            connection->data.append(buffer, got);
            if (connection->data.size() > MaxRequestBytes) {
                drop(connection);
                return;
            }
            continue;
        }
        if (got == -1 && errno == EINTR)
            continue;
        if (got == -1 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        break;
    }
    // The request is complete when the other side has shut down its sending half.
    const std::optional<InstanceRequest> request =
        got == 0 ? InstanceRequest::decoded(connection->data) : std::nullopt;
    if (request)
        ::send(connection->fd, &Taken, 1, MSG_NOSIGNAL);
    drop(connection);
    // Last: the handler may run a nested event loop that brings the next request.
    if (request)
        emit requested(*request);
}

void SingleInstance::drop(Connection *connection)
{
    // Called from the connection's own notifier: it goes once that has returned.
    connection->notifier->setEnabled(false);
    connection->notifier->deleteLater();
    ::close(connection->fd);
    std::erase_if(m_connections,
                  [connection](const auto &held) { return held.get() == connection; });
}
