#pragma once

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// The facts about the computer and its user that TComputerInfo gathers, behind a seam so that
// tests can give other answers. A query that fails gives an empty text or 0.
class SystemFacts
{
public:
    struct OsVersion
    {
        qint32 major = 0;
        qint32 minor = 0;
        qint32 build = 0;
    };

    // Windows processor architecture numbers, which the OEM identifier carries.
    static constexpr quint16 ArchitectureIntel = 0;
    static constexpr quint16 ArchitectureArm = 5;
    static constexpr quint16 ArchitectureIa64 = 6;
    static constexpr quint16 ArchitectureAmd64 = 9;
    static constexpr quint16 ArchitectureArm64 = 12;
    static constexpr quint16 ArchitectureUnknown = 0xFFFF;

    virtual ~SystemFacts() = default;

    virtual QString userName() const = 0;
    virtual QString computerName() const = 0;
    // The processor architecture in the low 16 bits.
    virtual qint32 oemId() const = 0;
    virtual OsVersion osVersion() const = 0;
    virtual qint32 platformId() const = 0;
};

// The running Linux system: the password database entry of the effective user, the host
// name, and uname's machine and kernel release.
class LinuxSystemFacts final : public SystemFacts
{
public:
    // Platform identifiers 0 to 2 are the Windows families; 4 is the number platform tables
    // commonly give Unix (3 being Windows CE).
    static constexpr qint32 UnixPlatformId = 4;

    QString userName() const override;
    QString computerName() const override;
    qint32 oemId() const override;
    OsVersion osVersion() const override;
    qint32 platformId() const override { return UnixPlatformId; }

    // "6.1.0-18-amd64" gives 6, 1 and 0: the leading numbers of the release, missing ones 0.
    static OsVersion parseKernelRelease(QByteArrayView release);
    static quint16 processorArchitecture(QByteArrayView machine);
};
