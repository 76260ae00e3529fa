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

// The room state has taken join_ok and shows the address; the room's tab comes
// up, and the adapter at that address as the last step.
void VLANClient::enterRoom(bool readdressed, bool layerEchoed)
{
    tunnel->setRelayReadsLayer(layerEchoed);
    const QString title = rooms::tabTitle(QStringLiteral("Sector: "), roomState.roomName());
    const int roomTab = mainTabs->indexOf(roomPage);
    roomPage->roomChatView->clear();
    if (roomTab < 0)
        mainTabs->addTab(roomPage, title);
    else
        mainTabs->setTabText(roomTab, title);
    mainTabs->setCurrentWidget(roomPage);
    // The adapter mode is fixed while in a room; leaving enables the buttons again.
    lobbyPage->layer2Button->setEnabled(false);
    lobbyPage->layer3Button->setEnabled(false);
    if (readdressed)
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

// The members of a room_update, as the room state took them, one entry each.
void VLANClient::showMembers()
{
    roomPage->peerList->clear();
    for (const lobby::RoomMember& member : roomState.members()) {
        auto* item = new QListWidgetItem(rooms::peerEntryText(member.name, member.virtualIp, member.host),
                                         roomPage->peerList);
        item->setData(rooms::kPeerNameRole, member.name);
        item->setData(rooms::kPeerHostRole, member.host);
        item->setData(rooms::kPeerVipRole, member.virtualIp);
    }
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
