#include "app/vlanclient.h"

#include "lobby/serveraddress.h"
#include "ui/theme.h"

#include <QSslSocket>
#include <QTimer>

VLANClient::VLANClient(QWidget* parent, const QString& serverOption)
    : QWidget(parent), settings(QStringLiteral("Zentho"), QStringLiteral("Launcher"))
{
    const lobby::ServerEndpoint endpoint =
        lobby::configuredServerEndpoint(serverOption, settings.value(QStringLiteral("server")).toString());
    serverAddress = endpoint.address;
    serverPort = endpoint.port;

    layer2Mode = false;
    // Puts back what a client that ended without leaving its room left changed;
    // before the settings' boxes, which say whether a router can be asked for a port.
    tunnel = std::make_unique<TunnelSession>(settings);

    setupUI();
    setStyleSheet(theme::windowSheet());

    tcpSocket = new QSslSocket(this);
    // Bound now rather than at the first heartbeat: the engine may start first.
    openTunnel();
    reconnectTimer = new QTimer(this);
    refreshTimer = new QTimer(this);

    connect(tcpSocket, &QTcpSocket::readyRead, this, &VLANClient::onTcpReadyRead);
    // Connected means logged in only once the key is known (lobby/sealedchannel.cpp).
    connect(tcpSocket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (untriedAddresses.isEmpty()) {
            onTcpError();
            return;
        }
        // The server's name has more addresses: the next one, once the socket
        // has finished reporting this failure.
        QTimer::singleShot(0, this, [this] {
            if (tcpSocket->state() == QAbstractSocket::UnconnectedState && !connectToNextAddress())
                onTcpError();
        });
    });
    watchTunnel();
    connect(reconnectTimer, &QTimer::timeout, this, &VLANClient::attemptReconnect);
    connect(refreshTimer, &QTimer::timeout, this, &VLANClient::refreshRooms);
    watchConnection();
    buildTray();
    setUpSealedChannel(); // after the status line's handlers: its word on a refused downgrade comes last

    isHost = false;
    attemptReconnect();
}

VLANClient::~VLANClient()
{
    // The socket outlives our members (children die in ~QWidget) and still
    // reports its closing; nothing of ours may hear it.
    disconnect(tcpSocket, nullptr, this, nullptr);
    // The router forgets our port, the adapter goes, and what a bring-up under way makes once it is made.
    tunnel.reset();
    // roomPage has no parent while it is not a tab.
    if (roomPage && !roomPage->parent())
        delete roomPage;
}

void VLANClient::onGlobalChatAnchorClicked(const QUrl&) {}

void VLANClient::showPlayerContextMenu(const QPoint&) {}
