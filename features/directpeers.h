// The direct-path words of the control channel, Qt Core only: the peers the
// server offers and the addresses we offer it, in the "ADDR:PORT" /
// "[V6]:PORT" text form both sides use.
#pragma once

#include "net/directpaths.h"
#include "protocol/endpoint.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <vector>

namespace direct {

// A numeric address with an explicit port; length 0 when the text is not one.
Endpoint parseCandidate(const QString& text);

// The usable entries of a direct_peers list. Entries with a bad pair index,
// side, key or address are left out; candidates of another address family
// than `relay` are dropped, as the one tunnel socket cannot reach them.
std::vector<tunnel::DirectPeer> parsePeers(const QJsonArray& peers, const Endpoint& relay);

// Our own addresses worth offering for `port`: private and global ones of
// the tunnel socket's family, without loopback, link-local, or the room's
// own network (our virtual adapter). At most kMaxCandidates.
constexpr int kMaxCandidates = directlimits::kCandidates;
QJsonArray localCandidates(const QList<QHostAddress>& addresses, quint16 port, bool ipv6,
                           const QString& ownVip);

} // namespace direct
