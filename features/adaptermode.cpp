// The adapter mode and the tunnel as the window shows them: the mode buttons
// and their texts, the room's address while its adapter comes up, and a
// failure's message box. The tunnel itself is net/tunnelsession.h.
#include "app/vlanclient.h"
#include "features/roompaths.h"
#include "lobby/controlconnection.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "ui/messages.h"
#include "ui/pages.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

void VLANClient::onAdapterModeChanged()
{
    // Checkable buttons flip themselves before `clicked`; both states are set
    // here so that exactly one stays checked.
    const QObject* origin = sender();
    if (origin && origin == lobbyPage->layer2Button) {
        lobbyPage->layer3Button->setChecked(false);
        lobbyPage->layer2Button->setChecked(true);
        layer2Mode = true;
        lobbyPage->adapterModeLabel->setText(
            QStringLiteral("Host will automatically show up in the in-game LAN list. Best for older games."));
    } else if (origin && origin == lobbyPage->layer3Button) {
        lobbyPage->layer2Button->setChecked(false);
        lobbyPage->layer3Button->setChecked(true);
        layer2Mode = false;
        lobbyPage->adapterModeLabel->setText(
            QStringLiteral("Maximum speed and lowest ping. You will need to manually "
                           "type the Host's IP to connect. (10.8.x.x) "));
    }
}

void VLANClient::onUdpReadyRead()
{
    // Only while no engine runs: what arrives then has no adapter to go to.
    tunnel->drain();
}

void VLANClient::sendUdpHeartbeats()
{
    tunnel->sendHeartbeats(clientId, layer2Mode ? 2 : 3);
}

void VLANClient::openTunnel()
{
    tunnel->openTunnel(connection->relayAddress(), connection->server().port);
}

void VLANClient::startAdapter(const QString& virtualIp)
{
    tunnel->startAdapter(virtualIp, layer2Mode);
}

void VLANClient::stopAdapters()
{
    tunnel->stopAdapters();
}

void VLANClient::watchTunnel()
{
    connect(tunnel.get(), &TunnelSession::datagramsPending, this, &VLANClient::onUdpReadyRead);
    connect(tunnel->heartbeatTimer(), &QTimer::timeout, this, &VLANClient::sendUdpHeartbeats);
    connect(tunnel.get(), &TunnelSession::heartbeatWanted, this, &VLANClient::sendUdpHeartbeats);
    connect(tunnel.get(), &TunnelSession::controlMessage, this, &VLANClient::sendControlMessage);
    connect(tunnel.get(), &TunnelSession::pathsChanged, roomPaths, &RoomPaths::showDirectPaths);
    connect(tunnel.get(), &TunnelSession::adapterComingUp, this, [this](const QString& virtualIp) {
        roomPage->localIpLabel->setText(QStringLiteral("Local IP: ") + virtualIp +
                              QStringLiteral(" (adapter coming up...)"));
    });
    connect(tunnel.get(), &TunnelSession::adapterSettled, this, [this] {
        roomPage->localIpLabel->setText(QStringLiteral("Local IP: ") + roomState.myVirtualIp());
    });
    connect(tunnel.get(), &TunnelSession::adapterFailed, this,
            [this](const QString& title, const QString& text) {
                ui::showCritical(this, title, text);
                roomState.requestLeave();
            });
}

// The tunnel key of a sealed session, from login_ok or tunnel_key.
void VLANClient::handleTunnelKey(const QJsonObject& message)
{
    const msg::TunnelKey sealed = msg::TunnelKey::parse(message);
    // Only a key that came over the sealed channel is worth anything.
    if (connection->isEncrypted() && sealed.present) {
        tunnel->seal().setKey(sealed.key.data(), sealed.index, sealed.phase);
        // The relay knows the tunnel again only by a heartbeat under the new
        // key (after a server restart, say): one goes at once.
        sendUdpHeartbeats();
    } else if (message.value(field::cmd).toString() == cmd::loginOk)
        tunnel->seal().clear();
}
