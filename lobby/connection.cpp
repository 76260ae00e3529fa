#include "app/vlanclient.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "lobby/serveraddress.h"

#include <QDialog>
#include <QHostInfo>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTabWidget>
#include <QSslSocket>
#include <QTimer>

void VLANClient::sendControlMessage(const QJsonObject& message)
{
    tcpSocket->write(control::encodeLine(message));
}

bool VLANClient::controlChannelUp() const
{
    return tcpSocket && tcpSocket->state() == QAbstractSocket::ConnectedState;
}

// Every login carries the client id this client was last given (empty
// before the first): with it the server hands back our session even when
// our address changed, and to no one else.
void VLANClient::sendLogin()
{
    // "private" is said only when on: a server told nothing treats us as before.
    sendControlMessage(msg::Login{nickname, clientId, addressPrivate()}.toJson());
}

void VLANClient::attemptReconnect()
{
    if (tcpSocket->state() != QAbstractSocket::UnconnectedState || serverLookupId >= 0 || keyRefused)
        return;
    if (lobby::isNumericAddress(serverAddress)) {
        connectControl(serverAddress);
        return;
    }
    // A name is looked up before every attempt, so a server that moved host is
    // found again; the lookup runs off the window's thread.
    if (!reconnectTimer->isActive())
        showConnectionStatus(QStringLiteral("Looking up %1…").arg(serverAddress));
    serverLookupId =
        QHostInfo::lookupHost(serverAddress, this, [this](const QHostInfo& info) { onServerLookedUp(info); });
}

void VLANClient::onServerLookedUp(const QHostInfo& info)
{
    if (info.lookupId() != serverLookupId)
        return; // asked for a server that has since been changed
    serverLookupId = -1;
    untriedAddresses = info.addresses();
    if (info.error() != QHostInfo::NoError || untriedAddresses.isEmpty()) {
        onTcpError();
        showConnectionStatus(
            QStringLiteral("Cannot find %1: the name does not resolve — check it, retrying every 3 s")
                .arg(serverAddress));
        return;
    }
    connectToNextAddress();
}

// The addresses of a name are tried in the resolver's order; the one that
// answers carries the control channel and, from then on, the relay.
bool VLANClient::connectToNextAddress()
{
    if (untriedAddresses.isEmpty())
        return false;
    const QString next = untriedAddresses.takeFirst().toString();
    if (next != reachedAddress) {
        reachedAddress = next;
        openTunnel();
        showServerLine();
    }
    connectControl(reachedAddress);
    return true;
}

// The relay lives at the lobby server's address: the number itself, or what its name resolved to.
QString VLANClient::relayAddress() const
{
    return lobby::isNumericAddress(serverAddress) ? serverAddress : reachedAddress;
}

// Abandons whatever attempt runs and starts one at the server now configured.
void VLANClient::restartConnection()
{
    if (serverLookupId >= 0 || keyRefused)
        QHostInfo::abortHostLookup(serverLookupId);
    serverLookupId = -1;
    untriedAddresses.clear();
    reachedAddress.clear();
    forgetServerSealing();
    openTunnel();
    showServerLine();
    tcpSocket->abort();
    reconnectTimer->stop();
    attemptReconnect();
}

void VLANClient::onTcpConnected()
{
    untriedAddresses.clear();
    connectionLossNotified = false;
    reconnectTimer->stop();
    reconnectDialog->hide();
    if (!nickname.isEmpty())
        sendLogin();
}

void VLANClient::onTcpError()
{
    reconnectTimer->start(3000);
    if (pageStack->currentWidget() == mainTabs) {
        reconnectDialog->show();
        if (!std::exchange(connectionLossNotified, true))
            notify(QStringLiteral("Connection lost"), QStringLiteral("Reconnecting to the server…"));
    }
}

void VLANClient::doLogin()
{
    nickname = nicknameInput->text().trimmed();
    if (nickname.isEmpty())
        return;
    settings.setValue(field::username, nickname);
    sendLogin();
}
