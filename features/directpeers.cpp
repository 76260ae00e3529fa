#include "features/directpeers.h"

#include "lobby/serveraddress.h"
#include "net/udpsocket.h"
#include "protocol/controlcodec.h"
#include "protocol/names.h"

#include <QByteArray>
#include <QJsonObject>
#include <cstring>

namespace direct {

namespace {

constexpr std::uint32_t kMaxPair = (1u << 29) - 1;
constexpr int kMaxTextLength = 64; // "[v6]:port" fits with room to spare
constexpr std::uint32_t kIpv4Length = 16; // sockaddr_in; sockaddr_in6 is longer

bool readPair(const QJsonObject& peer, std::uint32_t* pair)
{
    bool ok = false;
    const qulonglong value = control::readString(peer, field::pair).toULongLong(&ok);
    *pair = static_cast<std::uint32_t>(value);
    return ok && value >= 1 && value <= kMaxPair;
}

} // namespace

Endpoint parseCandidate(const QString& text)
{
    if (text.size() > kMaxTextLength)
        return {};
    QString error;
    const auto endpoint = lobby::parseServerEndpoint(text, 0, &error);
    if (!endpoint || endpoint->port == 0 || !lobby::isNumericAddress(endpoint->address))
        return {};
    return udp::parsePeer(endpoint->address.toLatin1().constData(), endpoint->port);
}

std::vector<tunnel::DirectPeer> parsePeers(const QJsonArray& peers, udp::Families reach)
{
    std::vector<tunnel::DirectPeer> out;
    for (qsizetype i = 0; i < peers.size() && i < 256; ++i) {
        const QJsonObject entry = control::objectAt(peers, i);
        tunnel::DirectPeer peer;
        const QHostAddress vip(control::readString(entry, field::vip));
        const QJsonValue side = entry.value(field::side);
        const QByteArray key =
            QByteArray::fromBase64(control::readString(entry, field::key).left(64).toLatin1());
        if (!readPair(entry, &peer.pair) || vip.protocol() != QAbstractSocket::IPv4Protocol ||
            !side.isDouble() || (side.toInt(-1) != 0 && side.toInt(-1) != 1) ||
            key.size() != static_cast<qsizetype>(peer.key.size()))
            continue;
        peer.name = control::readString(entry, field::username).toStdString();
        peer.vip = vip.toIPv4Address();
        peer.side = side.toInt();
        std::memcpy(peer.key.data(), key.constData(), peer.key.size());
        const QJsonArray candidates = control::readArray(entry, field::candidates);
        for (qsizetype c = 0; c < candidates.size() && c < kMaxCandidates + 1; ++c) {
            const Endpoint at = parseCandidate(control::stringAt(candidates, c));
            if (at.length != 0 && (at.length > kIpv4Length ? reach.ipv6 : reach.ipv4))
                peer.candidates.push_back(at);
        }
        // A birthday probes the first candidate's address: the one the server saw, so it must be first.
        const QString role = control::readString(entry, field::birthday);
        const bool first = !peer.candidates.empty() && !candidates.isEmpty() &&
                           parseCandidate(control::stringAt(candidates, 0)) == peer.candidates[0];
        if (first && role == birthday::spray)
            peer.birthday = tunnel::Birthday::Spray;
        else if (first && role == birthday::scan)
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
            if (out.size() >= kMaxCandidates)
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
    QJsonArray list;
    for (const PathEntry& entry : entries) {
        QJsonObject item{{field::vip, entry.vip}, {field::path, entry.path}};
        if (entry.rttMs >= 0)
            item.insert(field::rttMs, entry.rttMs);
        list.append(item);
    }
    QJsonObject message = control::message(cmd::pathReport);
    message.insert(field::paths, list);
    return message;
}

} // namespace direct
