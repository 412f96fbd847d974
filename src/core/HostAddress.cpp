#include "HostAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace {

constexpr quint8 MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

HostAddress ipv4(const void *four)
{
    HostAddress address;
    address.family = HostAddress::Family::IPv4;
    std::memcpy(address.bytes.data(), four, 4);
    return address;
}

HostAddress ipv6(const void *sixteen)
{
    const auto *bytes = static_cast<const quint8 *>(sixteen);
    if (std::memcmp(bytes, MappedPrefix, sizeof MappedPrefix) == 0)
        return ipv4(bytes + sizeof MappedPrefix);
    HostAddress address;
    address.family = HostAddress::Family::IPv6;
    std::memcpy(address.bytes.data(), bytes, 16);
    return address;
}

// The number of leading one bits of a netmask of the family.
int prefixLength(int family, const sockaddr *mask)
{
    const quint8 *bits = family == AF_INET
                             ? reinterpret_cast<const quint8 *>(
                                   &reinterpret_cast<const sockaddr_in *>(mask)->sin_addr)
                             : reinterpret_cast<const sockaddr_in6 *>(mask)->sin6_addr.s6_addr;
    const int bytes = family == AF_INET ? 4 : 16;
    int length = 0;
    for (int i = 0; i < bytes && bits[i] == 0xff; ++i)
        length += 8;
    if (length < bytes * 8)
        for (quint8 rest = bits[length / 8]; rest & 0x80; rest = quint8(rest << 1))
            ++length;
    return length;
}

} // namespace

HostAddress HostAddress::fromSocketAddress(const sockaddr *address)
{
    if (!address)
        return {};
    if (address->sa_family == AF_INET)
        return ipv4(&reinterpret_cast<const sockaddr_in *>(address)->sin_addr);
    if (address->sa_family == AF_INET6)
        return ipv6(reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr.s6_addr);
    return {};
}

std::optional<HostAddress> HostAddress::fromText(QByteArrayView text)
{
    const QByteArray terminated = text.toByteArray();
    quint8 bytes[16];
    if (::inet_pton(AF_INET, terminated.constData(), bytes) == 1)
        return ipv4(bytes);
    if (::inet_pton(AF_INET6, terminated.constData(), bytes) == 1)
        return ipv6(bytes);
    return std::nullopt;
}

QString HostAddress::text() const
{
    char text[INET6_ADDRSTRLEN] = "0.0.0.0";
    if (family == Family::IPv4)
        ::inet_ntop(AF_INET, bytes.data(), text, sizeof text);
    else if (family == Family::IPv6)
        ::inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
    return QString::fromLatin1(text);
}

bool Subnet::contains(const HostAddress &host) const
{
    if (host.family != address.family || host.family == HostAddress::Family::None)
        return false;
    const int width = host.family == HostAddress::Family::IPv4 ? 32 : 128;
    if (prefixLength < 0 || prefixLength > width)
        return false;
    const int whole = prefixLength / 8;
    if (std::memcmp(host.bytes.data(), address.bytes.data(), size_t(whole)) != 0)
        return false;
    const int rest = prefixLength % 8;
    if (rest == 0)
        return true;
    const quint8 mask = quint8(0xff << (8 - rest));
    return (host.bytes[whole] & mask) == (address.bytes[whole] & mask);
}

QList<Subnet> InterfaceSubnets()
{
    QList<Subnet> subnets;
    ifaddrs *interfaces = nullptr;
    if (::getifaddrs(&interfaces) == -1)
        return subnets;
    for (const ifaddrs *entry = interfaces; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !entry->ifa_netmask || !(entry->ifa_flags & IFF_UP))
            continue;
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6)
            continue;
        const int width = family == AF_INET ? 32 : 128;
        const int length = prefixLength(family, entry->ifa_netmask);
        if (length >= width)
            continue;
        subnets.append({HostAddress::fromSocketAddress(entry->ifa_addr), length});
    }
    ::freeifaddrs(interfaces);
    return subnets;
}
