#pragma once

#include "FingerAddress.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;

// What a start of the program asks for: only to run, the setup window, or a finger query.
struct InstanceRequest
{
    enum class Kind { Start, Setup, Finger };
    Kind kind = Kind::Start;
    FingerAddress address;

    bool operator==(const InstanceRequest &) const = default;

    QByteArray encoded() const;
    static std::optional<InstanceRequest> decoded(const QByteArray &data);
};

// One program per user. The first start takes a lock in the runtime folder and listens on a
// local socket beside it; a later start finds the lock taken and hands its request over that
// socket. The lock goes with the process that holds it, so a socket file left by a program
// that crashed is simply replaced.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Claim { First, Running, Failed };

    explicit SingleInstance(const QString &folder, QObject *parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR, else a private /tmp/tellwick-<uid>; empty when neither is usable.
    static QString runtimeFolder();

    // Needs no event loop, so that a later start hands over before it opens a display.
    Claim claim();
    // Why claim() failed, or why handOver() did not get through.
    QString errorText() const { return m_error; }

    // In a later start: gives the request to the running program and waits at most
    // timeoutMs for it to take it.
    bool handOver(const InstanceRequest &request, int timeoutMs);

    // In the first start, once the application exists: requests arrive as requested().
    void serve();

signals:
    void requested(const InstanceRequest &request);

private:
    struct Connection;

    void acceptConnections();
    void readFrom(Connection *connection);
    void drop(Connection *connection);

    QByteArray m_lockPath;
    QByteArray m_socketPath;
    int m_lockFd = -1;
    int m_listenFd = -1;
    QString m_error;
    QSocketNotifier *m_listenNotifier = nullptr;
    std::vector<std::unique_ptr<Connection>> m_connections;
};
