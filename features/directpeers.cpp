#include "features/directpeers.h"

#include "lobby/serveraddress.h"
#include "net/udpsocket.h"

#include <QJsonObject>

namespace direct {

namespace {

constexpr std::uint32_t kIpv4Length = 16; // sockaddr_in; sockaddr_in6 is longer

} // namespace

Endpoint parseCandidate(const QString& text)
{
    if (text.size() > directlimits::kCandidateChars)
        return {};
    QString error;
    const auto endpoint = lobby::parseServerEndpoint(text, 0, &error);
    if (!endpoint || endpoint->port == 0 || !lobby::isNumericAddress(endpoint->address))
        return {};
    return udp::parsePeer(endpoint->address.toLatin1().constData(), endpoint->port);
}

std::vector<tunnel::DirectPeer> parsePeers(const msg::DirectPeers& offer, udp::Families reach)
{
    std::vector<tunnel::DirectPeer> out;
    for (const msg::DirectPeers::Peer& entry : offer.peers) {
        tunnel::DirectPeer peer;
        peer.name = entry.username.toStdString();
        peer.vip = entry.vip;
        peer.pair = entry.pair;
        peer.side = entry.side;
        peer.key = entry.key;
        for (const QString& text : entry.candidates) {
            const Endpoint at = parseCandidate(text);
            if (at.length != 0 && (at.length > kIpv4Length ? reach.ipv6 : reach.ipv4))
                peer.candidates.push_back(at);
        }
        // A birthday probes the first candidate's address: the one the server saw, so it must be first.
        const bool first =
            !peer.candidates.empty() && parseCandidate(entry.candidates.first()) == peer.candidates[0];
        if (first && entry.birthday == msg::Birthday::Spray)
            peer.birthday = tunnel::Birthday::Spray;
        else if (first && entry.birthday == msg::Birthday::Scan)
            peer.birthday = tunnel::Birthday::Scan;
        out.push_back(std::move(peer));
    }
    return out;
}

QJsonArray localCandidates(const QList<QHostAddress>& addresses, quint16 port, udp::Families reach,
                           const QString& ownVip)
{
    const QHostAddress own(ownVip);
    QJsonArray out;
    for (const auto family : {QAbstractSocket::IPv4Protocol, QAbstractSocket::IPv6Protocol}) {
        if (!(family == QAbstractSocket::IPv4Protocol ? reach.ipv4 : reach.ipv6))
            continue;
        for (const QHostAddress& address : addresses) {
            if (address.protocol() != family || address.isLoopback() || address.isLinkLocal() ||
                address.isMulticast() || !address.scopeId().isEmpty() ||
                (!own.isNull() && address.isInSubnet(own, 24)))
                continue;
            if (out.size() >= directlimits::kCandidates)
                return out;
            out.append(lobby::formatEndpoint({address.toString(), port}));
        }
    }
    return out;
}

QJsonObject PathReporter::due(const std::vector<PathEntry>& entries, qint64 nowMs)
{
    QStringList paths;
    for (const PathEntry& entry : entries)
        paths << entry.vip + QLatin1Char(' ') + entry.path;
    paths.sort();
    // Alone in the room there is nothing to tell; the next room mate is news.
    if (entries.empty() || paths == last_ || (sent_ && nowMs - sentAt_ < kIntervalMs)) {
        if (entries.empty())
            last_.clear();
        return {};
    }
    last_ = paths;
    sent_ = true;
    sentAt_ = nowMs;
    return msg::PathReport{QList<PathEntry>(entries.cbegin(), entries.cend())}.toJson();
}

} // namespace direct
