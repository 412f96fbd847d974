#include "ComputerInfo.h"

#include "SystemFacts.h"

namespace {

QString platformText(qint32 platformId)
{
    switch (platformId) {
    case 0:
        return QStringLiteral("Windows 3.1 with Win32s");
    case 1:
        return QStringLiteral("Windows 95");
    case 2:
        return QStringLiteral("Windows NT");
    default:
        return QStringLiteral("Unknown");
    }
}

} // namespace

TComputerInfo::TComputerInfo(QObject *owner, const SystemFacts *facts) : QObject(owner)
{
    const LinuxSystemFacts runningSystem;
    const SystemFacts &source = facts ? *facts : runningSystem;
    m_loginName = source.userName();
    m_computerName = source.computerName();
    m_oemId = source.oemId();
    const SystemFacts::OsVersion version = source.osVersion();
    m_osVersionHi = version.major;
    m_osVersionLo = version.minor;
    m_buildVersion = version.build;
    m_platformId = source.platformId();
    m_platformString = platformText(m_platformId);
}
