#include "app/vlanclient.h"

#include "lobby/serveraddress.h"
#include "ui/theme.h"

#include <QTcpSocket>
#include <QTimer>
#include <QSocketNotifier>

VLANClient::VLANClient(QWidget* parent)
    : QWidget(parent), settings(QStringLiteral("Zentho"), QStringLiteral("Launcher"))
{
    const lobby::ServerEndpoint endpoint = lobby::configuredServerEndpoint();
    serverAddress = endpoint.address;
    serverPort = endpoint.port;
    relayPeer = udp::parsePeer(serverAddress.toUtf8().constData(), serverPort);

    tapHandle = adapter::invalidDevice();
    layer2Mode = false;

    setupUI();
    setStyleSheet(theme::windowSheet());

    tcpSocket = new QTcpSocket(this);
    // Bound now rather than at the first heartbeat: the engine may start first.
    tunnelSocket = udp::open(relayPeer);
    if (tunnelSocket)
        tunnelNotifier = new QSocketNotifier(udp::descriptor(tunnelSocket), QSocketNotifier::Read, this);
    heartbeatTimer = new QTimer(this);
    reconnectTimer = new QTimer(this);
    refreshTimer = new QTimer(this);

    connect(tcpSocket, &QTcpSocket::readyRead, this, &VLANClient::onTcpReadyRead);
    connect(tcpSocket, &QTcpSocket::connected, this, &VLANClient::onTcpConnected);
    connect(tcpSocket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) { onTcpError(); });
    if (tunnelNotifier)
        connect(tunnelNotifier, &QSocketNotifier::activated, this, &VLANClient::onUdpReadyRead);
    connect(heartbeatTimer, &QTimer::timeout, this, &VLANClient::sendUdpHeartbeats);
    connect(reconnectTimer, &QTimer::timeout, this, &VLANClient::attemptReconnect);
    connect(refreshTimer, &QTimer::timeout, this, &VLANClient::refreshRooms);

    isHost = false;
    attemptReconnect();
}

VLANClient::~VLANClient()
{
    stopAdapters();
    // A thread that outlived the stop keeps the socket; it is left open for it.
    delete tunnelNotifier;
    if (!engine.active())
        udp::close(tunnelSocket);
    // roomPage has no parent while it is not a tab.
    if (roomPage && !roomPage->parent())
        delete roomPage;
}

void VLANClient::onGlobalChatAnchorClicked(const QUrl&) {}

void VLANClient::showPlayerContextMenu(const QPoint&) {}
