#include "app/vlanclient.h"
#include "lobby/controlcodec.h"

#include <QTcpSocket>

// Lobby features; filled in with the rooms and chat feature.
void VLANClient::onSendGlobalChat() {}
void VLANClient::openCreateRoomModal() {}
void VLANClient::joinSelectedRoom() {}
void VLANClient::sendChat() {}
void VLANClient::onOnlineUserContextMenu(const QPoint&) {}
void VLANClient::onPeerListContextMenu(const QPoint&) {}
void VLANClient::closeTab(int) {}
void VLANClient::leaveRoom() {}
void VLANClient::copyHostIp() {}
void VLANClient::openPrivateChat(const QString&) {}
QWidget* VLANClient::createPrivateChatPage(const QString&) { return nullptr; }
void VLANClient::sendPrivateMessage(const QString&, QLineEdit*, QTextEdit*) {}

void VLANClient::refreshRooms()
{
    if (!controlChannelUp() || clientId.isEmpty())
        return;
    sendControlMessage(control::message(QStringLiteral("get_rooms")));
}
