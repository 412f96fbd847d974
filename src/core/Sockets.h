#pragma once

#include "HostAddress.h"
#include "WinSock.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// The program's event-driven TCP socket component: a listener that accepts sessions of IPv4
// and IPv6 peers alike, or a client that connects to a host. Socket numbers are file
// descriptors, -1 for none.
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
    QString LastErrorText() const;

    // The first failure of the latest Listen, which the failures after it only follow from:
    // its WinSock code (0 when Listen had none) and the errno behind it (0 when no system
    // call failed).
    struct Failure
    {
        int code = 0;
        int cause = 0;
    };
    Failure FirstListenFailure() const;

    // Operations. Port texts that are no number in range throw RuntimeError before any
    // socket exists; every failing socket call goes to ReportError and the operation goes on.
    // Listen closes the listener it replaces once the new one is opened, bound or not.
    void Listen();
    void CancelListen();
    int Accept();
    void SConnect();
    void Disconnect();
    void SetText(const QByteArray &text);
    QByteArray GetText();
    int SSend(int Socket, const QByteArray &text, int &Sent, int chunkSize);
    // An IPv4 peer dotted, an IPv6 peer in its compressed form.
    QString PeerAddress(int Socket);
    QString PeerPort(int Socket);
    HostAddress PeerHost(int Socket);
    // Closes a session at once, unanswered: nothing more is sent, notified or reported.
    void Refuse(int Socket);

    // Records the failure, then raises OnErrorOccurred, or without a handler shows the
    // "WINSOCK ERROR" box and asks the program to end with code 0.
    void ReportError(int Socket, const QString &label, int error);

    // Arms the accept notification of the listening socket again, so that a connection that
    // waited while the program did not accept is offered once more. After an accept that
    // failed for lack of descriptors or memory, the listener is offered only after a pause.
    void ResumeAccepting();

    // The handler of one socket notification (socket, event code, error code), as the
    // component's event loop delivers it; public so that tests can feed it directly.
    void HandleSocketMessage(int socket, int event, int error);

    // The handler of the blocking-call timer.
    void HandleTimer();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    int sendPiecesAtOnce(int Socket, const QByteArray &text, qsizetype pieceSize, int &Sent);

    struct Private;
    std::unique_ptr<Private> d;
};
