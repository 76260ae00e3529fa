#include "app/vlanclient.h"

#include "lobby/controlconnection.h"
#include "lobby/serveraddress.h"
#include "ui/theme.h"

#include <QSslSocket>
#include <QTimer>
#include <QSocketNotifier>

VLANClient::VLANClient(QWidget* parent, const QString& serverOption)
    : QWidget(parent), settings(QStringLiteral("Zentho"), QStringLiteral("Launcher"))
{
    connection = new lobby::ControlConnection(
        settings,
        lobby::configuredServerEndpoint(serverOption, settings.value(QStringLiteral("server")).toString()),
        this);

    tapHandle = adapter::invalidDevice();
    layer2Mode = false;
    // A client that ended without leaving its room left the system changed.
    releaseBroadcasts();

    startPortKeeper(); // before the settings' boxes, which say whether it can run
    setupUI();
    setStyleSheet(theme::windowSheet());

    // A lost connection ends the login; the room stays until the player leaves it.
    connect(connection, &lobby::ControlConnection::lost, &roomState, &lobby::RoomState::connectionLost);
    // Bound now rather than at the first heartbeat: the engine may start first.
    openTunnel();
    heartbeatTimer = new QTimer(this);
    refreshTimer = new QTimer(this);
    directTimer = new QTimer(this);
    relayWatch = new QTimer(this);
    directTimer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early, find nothing due and sleep again for a few ms.
    directTimer->setTimerType(Qt::PreciseTimer);
    // What an engine thread hands over (a probe's answer, traffic on a quiet path) is taken at once.
    directPaths->setWake([this] {
        QMetaObject::invokeMethod(
            this, [this] { directTimer->start(0); }, Qt::QueuedConnection);
    });

    connect(connection->socket(), &QSslSocket::readyRead, this, &VLANClient::onTcpReadyRead);
    connect(heartbeatTimer, &QTimer::timeout, this, &VLANClient::sendUdpHeartbeats);
    connect(refreshTimer, &QTimer::timeout, this, &VLANClient::refreshRooms);
    connect(directTimer, &QTimer::timeout, this, &VLANClient::tickDirectPaths);
    relayWatch->setSingleShot(true);
    connect(relayWatch, &QTimer::timeout, this, &VLANClient::watchRelay);
    connect(heartbeatTimer, &QTimer::timeout, this, &VLANClient::watchRelay);
    watchConnection();
    buildTray();

    attemptReconnect();
}

VLANClient::~VLANClient()
{
    directPaths->setWake(nullptr); // an engine thread may outlive us
    // The connection outlives our members (children die in ~QWidget) and still
    // reports its closing; nothing of ours may hear it.
    disconnect(connection, nullptr, this, nullptr);
    disconnect(connection->socket(), nullptr, this, nullptr);
    // The router forgets our port now (waited for a few seconds at most).
    portKeeper.reset();
    stopAdapters();
    // Steps still under way are waited for, and what they make taken down.
    if (std::optional<bringup::Made> made = adapterBringUp.finish())
        adapterBroughtUp(std::move(*made));
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
