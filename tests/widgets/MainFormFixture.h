#pragma once

// What the tests of the setup window and its services share: a known user and computer,
// a prepared registry file, and a way to put a query to a port and wait for the answer.

#include "Descriptors.h"
#include "LoopbackClient.h"
#include "Main.h"
#include "RecordingDialogs.h"
#include "RegistryFile.h"
#include "Settings.h"
#include "Stat.h"
#include "SystemFacts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <memory>

class FakeSystemFacts final : public SystemFacts
{
public:
    QString userName() const override { return QStringLiteral("Lab User"); }
    QString computerName() const override { return QStringLiteral("labhost"); }
    qint32 oemId() const override { return ArchitectureAmd64; }
    OsVersion osVersion() const override { return {6, 1, 0}; }
    qint32 platformId() const override { return 4; }
};

// The login the fake user gets.
inline const QByteArray FakeLogin = "lab_user";

inline QString registryPath()
{
    return RegistryFile::defaultPath();
}

// Replaces the registry file with these values of the Tellwick key ("" removes the file).
inline void writeRegistry(const QList<QPair<QString, QString>> &values)
{
    QFile::remove(registryPath());
    if (values.isEmpty())
        return;
    QDir().mkpath(QFileInfo(registryPath()).absolutePath());
    QString text = QStringLiteral("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tellwick]\r\n");
    for (const auto &[name, value] : values)
        text += QStringLiteral("\"%1\"=%2\r\n").arg(name, value);
    QFile file(registryPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
}

inline QByteArray readRegistry()
{
    QFile file(registryPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The program's windows as the program entry makes them, with the message boxes recorded.
struct Program
{
    explicit Program()
    {
        Settings = TSettings{};
        QueryBusy = false;
        FingerListening = false;
        form = std::make_unique<TMainForm>(&facts);
        form->beep = [this] { ++beeps; };
        stat = std::make_unique<TStatDialog>();
        form->setWindows(stat.get(), nullptr, nullptr);
    }

    QStringList logLines() const
    {
        QStringList lines = stat->logText().split(QStringLiteral("\r\n"));
        lines.removeLast();
        return lines;
    }

    FakeSystemFacts facts;
    RecordingDialogs dialogs;
    std::unique_ptr<TMainForm> form;
    std::unique_ptr<TStatDialog> stat;
    int beeps = 0;
};

inline LoopbackClient::Options request(const QByteArray &bytes)
{
    LoopbackClient::Options options;
    options.request = bytes;
    return options;
}

// Waits, with the event loop running, until the client has its whole answer.
#define WAIT_FOR_CLIENT(client) QTRY_VERIFY_WITH_TIMEOUT((client).isFinished(), 20000)
