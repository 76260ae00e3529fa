// Invite links: copying the room's link, and joining from one.
#include "app/vlanclient.h"
#include "features/invitelink.h"
#include "lobby/controlconnection.h"
#include "lobby/pinning.h"
#include "protocol/controlcodec.h"
#include "ui/messages.h"
#include "ui/pages.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>

namespace {

// True when the client now talks to that server: it did already, or the
// player agreed to switch. A server key the link names is pinned before
// any connection to it, so that one is sealed or not made.
bool switchServerForInvite(QWidget* window, QSettings& settings, lobby::ControlConnection* connection,
                           lobby::RoomState& roomState, const QString& host, quint16 port, const QString& key)
{
    const lobby::ServerEndpoint current = connection->server();
    const bool sameHost = lobby::isNumericAddress(host) && lobby::isNumericAddress(current.address)
                              ? QHostAddress(host).isEqual(QHostAddress(current.address))
                              : host.compare(current.address, Qt::CaseInsensitive) == 0;
    if (sameHost && port == current.port) {
        // A server used plain so far is left for a sealed connection.
        if (connection->pinFromInvite(key) && !connection->sealed())
            connection->restart();
        return true;
    }
    const bool inRoom = roomState.inRoom();
    QMessageBox box(QMessageBox::Question, QStringLiteral("Switch Server"),
                    QStringLiteral("This invite is for a room on another server, %1. Switch to it?%2")
                        .arg(lobby::formatEndpoint({host, port}),
                             inRoom ? QStringLiteral(" You will leave the room you are in.") : QString()),
                    QMessageBox::Yes | QMessageBox::No, window);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Yes);
    if (box.exec() != QMessageBox::Yes)
        return false;
    if (roomState.inRoom())
        roomState.requestLeave(); // tells the old server before leaving it
    settings.setValue(QStringLiteral("server"), lobby::formatEndpoint({host, port}));
    // The link's key is pinned before any connection to the new server, so that one is sealed or not made.
    connection->setServer({host, port}, key);
    return true;
}

} // namespace

void VLANClient::copyInviteLink()
{
    // The access key never goes into a link: a locked room asks for it on joining. The server's
    // key does, once seen over TLS, so that a first contact through the link is sealed from the start.
    QApplication::clipboard()->setText(invite::formatLink(connection->server(), roomState.roomName(),
                                                          connection->sealed() ? connection->serverKey()
                                                                               : QString()),
                                       QClipboard::Clipboard);
    roomPage->showCopied(roomPage->copyInviteButton, [] { return QStringLiteral("COPY INVITE LINK"); });
}

void VLANClient::openInviteLink(const QString& link)
{
    ui::bringToFront(this);
    QString error;
    const std::optional<invite::Link> parsed = invite::parseLink(link, &error);
    if (!parsed) {
        ui::showWarning(this, QStringLiteral("Invite Link"),
                        QStringLiteral("This invite link cannot be used: %1.").arg(error));
        return;
    }
    const QString server = lobby::formatEndpoint(parsed->server);
    const QString pinned = settings.value(pinning::settingsKey(server)).toString();
    if (!parsed->key.isEmpty() && pinning::compare(pinned, parsed->key) == pinning::Verdict::Changed) {
        ui::showWarning(this, QStringLiteral("Invite Link"),
                        QStringLiteral("This invite link cannot be used: the server key it names is not the "
                                       "key %1 showed before. Nothing was sent to the server.")
                            .arg(server));
        return;
    }
    if (!switchServerForInvite(this, settings, connection, roomState, parsed->server.address,
                               parsed->server.port, parsed->key))
        return;
    pendingInviteRoom = parsed->room;
    if (roomState.loggedIn()) {
        joinPendingInvite();
        return;
    }
    // Not logged in yet: the saved nickname logs in (at once, or as soon as
    // the connection is up), and login_ok joins.
    if (!nickname.isEmpty())
        return;
    if (connection->isUp())
        doLogin();
    else
        nickname = loginPage->nicknameInput->text().trimmed();
}

void VLANClient::joinPendingInvite()
{
    if (pendingInviteRoom.isEmpty())
        return;
    const QString room = std::exchange(pendingInviteRoom, QString());
    if (roomState.inRoom() && room == roomState.roomName()) {
        mainTabs->setCurrentWidget(roomPage);
        return;
    }
    // A locked room answers password_required, whose prompt asks for the key.
    sendJoinRoom(room, QString());
}
