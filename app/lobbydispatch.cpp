#include "app/vlanclient.h"
#include "lobby/controlconnection.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "ui/messages.h"

#include <QStackedWidget>
#include <QTabWidget>
#include <QSslSocket>
#include <QTextEdit>
#include <QTimer>

void VLANClient::onTcpReadyRead()
{
    using Entry = std::pair<QLatin1String, void (VLANClient::*)(const QJsonObject&)>;
    static const Entry handlers[] = {
        {cmd::loginOk, &VLANClient::handleLoginOk},
        {cmd::roomList, &VLANClient::handleRoomList},
        {cmd::onlineUsers, &VLANClient::handleOnlineUsers},
        {cmd::joinOk, &VLANClient::handleJoinOk},
        {cmd::passwordRequired, &VLANClient::handlePasswordRequired},
        {cmd::roomUpdate, &VLANClient::handleRoomUpdate},
        {cmd::kicked, &VLANClient::handleKicked},
        {cmd::chat, &VLANClient::handleChat},
        {cmd::globalChat, &VLANClient::handleGlobalChat},
        {cmd::privateMessage, &VLANClient::handlePrivateMessage},
        {cmd::error, &VLANClient::handleError},
        {cmd::tunnelKey, &VLANClient::handleTunnelKey},
        {cmd::directPeers, &VLANClient::handleDirectPeers},
    };

    // A line longer than any the server sends ends the channel (and the loop).
    QByteArray line;
    while (connection->readLine(&line)) {
        const QJsonObject message = control::decodeLine(line);
        const QString cmd = control::readString(message, field::cmd);
        for (const auto& [name, handler] : handlers) {
            if (cmd == name) {
                (this->*handler)(message);
                break;
            }
        }
    }
}

void VLANClient::handleLoginOk(const QJsonObject& message)
{
    clientId = msg::LoginOk::parse(message).clientId;
    handleTunnelKey(message);
    pageStack->setCurrentWidget(mainTabs);
    refreshRooms();
    tunnel->heartbeatTimer()->start(2000);
    refreshTimer->start(5000);
    roomState.logIn(nickname);
    joinPendingInvite();
}

void VLANClient::handleRoomList(const QJsonObject& message)
{
    lobbyPage->showRooms(msg::RoomList::parse(message).rooms);
}

void VLANClient::handleOnlineUsers(const QJsonObject& message)
{
    lobbyPage->showPlayers(msg::OnlineUsers::parse(message).users);
}

void VLANClient::handleGlobalChat(const QJsonObject& message)
{
    const msg::Said said = msg::Said::parse(message);
    lobbyPage->showChatLine(said.sender, said.message);
}

void VLANClient::handlePrivateMessage(const QJsonObject& message)
{
    const auto [kind, sender, text] = msg::Said::parse(message);
    openPrivateChat(sender);
    tray->notify(QStringLiteral("Message from %1").arg(control::singleLine(sender)),
                 control::singleLine(text));
    privateChats->showMessage(sender, text);
}

void VLANClient::handleDirectPeers(const QJsonObject& message)
{
    roomPaths->takePeers(message);
}

void VLANClient::handleError(const QJsonObject& message)
{
    ui::showWarning(this, QStringLiteral("System Alert"), msg::Notice::parse(message).message);
}
