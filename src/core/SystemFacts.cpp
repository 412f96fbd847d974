#include "SystemFacts.h"

#include <cerrno>
#include <limits>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

QString LinuxSystemFacts::userName() const
{
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? size_t(suggested) : 1024);
    passwd entry{};
    passwd *found = nullptr;
    for (;;) {
        const int error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == EINTR)
            continue;
        if (error == ERANGE && buffer.size() < 1024 * 1024) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found)
            return {};
        return QString::fromLocal8Bit(found->pw_name);
    }
}

QString LinuxSystemFacts::computerName() const
{
    const long limit = ::sysconf(_SC_HOST_NAME_MAX);
    std::vector<char> buffer((limit > 0 ? size_t(limit) : 255) + 1, '\0');
    if (::gethostname(buffer.data(), buffer.size() - 1) == -1)
        return {};
    return QString::fromLocal8Bit(buffer.data()); // the last byte stays NUL even if cut off
}

qint32 LinuxSystemFacts::oemId() const
{
    utsname names{};
    if (::uname(&names) == -1)
        return 0;
    return processorArchitecture(names.machine);
}

SystemFacts::OsVersion LinuxSystemFacts::osVersion() const
{
    utsname names{};
    if (::uname(&names) == -1)
        return {};
    return parseKernelRelease(names.release);
}

SystemFacts::OsVersion LinuxSystemFacts::parseKernelRelease(QByteArrayView release)
{
    qint32 numbers[3] = {0, 0, 0};
    qsizetype pos = 0;
    for (qint32 &number : numbers) {
        if (pos > 0) {
            if (pos >= release.size() || release[pos] != '.')
                break;
            ++pos;
        }
        const qsizetype start = pos;
        qint64 value = 0;
        while (pos < release.size() && release[pos] >= '0' && release[pos] <= '9') {
            value = value * 10 + (release[pos++] - '0');
            if (value > std::numeric_limits<qint32>::max())
                return {numbers[0], numbers[1], numbers[2]};
        }
        if (pos == start)
            break;
        number = qint32(value);
    }
    return {numbers[0], numbers[1], numbers[2]};
}

quint16 LinuxSystemFacts::processorArchitecture(QByteArrayView machine)
{
    if (machine == "x86_64" || machine == "amd64")
        return ArchitectureAmd64;
    if (machine == "aarch64" || machine == "aarch64_be" || machine == "arm64")
        return ArchitectureArm64;
    if (machine == "x86" || (machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' &&
                             machine[1] <= '6' && machine.endsWith("86")))
        return ArchitectureIntel;
    if (machine.startsWith("arm"))
        return ArchitectureArm;
    if (machine == "ia64")
        return ArchitectureIa64;
    return ArchitectureUnknown;
}
