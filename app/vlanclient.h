// The client's window: it builds its pages (ui/pages.h) and the objects below it
// (connection, tunnel session, room state, features/) and connects them.
#pragma once

#include "lobby/roomstate.h"
#include "net/tunnelsession.h"
#include "ui/framedrag.h"

#include <QJsonObject>
#include <QPoint>
#include <QSettings>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <memory>

class QCloseEvent;
class QStackedWidget;
class QTabWidget;
class QTimer;
class PathSettings;
class PrivateChats;
class RoomPaths;
class Tray;
namespace singleinstance {
class Listener;
}
namespace ui {
class LobbyPage;
class LoginPage;
class ReconnectDialog;
class RoomPage;
class TitleBar;
} // namespace ui

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
    // Window chrome (app/frame_*.cpp).
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    friend struct ClientProbe;

    // Control messages, sent and dispatched (app/vlanclient_connection.cpp, app/*dispatch.cpp).
    void sendControlMessage(const QJsonObject& message);
    void watchMessages(); // what each line the server sends does, in order
    void handleLoginOk(const QJsonObject& message);
    void handlePrivateMessage(const QJsonObject& message);
    void handlePasswordRequired(const QJsonObject& message);
    void handleKicked(const QJsonObject& message);
    // What the window shows and starts of the room the room state took (app/roomdispatch.cpp).
    void enterRoom(bool readdressed, bool layerEchoed);
    void showMembers();

    // The tunnel key of a sealed session (features/adaptermode.cpp).
    void handleTunnelKey(const QJsonObject& message);

    // The tunnel and the adapter (net/tunnelsession.h), as the window drives
    // and shows them (features/adaptermode.cpp).
    void openTunnel(); // at the relay the server's address names now
    void startAdapter(const QString& virtualIp);
    void stopAdapters();
    void watchTunnel();
    void sendJoinRoom(const QString& roomName, const QString& password);

    // The window itself (app/vlanclient.cpp, app/vlanclient_connection.cpp).
    void setupUI();
    void watchConnection(); // app/vlanclient_connection.cpp
    void showKeyRefused(bool refused);
    void changeServer();

    // Lobby features (features/).
    void leaveRoom();
    void copyHostIp();
    void openPrivateChat(const QString& user); // its tab, made if needed, comes to the front
    void sendLogin();

    void showServerLine();

    // Invite links (features/invite.cpp).
    void copyInviteLink();
    void joinPendingInvite();

    // The control channel: lookup, TLS and its key, plain fallback and retries.
    lobby::ControlConnection* connection = nullptr;
    std::unique_ptr<TunnelSession> tunnel; // the socket, heartbeats, seal, direct paths and adapter
    QTimer* refreshTimer = nullptr;
    QString clientId;
    QString nickname;
    bool layer2Mode = false;
    RoomPaths* roomPaths = nullptr; // direct paths: candidates out, peers in, each member's path shown
    PathSettings* pathSettings = nullptr; // the private address and the router port

    QStackedWidget* pageStack = nullptr;
    ui::ReconnectDialog* reconnectDialog = nullptr;
    ui::LoginPage* loginPage = nullptr;
    QTabWidget* mainTabs = nullptr;
    ui::LobbyPage* lobbyPage = nullptr;
    ui::RoomPage* roomPage = nullptr; // a tab only while in a room

    lobby::RoomState roomState; // logged in, the room joined, its members and their paths
    QString pendingInviteRoom; // joined once logged in to the server of the link

    singleinstance::Listener* instanceServer = nullptr; // later starts hand us their arguments
    Tray* tray = nullptr;
    bool connectionLossNotified = false;

    PrivateChats* privateChats = nullptr; // a tab per user
    QSettings settings;

    ui::TitleBar* titleBarWidget = nullptr;
    chrome::FrameDrag frameDrag;
};
