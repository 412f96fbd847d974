#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// WinSock error codes, the numbers that the socket component reports and program code tests.
namespace WinSock {
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAHOST_NOT_FOUND = 11001;

// Event codes of a socket notification.
inline constexpr int FD_READ = 1;
inline constexpr int FD_WRITE = 2;
inline constexpr int FD_OOB = 4;
inline constexpr int FD_ACCEPT = 8;
inline constexpr int FD_CONNECT = 16;
inline constexpr int FD_CLOSE = 32;
} // namespace WinSock

// The fixed English text of a WinSock error code ("Not a WinSock error" for any other).
QString SocketErrorText(int code);

// The program's event-driven TCP/IPv4 socket component: a listener that accepts sessions, or
// a client that connects to a host. Socket numbers are file descriptors, -1 for none.
class TSockets : public QObject
{
    Q_OBJECT

public:
    using TDataAvailable = std::function<void(TSockets *Sender, int Socket)>;
    using TDataNeeded = std::function<void(TSockets *Sender, int Socket)>;
    using TSessionClosed = std::function<void(TSockets *Sender, int Socket)>;
    using TSessionAvailable = std::function<void(TSockets *Sender, int Socket)>;
    using TSessionConnected = std::function<void(TSockets *Sender, int Socket)>;
    using TErrorOccurred =
        std::function<void(TSockets *Sender, int Socket, int Error, const QString &Msg)>;
    using TOutOfBoundRecived = std::function<void(TSockets *Sender, int Socket)>;

    explicit TSockets(QObject *owner = nullptr);
    ~TSockets() override;

    // Published properties.
    int MaximumReceiveLength = 8192;
    // For SConnect: a dotted IPv4 address, an IPv6 literal (brackets and zone allowed) or a
    // host name, which is looked up for IPv4.
    QString IPAddr;
    QString Port;
    bool NonBlocking() const;
    void setNonBlocking(bool value);
    int Timeout = 30;

    // Published events; an event without a handler is skipped.
    TDataAvailable OnDataAvailable;
    TDataNeeded OnDataNeeded;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TErrorOccurred OnErrorOccurred;
    TOutOfBoundRecived OnOutOfBoundsReceived;

    // Public members that program code uses.
    int SessionSocket = -1;
    bool QuietErrors = false;
    bool BindReservedPort = false;
    int TakeLastError();

    int ListenSocket() const;
    int LastErrorCode() const;
    QString LastErrorText() const;

    // Operations. Port texts that are no number in range throw RuntimeError before any
    // socket exists; every failing socket call goes to ReportError and the operation goes on.
    void Listen();
    void CancelListen();
    int Accept();
    void SConnect();
    void Disconnect();
    void SetText(const QByteArray &text);
    QByteArray GetText();
    int SSend(int Socket, const QByteArray &text, int &Sent, int chunkSize);
    QString PeerAddress(int Socket);
    QString PeerPort(int Socket);

    // Records the failure, then raises OnErrorOccurred, or without a handler shows the
    // "WINSOCK ERROR" box and asks the program to end with code 0.
    void ReportError(int Socket, const QString &label, int error);

    // Arms the accept notification of the listening socket again, so that a connection that
    // waited while the program did not accept is offered once more.
    void ResumeAccepting();

    // The handler of one socket notification (socket, event code, error code), as the
    // component's event loop delivers it; public so that tests can feed it directly.
    void HandleSocketMessage(int socket, int event, int error);

    // The handler of the blocking-call timer.
    void HandleTimer();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
