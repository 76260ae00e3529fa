// Direct paths to the room's other sealed members: the server names them and
// where they may be reached; the tunnel probes them and its engine follows
// their choice. The member list shows each member's path.
#include "app/vlanclient.h"
#include "lobby/controlconnection.h"
#include "features/directpeers.h"
#include "features/roomname.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
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
    if (!tunnel->sealed() || !roomState.inRoom())
        return;
    // A private address neither probes nor answers, whatever a server offers.
    if (pathSettings->addressPrivate()) {
        tunnel->endDirectPaths();
        return;
    }
    // Where the server asks for a second heartbeat, to learn how our NAT maps.
    const msg::DirectPeers offer = msg::DirectPeers::parse(message);
    const udp::Families reach = udp::families(tunnel->socket());
    // The reader keeps only a port in range (0: none).
    tunnel->setDirectPeers(direct::parsePeers(offer, reach),
                           offer.mappingPort ? udp::parsePeer(connection->relayAddress().toUtf8().constData(),
                                                              static_cast<std::uint16_t>(offer.mappingPort))
                                             : udp::Peer{});
}

void VLANClient::sendCandidates()
{
    pathSettings->wantPortMapped();
    // A plain session has no pair keys to probe with: it stays on the relay.
    if (!tunnel->sealed() || !tunnel->socket())
        return;
    msg::Candidates message{{}, pathSettings->addressPrivate()};
    QStringList& addresses = message.addresses;
    if (!pathSettings->addressPrivate() && roomState.inRoom()) {
        // The router's forwarded port first: it is the one a symmetric NAT cannot spoil.
        if (!tunnel->mappedCandidate().isEmpty())
            addresses.append(tunnel->mappedCandidate());
        const QJsonArray local =
            direct::localCandidates(QNetworkInterface::allAddresses(), udp::localPort(tunnel->socket()),
                                    udp::families(tunnel->socket()), roomState.myVirtualIp());
        for (const QJsonValue& address : local)
            if (!addresses.contains(address.toString()))
                addresses.append(address.toString());
    }
    sendControlMessage(message.toJson());
}

void VLANClient::showDirectPaths()
{
    const std::vector<tunnel::DirectStatus> paths = tunnel->directPaths().status();
    std::vector<direct::PathEntry> report;
    bool settling = false; // a first attempt under way: its outcome is the news
    const QList<lobby::RoomMember> members = roomState.members();
    for (qsizetype i = 0; i < members.size(); ++i) {
        const QString& name = members[i].name;
        if (name == nickname)
            continue;
        QString detail;
        direct::PathEntry entry{members[i].virtualIp, QStringLiteral("relayed")};
        if (pathSettings->addressPrivate()) {
            detail = QStringLiteral("relayed (private)");
            entry.path = QStringLiteral("private");
        } else {
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
        report.push_back(entry);
        roomState.setPath(name, entry.path, entry.rttMs);
        // The list shows the members in the room's order, one entry each.
        if (QListWidgetItem* item = roomPage->peerList->item(int(i));
            item && item->data(symbols::kDetailRole).toString() != detail)
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
