// Direct paths to the room's other sealed members: the server names them and
// where they may be reached; DirectPaths probes them and the engine follows
// its choice. The member list shows each member's path.
#include "app/vlanclient.h"
#include "features/directpeers.h"
#include "features/roomname.h"
#include "protocol/controlcodec.h"
#include "protocol/names.h"
#include "ui/symbols.h"

#include <QJsonArray>
#include <QListWidget>
#include <QNetworkInterface>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <cstring>

void VLANClient::handleDirectPeers(const QJsonObject& message)
{
    // Pair keys only mean something to a sealed tunnel in a room.
    if (!tunnelSeal->active() || !roomState.inRoom())
        return;
    // A private address neither probes nor answers, whatever a server offers.
    if (addressPrivate()) {
        endDirectPaths();
        return;
    }
    // Where the server asks for a second heartbeat, to learn how our NAT maps.
    const msg::DirectPeers offer = msg::DirectPeers::parse(message);
    const int mappingPort = offer.mappingPort;
    mappingPeer =
        mappingPort > 0 && mappingPort < 65536
            ? udp::parsePeer(relayAddress().toUtf8().constData(), static_cast<std::uint16_t>(mappingPort))
            : udp::Peer{};
    const udp::Families reach = udp::families(tunnelSocket);
    directPaths->setPeers(direct::parsePeers(offer, reach), tunnel::steadyMs());
    directTimer->start(0); // new pairs probe at once
    showDirectPaths();
}

void VLANClient::sendCandidates()
{
    wantPortMapped();
    // A plain session has no pair keys to probe with: it stays on the relay.
    if (!tunnelSeal->active() || !tunnelSocket)
        return;
    msg::Candidates message{{}, addressPrivate()};
    QStringList& addresses = message.addresses;
    if (!addressPrivate() && roomState.inRoom()) {
        // The router's forwarded port first: it is the one a symmetric NAT cannot spoil.
        if (!mappedCandidate.isEmpty())
            addresses.append(mappedCandidate);
        const QJsonArray local =
            direct::localCandidates(QNetworkInterface::allAddresses(), udp::localPort(tunnelSocket),
                                    udp::families(tunnelSocket), roomState.myVirtualIp());
        for (const QJsonValue& address : local)
            if (!addresses.contains(address.toString()))
                addresses.append(address.toString());
    }
    sendControlMessage(message.toJson());
}

void VLANClient::tickDirectPaths()
{
    const std::int64_t now = tunnel::steadyMs();
    directPaths->tick(
        now,
        [this](const Endpoint& to, const std::uint8_t* data, std::size_t length) {
            udp::send(tunnelSocket, to, data, length);
        },
        [this](const std::uint8_t* payload, std::size_t length) { sendRelayProbe(payload, length); });
    // A pair key nearly used up: the server hands both ends a new one.
    for (const std::uint32_t pair : directPaths->takeRekeyAsks())
        sendControlMessage(msg::Rekey{pair}.toJson());
    // A direct path that fell silent or failed: the relay hears from us now, in case we moved.
    if (directPaths->takeHeartbeatWanted())
        sendUdpHeartbeats();
    showDirectPaths();
    const std::uint64_t refused = directPaths->refused();
    if (refused != directRefused)
        qWarning("pellora: %llu direct packets dropped: not the peer's own address or MAC",
                 static_cast<unsigned long long>(refused - directRefused));
    directRefused = refused;
    // Asleep until the next thing falls due; an engine thread may wake us sooner.
    if (!directPaths->status().empty())
        directTimer->start(static_cast<int>(std::clamp<std::int64_t>(directPaths->nextDueMs(now) - now, 10,
                                                                     tunnel::direct::kLongestSleepMs)));
}

void VLANClient::sendRelayProbe(const std::uint8_t* payload, std::size_t length)
{
    if (!tunnelSeal->active() || length != relayprobe::kPayload)
        return;
    if (!heartbeatSealer)
        heartbeatSealer = std::make_unique<tunnel::SealSession::View>(*tunnelSeal);
    std::uint8_t sealed[relayprobe::kBytes];
    std::memcpy(sealed + seal::kHeaderBytes, payload, length);
    const std::size_t size = heartbeatSealer->seal(sealed, length, false, true);
    if (size)
        udp::send(tunnelSocket, relayPeer, sealed, size);
}

void VLANClient::showDirectPaths()
{
    const std::vector<tunnel::DirectStatus> paths = directPaths->status();
    std::vector<direct::PathEntry> report;
    bool settling = false; // a first attempt under way: its outcome is the news
    for (int i = 0; i < peerList->count(); ++i) {
        QListWidgetItem* item = peerList->item(i);
        const QString name = item->data(rooms::kPeerNameRole).toString();
        QString detail;
        direct::PathEntry entry{item->data(rooms::kPeerVipRole).toString(), QStringLiteral("relayed")};
        if (name != nickname && addressPrivate()) {
            detail = QStringLiteral("relayed (private)");
            entry.path = QStringLiteral("private");
        } else if (name != nickname) {
            detail = rooms::peerPathText(false, -1);
            for (const tunnel::DirectStatus& path : paths) {
                if (QString::fromStdString(path.name) != name)
                    continue;
                detail = rooms::peerPathText(path.direct, path.direct ? path.rttMs : path.relayRttMs);
                entry.path = path.direct ? QStringLiteral("direct") : entry.path;
                entry.rttMs = path.direct ? path.rttMs : path.relayRttMs;
                settling = settling || !path.settled;
            }
        }
        if (name != nickname) {
            report.push_back(entry);
            roomState.setPath(name, entry.path, entry.rttMs);
        }
        if (item->data(symbols::kDetailRole).toString() != detail)
            item->setData(symbols::kDetailRole, detail);
    }
    // The server counts how many pairs of players get a direct path (one that does not know the
    // command ignores it).
    // The first report waits for every pair's first attempt, which a
    // minute's pause between reports would otherwise leave untold.
    if (settling)
        return;
    if (const QJsonObject line = pathReporter.due(report, tunnel::steadyMs()); !line.isEmpty())
        sendControlMessage(line);
}

void VLANClient::endDirectPaths()
{
    directTimer->stop();
    directPaths->clear();
    mappingPeer = {};
}
