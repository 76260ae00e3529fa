// The client: main window and owner of all client state.
#pragma once

#include "features/directpeers.h"
#include "net/tunnelsession.h"
#include "ui/framedrag.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
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
class QHostInfo;
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
class QSslSocket;
class QTextEdit;
class QTimer;

struct ClientProbe; // test access to private state

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

    // Control channel (lobby/).
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

    // Sealed sessions (lobby/sealedchannel.cpp): TLS first, the server's key
    // pinned on first use, and the tunnel key of a sealed session.
    void setUpSealedChannel();
    void connectControl(const QString& address); // TLS first (see above)
    void sealedAttemptFailed();
    void onControlEncrypted();
    void takeTunnelKey(const QJsonObject& message);
    void handleTunnelKey(const QJsonObject& message);
    QString serverPinKey() const;
    QString sealingText() const; // "sealed", "not sealed" or empty while unknown
    void forgetServerSealing();

    // Direct paths to sealed room members (features/direct.cpp): what the
    // server names goes to the tunnel, each member's path to the member list.
    void handleDirectPeers(const QJsonObject& message);
    void sendCandidates();
    void showDirectPaths();
    // The private address (features/privacy.cpp): no candidates, no direct peers.
    QWidget* buildPrivacySetting();
    bool addressPrivate() const;
    void setAddressPrivate(bool on);
    // A port on the player's router (features/portmapping.cpp): asked for while
    // in a room, offered as a candidate once the router answers.
    static QString portMapText();
    QCheckBox* buildPortMapSetting();
    void wantPortMapped(); // tells the keeper and takes its mapping, sends nothing
    void portMapChanged(); // the same, and a new candidates line when the mapping changed

    // The tunnel and the adapter (net/tunnelsession.h), as the window drives
    // and shows them (features/adaptermode.cpp).
    void openTunnel(); // at the relay the server's address names now
    void startAdapter(const QString& virtualIp);
    void stopAdapters();
    void watchTunnel();
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
    void watchConnection();
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

    // Server by name (lobby/connection.cpp).
    void onServerLookedUp(const QHostInfo& info);
    bool connectToNextAddress();
    void restartConnection();
    void showServerLine();
    QString relayAddress() const;

    // Invite links (features/invite.cpp).
    void copyInviteLink();
    void joinPendingInvite();
    bool switchServerForInvite(const QString& host, quint16 port, const QString& key);
    bool pinInviteKey(const QString& key);

    // One client per user (app/singleinstance.cpp).
    void onOtherStart();
    void bringToFront();

    // The system tray (features/tray.cpp).
    void buildTray();
    void updateTrayState();
    void notify(const QString& title, const QString& text);

    QSslSocket* tcpSocket = nullptr; // plain unless the server speaks TLS
    QTimer* handshakeTimer = nullptr;
    bool tryingTls = false;          // the current attempt is a TLS one
    bool handshaking = false;
    bool tcpReached = false;         // the current attempt got a connection
    bool serverSpeaksPlain = false;  // this server took a connection and did not speak TLS
    bool controlSealed = false;      // the control channel was sealed at the last connection
    bool keyRefused = false;         // a changed key the player did not accept: no attempts
    QString serverKey;               // fingerprint of the key this server showed
    QString invitePinnedServer; // pin settings key of a server pinned from a link, until it shows that key
    bool inviteRefusalShown = false; // the refusal of that server was told in a box
    std::unique_ptr<TunnelSession> tunnel; // the socket, heartbeats, seal, direct paths and adapter
    QTimer* reconnectTimer = nullptr;
    QTimer* refreshTimer = nullptr;
    QString serverAddress; // a numeric address or a DNS name
    quint16 serverPort = 7777;
    QString reachedAddress;             // the address a name resolved to and was tried at
    int serverLookupId = -1;            // the name lookup under way
    QList<QHostAddress> untriedAddresses; // the name's other addresses, for this attempt
    QString clientId;
    QString nickname;
    QString myVirtualIp;
    QString hostVirtualIp;
    bool isHost = false;
    bool layer2Mode = false;
    direct::PathReporter pathReporter; // what the server hears of our paths, and when

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

    QString currentRoomName;   // the room joined, from join_ok; empty outside a room
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
