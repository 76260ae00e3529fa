#include "app/vlanclient.h"
#include "features/privatechats.h"
#include "features/roompaths.h"
#include "features/tray.h"
#include "lobby/controlconnection.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "ui/messages.h"
#include "ui/pages.h"

#include <QStackedWidget>
#include <QTabWidget>
#include <QTimer>

void VLANClient::onTcpReadyRead()
{
    connection->readMessages();
}

// What each server line does, once the room state has taken what is its own
// (join_ok, room_update, which it tells by signals): the handlers below, or,
// where a line only fills a page or hands its content on, that one step.
void VLANClient::watchMessages()
{
    using Handler = void (*)(VLANClient&, const QJsonObject&);
    static const std::pair<QLatin1String, Handler> handlers[] = {
        {cmd::loginOk, [](VLANClient& c, const QJsonObject& m) { c.handleLoginOk(m); }},
        {cmd::roomList,
         [](VLANClient& c, const QJsonObject& m) { c.lobbyPage->showRooms(msg::RoomList::parse(m).rooms); }},
        {cmd::onlineUsers,
         [](VLANClient& c, const QJsonObject& m) {
             c.lobbyPage->showPlayers(msg::OnlineUsers::parse(m).users);
         }},
        {cmd::passwordRequired, [](VLANClient& c, const QJsonObject& m) { c.handlePasswordRequired(m); }},
        {cmd::kicked, [](VLANClient& c, const QJsonObject& m) { c.handleKicked(m); }},
        {cmd::chat,
         [](VLANClient& c, const QJsonObject& m) {
             const msg::Said said = msg::Said::parse(m);
             c.roomPage->showChatLine(said.sender, said.message);
         }},
        {cmd::globalChat,
         [](VLANClient& c, const QJsonObject& m) {
             const msg::Said said = msg::Said::parse(m);
             c.lobbyPage->showChatLine(said.sender, said.message);
         }},
        {cmd::privateMessage, [](VLANClient& c, const QJsonObject& m) { c.handlePrivateMessage(m); }},
        {cmd::error,
         [](VLANClient& c, const QJsonObject& m) {
             ui::showWarning(&c, QStringLiteral("System Alert"), msg::Notice::parse(m).message);
         }},
        {cmd::tunnelKey, [](VLANClient& c, const QJsonObject& m) { c.handleTunnelKey(m); }},
        {cmd::directPeers, [](VLANClient& c, const QJsonObject& m) { c.roomPaths->takePeers(m); }},
    };

    connect(connection, &lobby::ControlConnection::messageReceived, &roomState, &lobby::RoomState::take);
    connect(&roomState, &lobby::RoomState::joined, this, &VLANClient::enterRoom);
    connect(&roomState, &lobby::RoomState::updated, this, &VLANClient::showMembers);
    connect(connection, &lobby::ControlConnection::messageReceived, this, [this](const QJsonObject& message) {
        const QString cmd = control::readString(message, field::cmd);
        for (const auto& [name, handler] : handlers) {
            if (cmd == name) {
                handler(*this, message);
                break;
            }
        }
    });
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

void VLANClient::handlePrivateMessage(const QJsonObject& message)
{
    const auto [kind, sender, text] = msg::Said::parse(message);
    openPrivateChat(sender);
    tray->notify(QStringLiteral("Message from %1").arg(control::singleLine(sender)),
                 control::singleLine(text));
    privateChats->showMessage(sender, text);
}

