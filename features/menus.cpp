#include "app/vlanclient.h"
#include "features/roomname.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "ui/pages.h"

#include <QListWidget>
#include <QMenu>
#include <QPointer>

namespace {

// Shows a player menu at the click and returns the index of the chosen action,
// or -1 when it is dismissed. Server lines keep being handled while the menu
// is open, so callers copy what they need from the list before calling.
int choosePlayerAction(QWidget* window, const QListWidget* list, const QPoint& pos, const QStringList& labels)
{
    QPointer<QMenu> menu = new QMenu(window);
    menu->setStyleSheet(window->styleSheet());
    QList<QAction*> actions;
    for (const QString& label : labels)
        actions.append(menu->addAction(label));
    QAction* chosen = menu->exec(list->viewport()->mapToGlobal(pos));
    const int index = chosen ? int(actions.indexOf(chosen)) : -1;
    delete menu;
    return index;
}

} // namespace

void VLANClient::onOnlineUserContextMenu(const QPoint& pos)
{
    const QListWidgetItem* item = lobbyPage->onlineUserList->itemAt(pos);
    if (!item || item->text() == roomState.user())
        return;
    const QString name = item->text();
    switch (choosePlayerAction(this, lobbyPage->onlineUserList, pos,
                               {QStringLiteral("Send Message"), QStringLiteral("Invite to Room")})) {
    case 0:
        openPrivateChat(name);
        break;
    case 1:
        sendControlMessage(msg::Say{cmd::invite, name, {}}.toJson());
        break;
    default:
        break;
    }
}

// Host actions. The member's name and host flag come from the item's data, not
// from its text: a name may itself contain " - " or a crown.
void VLANClient::onPeerListContextMenu(const QPoint& pos)
{
    if (!roomState.isHost())
        return;
    const QListWidgetItem* item = roomPage->peerList->itemAt(pos);
    if (!item || item->data(rooms::kPeerHostRole).toBool())
        return;
    const QString target = item->data(rooms::kPeerNameRole).toString();
    const int choice = choosePlayerAction(this, roomPage->peerList, pos,
                                          {QStringLiteral("Kick Entity"), QStringLiteral("Transfer Host")});
    if (choice < 0)
        return;
    const QLatin1String cmd = choice == 0 ? cmd::kickPlayer : cmd::transferHost;
    sendControlMessage(msg::Say{cmd, target, {}}.toJson());
}
