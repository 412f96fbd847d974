#include "NetNamespace.h"

#include <QFile>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool entered = false;
QString failure = QStringLiteral("private network namespace not tried");

bool writeFile(const char *path, const QByteArray &text)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

bool bringLoopbackUp(QString *whyNot)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        *whyNot = QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) != -1;
    if (ok) {
        request.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ::ioctl(fd, SIOCSIFFLAGS, &request) != -1;
    }
    if (!ok)
        *whyNot = QStringLiteral("cannot bring up loopback: %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    return ok;
}

} // namespace

bool enterPrivateNetworkNamespace(QString *whyNot)
{
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNET) == -1) {
            *whyNot = QStringLiteral("unshare(CLONE_NEWNET): %1")
                          .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    } else {
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) == -1) {
            *whyNot = QStringLiteral("unshare(CLONE_NEWUSER | CLONE_NEWNET): %1")
                          .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        // Map ourselves to root inside, so that ports below 1024 may be bound there.
        writeFile("/proc/self/setgroups", "deny");
        if (!writeFile("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1") ||
            !writeFile("/proc/self/gid_map", "0 " + QByteArray::number(gid) + " 1")) {
            *whyNot = QStringLiteral("cannot write the user namespace's id maps");
            return false;
        }
    }
    return bringLoopbackUp(whyNot);
}

bool addForeignAddress(const char *address, QString *whyNot)
{
    const auto failed = [whyNot](const char *step) {
        *whyNot = QStringLiteral("cannot add an address to loopback (%1): %2")
                      .arg(QLatin1String(step), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    };
    ifreq request{};
    auto *ipv4 = reinterpret_cast<sockaddr_in *>(&request.ifr_addr);
    if (::inet_pton(AF_INET, address, &ipv4->sin_addr) == 1) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd == -1)
            return failed("socket");
        // An alias of loopback takes the address, then a netmask of all ones.
        std::strncpy(request.ifr_name, "lo:foreign", IFNAMSIZ - 1);
        ipv4->sin_family = AF_INET;
        bool ok = ::ioctl(fd, SIOCSIFADDR, &request) != -1;
        ipv4->sin_addr.s_addr = INADDR_NONE;
        ok = ok && ::ioctl(fd, SIOCSIFNETMASK, &request) != -1;
        const int error = errno;
        ::close(fd);
        errno = error;
        return ok || failed("IPv4");
    }
    // The kernel's in6_ifreq.
    struct
    {
        in6_addr address;
        quint32 prefixLength;
        int interfaceIndex;
    } ipv6{};
    if (::inet_pton(AF_INET6, address, &ipv6.address) != 1) {
        errno = EINVAL;
        return failed(address);
    }
    ipv6.prefixLength = 128;
    ipv6.interfaceIndex = int(::if_nametoindex("lo"));
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return failed("socket");
    const bool ok = ::ioctl(fd, SIOCSIFADDR, &ipv6) != -1;
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok || failed("IPv6");
}

bool enterPrivateNetworkNamespaceOnce()
{
    static const bool once = [] {
        entered = enterPrivateNetworkNamespace(&failure);
        return entered;
    }();
    return once;
}

bool privateNetworkNamespaceEntered(QString *whyNot)
{
    if (!entered && whyNot)
        *whyNot =
            QStringLiteral("no private network namespace (%1); this test needs one").arg(failure);
    return entered;
}
