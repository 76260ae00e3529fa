// The client: main window and owner of all client state.
#pragma once

#include "features/directpeers.h"
#include "lobby/roomstate.h"
#include "net/adapterbringup.h"
#include "net/adapterhandles.h"
#include "net/directpaths.h"
#include "net/engine.h"
#include "net/portmap.h"
#include "net/sealsession.h"
#include "ui/framedrag.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QPoint>
#include <QSettings>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <atomic>
#include <optional>

class QAction;
class QCheckBox;
class QCloseEvent;
class QDialog;
class QLocalServer;
class QMenu;
class QSystemTrayIcon;
class QLabel;
class QLineEdit;
class QListWidget;
class QMouseEvent;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QTabWidget;
class QTextEdit;
class QTimer;
class QSocketNotifier;

struct ClientProbe; // test access to private state
namespace lobby {
class ControlConnection;
}

class VLANClient : public QWidget
{
    Q_OBJECT

public:
    // `serverOption`: the --server ADDR[:PORT] of the command line, if given.
    explicit VLANClient(QWidget* parent = nullptr, const QString& serverOption = QString());
    ~VLANClient() override;

    // Takes over the name under which later starts of the program find this
    // one and hand it their arguments (app/singleinstance.cpp).
    bool acceptOtherStarts(const QString& name);
    // Joins the room a pellora:// link names, switching server (after asking)
    // and logging in with the saved nickname as needed (features/invite.cpp).
    void openInviteLink(const QString& link);

signals:
    // A notification was shown in the system tray (features/tray.cpp).
    void notified(const QString& title, const QString& text);

private slots:
    void onTcpReadyRead();
    void onTcpConnected();
    void onTcpError();
    void attemptReconnect();
    void onUdpReadyRead();
    void sendUdpHeartbeats();
    void onSendGlobalChat();
    void onGlobalChatAnchorClicked(const QUrl& link);
    void showPlayerContextMenu(const QPoint& pos);
    void doLogin();
    void refreshRooms();
    void openCreateRoomModal();
    void joinSelectedRoom();
    void sendChat();
    void onOnlineUserContextMenu(const QPoint& pos);
    void onPeerListContextMenu(const QPoint& pos);
    void closeTab(int index);
    void onAdapterModeChanged();
    void updateIconScroll();

protected:
    // Window chrome (ui/titlebar*.cpp).
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    friend struct ClientProbe;

    // Control messages, sent and dispatched (app/vlanclient_connection.cpp, app/*dispatch.cpp).
    void sendControlMessage(const QJsonObject& message);
    void handleLoginOk(const QJsonObject& message);
    void handleRoomList(const QJsonObject& message);
    void handleOnlineUsers(const QJsonObject& message);
    void handleGlobalChat(const QJsonObject& message);
    void handlePrivateMessage(const QJsonObject& message);
    void handleError(const QJsonObject& message);
    void handleJoinOk(const QJsonObject& message);
    void handlePasswordRequired(const QJsonObject& message);
    void handleRoomUpdate(const QJsonObject& message);
    void handleKicked(const QJsonObject& message);
    void handleChat(const QJsonObject& message);

    // The tunnel key of a sealed session (net/tunnel.cpp).
    void takeTunnelKey(const QJsonObject& message);
    void handleTunnelKey(const QJsonObject& message);
    int tunnelOverhead() const; // bytes the sealing adds to each datagram

    // Direct paths to sealed room members (features/direct.cpp).
    void handleDirectPeers(const QJsonObject& message);
    void sendCandidates();
    void tickDirectPaths();
    void sendRelayProbe(const std::uint8_t* payload, std::size_t length);
    void showDirectPaths();
    void endDirectPaths();
    // The private address (features/privacy.cpp): no candidates, no direct peers.
    QWidget* buildPrivacySetting();
    bool addressPrivate() const;
    void setAddressPrivate(bool on);
    // A port on the player's router (features/portmapping.cpp): asked for while
    // in a room, offered as a candidate once the router answers.
    void startPortKeeper();
    static QString portMapText();
    QCheckBox* buildPortMapSetting();
    void wantPortMapped(); // tells the keeper and takes its mapping, sends nothing
    void portMapChanged(); // the same, and a new candidates line when the mapping changed

    // Tunnel (net/tunnel.cpp): the engine carries the traffic; the GUI thread
    // starts and stops it.
    bool startEngine(std::unique_ptr<tunnel::AdapterPort> port);
    bool stopEngine();
    void openTunnel();
    void watchRelay();

    // Adapter back-ends (net/). Their blocking steps run off the GUI thread
    // (net/adapterbringup.h); what they made is taken here, or taken down
    // when the room was left meanwhile.
    void startAdapter(const QString& virtualIp);
    void stopAdapters();
    void beginBringUp(const QString& virtualIp, bringup::Runner::Steps steps);
    void adapterBroughtUp(bringup::Made made);
    void showAdapterComingUp(const QString& virtualIp);
    void startWintunAdapter(const QString& virtualIp);
    void takeWintunAdapter(const bringup::Made& made);
    void stopWintunAdapter();
    void startTapAdapter(const QString& virtualIp);
    QString findTapAdapter(QString& connectionName);
    void takeTapAdapter(const bringup::Made& made);
    void stopTapAdapter();
    void showAdapterFailure(const QString& title, const QString& text);
    // `message` with the adapter mode ("layer": 2 or 3) added.
    QJsonObject withLayer(QJsonObject message) const;
    void sendJoinRoom(const QString& roomName, const QString& password);

    // Window (ui/).
    void setupUI();
    void buildTitleBar();
    void buildLoginPage();
    void buildLobbyPage();
    void buildRoomPage();
    void buildReconnectDialog();
    void watchConnection(); // app/vlanclient_connection.cpp
    void showKeyRefused(bool refused);
    void changeServer();
    void showConnectionStatus(const QString& text);
    void toggleMaximize();
    bool handleFrameEvent(QObject* watched, QEvent* event); // ui/frame_*.cpp

    // Lobby features (features/).
    void leaveRoom();
    void copyHostIp();
    void openPrivateChat(const QString& user);
    QWidget* createPrivateChatPage(const QString& user);
    void sendPrivateMessage(const QString& user, QLineEdit* input, QTextEdit* view);
    bool controlChannelUp() const;
    void sendLogin();

    void showServerLine();
    QString relayAddress() const;

    // Invite links (features/invite.cpp).
    void copyInviteLink();
    void joinPendingInvite();
    bool switchServerForInvite(const QString& host, quint16 port, const QString& key);

    // One client per user (app/singleinstance.cpp).
    void onOtherStart();
    void bringToFront();

    // The system tray (features/tray.cpp).
    void buildTray();
    void updateTrayState();
    void notify(const QString& title, const QString& text);

    // Limited broadcasts through the adapter: the journal of their capture
    // (the capture itself is a bring-up step), and their clean-up (net/adaptermode.cpp).
    void journalBroadcasts(const QString& interfaceName, const QString& virtualIp);
    void releaseBroadcasts();

    // The control channel: lookup, TLS and its key, plain fallback and retries.
    lobby::ControlConnection* connection = nullptr;
    std::shared_ptr<tunnel::SealSession> tunnelSeal = std::make_shared<tunnel::SealSession>();
    std::unique_ptr<tunnel::SealSession::View> heartbeatSealer; // the GUI thread's: heartbeats, round trips
    udp::Socket tunnelSocket = nullptr; // the one UDP endpoint: heartbeats and the engine's traffic
    QSocketNotifier* tunnelNotifier = nullptr; // drains the socket while no engine runs
    QTimer* heartbeatTimer = nullptr;
    QTimer* refreshTimer = nullptr;
    udp::Peer relayPeer; // the relay's address parsed once
    QString clientId;
    QString nickname;
    std::atomic<bool> wintunRunning{false};
    wintun::Adapter wintunAdapter = nullptr; // written only while no engine runs
    wintun::Session wintunSession = nullptr;
    adapter::DeviceHandle tapHandle = adapter::invalidDevice();
    std::atomic<bool> tapRunning{false};
    bringup::Runner adapterBringUp{this};
    bool bringUpWanted = false;           // the bring-up under way is for the current room
    std::optional<QString> nextAdapterIp; // a join's adapter, once the one for a left room is down
    tunnel::Engine engine; // the data path of whichever back-end runs
    QTimer* relayWatch = nullptr;  // while the engine runs: a heartbeat at once when the relay falls silent
    std::int64_t relayHeard = 0;   // when the relay's traffic was last seen, as the watch last read it
    bool relayHeardLost = true;    // the relay fell silent since, and was told where we are
    bool layer2Mode = false;
    bool relayReadsLayer = false; // the server echoed the mode in join_ok: heartbeats may carry it
    // Which room members the engine reaches directly; probed from directTimer.
    std::shared_ptr<tunnel::DirectPaths> directPaths = std::make_shared<tunnel::DirectPaths>();
    udp::Peer mappingPeer; // the server's mapping port, once it named one
    QTimer* directTimer = nullptr;   // single shot, for the next thing due (or an engine thread's wake)
    direct::PathReporter pathReporter; // what the server hears of our paths, and when
    std::uint64_t directRefused = 0; // direct packets dropped by the peer rule, as last logged
    std::unique_ptr<portmap::Keeper> portKeeper; // none when no router can be asked
    QTimer* portMapTimer = nullptr;
    QString mappedCandidate; // "ADDR:PORT" the router forwards to the tunnel socket; empty: none

    QStackedWidget* pageStack = nullptr;
    QDialog* reconnectDialog = nullptr;
    QWidget* loginPage = nullptr;
    QLineEdit* nicknameInput = nullptr;
    QPushButton* connectButton = nullptr;
    QLabel* connectionStatusLabel = nullptr; // login page: what the connection is doing
    QLabel* serverLabel = nullptr;           // login page: "Server: ADDR:PORT · change"
    QScrollArea* iconScrollArea = nullptr;
    QTimer* iconScrollTimer = nullptr;
    QTabWidget* mainTabs = nullptr;
    QWidget* lobbyPage = nullptr;
    QListWidget* roomList = nullptr;
    QPushButton* joinRoomButton = nullptr;
    QPushButton* createRoomButton = nullptr;
    QTextEdit* globalChatView = nullptr;
    QLineEdit* globalChatInput = nullptr;
    QPushButton* globalSendButton = nullptr;
    QPushButton* layer2Button = nullptr;
    QPushButton* layer3Button = nullptr;
    QLabel* adapterModeLabel = nullptr;
    QCheckBox* privateAddressBox = nullptr; // "Keep my address private…"
    QCheckBox* portMapBox = nullptr;        // "Open a port on my router"
    QListWidget* onlineUserList = nullptr;
    QWidget* roomPage = nullptr;
    QLabel* localIpLabel = nullptr;
    QPushButton* copyIpButton = nullptr;
    QPushButton* copyInviteButton = nullptr;
    QListWidget* peerList = nullptr;
    QPushButton* disconnectButton = nullptr;
    QTextEdit* roomChatView = nullptr;
    QLineEdit* roomChatInput = nullptr;
    QPushButton* roomSendButton = nullptr;
    int iconScrollOffset = 0;

    lobby::RoomState roomState; // logged in, the room joined, its members and their paths
    QString pendingInviteRoom; // joined once logged in to the server of the link

    QLocalServer* instanceServer = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    QAction* showWindowAction = nullptr;
    QAction* leaveRoomAction = nullptr;
    QAction* keepInTrayAction = nullptr;
    bool trayUsable = false; // a system tray to keep running in exists
    bool connectionLossNotified = false;

    QMap<QString, QWidget*> privateChatTabs;
    QMap<QString, QTextEdit*> privateChatViews;
    QSettings settings;

    QWidget* titleBarWidget = nullptr;
    QLabel* titleBarLabel = nullptr;
    QPushButton* minimizeButton = nullptr;
    QPushButton* maximizeButton = nullptr;
    QPushButton* closeButton = nullptr;
    chrome::FrameDrag frameDrag;
};
