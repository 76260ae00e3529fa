// Test access to the client's private state and member functions.
#pragma once

#include "app/vlanclient.h"

#define PELLORA_PROBE(member) \
    static auto& member(VLANClient& c) { return c.member; }

struct ClientProbe {
    PELLORA_PROBE(tcpSocket)
    PELLORA_PROBE(heartbeatTimer)
    PELLORA_PROBE(reconnectTimer)
    PELLORA_PROBE(refreshTimer)
    PELLORA_PROBE(serverAddress)
    PELLORA_PROBE(serverPort)
    PELLORA_PROBE(clientId)
    PELLORA_PROBE(nickname)
    PELLORA_PROBE(myVirtualIp)
    PELLORA_PROBE(hostVirtualIp)
    PELLORA_PROBE(isHost)
    PELLORA_PROBE(wintunRunning)
    PELLORA_PROBE(tapRunning)
    PELLORA_PROBE(tapHandle)
    PELLORA_PROBE(wintunAdapter)
    PELLORA_PROBE(wintunSession)
    PELLORA_PROBE(layer2Mode)
    PELLORA_PROBE(tunnelSocket)
    PELLORA_PROBE(engine)
    PELLORA_PROBE(pageStack)
    PELLORA_PROBE(reconnectDialog)
    PELLORA_PROBE(loginPage)
    PELLORA_PROBE(nicknameInput)
    PELLORA_PROBE(connectButton)
    PELLORA_PROBE(iconScrollArea)
    PELLORA_PROBE(iconScrollTimer)
    PELLORA_PROBE(iconScrollOffset)
    PELLORA_PROBE(mainTabs)
    PELLORA_PROBE(lobbyPage)
    PELLORA_PROBE(roomList)
    PELLORA_PROBE(joinRoomButton)
    PELLORA_PROBE(createRoomButton)
    PELLORA_PROBE(globalChatView)
    PELLORA_PROBE(globalChatInput)
    PELLORA_PROBE(globalSendButton)
    PELLORA_PROBE(layer2Button)
    PELLORA_PROBE(layer3Button)
    PELLORA_PROBE(adapterModeLabel)
    PELLORA_PROBE(onlineUserList)
    PELLORA_PROBE(roomPage)
    PELLORA_PROBE(localIpLabel)
    PELLORA_PROBE(copyIpButton)
    PELLORA_PROBE(peerList)
    PELLORA_PROBE(disconnectButton)
    PELLORA_PROBE(roomChatView)
    PELLORA_PROBE(roomChatInput)
    PELLORA_PROBE(roomSendButton)
    PELLORA_PROBE(privateChatTabs)
    PELLORA_PROBE(privateChatViews)
    PELLORA_PROBE(titleBarWidget)
    PELLORA_PROBE(titleBarLabel)
    PELLORA_PROBE(minimizeButton)
    PELLORA_PROBE(maximizeButton)
    PELLORA_PROBE(closeButton)

    static void sendControlMessage(VLANClient& c, const QJsonObject& m) { c.sendControlMessage(m); }
    static void startAdapter(VLANClient& c, const QString& ip) { c.startAdapter(ip); }
    static void stopAdapters(VLANClient& c) { c.stopAdapters(); }
    static QString findTapAdapter(VLANClient& c, QString& name) { return c.findTapAdapter(name); }
    static void stopWintunAdapter(VLANClient& c) { c.stopWintunAdapter(); }
    static void stopTapAdapter(VLANClient& c) { c.stopTapAdapter(); }
    static void openPrivateChat(VLANClient& c, const QString& user) { c.openPrivateChat(user); }
};

#undef PELLORA_PROBE
