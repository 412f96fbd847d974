#include "HostsFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

bool failed(const char *what, QString *whyNot)
{
    *whyNot = QStringLiteral("%1: %2").arg(QLatin1String(what),
                                           QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

bool mountOverHosts(const char *path, QString *whyNot)
{
    if (::unshare(CLONE_NEWNS) == -1)
        return failed("unshare(CLONE_NEWNS)", whyNot);
    // Private, so that the bind mount never shows outside this process.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1)
        return failed("mount --make-rprivate /", whyNot);
    if (::mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) == -1)
        return failed("mount --bind over /etc/hosts", whyNot);
    return true;
}

} // namespace

bool usePrivateHostsFile(const QByteArray &contents, QString *whyNot)
{
    char path[] = "/tmp/tellwick-hosts-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd == -1)
        return failed("mkstemp", whyNot);
    const bool written =
        ::write(fd, contents.constData(), size_t(contents.size())) == ssize_t(contents.size());
    ::close(fd);
    const bool ok = written ? mountOverHosts(path, whyNot) : failed("write", whyNot);
    // The mount holds the file; its name is no longer needed.
    ::unlink(path);
    return ok;
}
