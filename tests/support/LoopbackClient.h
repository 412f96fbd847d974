#pragma once

#include <QByteArray>

#include <atomic>
#include <mutex>
#include <thread>

// A TCP client on its own thread, so that a test can talk to a server that runs on the
// test's own event loop. It connects to 127.0.0.1 (or another address of this computer),
// sends, and reads until the server closes.
class LoopbackClient
{
public:
    enum class Ending { Running, Closed, Reset, Refused, TimedOut, Failed };

    struct Options
    {
        QByteArray request;
        // The server's address, IPv4 or IPv6, and the client's own (empty: the system's choice).
        QByteArray host = "127.0.0.1";
        QByteArray source;
        bool sendRequest = true;
        // Half-close after sending, as some clients do.
        bool shutdownWrite = false;
        // Connect, then reset the connection at once without sending.
        bool resetAtOnce = false;
        // Connect, then close without sending.
        bool leaveSilently = false;
        // Wait before sending, so the server sees the connection first.
        int delayBeforeSendMs = 0;
        // Read slowly: this many bytes per read, with a pause after each.
        int readChunk = 65536;
        int pauseBetweenReadsMs = 0;
        int receiveTimeoutMs = 20000;
    };

    LoopbackClient(quint16 port, Options options);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient &) = delete;
    LoopbackClient &operator=(const LoopbackClient &) = delete;

    bool isFinished() const { return m_ending.load() != Ending::Running; }
    Ending ending() const { return m_ending.load(); }
    QByteArray received() const;

private:
    void run(quint16 port, Options options);

    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::atomic<Ending> m_ending{Ending::Running};
    std::thread m_thread;
};
