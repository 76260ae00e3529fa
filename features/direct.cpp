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

void VLANClient::handleDirectPeers(const QJsonObject& message)
{
    // Pair keys only mean something to a sealed tunnel in a room.
    if (!tunnelSeal->active() || currentRoomName.isEmpty())
        return;
    // A private address neither probes nor answers, whatever a server offers.
    if (addressPrivate()) {
        endDirectPaths();
        return;
    }
    const udp::Families reach = udp::families(tunnelSocket);
    directPaths->setPeers(direct::parsePeers(control::readArray(message, field::peers), reach),
                          tunnel::steadyMs());
    if (!directTimer->isActive())
        directTimer->start(100);
    showDirectPaths();
}

void VLANClient::sendCandidates()
{
    wantPortMapped();
    // A plain session has no pair keys to probe with: it stays on the relay.
    if (!tunnelSeal->active() || !tunnelSocket)
        return;
    QJsonArray addresses;
    if (!addressPrivate() && !currentRoomName.isEmpty()) {
        // The router's forwarded port first: it is the one a symmetric NAT cannot spoil.
        if (!mappedCandidate.isEmpty())
            addresses.append(mappedCandidate);
        const QJsonArray local = direct::localCandidates(QNetworkInterface::allAddresses(),
                                                         udp::localPort(tunnelSocket),
                                                         udp::families(tunnelSocket), myVirtualIp);
        for (const QJsonValue& address : local)
            if (addresses.size() < direct::kMaxCandidates && !addresses.contains(address))
                addresses.append(address);
    }
    QJsonObject message = control::message(cmd::candidates);
    message.insert(field::addresses, addresses);
    message.insert(field::privateAddress, addressPrivate());
    sendControlMessage(message);
}

void VLANClient::tickDirectPaths()
{
    directPaths->tick(tunnel::steadyMs(),
                      [this](const Endpoint& to, const std::uint8_t* data, std::size_t length) {
                          udp::send(tunnelSocket, to, data, length);
                      });
    // A pair key nearly used up: the server hands both ends a new one.
    for (const std::uint32_t pair : directPaths->takeRekeyAsks())
        sendControlMessage(QJsonObject{{field::cmd, cmd::rekey}, {field::pair, qint64{pair}}});
    // A direct path that fell silent or failed: the relay hears from us now, in case we moved.
    if (directPaths->takeHeartbeatWanted())
        sendUdpHeartbeats();
    // The list follows every 2 s; probing itself runs every tick.
    if (++directTicks % 20 != 0)
        return;
    showDirectPaths();
    const std::uint64_t refused = directPaths->refused();
    if (refused != directRefused)
        qWarning("pellora: %llu direct packets dropped: not the peer's own address or MAC",
                 static_cast<unsigned long long>(refused - directRefused));
    directRefused = refused;
}

void VLANClient::showDirectPaths()
{
    const std::vector<tunnel::DirectStatus> paths = directPaths->status();
    for (int i = 0; i < peerList->count(); ++i) {
        QListWidgetItem* item = peerList->item(i);
        const QString name = item->data(rooms::kPeerNameRole).toString();
        QString detail;
        if (name != nickname && addressPrivate()) {
            detail = QStringLiteral("relayed (private)");
        } else if (name != nickname) {
            detail = rooms::peerPathText(false, -1);
            for (const tunnel::DirectStatus& path : paths) {
                if (QString::fromStdString(path.name) == name)
                    detail = rooms::peerPathText(path.direct, path.rttMs);
            }
        }
        if (item->data(symbols::kDetailRole).toString() != detail)
            item->setData(symbols::kDetailRole, detail);
    }
}

void VLANClient::endDirectPaths()
{
    directTimer->stop();
    directPaths->clear();
}
