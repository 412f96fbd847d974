#pragma once

// Private to the Sockets unit: the descriptors one socket component holds, and the
// asynchronous select model on top of them.

#include <QByteArray>
#include <QtGlobal>

#include <sys/socket.h>

#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

class QObject;
class QSocketNotifier;
class QTimer;

// Every descriptor the component opened and has not closed yet is held here. A registered
// descriptor turns readiness into notifications (event code, error code) under the rules of
// the asynchronous select model:
// - FD_READ when data waits; again only after a receive;
// - FD_WRITE once a connected or accepted socket can send (for an accepted one at once);
// - FD_ACCEPT when a connection waits; again only after an accept (or resumeAccepting);
// - FD_CONNECT once, when a connection attempt ends, with its error when it failed;
// - FD_CLOSE once, when the peer has closed and all data was read, or with an error (a
//   reset) when the connection broke.
// Each registration has a generation; a notification carries it and is only good while it
// is current (isCurrent), so renewing or ending a registration, or closing the descriptor,
// voids every notification already handed out, even if its number is reused.
//
// Input is read ahead when it is reported, and a receive takes it from there: telling data
// from the end of the stream costs no read of its own. A session accepted in this turn is
// read at once (readAcceptedSessions), as its request has mostly arrived with it; nothing is
// read after the end of the stream was seen.
//
// Output that a socket cannot take at once waits in the channel and is written as the
// socket becomes writable, in order. A graceful close flushes that output, shuts the
// sending side, discards input until the peer closes, then closes the descriptor. A close
// is made hard when the peer takes nothing for a minute (neither the channel's output nor
// the system's send queue shrinks) and shows no end of its input, and the one longest
// without progress is made hard when too many are waiting: peers that never close must not
// use up the descriptors.
//
// An accept that failed for lack of descriptors or memory leaves the connection waiting in
// the system's queue; the listener is offered again only after a pause that grows while the
// shortage lasts, so that a listener that cannot accept does not keep the loop busy.
class SocketChannels
{
public:
    using Post = std::function<void(int fd, int event, int error, quint64 generation)>;

    // Graceful closes that may wait for their peers at the same time.
    static constexpr int closingLimit = 256;
    // The pause after an accept that failed for lack of resources: the first, and the
    // longest it grows to while failures follow one another.
    static constexpr int firstAcceptPauseMs = 250;
    static constexpr int longestAcceptPauseMs = 1000;
    // The most one read ahead takes, and so the most one receive returns.
    static constexpr int readAheadLimit = 1 << 20;

    // Notifiers and timers become children of owner; post hands a notification on.
    SocketChannels(QObject *owner, Post post);
    // Closes every descriptor still held, graceful closes in progress included.
    ~SocketChannels();
    SocketChannels(const SocketChannels &) = delete;
    SocketChannels &operator=(const SocketChannels &) = delete;

    // Takes charge of a new descriptor.
    void adopt(int fd);
    // Whether fd is a descriptor the component holds (not one in a graceful close).
    bool holds(int fd) const;

    void setListening(int fd);
    // A connect on fd has started or has completed at once.
    void setConnecting(int fd);
    void setConnected(int fd);

    // Registers fd for the event set (0 ends the registration). Returns 0 or a WinSock code.
    int select(int fd, int events);
    bool isCurrent(int fd, quint64 generation) const;

    // A receive was made on fd: FD_READ (or FD_CLOSE) may follow again.
    void received(int fd);
    // An accept was made on listenFd: FD_ACCEPT may follow again, at once or, while the
    // listener pauses after a shortage, when the pause ends.
    void acceptCalled(int listenFd);
    // An accept on listenFd failed for lack of descriptors or memory: FD_ACCEPT follows
    // again after a pause.
    void acceptStarved(int listenFd);
    // newFd was accepted from listenFd with the peer address that accept gave: it is held, and
    // registered for the listener's set.
    void accepted(int listenFd, int newFd, const sockaddr_storage &peer);
    // The graceful closes of accepted sessions are not watched on their own: they are looked
    // at once a new client has been taken care of, and at each stall check. A run of queries
    // then wakes the loop once per query, not twice, and the new client does not wait for it.
    void lookForEndedCloses();
    // Reads from the sessions accepted since the last call whose input is not reported yet:
    // what waits is reported now, instead of after another look of the event loop.
    void readAcceptedSessions();
    bool hasAcceptedSessionsToRead() const { return !m_acceptedToRead.empty(); }
    // The peer address of a held fd as accept gave it, while the connection has shown no end
    // or reset; nullptr when the system must be asked.
    const sockaddr_storage *knownPeer(int fd) const;

    // Receives into buffer from the held fd without waiting: what was read ahead first.
    // Returns the length received (0 at the end of the stream), or -1 with errno.
    qint64 receive(int fd, char *buffer, qint64 capacity);
    bool hasInput(int fd) const;

    // Sends data on the held fd without waiting: what the socket cannot take now is queued.
    // Returns the length of data, or -1 with errno when the send failed.
    qint64 send(int fd, const QByteArray &data);
    bool hasQueuedOutput(int fd) const;

    // Closes the held fd at once. Returns 0, or -1 with errno EBADF when fd is not held.
    int close(int fd);
    // Starts the graceful close of the held fd; it is no longer held. Returns 0, or -1 with
    // errno EBADF when fd is not held.
    int closeGracefully(int fd);

private:
    struct Channel;

    Channel *find(int fd) const;
    Channel *findHeld(int fd) const;
    void update(Channel &channel);
    void onReadable(int fd, QSocketNotifier *notifier);
    void onWritable(int fd, QSocketNotifier *notifier);
    void checkInput(Channel &channel);
    void checkAccept(Channel &channel);
    bool readyNow(const Channel &channel, short events) const;
    void notify(const Channel &channel, int event, int error);
    // Writes queued output; false when the socket failed (the queue is dropped).
    bool flush(Channel &channel);
    void drainClosing(Channel &channel);
    void flushClosing(Channel &channel);
    void finishClosing(int fd, bool hard);
    // Gives up the channel's notifiers: deleted at once, or (deferred, as inside their own
    // callbacks) kept for another descriptor or deleted later.
    void release(Channel &channel, bool deferred);
    void closeStalled();
    void closeStalest();
    void resumeAccepting(int listenFd, quint64 serial);

    QObject *m_owner;
    Post m_post;
    quint64 m_lastGeneration = 0;
    quint64 m_lastSerial = 0;
    quint64 m_endsDueUpTo = 0; // closes begun up to this serial are due to be looked at
    int m_closingCount = 0;
    std::map<int, std::unique_ptr<Channel>> m_channels;
    std::vector<std::pair<QSocketNotifier *, QSocketNotifier *>> m_spareNotifiers;
    std::vector<std::pair<int, quint64>> m_acceptedToRead; // descriptor and serial
    QByteArray m_readAhead;
    QTimer *m_stallCheck = nullptr; // runs while graceful closes are in progress
};
