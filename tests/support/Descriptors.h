#pragma once

// What a test sees of the process's open descriptors, to tell a leak from a release.

#include <QDir>

#include <fcntl.h>

inline int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

inline bool descriptorOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}
