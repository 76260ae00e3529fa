// Test access to the client's private state and member functions.
#pragma once

#include "app/vlanclient.h"
#include "lobby/controlconnection.h"

// Every private member a test reads or sets, as X(member).
// clang-format off
#define PELLORA_PROBES(X) \
    X(tunnel) X(refreshTimer) X(clientId) X(roomState) \
    X(layer2Mode) X(pageStack) X(reconnectDialog) \
    X(loginPage) X(nicknameInput) X(connectButton) X(mainTabs) X(lobbyPage) X(roomList) \
    X(joinRoomButton) X(createRoomButton) X(globalChatView) X(globalChatInput) X(globalSendButton) \
    X(layer2Button) X(layer3Button) X(adapterModeLabel) X(onlineUserList) X(roomPage) X(localIpLabel) \
    X(copyIpButton) X(peerList) X(disconnectButton) X(roomChatView) X(roomChatInput) X(roomSendButton) \
    X(privateChatTabs) X(privateChatViews) X(titleBarLabel) X(closeButton) X(trayIcon) \
    X(showWindowAction) X(leaveRoomAction) X(keepInTrayAction) X(trayUsable) X(copyInviteButton) \
    X(iconScrollTimer) X(connection) X(serverLabel) \
    X(connectionStatusLabel) X(privateAddressBox) \
    X(portMapBox)
#define PELLORA_PROBE(member) static auto& member(VLANClient& c) { return c.member; }
// clang-format on

struct ClientProbe
{
    PELLORA_PROBES(PELLORA_PROBE)
    static QSslSocket* tcpSocket(VLANClient& c) { return c.connection->socket(); }
    // As after a sealed connection reached at `address`.
    static void seemSealed(VLANClient& c, const QString& address)
    {
        c.connection->sealed_ = true;
        c.connection->reachedAddress_ = address;
    }
    static void sendControlMessage(VLANClient& c, const QJsonObject& m) { c.sendControlMessage(m); }
    static void stopAdapters(VLANClient& c) { c.stopAdapters(); }
    // Stands in for an adapter that cannot be made without rights: a start returns at once.
    static void pretendAdapterRuns(VLANClient& c) { c.tunnel->running_ = true; }
    static void openPrivateChat(VLANClient& c, const QString& user) { c.openPrivateChat(user); }
    static void showServerLine(VLANClient& c) { c.showServerLine(); }
};

#undef PELLORA_PROBE
#undef PELLORA_PROBES
