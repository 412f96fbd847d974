#pragma once

#include "HostAddress.h"

#include <QList>
#include <QString>

// Who may ask the finger and daytime services: the registry value "AllowFrom".
enum class AllowedPeers { Anyone, Network, Computer };

// "network" and "computer" as they stand; any other text is "anyone".
AllowedPeers AllowedPeersFromText(const QString &text);
QString AllowedPeersText(AllowedPeers peers);

// Whether peer may ask. This computer: loopback only. This network: loopback, link-local,
// the private ranges (10/8, 172.16/12, 192.168/16, fc00::/7) and the given subnets of the
// computer's own interfaces. A peer whose address is unknown may ask only when anyone may.
bool MayAsk(AllowedPeers rule, const HostAddress &peer, const QList<Subnet> &localSubnets);
