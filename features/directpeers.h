// The direct-path words of the control channel, Qt Core only: the peers the
// server offers and the addresses we offer it, in the "ADDR:PORT" /
// "[V6]:PORT" text form both sides use.
#pragma once

#include "net/directpaths.h"
#include "net/udpsocket.h"
#include "protocol/endpoint.h"
#include "protocol/messages.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

namespace direct {

// A numeric address with an explicit port; length 0 when the text is not one.
Endpoint parseCandidate(const QString& text);

// The peers of a direct_peers list (whose reader left out bad entries),
// without candidates of a family the tunnel socket cannot send to.
std::vector<tunnel::DirectPeer> parsePeers(const msg::DirectPeers& offer, udp::Families reach);

// Our own addresses worth offering for `port`: private and global ones of
// the families the tunnel socket carries, without loopback, link-local, or
// the room's own network (our virtual adapter). At most directlimits::kCandidates,
// and IPv4 ones first: a host's many IPv6 addresses must not crowd them out.
QJsonArray localCandidates(const QList<QHostAddress>& addresses, quint16 port, udp::Families reach,
                           const QString& ownVip);

// How we reach one room mate, as path_report tells the server (which may not know the command).
using PathEntry = msg::PathReport::Entry;

// Decides when path_report goes out: when some room mate's path changed since the
// last report, and at most once a minute. Round trips go along but change nothing.
class PathReporter
{
public:
    static constexpr qint64 kIntervalMs = 60000;
    // The message to send now, or an empty object.
    QJsonObject due(const std::vector<PathEntry>& entries, qint64 nowMs);

private:
    QStringList last_; // "vip path" of the last report, or of an empty room
    bool sent_ = false;
    qint64 sentAt_ = 0;
};

} // namespace direct
