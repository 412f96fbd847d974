#include "Sockets.h"

#include "Dialogs.h"
#include "HostResolver.h"
#include "RuntimeError.h"
#include "SocketChannels.h"
#include "SocketSystem.h"
#include "StrToInt.h"

#include <QBasicTimer>
#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <QTimerEvent>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <deque>
#include <future>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>

using namespace WinSock;

namespace {

constexpr int eventDrivenMode = 1;
constexpr int blockingMode = 0;
constexpr int listenEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
constexpr int connectEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
// Clients that wait their turn wait here, in order. A full queue drops a client's connection
// attempts, and it retries only after 1, 3, 7, 15, 31 seconds: far longer than its turn takes.
constexpr int listenBacklog = 128;
constexpr int firstReservedPort = 1024;
constexpr int lastReservedPort = 513;
// The largest Timeout whose milliseconds still fit a signed 32-bit interval.
constexpr int largestTimeout = INT_MAX / 1000;
// One receive never takes more than this, whatever MaximumReceiveLength allows: a receive
// may always return less than it asked for, and the rest is reported again.
constexpr int receiveLimit = SocketChannels::readAheadLimit;
// Notifications delivered one after the other in one turn of the event loop, at most: the
// rest waits for the next turn, so that windows and timers are not held up.
constexpr int deliveriesPerTurn = 8;

const QString errorCaption = QStringLiteral("WINSOCK ERROR");

// A service name for TCP, or a port number; the result is in network byte order.
quint16 networkPort(const QString &port)
{
    const QByteArray name = port.toLocal8Bit();
    servent entry{};
    servent *found = nullptr;
    char buffer[4096];
    if (::getservbyname_r(name.constData(), "tcp", &entry, buffer, sizeof buffer, &found) == 0 &&
        found)
        return quint16(found->s_port);
    const std::optional<int> number = StrToInt(port);
    if (!number)
        throw RuntimeError(QStringLiteral("'%1' is not a valid integer value").arg(port));
    if (*number < 0 || *number > 65535)
        throw RuntimeError(QStringLiteral("Range check error"));
    return htons(quint16(*number));
}

// The protocol number of "tcp"; 0 (the stream default) when the system does not know it.
int tcpProtocol()
{
    protoent entry{};
    protoent *found = nullptr;
    char buffer[1024];
    if (::getprotobyname_r("tcp", &entry, buffer, sizeof buffer, &found) == 0 && found)
        return found->p_proto;
    return 0;
}

// The first IPv4 address of a host name. The look-up may take long, so it runs aside while
// this thread keeps dispatching events.
std::optional<in_addr> lookUpHost(const QByteArray &name)
{
    auto lookup = std::async(std::launch::async, [name]() -> std::optional<in_addr> {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found)
            return std::nullopt;
        const in_addr address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
        return address;
    });
    while (lookup.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        QCoreApplication::processEvents();
    return lookup.get();
}

QString eventLabel(int event)
{
    switch (event) {
    case FD_READ:
        return QStringLiteral("FD_READ");
    case FD_WRITE:
        return QStringLiteral("FD_WRITE");
    case FD_OOB:
        return QStringLiteral("FD_OOB");
    case FD_ACCEPT:
        return QStringLiteral("FD_ACCEPT");
    case FD_CONNECT:
        return QStringLiteral("FD_CONNECT");
    case FD_CLOSE:
        return QStringLiteral("FD_CLOSE");
    default:
        return QString();
    }
}

// Calls an event handler through a copy, so that a handler that replaces itself is safe.
template <typename Handler, typename... Args> void raise(const Handler &handler, Args... args)
{
    if (handler) {
        const Handler call = handler;
        call(args...);
    }
}

} // namespace

struct TSockets::Private
{
    explicit Private(TSockets *q)
        : q(q), channels(q, [this](int fd, int event, int error, quint64 generation) {
              notifications.push_back({fd, event, error, generation});
              if (!delivery.isActive())
                  delivery.start(0, this->q);
          })
    {
        callTimer.setSingleShot(true);
        QObject::connect(&callTimer, &QTimer::timeout, q, &TSockets::HandleTimer);
    }

    bool eventDriven() const { return modeWord == eventDrivenMode; }

    // Times one blocking call in blocking mode, from its construction to its end; in
    // event-driven mode, and with a Timeout of 0 or less, it does nothing.
    class TimedCall
    {
    public:
        explicit TimedCall(Private &d)
        {
            const int timeout = d.q->Timeout;
            if (d.eventDriven() || timeout <= 0)
                return;
            if (timeout > largestTimeout)
                throw RuntimeError(QStringLiteral("Integer overflow"));
            d.callTimer.start(timeout * 1000);
            m_timer = &d.callTimer;
        }
        // Stops the timer it started, even when a handler changed the mode or Timeout
        // while the call waited.
        ~TimedCall()
        {
            if (m_timer)
                m_timer->stop();
        }
        TimedCall(const TimedCall &) = delete;
        TimedCall &operator=(const TimedCall &) = delete;

    private:
        QTimer *m_timer = nullptr;
    };

    static void settingBox(const char *text)
    {
        Dialogs::current().messageBox(errorCaption, QString::fromLatin1(text), Dialogs::Icon::None,
                                      Dialogs::Buttons::OkCancel);
    }

    // The three steps below return 0 or the errno of their failure.

    // A new TCP socket of the family held by the component, or -1 with *cause set.
    int openSocket(int *cause, int family = AF_INET)
    {
        const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, tcpProtocol());
        if (fd == -1) {
            *cause = errno;
            return -1;
        }
        channels.adopt(fd);
        return fd;
    }

    template <typename Address> int bindTo(int fd, const Address &local)
    {
        if (!channels.holds(fd))
            return ENOTSOCK;
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) == -1)
            return errno;
        return 0;
    }

    // A socket for a listener of both families: one IPv6 socket that takes IPv4 peers too,
    // or where the system has no IPv6, an IPv4 one (*family tells which). -1 with *cause.
    int openListener(int *family, int *cause)
    {
        *family = AF_INET6;
        if (const int fd = openSocket(cause, AF_INET6); fd != -1) {
            const int off = 0;
            if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0)
                return fd;
            // IPv4 peers could not reach it: fall back as if there were no IPv6.
            channels.close(fd);
        }
        *family = AF_INET;
        return openSocket(cause, AF_INET);
    }

    // Binds a listener to port (network byte order) of every local address of the family.
    int bindListener(int fd, int family, quint16 port)
    {
        if (family == AF_INET6) {
            sockaddr_in6 local{};
            local.sin6_family = AF_INET6;
            local.sin6_addr = in6addr_any;
            local.sin6_port = port;
            return bindTo(fd, local);
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = port;
        return bindTo(fd, local);
    }

    int listenOn(int fd)
    {
        if (!channels.holds(fd))
            return ENOTSOCK;
        // Linux would bind an unbound socket to some free port; a listener that failed to
        // bind its own port must fail here instead. The port sits at the same place in
        // both families' records.
        sockaddr_storage local{};
        socklen_t size = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) == -1)
            return errno;
        if (reinterpret_cast<const sockaddr_in &>(local).sin_port == 0)
            return EINVAL;
        if (::listen(fd, listenBacklog) == -1)
            return errno;
        channels.setListening(fd);
        return 0;
    }

    // Reports a failed step of Listen and keeps the first one.
    void listenFailed(int fd, const char *label, int code, int cause)
    {
        if (listenFailure.code == 0)
            listenFailure = {code, cause};
        q->ReportError(fd, QString::fromLatin1(label), code);
    }

    // The steps of SConnect after the remote address is known; each reports its own failure.
    void openSession();
    void bindReservedPort();
    void registerSession();
    void connectSession();

    // Sends all of text on fd in the current mode; returns its length, or -1 with *error.
    qint64 send(int fd, const QByteArray &text, int *error)
    {
        if (!channels.holds(fd)) {
            *error = WSAENOTSOCK;
            return -1;
        }
        qint64 sent;
        if (eventDriven() || channels.hasQueuedOutput(fd)) {
            sent = channels.send(fd, text);
        } else {
            BlockingCall call;
            sent = call.sendAll(fd, text.constData(), size_t(text.size()));
        }
        if (sent == -1)
            *error = winSockError(errno);
        return sent;
    }

    TSockets *q;
    int modeWord = eventDrivenMode;
    int listenSocket = -1;
    int lastErrorCode = 0;
    QString lastErrorText;
    Failure listenFailure;
    // The remote address of SConnect (Accept takes its peer's apart).
    sockaddr_in address{};
    // The remote address of SConnect when IPAddr is an IPv6 literal.
    std::optional<sockaddr_in6> remote6;
    QTimer callTimer;
    QByteArray receiveBuffer;
    // Notifications on their way to the event handler, in order. A zero timer delivers
    // them from the event loop, without the wake-up that posting an event costs.
    struct Notification
    {
        int fd;
        int event;
        int error;
        quint64 generation;
    };
    std::deque<Notification> notifications;
    QBasicTimer delivery;
    SocketChannels channels;
};

TSockets::TSockets(QObject *owner) : QObject(owner), d(std::make_unique<Private>(this)) {}

// Closes every descriptor still held (listeners, sessions, graceful closes): nothing else
// on this platform would release them.
TSockets::~TSockets() = default;

bool TSockets::NonBlocking() const
{
    return d->modeWord == eventDrivenMode;
}

void TSockets::setNonBlocking(bool value)
{
    d->modeWord = value ? eventDrivenMode : blockingMode;
}

int TSockets::TakeLastError()
{
    const int code = d->lastErrorCode;
    d->lastErrorCode = 0;
    return code;
}

int TSockets::ListenSocket() const
{
    return d->listenSocket;
}

QString TSockets::LastErrorText() const
{
    return d->lastErrorText;
}

TSockets::Failure TSockets::FirstListenFailure() const
{
    return d->listenFailure;
}

void TSockets::Listen()
{
    d->listenFailure = {};
    if (Port.isEmpty()) {
        Private::settingBox("No Port Specified");
        return;
    }
    const quint16 port = networkPort(Port);

    // The listener replaced is closed only at the end: while it listens, the new socket
    // cannot take its port.
    const int replaced = d->listenSocket;
    int cause = 0;
    int family = AF_INET6;
    d->listenSocket = d->openListener(&family, &cause);
    if (d->listenSocket == -1) {
        d->listenFailed(-1, "socket", winSockError(cause), cause);
    } else {
        // Connections still closing must not keep the port from a new listener.
        const int on = 1;
        ::setsockopt(d->listenSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (const int failed = d->bindListener(d->listenSocket, family, port))
        d->listenFailed(d->listenSocket, "Bind", winSockError(failed), failed);
    if (const int failed = d->listenOn(d->listenSocket))
        d->listenFailed(d->listenSocket, "Listen", winSockError(failed), failed);
    // In blocking mode the descriptor stays non-blocking underneath: calls wait on it.
    if (d->eventDriven()) {
        if (const int failed = d->channels.select(d->listenSocket, listenEvents))
            d->listenFailed(d->listenSocket, "WSAASyncSelect", failed, 0);
    }
    if (replaced != d->listenSocket && d->channels.holds(replaced))
        d->channels.close(replaced);
}

void TSockets::CancelListen()
{
    const int fd = d->listenSocket;
    if (d->eventDriven())
        d->channels.select(fd, 0);
    if (d->channels.holds(fd))
        ::shutdown(fd, SHUT_RDWR);
    if (d->channels.close(fd) == -1)
        ReportError(d->listenSocket, QStringLiteral("CancelListen (closesocket)"),
                    winSockError(errno));
    d->listenSocket = -1;
}

int TSockets::Accept()
{
    const int listenFd = d->listenSocket;
    int error = 0;
    int cause = 0;
    int fd = -1;
    sockaddr_storage peer{};
    {
        const Private::TimedCall timed(*d);
        socklen_t size = sizeof peer;
        if (!d->channels.holds(listenFd)) {
            error = WSAENOTSOCK;
        } else if (d->eventDriven()) {
            do
                fd = ::accept4(listenFd, reinterpret_cast<sockaddr *>(&peer), &size,
                               SOCK_CLOEXEC | SOCK_NONBLOCK);
            while (fd == -1 && errno == EINTR);
            if (fd == -1)
                cause = errno;
        } else {
            BlockingCall call;
            fd = call.accept(listenFd, reinterpret_cast<sockaddr *>(&peer), &size);
            if (fd == -1)
                cause = errno;
        }
        if (fd == -1 && error == 0)
            error = winSockError(cause);
        SessionSocket = fd;
    }
    if (fd != -1) {
        d->channels.accepted(listenFd, fd, peer);
        // Its request is read when the notifications now known have been delivered.
        if (d->channels.hasAcceptedSessionsToRead() && !d->delivery.isActive())
            d->delivery.start(0, this);
    }
    // The connection stays queued; taking it again at once would fail the same way.
    const bool starved = cause == EMFILE || cause == ENFILE || cause == ENOBUFS || cause == ENOMEM;
    if (starved)
        d->channels.acceptStarved(listenFd);
    else
        d->channels.acceptCalled(listenFd);
    if (fd == -1)
        ReportError(SessionSocket, QStringLiteral("Accept"), error);
    return SessionSocket;
}

void TSockets::SConnect()
{
    if (Port.isEmpty()) {
        Private::settingBox("No Port Specified");
        return;
    }
    if (IPAddr.isEmpty()) {
        Private::settingBox("No IP Address Specified");
        return;
    }
    const quint16 port = networkPort(Port);
    const QByteArray host = IPAddr.toLocal8Bit();
    in_addr_t remote = ::inet_addr(host.constData());
    d->remote6.reset();
    if (remote == INADDR_NONE)
        d->remote6 = ipv6SocketAddress(IPAddr, port);
    if (remote == INADDR_NONE && !d->remote6) {
        const std::optional<in_addr> found = lookUpHost(host);
        if (!found) {
            Private::settingBox("Cannot convert host address");
            return;
        }
        remote = found->s_addr;
    }
    // Filled after the look-up: an SConnect in a handler that ran meanwhile shares the record.
    d->address = {};
    d->address.sin_family = AF_INET;
    d->address.sin_port = port;
    d->address.sin_addr.s_addr = remote;

    d->openSession();
    if (BindReservedPort)
        d->bindReservedPort();
    d->registerSession();
    d->connectSession();
}

void TSockets::Private::openSession()
{
    int cause = 0;
    q->SessionSocket = openSocket(&cause, remote6 ? AF_INET6 : AF_INET);
    if (q->SessionSocket == -1)
        q->ReportError(-1, QStringLiteral("SConnect (socket)"), winSockError(cause));
}

void TSockets::Private::bindReservedPort()
{
    for (int localPort = firstReservedPort; localPort >= lastReservedPort; --localPort) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(quint16(localPort));
        sockaddr_in6 local6{};
        local6.sin6_family = AF_INET6;
        local6.sin6_addr = in6addr_any;
        local6.sin6_port = local.sin_port;
        const int failed =
            remote6 ? bindTo(q->SessionSocket, local6) : bindTo(q->SessionSocket, local);
        if (failed == 0)
            return;
        if (failed == EADDRINUSE)
            continue;
        // Any other failure (no right to the port, no socket) would repeat for every
        // further port: report it once and connect unbound.
        q->ReportError(q->SessionSocket, QStringLiteral("SConnect bind()"), winSockError(failed));
        return;
    }
}

void TSockets::Private::registerSession()
{
    // In blocking mode the descriptor stays non-blocking underneath: calls wait on it.
    if (!eventDriven())
        return;
    if (const int failed = channels.select(q->SessionSocket, connectEvents))
        q->ReportError(q->SessionSocket, QStringLiteral("WSAAsyncSelect"), failed);
}

void TSockets::Private::connectSession()
{
    const int fd = q->SessionSocket;
    const auto *remoteAddress = remote6 ? reinterpret_cast<const sockaddr *>(&*remote6)
                                        : reinterpret_cast<const sockaddr *>(&address);
    const socklen_t remoteSize = remote6 ? sizeof *remote6 : sizeof address;
    int error = 0;
    {
        const TimedCall timed(*this);
        if (!channels.holds(fd)) {
            error = WSAENOTSOCK;
        } else if (eventDriven()) {
            if (::connect(fd, remoteAddress, remoteSize) == 0) {
                channels.setConnecting(fd);
            } else if (errno == EINPROGRESS || errno == EINTR) {
                // The outcome arrives as FD_CONNECT.
                error = WSAEWOULDBLOCK;
                channels.setConnecting(fd);
            } else {
                error = winSockError(errno);
            }
        } else {
            BlockingCall call;
            if (call.connect(fd, remoteAddress, remoteSize) == 0) {
                channels.setConnected(fd);
            } else {
                error = winSockError(errno);
                if (errno == EINTR)
                    channels.setConnecting(fd);
            }
        }
    }
    if (error != 0 && error != WSAEWOULDBLOCK)
        q->ReportError(q->SessionSocket, QStringLiteral("SConnect"), error);
}

void TSockets::Disconnect()
{
    const int fd = SessionSocket;
    if (d->eventDriven())
        d->channels.select(fd, 0);
    if (BlockingCall::inProgress())
        BlockingCall::cancelCurrent();
    // Data in flight is delivered: the close completes in the background, after the peer
    // has had everything and has closed too. No notification of it reaches the program.
    if (d->channels.closeGracefully(fd) == -1)
        ReportError(SessionSocket, QStringLiteral("Disconnect (closesocket)"), winSockError(errno));
    SessionSocket = -1;
}

void TSockets::SetText(const QByteArray &text)
{
    int error = 0;
    qint64 sent;
    {
        const Private::TimedCall timed(*d);
        sent = d->send(SessionSocket, text, &error);
    }
    if (sent < 0)
        ReportError(SessionSocket, QStringLiteral("SetText (Send)"), error);
}

QByteArray TSockets::GetText()
{
    if (SessionSocket == -1)
        return QByteArray();
    if (MaximumReceiveLength < 0)
        throw RuntimeError(QStringLiteral("Range check error"));
    // One buffer for every receive; the text handed back is only as long as what came.
    QByteArray &buffer = d->receiveBuffer;
    buffer.resize(qMin(MaximumReceiveLength, receiveLimit));
    const int fd = SessionSocket;
    ssize_t received = -1;
    int error = 0;
    {
        const Private::TimedCall timed(*d);
        if (!d->channels.holds(fd)) {
            error = WSAENOTSOCK;
        } else if (d->eventDriven() || d->channels.hasInput(fd)) {
            received = d->channels.receive(fd, buffer.data(), buffer.size());
        } else {
            BlockingCall call;
            received = call.receive(fd, buffer.data(), size_t(buffer.size()));
        }
        if (received == -1 && error == 0)
            error = winSockError(errno);
    }
    d->channels.received(fd);
    if (received < 0) {
        ReportError(SessionSocket, QStringLiteral("GetText (Recv)"), error);
        return QByteArray();
    }
    const qsizetype zero = QByteArrayView(buffer.constData(), received).indexOf('\0');
    return QByteArray(buffer.constData(), zero != -1 ? zero : qsizetype(received));
}

// Nothing waits for a send in event-driven mode, so the pieces go out together, the same
// bytes in the same order: a system call for every 100 bytes would hold the event loop for
// most of a second for a reply of some megabytes. A failure is reported once.
int TSockets::sendPiecesAtOnce(int Socket, const QByteArray &text, qsizetype pieceSize, int &Sent)
{
    // Without a zero byte the text is its own wire form.
    const bool hasZero = text.contains('\0');
    QByteArray wire = hasZero ? QByteArray() : text;
    qsizetype lastPiece = 0;
    for (qsizetype from = 0; from < text.size(); from += pieceSize) {
        QByteArrayView piece =
            QByteArrayView(text).sliced(from, qMin(pieceSize, text.size() - from));
        const qsizetype zero = piece.indexOf('\0');
        if (zero != -1)
            piece.truncate(zero);
        lastPiece = piece.size();
        if (hasZero)
            wire.append(piece);
    }
    int error = 0;
    Sent = d->send(Socket, wire, &error) < 0 ? -1 : int(lastPiece);
    if (Sent < 0)
        ReportError(SessionSocket, QStringLiteral("SSend"), error);
    return Sent;
}

int TSockets::SSend(int Socket, const QByteArray &text, int &Sent, int chunkSize)
{
    if (Socket == -1)
        return 0;
    // A chunk size that is no size sends the text in one piece.
    const qsizetype pieceSize = chunkSize > 0 ? chunkSize : qMax<qsizetype>(text.size(), 1);
    if (d->eventDriven() && text.size() > pieceSize)
        return sendPiecesAtOnce(Socket, text, pieceSize, Sent);
    qsizetype from = 0;
    do {
        // A view of the text: the channel copies whatever it has to keep.
        QByteArrayView view =
            QByteArrayView(text).sliced(from, qMin(pieceSize, text.size() - from));
        from += pieceSize;
        const qsizetype zero = view.indexOf('\0');
        if (zero != -1)
            view.truncate(zero);
        const QByteArray piece = QByteArray::fromRawData(view.data(), view.size());
        int error = 0;
        {
            const Private::TimedCall timed(*d);
            Sent = int(d->send(Socket, piece, &error));
        }
        if (Sent < 0)
            ReportError(SessionSocket, QStringLiteral("SSend"), error);
    } while (from < text.size());
    return Sent;
}

// The peer of a session, as accept gave it while the connection lasts; the system otherwise.
// A query asks for it several times.
static sockaddr_storage peerOf(const SocketChannels &channels, int Socket)
{
    if (const sockaddr_storage *known = channels.knownPeer(Socket))
        return *known;
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (channels.holds(Socket))
        ::getpeername(Socket, reinterpret_cast<sockaddr *>(&peer), &size);
    return peer;
}

HostAddress TSockets::PeerHost(int Socket)
{
    const sockaddr_storage peer = peerOf(d->channels, Socket);
    return HostAddress::fromSocketAddress(reinterpret_cast<const sockaddr *>(&peer));
}

QString TSockets::PeerAddress(int Socket)
{
    return PeerHost(Socket).text();
}

QString TSockets::PeerPort(int Socket)
{
    const sockaddr_storage peer = peerOf(d->channels, Socket);
    // The port sits at the same place in both families' records; 0 when none is known.
    return QString::number(ntohs(reinterpret_cast<const sockaddr_in &>(peer).sin_port));
}

void TSockets::Refuse(int Socket)
{
    d->channels.select(Socket, 0);
    d->channels.close(Socket);
    if (SessionSocket == Socket)
        SessionSocket = -1;
}

void TSockets::ReportError(int Socket, const QString &label, int error)
{
    const QString text = SocketErrorText(error);
    const QString message =
        QStringLiteral("Error %1 in function %2\r\n%3").arg(QString::number(error), label, text);
    d->lastErrorCode = error;
    d->lastErrorText = text;
    if (QuietErrors)
        return;
    if (OnErrorOccurred) {
        raise(OnErrorOccurred, this, Socket, error, text);
        return;
    }
    Dialogs::current().messageBox(errorCaption, message, Dialogs::Icon::None,
                                  Dialogs::Buttons::OkCancel);
    Dialogs::current().requestProgramEnd(0);
}

void TSockets::ResumeAccepting()
{
    d->channels.acceptCalled(d->listenSocket);
}

void TSockets::HandleSocketMessage(int socket, int event, int error)
{
    // The two halves of the notification word are unsigned 16-bit fields.
    event &= 0xFFFF;
    error &= 0xFFFF;
    if (error > 10000) {
        ReportError(socket, eventLabel(event), error);
        return;
    }
    switch (event) {
    case FD_READ:
        raise(OnDataAvailable, this, socket);
        break;
    case FD_WRITE:
        raise(OnDataNeeded, this, socket);
        break;
    case FD_OOB:
        raise(OnOutOfBoundsReceived, this, socket);
        break;
    case FD_ACCEPT:
        raise(OnSessionAvailable, this, socket);
        break;
    case FD_CONNECT:
        raise(OnSessionConnected, this, socket);
        break;
    case FD_CLOSE:
        raise(OnSessionClosed, this, socket);
        break;
    default:
        break;
    }
}

void TSockets::HandleTimer()
{
    d->callTimer.stop();
    if (!BlockingCall::inProgress())
        return;
    BlockingCall::cancelCurrent();
    const QString text = QStringLiteral("Blocking call timed out");
    if (OnErrorOccurred) {
        raise(OnErrorOccurred, this, SessionSocket, int(WSAETIMEDOUT), text);
        return;
    }
    Dialogs::current().messageBox(QStringLiteral("WINSOCK CALL CANCELED"),
                                  QStringLiteral("Error %1\r\n%2").arg(WSAETIMEDOUT).arg(text),
                                  Dialogs::Icon::None, Dialogs::Buttons::Ok);
}

void TSockets::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != d->delivery.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    // One notification at a time, as a message queue gives them, and those already known one
    // after the other in this turn: a query does not wait a turn of the loop for each step.
    const QPointer<TSockets> alive(this);
    for (int delivered = 0; delivered < deliveriesPerTurn; ++delivered) {
        d->delivery.stop();
        if (d->notifications.empty())
            d->channels.readAcceptedSessions();
        if (d->notifications.empty())
            d->channels.lookForEndedCloses();
        if (d->notifications.empty())
            return;
        const Private::Notification notification = d->notifications.front();
        d->notifications.pop_front();
        // The timer is made anew for the rest before the handler runs: a timer is never fired
        // again while its own event is handled, and the rest must reach a handler's nested
        // loop as well.
        if (!d->notifications.empty() || d->channels.hasAcceptedSessionsToRead())
            d->delivery.start(0, this);
        else
            d->delivery.stop(); // started again by what was read just now
        // A registration that ended or was renewed since voids what it had handed out; so
        // does a close, even when the number now belongs to another socket.
        if (d->channels.isCurrent(notification.fd, notification.generation))
            HandleSocketMessage(notification.fd, notification.event, notification.error);
        if (!alive)
            return;
    }
    if ((!d->notifications.empty() || d->channels.hasAcceptedSessionsToRead()) &&
        !d->delivery.isActive())
        d->delivery.start(0, this);
}
