#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <array>
#include <optional>

struct sockaddr;

// An IPv4 or IPv6 address of a peer or of an interface. An IPv4 peer that reaches an IPv6
// socket in the mapped form (::ffff:a.b.c.d) is kept as the IPv4 address it is, so that it is
// shown and judged as one.
struct HostAddress
{
    enum class Family : quint8 { None, IPv4, IPv6 };

    Family family = Family::None;
    // In network byte order; an IPv4 address takes the first four.
    std::array<quint8, 16> bytes{};

    // The address of an AF_INET or AF_INET6 record; None for any other family.
    static HostAddress fromSocketAddress(const sockaddr *address);
    // A dotted IPv4 or an IPv6 text; nothing when it is neither.
    static std::optional<HostAddress> fromText(QByteArrayView text);

    // IPv4 dotted, IPv6 in its compressed form; "0.0.0.0" when no address is known.
    QString text() const;

    friend bool operator==(const HostAddress &, const HostAddress &) = default;
};

// The addresses whose first prefixLength bits are those of address (same family).
struct Subnet
{
    HostAddress address;
    int prefixLength = 0;

    bool contains(const HostAddress &host) const;
};

// The subnets of the interfaces that are up, as the system reports them now. A /32 or /128
// (an address added to loopback, one end of a point-to-point link) holds no other host and
// is left out.
QList<Subnet> InterfaceSubnets();
