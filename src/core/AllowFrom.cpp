#include "AllowFrom.h"

#include <algorithm>

namespace {

Subnet prefix(const char *text, int length)
{
    return {*HostAddress::fromText(text), length};
}

bool inAny(const HostAddress &peer, const QList<Subnet> &subnets)
{
    return std::any_of(subnets.begin(), subnets.end(),
                       [&peer](const Subnet &subnet) { return subnet.contains(peer); });
}

const QList<Subnet> &loopback()
{
    static const QList<Subnet> ranges{prefix("127.0.0.0", 8), prefix("::1", 128)};
    return ranges;
}

const QList<Subnet> &localRanges()
{
    static const QList<Subnet> ranges{
        prefix("169.254.0.0", 16), prefix("fe80::", 10), // link-local
        prefix("10.0.0.0", 8),     prefix("172.16.0.0", 12),
        prefix("192.168.0.0", 16), prefix("fc00::", 7), // unique local
    };
    return ranges;
}

} // namespace

AllowedPeers AllowedPeersFromText(const QString &text)
{
    if (text == QLatin1String("network"))
        return AllowedPeers::Network;
    if (text == QLatin1String("computer"))
        return AllowedPeers::Computer;
    return AllowedPeers::Anyone;
}

QString AllowedPeersText(AllowedPeers peers)
{
    switch (peers) {
    case AllowedPeers::Network:
        return QStringLiteral("network");
    case AllowedPeers::Computer:
        return QStringLiteral("computer");
    case AllowedPeers::Anyone:
        break;
    }
    return QStringLiteral("anyone");
}

bool MayAsk(AllowedPeers rule, const HostAddress &peer, const QList<Subnet> &localSubnets)
{
    switch (rule) {
    case AllowedPeers::Anyone:
        return true;
    case AllowedPeers::Computer:
        return inAny(peer, loopback());
    case AllowedPeers::Network:
        return inAny(peer, loopback()) || inAny(peer, localRanges()) || inAny(peer, localSubnets);
    }
    return false;
}
