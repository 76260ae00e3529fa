#include "app/vlanclient.h"
#include "features/prompts.h"
#include "features/roomname.h"
#include "features/roompaths.h"
#include "features/tray.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "ui/messages.h"
#include "ui/pages.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>

void VLANClient::handleJoinOk(const QJsonObject& message)
{
    const msg::JoinOk ok = msg::JoinOk::parse(message);
    const QString virtualIp = ok.vip;
    const QString roomName = ok.roomName;
    tunnel->setRelayReadsLayer(ok.layer.has_value());
    const QString title = rooms::tabTitle(QStringLiteral("Sector: "), roomName);
    const int roomTab = mainTabs->indexOf(roomPage);
    // A running back-end ignores a second start, so a join that moves us to a
    // new address while in a room must stop it first.
    const bool readdress = roomState.inRoom() && virtualIp != roomState.myVirtualIp();

    roomState.enter(roomName, virtualIp); // the page shows the address
    roomPage->roomChatView->clear();
    if (roomTab < 0)
        mainTabs->addTab(roomPage, title);
    else
        mainTabs->setTabText(roomTab, title);
    mainTabs->setCurrentWidget(roomPage);
    // The adapter mode is fixed while in a room; leaving enables the buttons again.
    lobbyPage->layer2Button->setEnabled(false);
    lobbyPage->layer3Button->setEnabled(false);
    if (readdress)
        stopAdapters();
    startAdapter(roomState.myVirtualIp());
    roomPaths->sendCandidates();
}

void VLANClient::handlePasswordRequired(const QJsonObject& message)
{
    const QString roomName = msg::PasswordRequired::parse(message).roomName;
    const std::optional<QString> key =
        prompts::askAccessKey(this, QStringLiteral("Restricted Sector"),
                              QStringLiteral("Provide access key for ") + roomName + QLatin1Char(':'));
    if (!key)
        return;
    sendJoinRoom(roomName, *key);
}

void VLANClient::handleRoomUpdate(const QJsonObject& message)
{
    roomPage->peerList->clear();
    QList<lobby::RoomMember> members;
    for (const auto& [user, virtualIp, host] : msg::RoomUpdate::parse(message).peers) {
        members.append({user, virtualIp, host, {}, -1});
        auto* item = new QListWidgetItem(rooms::peerEntryText(user, virtualIp, host), roomPage->peerList);
        item->setData(rooms::kPeerNameRole, user);
        item->setData(rooms::kPeerHostRole, host);
        item->setData(rooms::kPeerVipRole, virtualIp);
    }
    roomState.setMembers(members); // the page's copy button says whether we host
    roomPaths->showDirectPaths();
}

void VLANClient::handleKicked(const QJsonObject& message)
{
    // The notice comes first; the room is left only once it is dismissed.
    const QString notice = msg::Notice::parse(message).message;
    tray->notify(QStringLiteral("Connection Terminated"), control::singleLine(notice));
    ui::showWarning(this, QStringLiteral("Connection Terminated"), notice);
    roomState.requestLeave();
}
