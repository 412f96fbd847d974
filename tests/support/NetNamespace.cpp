#include "NetNamespace.h"

#include <QFile>
#include <QProcess>

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
    const bool ipv6 = std::strchr(address, ':') != nullptr;
    QStringList arguments{"address", "add", QLatin1String(address) + (ipv6 ? "/128" : "/32"), "dev",
                          "lo"};
    if (ipv6)
        arguments << "nodad"; // usable at once
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments);
    if (ip.waitForFinished() && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0)
        return true;
    *whyNot = QStringLiteral("cannot add %1 to loopback with ip (iproute2): %2")
                  .arg(QLatin1String(address), ip.errorString() + ip.readAllStandardError());
    return false;
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
