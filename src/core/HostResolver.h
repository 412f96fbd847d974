#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <netinet/in.h>

#include <functional>
#include <memory>
#include <optional>

// A host as a person types it, without the brackets around an IPv6 literal ("[::1]" gives
// "::1"); any other text is returned as it stands.
QString unbracketedHost(const QString &host);

// Whether text is an IPv6 address, with or without brackets, with an optional zone after '%'
// ("::1", "[::1]", "fe80::1%eth0"). Only the form is checked: the zone need not exist.
bool isIpv6Literal(const QString &text);

// The socket address of an IPv6 literal (brackets allowed, the zone an interface name or
// number) with port (network byte order); nothing when text is no literal or its zone names
// no interface.
std::optional<sockaddr_in6> ipv6SocketAddress(const QString &text, quint16 port);

// The addresses of a numeric host (IPv4 in any form inet_aton takes, or IPv6) as numeric
// texts; empty for a name. Never asks a name service.
QStringList numericHostAddresses(const QString &host);

// The addresses of a host of any family as numeric texts, in the system's order of
// preference, each once; empty when it has none. May block for as long as the name
// service takes.
QStringList resolveHostAddresses(const QString &host);

// Looks host names up without making the caller wait: a name is resolved on a worker thread,
// a numeric address at once, and either result is reported from the event loop. A look-up
// that was cancelled or replaced never reports; its thread runs to its end on its own and
// its result is dropped.
class HostResolver : public QObject
{
    Q_OBJECT

public:
    using Resolve = std::function<QStringList(const QString &host)>;

    explicit HostResolver(QObject *parent = nullptr);
    ~HostResolver() override;

    // Starts looking host up; a look-up still in progress is cancelled.
    void lookUp(const QString &host);
    void cancel();
    bool isLookingUp() const { return m_current != 0; }

    // What resolves a name, called on a worker thread; tests replace it.
    Resolve resolveName = resolveHostAddresses;

signals:
    // The addresses of the host of the current look-up; empty when it has none.
    void resolved(const QString &host, const QStringList &addresses);

private:
    struct Mailbox;

    void deliver(quint64 lookUp, const QString &host, const QStringList &addresses);

    std::shared_ptr<Mailbox> m_mailbox;
    quint64 m_lastLookUp = 0;
    quint64 m_current = 0; // 0: none in progress
};
