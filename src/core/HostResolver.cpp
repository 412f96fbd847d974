#include "HostResolver.h"

#include <QMetaObject>

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

QStringList addressTexts(const QString &host, int flags)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.toLocal8Bit().constData(), nullptr, &hints, &found) != 0)
        return {};
    QStringList addresses;
    for (const addrinfo *entry = found; entry; entry = entry->ai_next) {
        char text[NI_MAXHOST];
        if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                          NI_NUMERICHOST) != 0)
            continue;
        const QString address = QString::fromLatin1(text);
        if (!addresses.contains(address))
            addresses.append(address);
    }
    ::freeaddrinfo(found);
    return addresses;
}

bool parseIpv6(const QString &text, in6_addr *address, QByteArray *zone)
{
    const QString inner = unbracketedHost(text);
    const qsizetype percent = inner.indexOf(u'%');
    const QByteArray bytes = (percent == -1 ? inner : inner.left(percent)).toLatin1();
    if (percent != -1) {
        *zone = inner.mid(percent + 1).toLocal8Bit();
        if (zone->isEmpty())
            return false;
    }
    return ::inet_pton(AF_INET6, bytes.constData(), address) == 1;
}

} // namespace

QString unbracketedHost(const QString &host)
{
    if (host.size() > 2 && host.startsWith(u'[') && host.endsWith(u']')) {
        const QString inner = host.mid(1, host.size() - 2);
        if (isIpv6Literal(inner))
            return inner;
    }
    return host;
}

bool isIpv6Literal(const QString &text)
{
    in6_addr address{};
    QByteArray zone;
    return parseIpv6(text, &address, &zone);
}

std::optional<sockaddr_in6> ipv6SocketAddress(const QString &text, quint16 port)
{
    sockaddr_in6 socketAddress{};
    QByteArray zone;
    if (!parseIpv6(text, &socketAddress.sin6_addr, &zone))
        return std::nullopt;
    if (!zone.isEmpty()) {
        unsigned index = ::if_nametoindex(zone.constData());
        if (index == 0) {
            char *end = nullptr;
            const unsigned long number = std::strtoul(zone.constData(), &end, 10);
            if (*end != '\0' || number == 0 || number > 0xFFFFFFFFul)
                return std::nullopt;
            index = unsigned(number);
        }
        socketAddress.sin6_scope_id = index;
    }
    socketAddress.sin6_family = AF_INET6;
    socketAddress.sin6_port = port;
    return socketAddress;
}

QStringList numericHostAddresses(const QString &host)
{
    return addressTexts(host, AI_NUMERICHOST);
}

QStringList resolveHostAddresses(const QString &host)
{
    // No AI_ADDRCONFIG: it hides loopback addresses where loopback is all there is.
    return addressTexts(host, 0);
}

// Where a worker thread leaves its result. The resolver clears the receiver as it goes, under
// the lock, so that no result is posted to it afterwards.
struct HostResolver::Mailbox
{
    std::mutex mutex;
    HostResolver *receiver = nullptr;
};

HostResolver::HostResolver(QObject *parent)
    : QObject(parent), m_mailbox(std::make_shared<Mailbox>())
{
    m_mailbox->receiver = this;
}

HostResolver::~HostResolver()
{
    const std::lock_guard lock(m_mailbox->mutex);
    m_mailbox->receiver = nullptr;
}

void HostResolver::lookUp(const QString &host)
{
    const quint64 id = m_current = ++m_lastLookUp;
    const QStringList numeric = numericHostAddresses(host);
    if (!numeric.isEmpty()) {
        QMetaObject::invokeMethod(
            this, [this, id, host, numeric] { deliver(id, host, numeric); }, Qt::QueuedConnection);
        return;
    }
    // Detached: a look-up can take longer than the program wants to wait for it, at the end
    // of the run included. It holds only its own copies and the mailbox.
    std::thread([mailbox = m_mailbox, resolve = resolveName, id, host] {
        const QStringList addresses = resolve(host);
        const std::lock_guard lock(mailbox->mutex);
        if (HostResolver *receiver = mailbox->receiver) {
            QMetaObject::invokeMethod(
                receiver,
                [receiver, id, host, addresses] { receiver->deliver(id, host, addresses); },
                Qt::QueuedConnection);
        }
    }).detach();
}

void HostResolver::cancel()
{
    m_current = 0;
}

void HostResolver::deliver(quint64 lookUp, const QString &host, const QStringList &addresses)
{
    if (lookUp != m_current)
        return;
    m_current = 0;
    emit resolved(host, addresses);
}
