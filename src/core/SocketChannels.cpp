#include "SocketChannels.h"

#include "WinSock.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A graceful close whose peer takes nothing for this long is made hard.
constexpr int closeStallMilliseconds = 60 * 1000;

// How often graceful closes are looked at for a stall.
constexpr int stallCheckMilliseconds = 1000;

// Notifier pairs kept for the next descriptors: a service opens and closes one session after
// another, and each would otherwise make and destroy two notifiers.
constexpr std::size_t spareNotifierLimit = 8;

// Reads per readiness report while discarding input, so that a fast sender cannot hold
// the event loop; the level-triggered notifier comes back for the rest.
constexpr int drainRounds = 16;

// Bytes sent on fd that its peer has not acknowledged yet, or -1 when the system cannot say.
int unacknowledged(int fd)
{
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == -1 ? -1 : queued;
}

} // namespace

struct SocketChannels::Channel
{
    enum class Kind { Fresh, Listening, Connecting, Connected };

    int fd = -1;
    quint64 serial = 0; // tells this channel from a later one with the same descriptor
    Kind kind = Kind::Fresh;
    int events = 0;
    quint64 generation = 0; // of the current registration; 0 when there is none
    bool readArmed = false;
    bool readAheadDue = false; // accepted in this turn: read by readAcceptedSessions
    bool acceptArmed = false;
    bool acceptPaused = false; // after a shortage, until the pause ends
    int acceptPauseMs = 0;     // of the latest pause; 0 after a successful accept
    bool writeDue = false;     // FD_WRITE is owed once the socket can send
    bool ended = false;        // end of stream or a reset was seen
    bool broken = false;       // a reset was seen
    bool peerKnown = false;
    sockaddr_storage peer{};
    QByteArray input; // read ahead, not received yet
    QByteArray output;

    bool closing = false;
    quint64 closingOrder = 0; // older graceful closes have lower numbers
    bool shutDown = false;
    bool endOfInput = false;
    int kernelQueued = -1; // unacknowledged bytes at the latest look

    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    QDeadlineTimer stallDeadline; // of a graceful close: made hard when it passes
};

SocketChannels::SocketChannels(QObject *owner, Post post) : m_owner(owner), m_post(std::move(post))
{
}

SocketChannels::~SocketChannels()
{
    // Nothing else would release these descriptors. Give queued output and the peer one
    // last chance, without waiting: unread input would make close() reset the connection.
    for (auto &[fd, channel] : m_channels) {
        release(*channel, false);
        if (channel->kind == Channel::Kind::Connected) {
            flush(*channel);
            ::shutdown(fd, SHUT_WR);
            char buffer[16384];
            for (int round = 0; round < drainRounds; ++round) {
                const ssize_t received = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (received == -1 && errno == EINTR)
                    continue;
                if (received <= 0)
                    break;
            }
        }
        ::close(fd);
    }
    for (const auto &[reader, writer] : m_spareNotifiers) {
        delete reader;
        delete writer;
    }
    delete m_stallCheck;
}

SocketChannels::Channel *SocketChannels::find(int fd) const
{
    const auto it = m_channels.find(fd);
    return it == m_channels.end() ? nullptr : it->second.get();
}

SocketChannels::Channel *SocketChannels::findHeld(int fd) const
{
    Channel *channel = find(fd);
    return channel && !channel->closing ? channel : nullptr;
}

void SocketChannels::adopt(int fd)
{
    auto channel = std::make_unique<Channel>();
    channel->fd = fd;
    channel->serial = ++m_lastSerial;
    if (!m_spareNotifiers.empty()) {
        std::tie(channel->reader, channel->writer) = m_spareNotifiers.back();
        m_spareNotifiers.pop_back();
    } else {
        channel->reader = new QSocketNotifier(QSocketNotifier::Read, m_owner);
        QObject::connect(
            channel->reader, &QSocketNotifier::activated, m_owner,
            [this, notifier = channel->reader] { onReadable(int(notifier->socket()), notifier); });
        channel->writer = new QSocketNotifier(QSocketNotifier::Write, m_owner);
        QObject::connect(
            channel->writer, &QSocketNotifier::activated, m_owner,
            [this, notifier = channel->writer] { onWritable(int(notifier->socket()), notifier); });
    }
    // Disabled by the change; update() enables what is wanted.
    channel->reader->setSocket(fd);
    channel->writer->setSocket(fd);
    m_channels[fd] = std::move(channel);
}

bool SocketChannels::holds(int fd) const
{
    return findHeld(fd) != nullptr;
}

void SocketChannels::setListening(int fd)
{
    if (Channel *channel = findHeld(fd)) {
        channel->kind = Channel::Kind::Listening;
        update(*channel);
    }
}

void SocketChannels::setConnecting(int fd)
{
    if (Channel *channel = findHeld(fd)) {
        channel->kind = Channel::Kind::Connecting;
        update(*channel);
    }
}

void SocketChannels::setConnected(int fd)
{
    if (Channel *channel = findHeld(fd)) {
        channel->kind = Channel::Kind::Connected;
        channel->readArmed = true;
        channel->writeDue = true;
        update(*channel);
    }
}

int SocketChannels::select(int fd, int events)
{
    Channel *channel = findHeld(fd);
    if (!channel)
        return WinSock::WSAENOTSOCK;
    if (events == 0) {
        channel->generation = 0;
        channel->events = 0;
    } else {
        channel->generation = ++m_lastGeneration;
        channel->events = events;
        channel->readArmed = true;
        channel->acceptArmed = true;
        channel->writeDue = channel->kind == Channel::Kind::Connected;
    }
    update(*channel);
    return 0;
}

bool SocketChannels::isCurrent(int fd, quint64 generation) const
{
    const Channel *channel = findHeld(fd);
    return channel && generation != 0 && channel->generation == generation;
}

void SocketChannels::update(Channel &channel)
{
    using namespace WinSock;
    bool wantRead = false;
    bool wantWrite = !channel.output.isEmpty();
    if (channel.closing) {
        // An accepted session's end is looked for by lookForEndedCloses instead.
        wantRead = !channel.endOfInput && !channel.peerKnown;
    } else if (channel.generation != 0) {
        switch (channel.kind) {
        case Channel::Kind::Listening:
            wantRead = channel.acceptArmed && (channel.events & FD_ACCEPT);
            break;
        case Channel::Kind::Connecting:
            wantWrite = true;
            break;
        case Channel::Kind::Connected:
            wantRead = channel.readArmed && !channel.ended && !channel.readAheadDue &&
                       (channel.events & (FD_READ | FD_CLOSE));
            wantWrite = wantWrite || (channel.writeDue && (channel.events & FD_WRITE));
            break;
        case Channel::Kind::Fresh:
            break;
        }
    }
    if (channel.reader->isEnabled() != wantRead)
        channel.reader->setEnabled(wantRead);
    if (channel.writer->isEnabled() != wantWrite)
        channel.writer->setEnabled(wantWrite);
}

bool SocketChannels::readyNow(const Channel &channel, short events) const
{
    pollfd entry{channel.fd, events, 0};
    int ready;
    do
        ready = ::poll(&entry, 1, 0);
    while (ready == -1 && errno == EINTR);
    return ready == 1 && !(entry.revents & POLLNVAL);
}

void SocketChannels::notify(const Channel &channel, int event, int error)
{
    if (channel.events & event)
        m_post(channel.fd, event, error, channel.generation);
}

void SocketChannels::onReadable(int fd, QSocketNotifier *notifier)
{
    Channel *channel = find(fd);
    if (!channel || channel->reader != notifier)
        return;
    if (channel->closing) {
        drainClosing(*channel);
        return;
    }
    // The report is fresh: notifier callbacks only queue notifications, so nothing can have
    // accepted the waiting connection since the loop's poll.
    if (channel->kind == Channel::Kind::Listening) {
        // By the time a new client comes, the last one's peer has mostly closed.
        m_endsDueUpTo = m_lastSerial;
        checkAccept(*channel);
    } else if (channel->kind == Channel::Kind::Connected)
        checkInput(*channel);
    update(*channel);
}

void SocketChannels::checkAccept(Channel &channel)
{
    if (!channel.acceptArmed)
        return;
    channel.acceptArmed = false;
    notify(channel, WinSock::FD_ACCEPT, 0);
}

void SocketChannels::checkInput(Channel &channel)
{
    if (!channel.readArmed || channel.ended || !channel.input.isEmpty())
        return;
    // Read ahead rather than peek: data, the end of the stream and a reset each show in one
    // call, and the program's receive takes the data from the channel.
    if (m_readAhead.isEmpty())
        m_readAhead.resize(readAheadLimit);
    ssize_t received;
    do
        received = ::recv(channel.fd, m_readAhead.data(), size_t(m_readAhead.size()), MSG_DONTWAIT);
    while (received == -1 && errno == EINTR);
    if (received > 0) {
        channel.input = QByteArray(m_readAhead.constData(), received);
        channel.readArmed = false;
        notify(channel, WinSock::FD_READ, 0);
    } else if (received == 0) {
        channel.ended = true;
        notify(channel, WinSock::FD_CLOSE, 0);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        channel.ended = true;
        channel.broken = true;
        notify(channel, WinSock::FD_CLOSE, winSockError(errno));
    }
}

void SocketChannels::onWritable(int fd, QSocketNotifier *notifier)
{
    Channel *channel = find(fd);
    if (!channel || channel->writer != notifier)
        return;
    if (channel->closing) {
        flushClosing(*channel);
        return;
    }
    if (channel->kind == Channel::Kind::Connecting) {
        if (!readyNow(*channel, POLLOUT))
            return;
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == -1)
            error = errno;
        if (error == 0) {
            channel->kind = Channel::Kind::Connected;
            channel->readArmed = true;
            channel->writeDue = true;
            if (channel->generation != 0)
                notify(*channel, WinSock::FD_CONNECT, 0);
        } else {
            channel->kind = Channel::Kind::Fresh;
            channel->output.clear();
            if (channel->generation != 0)
                notify(*channel, WinSock::FD_CONNECT, winSockError(error));
        }
    }
    if (channel->kind == Channel::Kind::Connected) {
        flush(*channel);
        if (channel->writeDue && channel->generation != 0) {
            channel->writeDue = false;
            notify(*channel, WinSock::FD_WRITE, 0);
        }
    }
    update(*channel);
}

qint64 SocketChannels::receive(int fd, char *buffer, qint64 capacity)
{
    Channel *channel = findHeld(fd);
    if (!channel) {
        errno = EBADF;
        return -1;
    }
    if (!channel->input.isEmpty()) {
        const qint64 taken = qMin(capacity, qint64(channel->input.size()));
        std::memcpy(buffer, channel->input.constData(), size_t(taken));
        channel->input.remove(0, qsizetype(taken));
        return taken;
    }
    // The end was seen: a read would only tell it again.
    if (channel->ended)
        return 0;
    ssize_t received;
    do
        received = ::recv(fd, buffer, size_t(capacity), MSG_DONTWAIT);
    while (received == -1 && errno == EINTR);
    return received;
}

bool SocketChannels::hasInput(int fd) const
{
    const Channel *channel = findHeld(fd);
    return channel && !channel->input.isEmpty();
}

void SocketChannels::received(int fd)
{
    Channel *channel = findHeld(fd);
    if (!channel)
        return;
    if (channel->kind == Channel::Kind::Connected && !channel->ended) {
        if (!channel->input.isEmpty()) {
            // What the receive left of the read-ahead is reported at once.
            channel->readArmed = false;
            notify(*channel, WinSock::FD_READ, 0);
        } else {
            // Re-enabled, the notifier reports at the loop's next look what is already there.
            channel->readArmed = true;
        }
    }
    update(*channel);
}

void SocketChannels::acceptCalled(int listenFd)
{
    Channel *channel = findHeld(listenFd);
    if (!channel)
        return;
    if (channel->acceptPaused)
        return;
    // Re-enabled, the notifier reports at the loop's next look a connection already waiting.
    channel->acceptArmed = true;
    update(*channel);
}

void SocketChannels::acceptStarved(int listenFd)
{
    Channel *channel = findHeld(listenFd);
    if (!channel || channel->acceptPaused)
        return;
    channel->acceptPaused = true;
    channel->acceptPauseMs = channel->acceptPauseMs == 0
                                 ? firstAcceptPauseMs
                                 : std::min(2 * channel->acceptPauseMs, longestAcceptPauseMs);
    update(*channel);
    // The owner outlives its timers; the serial tells whether the listener is still the same.
    QTimer::singleShot(channel->acceptPauseMs, m_owner, [this, listenFd, serial = channel->serial] {
        resumeAccepting(listenFd, serial);
    });
}

void SocketChannels::resumeAccepting(int listenFd, quint64 serial)
{
    Channel *channel = findHeld(listenFd);
    if (!channel || channel->serial != serial || !channel->acceptPaused)
        return;
    channel->acceptPaused = false;
    acceptCalled(listenFd);
}

void SocketChannels::accepted(int listenFd, int newFd, const sockaddr_storage &peer)
{
    if (Channel *listener = findHeld(listenFd))
        listener->acceptPauseMs = 0;
    adopt(newFd);
    Channel &channel = *findHeld(newFd);
    channel.peer = peer;
    channel.peerKnown = true;
    const Channel *listener = findHeld(listenFd);
    if (!listener || listener->generation == 0) {
        setConnected(newFd);
        return;
    }
    // Registered for the listener's set, with what is known of a new connection: it can
    // send, so FD_WRITE comes now; and it is not watched before its first read, because most
    // sessions have their request read, or are closed, in the turn that accepts them.
    channel.kind = Channel::Kind::Connected;
    channel.generation = ++m_lastGeneration;
    channel.events = listener->events;
    channel.readArmed = true;
    channel.readAheadDue = channel.events & (WinSock::FD_READ | WinSock::FD_CLOSE);
    notify(channel, WinSock::FD_WRITE, 0);
    update(channel);
    if (channel.readAheadDue)
        m_acceptedToRead.emplace_back(newFd, channel.serial);
}

void SocketChannels::readAcceptedSessions()
{
    std::vector<std::pair<int, quint64>> sessions;
    sessions.swap(m_acceptedToRead);
    for (const auto &[fd, serial] : sessions) {
        Channel *channel = findHeld(fd);
        if (!channel || channel->serial != serial)
            continue;
        channel->readAheadDue = false;
        if (channel->generation != 0 && channel->kind == Channel::Kind::Connected)
            checkInput(*channel);
        update(*channel);
    }
}

const sockaddr_storage *SocketChannels::knownPeer(int fd) const
{
    const Channel *channel = findHeld(fd);
    return channel && channel->peerKnown && !channel->ended ? &channel->peer : nullptr;
}

qint64 SocketChannels::send(int fd, const QByteArray &data)
{
    Channel *channel = findHeld(fd);
    if (!channel) {
        errno = EBADF;
        return -1;
    }
    // Behind queued output, so that the bytes keep their order (append copies them).
    if (!channel->output.isEmpty()) {
        channel->output.append(data);
        return data.size();
    }
    ssize_t sent;
    do
        sent = ::send(fd, data.constData(), size_t(data.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    while (sent == -1 && errno == EINTR);
    if (sent == -1) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        sent = 0;
    }
    if (sent < data.size()) {
        // A deep copy: data may be a view of the caller's text.
        channel->output = QByteArray(data.constData() + sent, data.size() - sent);
        update(*channel);
    }
    return data.size();
}

bool SocketChannels::hasQueuedOutput(int fd) const
{
    const Channel *channel = findHeld(fd);
    return channel && !channel->output.isEmpty();
}

bool SocketChannels::flush(Channel &channel)
{
    while (!channel.output.isEmpty()) {
        const ssize_t sent = ::send(channel.fd, channel.output.constData(),
                                    size_t(channel.output.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == -1) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            // The peer is gone; the read side reports the broken connection.
            channel.output.clear();
            return false;
        }
        channel.output.remove(0, sent);
    }
    return true;
}

int SocketChannels::close(int fd)
{
    const auto it = m_channels.find(fd);
    if (it == m_channels.end() || it->second->closing) {
        errno = EBADF;
        return -1;
    }
    release(*it->second, true);
    ::close(fd);
    m_channels.erase(it);
    return 0;
}

int SocketChannels::closeGracefully(int fd)
{
    Channel *channel = findHeld(fd);
    if (!channel) {
        errno = EBADF;
        return -1;
    }
    channel->generation = 0;
    channel->events = 0;
    channel->input.clear(); // discarded, as all input from now on
    channel->closing = true;
    channel->closingOrder = ++m_lastSerial;
    ++m_closingCount;
    if (channel->kind != Channel::Kind::Connected || channel->broken) {
        // Never connected, still connecting, listening or already broken: nothing to save.
        finishClosing(fd, false);
        return 0;
    }
    // The peer's end of stream, once seen, is not waited for again.
    channel->endOfInput = channel->ended;
    channel->stallDeadline.setRemainingTime(closeStallMilliseconds);
    if (!m_stallCheck) {
        m_stallCheck = new QTimer(m_owner);
        m_stallCheck->setInterval(stallCheckMilliseconds);
        QObject::connect(m_stallCheck, &QTimer::timeout, m_owner, [this] { closeStalled(); });
    }
    if (!m_stallCheck->isActive())
        m_stallCheck->start();
    // The system's send queue is first looked at by the stall check: most closes end before.
    channel->kernelQueued = -1;
    if (channel->output.isEmpty()) {
        ::shutdown(fd, SHUT_WR);
        channel->shutDown = true;
        if (channel->endOfInput) {
            finishClosing(fd, false);
            return 0;
        }
    }
    update(*channel);
    if (m_closingCount > closingLimit)
        closeStalest();
    return 0;
}

void SocketChannels::closeStalest()
{
    // The one that has gone longest without progress: a reader still at work on a long
    // reply is not given up for peers that only sit there.
    const auto staler = [](const Channel &one, const Channel &other) {
        const qint64 oneDeadline = one.stallDeadline.deadlineNSecs();
        const qint64 otherDeadline = other.stallDeadline.deadlineNSecs();
        return oneDeadline != otherDeadline ? oneDeadline < otherDeadline
                                            : one.closingOrder < other.closingOrder;
    };
    const Channel *stalest = nullptr;
    for (const auto &[fd, channel] : m_channels) {
        if (channel->closing && (!stalest || staler(*channel, *stalest)))
            stalest = channel.get();
    }
    if (stalest)
        finishClosing(stalest->fd, true);
}

void SocketChannels::drainClosing(Channel &channel)
{
    // Input is no progress towards the end: a peer that keeps sending after our end of
    // stream must not keep the descriptor for ever.
    const int fd = channel.fd;
    char buffer[16384];
    for (int round = 0; round < drainRounds; ++round) {
        const ssize_t received = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received > 0)
            continue;
        if (received == 0) {
            channel.endOfInput = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        finishClosing(fd, false);
        return;
    }
    if (channel.endOfInput && channel.shutDown) {
        finishClosing(fd, false);
        return;
    }
    update(channel);
}

void SocketChannels::flushClosing(Channel &channel)
{
    const int fd = channel.fd;
    const qsizetype before = channel.output.size();
    if (!flush(channel)) {
        finishClosing(fd, false);
        return;
    }
    if (channel.output.size() != before)
        channel.stallDeadline.setRemainingTime(closeStallMilliseconds);
    if (channel.output.isEmpty() && !channel.shutDown) {
        ::shutdown(fd, SHUT_WR);
        channel.shutDown = true;
    }
    if (channel.shutDown && channel.endOfInput) {
        finishClosing(fd, false);
        return;
    }
    update(channel);
}

void SocketChannels::finishClosing(int fd, bool hard)
{
    const auto it = m_channels.find(fd);
    if (it == m_channels.end())
        return;
    if (hard) {
        // Resets the connection instead of leaving the system to retry for long.
        const linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    if (it->second->closing)
        --m_closingCount;
    release(*it->second, true);
    ::close(fd);
    m_channels.erase(it);
}

void SocketChannels::release(Channel &channel, bool deferred)
{
    channel.reader->setEnabled(false);
    channel.writer->setEnabled(false);
    if (!deferred) {
        delete channel.reader;
        delete channel.writer;
    } else if (m_spareNotifiers.size() < spareNotifierLimit) {
        // Disabled, they report nothing more; a callback of theirs that runs now ends first.
        m_spareNotifiers.emplace_back(channel.reader, channel.writer);
    } else {
        // May run inside a callback of these very notifiers: delete later.
        channel.reader->deleteLater();
        channel.writer->deleteLater();
    }
    channel.reader = nullptr;
    channel.writer = nullptr;
}

void SocketChannels::lookForEndedCloses()
{
    if (m_endsDueUpTo == 0)
        return;
    std::vector<pollfd> looks;
    for (const auto &[fd, channel] : m_channels) {
        if (channel->closing && channel->peerKnown && !channel->endOfInput &&
            channel->closingOrder <= m_endsDueUpTo)
            looks.push_back({fd, POLLIN, 0});
    }
    m_endsDueUpTo = 0;
    if (looks.empty())
        return;
    // One read tells as much about one close as a look would. A look at several also asks
    // the listeners that wait for a client: under load the next one is there already, and
    // is offered in this turn instead of after another look of the event loop.
    if (looks.size() == 1) {
        looks.front().revents = POLLIN;
    } else {
        for (const auto &[fd, channel] : m_channels) {
            if (!channel->closing && channel->kind == Channel::Kind::Listening &&
                channel->reader->isEnabled())
                looks.push_back({fd, POLLIN, 0});
        }
        int ready;
        do
            ready = ::poll(looks.data(), looks.size(), 0);
        while (ready == -1 && errno == EINTR);
        if (ready <= 0)
            return;
    }
    for (const pollfd &look : looks) {
        Channel *channel = find(look.fd);
        if (!channel || look.revents == 0)
            continue;
        if (channel->closing) {
            drainClosing(*channel);
        } else if (channel->kind == Channel::Kind::Listening && channel->reader->isEnabled()) {
            m_endsDueUpTo = m_lastSerial;
            checkAccept(*channel);
            update(*channel);
        }
    }
}

void SocketChannels::closeStalled()
{
    m_endsDueUpTo = m_lastSerial;
    lookForEndedCloses();
    std::vector<int> stalled;
    bool closing = false;
    for (const auto &[fd, channel] : m_channels) {
        if (!channel->closing)
            continue;
        // A peer that still reads shrinks the system's send queue, also when everything has
        // left the channel's own output long ago.
        const int queued = unacknowledged(fd);
        if (queued != -1 && channel->kernelQueued != -1 && queued < channel->kernelQueued)
            channel->stallDeadline.setRemainingTime(closeStallMilliseconds);
        channel->kernelQueued = queued;
        if (channel->stallDeadline.hasExpired())
            stalled.push_back(fd);
        else
            closing = true;
    }
    for (const int fd : stalled)
        finishClosing(fd, true);
    if (!closing)
        m_stallCheck->stop();
}
