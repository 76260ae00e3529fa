// The window's side of the control channel: the connection slots as thin
// calls, logging in, and what the window shows of the connection's state.
#include "app/vlanclient.h"
#include "features/pathsettings.h"
#include "features/tray.h"
#include "lobby/controlconnection.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "ui/messages.h"
#include "ui/pages.h"
#include "ui/pinprompt.h"
#include "ui/serverdialog.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSslSocket>
#include <QStackedWidget>
#include <QTabWidget>

using lobby::ControlConnection;

void VLANClient::sendControlMessage(const QJsonObject& message)
{
    connection->send(message);
}

// Every login carries the client id this client was last given (empty
// before the first): with it the server hands back our session even when
// our address changed, and to no one else.
void VLANClient::sendLogin()
{
    // "private" is said only when on: a server told nothing treats us as before.
    sendControlMessage(msg::Login{nickname, clientId, pathSettings->addressPrivate()}.toJson());
}

void VLANClient::attemptReconnect()
{
    connection->attemptReconnect();
}

void VLANClient::onTcpConnected()
{
    connectionLossNotified = false;
    showKeyRefused(false);
    reconnectDialog->hide();
    if (!nickname.isEmpty())
        sendLogin();
}

void VLANClient::onTcpError()
{
    if (pageStack->currentWidget() == mainTabs) {
        reconnectDialog->show();
        if (!std::exchange(connectionLossNotified, true))
            tray->notify(QStringLiteral("Connection lost"), QStringLiteral("Reconnecting to the server…"));
    }
}

void VLANClient::doLogin()
{
    nickname = loginPage->nicknameInput->text().trimmed();
    if (nickname.isEmpty())
        return;
    settings.setValue(field::username, nickname);
    // After a refused key the button is the way to try again (and be asked again).
    if (connection->state() == ControlConnection::State::KeyRefused) {
        connection->retry();
        return;
    }
    sendLogin();
}

// The connection's word reaches the login page's status line, the server line,
// the tunnel (a new address is a new relay) and, for a changed key, the player.
void VLANClient::watchConnection()
{
    connect(connection, &ControlConnection::statusChanged, loginPage->connectionStatusLabel,
            &QLabel::setText);
    connect(connection, &ControlConnection::serverLineChanged, this, &VLANClient::showServerLine);
    connect(connection, &ControlConnection::addressReached, this, [this] { openTunnel(); });
    connect(connection, &ControlConnection::connected, this, &VLANClient::onTcpConnected);
    connect(connection, &ControlConnection::lost, this, &VLANClient::onTcpError);
    // Asked once the socket is done reporting, so that the next attempt starts clean.
    connect(
        connection, &ControlConnection::keyChanged, this,
        [this](const QString& server, const QString& pinned, const QString& seen) {
            if (ui::acceptChangedKey(this, server, pinned, seen))
                connection->acceptChangedKey(seen);
            else
                showKeyRefused(true);
        },
        Qt::QueuedConnection);
    // The link's key was the player's only word on this server: nothing to ask about.
    connect(
        connection, &ControlConnection::inviteKeyRefused, this,
        [this](const QString& server) {
            pendingInviteRoom.clear();
            ui::showWarning(
                this, QStringLiteral("Invite Link"),
                QStringLiteral("%1 shows another key than its invite link names, so nothing was "
                               "sent to it. The link may be mistyped or forged: ask for a new one.")
                    .arg(server));
        },
        Qt::QueuedConnection);
    connect(
        connection, &ControlConnection::inviteNotSealed, this,
        [this](const QString& server) {
            ui::showWarning(this, QStringLiteral("Invite Link"),
                            QStringLiteral("%1 does not answer sealed (TLS), and its invite link asks for a "
                                           "sealed connection. Pellora will not connect to it without "
                                           "encryption.")
                                .arg(server));
        },
        Qt::QueuedConnection);
    showServerLine();
}

// A refused key stops the attempts; the player is told why and may try again,
// which asks about the key anew: on the login page through its button, in the
// lobby through the notice that otherwise says it is reconnecting.
void VLANClient::showKeyRefused(bool refused)
{
    if (!refused) {
        reconnectDialog->showReconnecting();
        return;
    }
    const QString server = lobby::formatEndpoint(connection->server());
    loginPage->connectionStatusLabel->setText(
        QStringLiteral("The key of %1 changed; not connected — CONNECT TO NETWORK tries again").arg(server));
    reconnectDialog->showKeyRefused(server);
    if (pageStack->currentWidget() == mainTabs)
        reconnectDialog->show();
}

void VLANClient::showServerLine()
{
    loginPage->showServerLine(connection->describe(), connection->server().address,
                              connection->sealingText());
}

// The chosen server is kept beside the nickname and used from now on: the
// current attempt is dropped and the next one goes to the new address.
void VLANClient::changeServer()
{
    const QString sealedKey = QStringLiteral("Sealed. The server's key (SHA-256):\n%1");
    const QString key = connection->sealed() ? sealedKey.arg(connection->serverKey())
                        : connection->speaksPlain()
                            ? QStringLiteral("Not sealed: this server does not encrypt "
                                             "the connection.")
                            : QString();
    const std::optional<lobby::ServerEndpoint> chosen = ui::askServer(this, connection->server(), key);
    if (!chosen)
        return;
    settings.setValue(QStringLiteral("server"), lobby::formatEndpoint(*chosen));
    connection->setServer(*chosen);
}
