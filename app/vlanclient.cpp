#include "app/vlanclient.h"
#include "features/pathsettings.h"
#include "features/privatechats.h"
#include "features/roompaths.h"
#include "features/tray.h"
#include "lobby/controlconnection.h"
#include "lobby/serveraddress.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "ui/pages.h"
#include "ui/theme.h"
#include "ui/titlebar.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSslSocket>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
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
    watchMessages();
    watchTunnel();
    connect(refreshTimer, &QTimer::timeout, this, &VLANClient::refreshRooms);
    watchConnection();
    tray = new Tray(this, settings, roomState);
    connect(tray, &Tray::notified, this, &VLANClient::notified);

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

// The pages are built by their classes; here they are put in the window and
// what their buttons mean is connected.
void VLANClient::setupUI()
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setWindowTitle(QStringLiteral("Zentho - Pellora Beta 0.4"));
    chrome::installWindowFrame(this);
    auto* windowLayout = new QVBoxLayout(this);
    windowLayout->setContentsMargins(0, 0, 0, 0);
    windowLayout->setSpacing(0);
    titleBarWidget = new ui::TitleBar(this);
    pageStack = new QStackedWidget(this);
    windowLayout->addWidget(titleBarWidget);
    windowLayout->addWidget(pageStack);

    reconnectDialog = new ui::ReconnectDialog(this);
    connect(reconnectDialog->retryButton, &QPushButton::clicked, this, [this] {
        showKeyRefused(false);
        connection->retry();
    });

    loginPage =
        new ui::LoginPage(settings.value(QStringLiteral("username"), QString()).toString(), pageStack);
    connect(loginPage->serverLabel, &QLabel::linkActivated, this, [this] { changeServer(); });
    connect(loginPage->connectButton, &QPushButton::clicked, this, &VLANClient::doLogin);
    connect(loginPage->nicknameInput, &QLineEdit::returnPressed, this, &VLANClient::doLogin);
    connect(loginPage->iconScrollTimer, &QTimer::timeout, this, &VLANClient::updateIconScroll);

    mainTabs = new QTabWidget;
    mainTabs->setTabsClosable(true);
    mainTabs->setDocumentMode(true);
    mainTabs->setStyleSheet(theme::tabSheet());
    // Document mode draws a light base line under the tabs that the dark theme does not want.
    mainTabs->tabBar()->setDrawBase(false);
    connect(mainTabs, &QTabWidget::tabCloseRequested, this, &VLANClient::closeTab);
    privateChats = new PrivateChats(
        mainTabs,
        [this](const QString& user, const QString& line) {
            if (!connection->isUp())
                return false;
            sendControlMessage(msg::Say{cmd::privateMessage, user, line}.toJson());
            return true;
        },
        this);

    pathSettings = new PathSettings(settings, *tunnel, roomState, this);
    roomPaths = new RoomPaths(*tunnel, roomState, *pathSettings, *connection, this);
    connect(roomPaths, &RoomPaths::controlMessage, this, &VLANClient::sendControlMessage);
    connect(pathSettings, &PathSettings::privacyChanged, this, [this] {
        // In a room or not, so that no peer list made meanwhile names us.
        if (roomState.loggedIn())
            roomPaths->sendCandidates();
        roomPaths->showDirectPaths();
    });
    connect(pathSettings, &PathSettings::mappingChanged, this, [this] {
        if (roomState.inRoom() && connection->isUp())
            roomPaths->sendCandidates();
    });
    lobbyPage = new ui::LobbyPage(pathSettings->settingRows);
    mainTabs->addTab(lobbyPage, QStringLiteral("Main Menu"));
    mainTabs->tabBar()->setTabButton(0, QTabBar::RightSide, nullptr);
    connect(lobbyPage->layer2Button, &QPushButton::clicked, this, &VLANClient::onAdapterModeChanged);
    connect(lobbyPage->layer3Button, &QPushButton::clicked, this, &VLANClient::onAdapterModeChanged);
    connect(lobbyPage->onlineUserList, &QListWidget::customContextMenuRequested, this,
            &VLANClient::onOnlineUserContextMenu);
    connect(lobbyPage->joinRoomButton, &QPushButton::clicked, this, &VLANClient::joinSelectedRoom);
    connect(lobbyPage->roomList, &QListWidget::itemDoubleClicked, this, [this] { joinSelectedRoom(); });
    connect(lobbyPage->createRoomButton, &QPushButton::clicked, this, &VLANClient::openCreateRoomModal);
    connect(lobbyPage->globalSendButton, &QPushButton::clicked, this, &VLANClient::onSendGlobalChat);
    connect(lobbyPage->globalChatInput, &QLineEdit::returnPressed, this, &VLANClient::onSendGlobalChat);

    roomPage = new ui::RoomPage(roomState); // no parent until it becomes a tab
    connect(roomPage->peerList, &QListWidget::customContextMenuRequested, this,
            &VLANClient::onPeerListContextMenu);
    connect(roomPage->roomSendButton, &QPushButton::clicked, this, &VLANClient::sendChat);
    connect(roomPage->roomChatInput, &QLineEdit::returnPressed, this, &VLANClient::sendChat);
    connect(roomPage->copyIpButton, &QPushButton::clicked, [this] { copyHostIp(); });
    connect(roomPage->copyInviteButton, &QPushButton::clicked, [this] { copyInviteLink(); });
    connect(roomPage->disconnectButton, &QPushButton::clicked, [this] { leaveRoom(); });
    // Every way out of the room is this button's click, whoever asks for it.
    connect(&roomState, &lobby::RoomState::leaveRequested, roomPage->disconnectButton, &QPushButton::click);
    connect(roomPaths, &RoomPaths::pathShown, roomPage, &ui::RoomPage::showPath);

    pageStack->addWidget(loginPage);
    pageStack->addWidget(mainTabs);
    // The strip moves only while the login page is shown: a player sitting in
    // a room should not pay 40 wake-ups a second for an animation nobody sees.
    connect(pageStack, &QStackedWidget::currentChanged, this, [this] {
        if (pageStack->currentWidget() == loginPage)
            loginPage->iconScrollTimer->start();
        else
            loginPage->iconScrollTimer->stop();
    });

    resize(1080, 720);
    setMinimumSize(900, 550);
}

void VLANClient::updateIconScroll()
{
    loginPage->updateIconScroll();
}

// Closing ends the program, unless the player chose to keep it in the tray.
void VLANClient::closeEvent(QCloseEvent* event)
{
    if (tray->keepsRunning()) {
        hide();
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void VLANClient::openPrivateChat(const QString& user)
{
    privateChats->openPrivateChat(user);
}

void VLANClient::closeTab(int index)
{
    QWidget* page = mainTabs->widget(index);
    if (!page || page == lobbyPage)
        return;
    if (page == roomPage)
        roomState.requestLeave();
    else
        privateChats->closeTab(page);
}

void VLANClient::onGlobalChatAnchorClicked(const QUrl&) {}

void VLANClient::showPlayerContextMenu(const QPoint&) {}
