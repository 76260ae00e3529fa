#include "app/vlanclient.h"

#include "lobby/controlconnection.h"
#include "lobby/serveraddress.h"
#include "ui/theme.h"

#include <QSslSocket>
#include <QTimer>

VLANClient::VLANClient(QWidget* parent, const QString& serverOption)
    : QWidget(parent), settings(QStringLiteral("Zentho"), QStringLiteral("Launcher"))
{
    connection = new lobby::ControlConnection(
        settings,
        lobby::configuredServerEndpoint(serverOption, settings.value(QStringLiteral("server")).toString()),
        this);

    layer2Mode = false;
    // Puts back what a client that ended without leaving its room left changed;
    // before the settings' boxes, which say whether a router can be asked for a port.
    tunnel = std::make_unique<TunnelSession>(settings);

    setupUI();
    setStyleSheet(theme::windowSheet());

    // A lost connection ends the login; the room stays until the player leaves it.
    connect(connection, &lobby::ControlConnection::lost, &roomState, &lobby::RoomState::connectionLost);
    // Bound now rather than at the first heartbeat: the engine may start first.
    openTunnel();
    refreshTimer = new QTimer(this);

    connect(connection->socket(), &QSslSocket::readyRead, this, &VLANClient::onTcpReadyRead);
    watchTunnel();
    connect(refreshTimer, &QTimer::timeout, this, &VLANClient::refreshRooms);
    watchConnection();
    buildTray();

    attemptReconnect();
}

VLANClient::~VLANClient()
{
    // The connection outlives our members (children die in ~QWidget) and still
    // reports its closing; nothing of ours may hear it.
    disconnect(connection, nullptr, this, nullptr);
    disconnect(connection->socket(), nullptr, this, nullptr);
    // The router forgets our port, the adapter goes, and what a bring-up under way makes once it is made.
    tunnel.reset();
    // roomPage has no parent while it is not a tab.
    if (roomPage && !roomPage->parent())
        delete roomPage;
}

void VLANClient::onGlobalChatAnchorClicked(const QUrl&) {}

void VLANClient::showPlayerContextMenu(const QPoint&) {}
