#include "app/vlanclient.h"
#include "lobby/controlconnection.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

namespace {
constexpr std::int64_t kRelaySilentMs = 500;
} // namespace

void VLANClient::onUdpReadyRead()
{
    // Only while no engine runs (the notifier is off otherwise): what arrives
    // then has no adapter to go to and is dropped.
    udp::drain(tunnelSocket);
}

void VLANClient::sendUdpHeartbeats()
{
    if (clientId.isEmpty())
        return;
    if (tunnelSeal->active()) {
        // Sealed: the key says who sends it; no client id on the wire.
        if (!heartbeatSealer)
            heartbeatSealer = std::make_unique<tunnel::SealSession::View>(*tunnelSeal);
        // Its one byte of payload: the adapter mode, as a plain heartbeat's "layer".
        std::uint8_t sealed[seal::kOverhead + 1];
        sealed[seal::kHeaderBytes] = layer2Mode ? 2 : 3;
        const std::size_t size = heartbeatSealer->seal(sealed, 1, true);
        if (size)
            udp::send(tunnelSocket, relayPeer, sealed, size);
        // The same to the mapping port, sealed anew: the server compares where each came from.
        sealed[seal::kHeaderBytes] = layer2Mode ? 2 : 3;
        const std::size_t again = mappingPeer.length ? heartbeatSealer->seal(sealed, 1, true) : 0;
        if (again)
            udp::send(tunnelSocket, mappingPeer, sealed, again);
        // The key sealed all it may: nothing goes until the next, asked for at every beat.
        if (tunnelSeal->exhausted())
            sendControlMessage(msg::Rekey{}.toJson());
        return;
    }
    // Only a server that echoed the mode reads it here; an older one drops
    // heartbeats with any member besides client_id.
    const QByteArray heartbeat =
        control::encodeHeartbeat(clientId, relayReadsLayer ? (layer2Mode ? 2 : 3) : 0);
    // The same socket as the traffic, so that the relay knows one port for this client.
    udp::send(tunnelSocket, relayPeer, heartbeat.constData(), static_cast<std::size_t>(heartbeat.size()));
}

// The relay's traffic that stops may mean a NAT moved our tunnel socket to a
// new address (or port): the relay learns where we are from our next sealed
// datagram, so one goes at once instead of at the next heartbeat, up to 2 s
// later. Once per silence: an idle room costs one heartbeat more. The watch
// sleeps while the relay is silent (the heartbeat's tick looks again), and
// otherwise wakes only when the silence would be due.
void VLANClient::watchRelay()
{
    if (!engine.active())
        return;
    const std::int64_t now = tunnel::steadyMs();
    const std::int64_t heard = engine.relayHeardMs();
    if (heard != relayHeard) {
        relayHeard = heard;
        relayHeardLost = false;
    } else if (!relayHeardLost && now - heard >= kRelaySilentMs) {
        relayHeardLost = true;
        sendUdpHeartbeats();
    }
    if (relayHeardLost)
        relayWatch->stop();
    else
        relayWatch->start(static_cast<int>(std::clamp<std::int64_t>(relayHeard + kRelaySilentMs - now, 10,
                                                                    kRelaySilentMs)));
}

// The socket follows the server's address family, so a new server may need a
// new socket. A running engine keeps its relay until the room ends.
void VLANClient::openTunnel()
{
    if (engine.active())
        return;
    relayPeer = udp::parsePeer(relayAddress().toUtf8().constData(), connection->server().port);
    delete tunnelNotifier;
    tunnelNotifier = nullptr;
    udp::close(tunnelSocket);
    tunnelSocket = udp::open(relayPeer);
    if (!tunnelSocket)
        return;
    tunnelNotifier = new QSocketNotifier(udp::descriptor(tunnelSocket), QSocketNotifier::Read, this);
    connect(tunnelNotifier, &QSocketNotifier::activated, this, &VLANClient::onUdpReadyRead);
}

bool VLANClient::startEngine(std::unique_ptr<tunnel::AdapterPort> port)
{
    if (!tunnelSocket)
        return false; // no numeric relay address: nothing could be sent anyway
    // The engine's receiver owns the socket's reads from here on.
    tunnelNotifier->setEnabled(false);
    directPaths->layer2 = layer2Mode;
    directPaths->setSidePorts(relayPeer);
    if (engine.start(std::move(port), tunnelSocket, relayPeer, tunnelSeal, directPaths)) {
        relayHeard = 0;
        relayHeardLost = true; // until the relay is heard: the heartbeat's tick looks
        return true;
    }
    tunnelNotifier->setEnabled(true);
    return false;
}

bool VLANClient::stopEngine()
{
    if (!engine.stop())
        return false; // a thread outlived the limit and still reads the socket
    relayWatch->stop();
    if (tunnelNotifier)
        tunnelNotifier->setEnabled(true);
    return true;
}

// The tunnel key of a sealed session, from login_ok or tunnel_key.
void VLANClient::takeTunnelKey(const QJsonObject& message)
{
    const msg::TunnelKey sealed = msg::TunnelKey::parse(message);
    // Only a key that came over the sealed channel is worth anything.
    if (connection->isEncrypted() && sealed.present) {
        tunnelSeal->setKey(sealed.key.data(), sealed.index, sealed.phase);
        // The relay knows the tunnel again only by a heartbeat under the new
        // key (after a server restart, say): one goes at once.
        sendUdpHeartbeats();
    } else if (message.value(field::cmd).toString() == cmd::loginOk)
        tunnelSeal->clear();
}

void VLANClient::handleTunnelKey(const QJsonObject& message)
{
    takeTunnelKey(message);
}

int VLANClient::tunnelOverhead() const
{
    return tunnelSeal->active() ? int(seal::kOverhead) : 0;
}
