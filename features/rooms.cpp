#include "app/vlanclient.h"
#include "features/pathsettings.h"
#include "features/prompts.h"
#include "features/roomname.h"
#include "lobby/controlconnection.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "ui/pages.h"

#include <QApplication>
#include <QClipboard>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>

void VLANClient::refreshRooms()
{
    if (!connection->isUp() || clientId.isEmpty())
        return;
    sendControlMessage(control::message(cmd::getRooms));
}

void VLANClient::joinSelectedRoom()
{
    const QListWidgetItem* item = lobbyPage->roomList->currentItem();
    if (!item)
        return;
    const QString entry = item->text();
    QString roomName = entry;
    QString password;
    if (rooms::isRestrictedEntry(entry)) {
        roomName = rooms::stripRestrictedMarkers(entry);
        const std::optional<QString> key = prompts::askAccessKey(
            this, QStringLiteral("Restricted Room"), QStringLiteral("Provide access key for deployment:"));
        if (!key)
            return;
        password = *key;
    }
    // The room page comes up with join_ok; nothing changes here until then.
    sendJoinRoom(roomName, password);
}

void VLANClient::sendJoinRoom(const QString& roomName, const QString& password)
{
    // Joins say the mode, so the relay bridges to this client before it sends
    // anything; servers that do not know the field ignore it.
    sendControlMessage(msg::JoinRoom{roomName, password, layer2Mode ? 2 : 3}.toJson());
}

// Every way out of a room ends here (button, room tab close, kick, adapter
// failure). The lobby comes back at once; the server's answer is not awaited.
void VLANClient::leaveRoom()
{
    stopAdapters();
    lobbyPage->layer2Button->setEnabled(true);
    lobbyPage->layer3Button->setEnabled(true);
    sendControlMessage(control::message(cmd::leaveRoom));
    const int roomTab = mainTabs->indexOf(roomPage);
    if (roomTab >= 0)
        mainTabs->removeTab(roomTab);
    mainTabs->setCurrentWidget(lobbyPage);
    roomState.leave();
    pathSettings->wantPortMapped(); // the router forgets our port
    refreshRooms();
}

void VLANClient::copyHostIp()
{
    const QString& address = roomState.isHost() ? roomState.myVirtualIp() : roomState.hostVirtualIp();
    QApplication::clipboard()->setText(address, QClipboard::Clipboard);
    roomPage->showCopied(roomPage->copyIpButton, [this] {
        return roomState.isHost() ? QStringLiteral("COPY HOST IP") : QStringLiteral("COPY GAME HOST IP");
    });
}
