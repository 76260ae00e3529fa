// Test access to the client's private state and member functions.
#pragma once

#include "app/vlanclient.h"
#include "features/pathsettings.h"
#include "features/privatechats.h"
#include "features/tray.h"
#include "lobby/controlconnection.h"
#include "ui/pages.h"

// Every private member a test reads or sets, as X(member).
// clang-format off
#define PELLORA_PROBES(X) \
    X(tunnel) X(refreshTimer) X(clientId) X(roomState) X(layer2Mode) X(pageStack) X(reconnectDialog) \
    X(loginPage) X(mainTabs) X(lobbyPage) X(roomPage) \
    X(connection)
// The widgets each page owns, as Y(page, widget).
#define PELLORA_PAGE_PROBES(Y) \
    Y(loginPage, nicknameInput) Y(loginPage, connectButton) Y(lobbyPage, roomList) \
    Y(lobbyPage, joinRoomButton) Y(lobbyPage, createRoomButton) Y(lobbyPage, globalChatView) \
    Y(lobbyPage, globalChatInput) Y(lobbyPage, globalSendButton) Y(lobbyPage, layer2Button) \
    Y(lobbyPage, layer3Button) Y(lobbyPage, adapterModeLabel) Y(lobbyPage, onlineUserList) \
    Y(roomPage, localIpLabel) Y(roomPage, copyIpButton) Y(roomPage, peerList) \
    Y(roomPage, disconnectButton) Y(roomPage, roomChatView) Y(roomPage, roomChatInput) \
    Y(roomPage, roomSendButton) Y(titleBarWidget, titleBarLabel) Y(titleBarWidget, closeButton) \
    Y(roomPage, copyInviteButton) Y(loginPage, iconScrollTimer) Y(loginPage, serverLabel) \
    Y(loginPage, connectionStatusLabel) Y(pathSettings, privateAddressBox) Y(pathSettings, portMapBox) \
    Y(tray, trayIcon) Y(tray, showWindowAction) Y(tray, keepInTrayAction) \
    Y(tray, trayUsable) Y(privateChats, privateChatTabs) Y(privateChats, privateChatViews)
#define PELLORA_PROBE(member) static auto& member(VLANClient& c) { return c.member; }
#define PELLORA_PAGE_PROBE(page, widget) static auto& widget(VLANClient& c) { return c.page->widget; }
// clang-format on

struct ClientProbe
{
    PELLORA_PROBES(PELLORA_PROBE)
    PELLORA_PAGE_PROBES(PELLORA_PAGE_PROBE)
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
#undef PELLORA_PAGE_PROBE
#undef PELLORA_PAGE_PROBES
