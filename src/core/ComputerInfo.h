#pragma once

#include <QObject>
#include <QString>

class SystemFacts;

// Facts about the computer and the user the program runs for, gathered once when the
// component is created and fixed from then on. Nothing is reported when a query fails: the
// property holds an empty text or 0.
class TComputerInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString ComputerName READ ComputerName CONSTANT)
    Q_PROPERTY(qint32 OemID READ OemID CONSTANT)
    Q_PROPERTY(quint16 ProcessorArchitecture READ ProcessorArchitecture CONSTANT)
    Q_PROPERTY(QString LoginName READ LoginName CONSTANT)
    Q_PROPERTY(qint32 OsVersionHi READ OsVersionHi CONSTANT)
    Q_PROPERTY(qint32 OsVersionLo READ OsVersionLo CONSTANT)
    Q_PROPERTY(qint32 BuildVersion READ BuildVersion CONSTANT)
    Q_PROPERTY(qint32 PlatformID READ PlatformID CONSTANT)
    Q_PROPERTY(QString PlatformString READ PlatformString CONSTANT)
    Q_PROPERTY(bool InitError READ InitError CONSTANT)

public:
    // Without facts, asks the running system; facts are only used while constructing.
    explicit TComputerInfo(QObject *owner = nullptr, const SystemFacts *facts = nullptr);

    QString ComputerName() const { return m_computerName; }
    qint32 OemID() const { return m_oemId; }
    quint16 ProcessorArchitecture() const { return quint16(quint32(m_oemId) & 0xFFFF); }
    // As the system spells it; Login is derived from it.
    QString LoginName() const { return m_loginName; }
    qint32 OsVersionHi() const { return m_osVersionHi; }
    qint32 OsVersionLo() const { return m_osVersionLo; }
    qint32 BuildVersion() const { return m_buildVersion; }
    qint32 PlatformID() const { return m_platformId; }
    QString PlatformString() const { return m_platformString; }
    // Gathering never fails as a whole.
    bool InitError() const { return false; }

private:
    QString m_computerName;
    qint32 m_oemId = 0;
    QString m_loginName;
    qint32 m_osVersionHi = 0;
    qint32 m_osVersionLo = 0;
    qint32 m_buildVersion = 0;
    qint32 m_platformId = 0;
    QString m_platformString;
};
