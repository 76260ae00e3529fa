#include "features/roompaths.h"
#include "features/pathsettings.h"
#include "features/roomname.h"
#include "lobby/controlconnection.h"
#include "lobby/roomstate.h"
#include "net/tunnelsession.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"

#include <QJsonArray>
#include <QNetworkInterface>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <cstring>

RoomPaths::RoomPaths(TunnelSession& tunnel, lobby::RoomState& room, PathSettings& settings,
                     const lobby::ControlConnection& connection, QObject* parent)
    : QObject(parent), tunnel_(tunnel), room_(room), settings_(settings), connection_(connection)
{
}

void RoomPaths::takePeers(const QJsonObject& message)
{
    // Pair keys only mean something to a sealed tunnel in a room.
    if (!tunnel_.sealed() || !room_.inRoom())
        return;
    // A private address neither probes nor answers, whatever a server offers.
    if (settings_.addressPrivate()) {
        tunnel_.endDirectPaths();
        return;
    }
    // Where the server asks for a second heartbeat, to learn how our NAT maps.
    const msg::DirectPeers offer = msg::DirectPeers::parse(message);
    const udp::Families reach = udp::families(tunnel_.socket());
    // The reader keeps only a port in range (0: none).
    tunnel_.setDirectPeers(direct::parsePeers(offer, reach),
                           offer.mappingPort ? udp::parsePeer(connection_.relayAddress().toUtf8().constData(),
                                                              static_cast<std::uint16_t>(offer.mappingPort))
                                             : udp::Peer{});
}

void RoomPaths::sendCandidates()
{
    settings_.wantPortMapped();
    // A plain session has no pair keys to probe with: it stays on the relay.
    if (!tunnel_.sealed() || !tunnel_.socket())
        return;
    msg::Candidates message{{}, settings_.addressPrivate()};
    QStringList& addresses = message.addresses;
    if (!settings_.addressPrivate() && room_.inRoom()) {
        // The router's forwarded port first: it is the one a symmetric NAT cannot spoil.
        if (!tunnel_.mappedCandidate().isEmpty())
            addresses.append(tunnel_.mappedCandidate());
        const QJsonArray local =
            direct::localCandidates(QNetworkInterface::allAddresses(), udp::localPort(tunnel_.socket()),
                                    udp::families(tunnel_.socket()), room_.myVirtualIp());
        for (const QJsonValue& address : local)
            if (!addresses.contains(address.toString()))
                addresses.append(address.toString());
    }
    emit controlMessage(message.toJson());
}

void RoomPaths::showDirectPaths()
{
    const std::vector<tunnel::DirectStatus> paths = tunnel_.directPaths().status();
    std::vector<direct::PathEntry> report;
    bool settling = false; // a first attempt under way: its outcome is the news
    const QList<lobby::RoomMember> members = room_.members();
    for (qsizetype i = 0; i < members.size(); ++i) {
        const QString& name = members[i].name;
        if (name == room_.user())
            continue;
        QString detail;
        direct::PathEntry entry{members[i].virtualIp, QStringLiteral("relayed")};
        if (settings_.addressPrivate()) {
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
        room_.setPath(name, entry.path, entry.rttMs);
        emit pathShown(int(i), detail);
    }
    // The server counts how many pairs of players get a direct path (one that does not know the
    // command ignores it).
    // The first report waits for every pair's first attempt, which a
    // minute's pause between reports would otherwise leave untold.
    if (settling)
        return;
    if (const QJsonObject line = pathReporter.due(report, tunnel::steadyMs()); !line.isEmpty())
        emit controlMessage(line);
}
