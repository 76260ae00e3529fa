#include "app/vlanclient.h"
#include "lobby/controlcodec.h"

#include <QDialog>
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
    sendControlMessage(control::message(QStringLiteral("login"), {{QStringLiteral("username"), nickname},
                                                                  {QStringLiteral("client_id"), clientId}}));
}

void VLANClient::attemptReconnect()
{
    if (tcpSocket->state() != QAbstractSocket::UnconnectedState || keyRefused)
        return;
    connectControl();
}

void VLANClient::onTcpConnected()
{
    reconnectTimer->stop();
    reconnectDialog->hide();
    if (!nickname.isEmpty())
        sendLogin();
}

void VLANClient::onTcpError()
{
    reconnectTimer->start(3000);
    if (pageStack->currentWidget() == mainTabs)
        reconnectDialog->show();
}

void VLANClient::doLogin()
{
    nickname = nicknameInput->text().trimmed();
    if (nickname.isEmpty())
        return;
    settings.setValue(QStringLiteral("username"), nickname);
    sendLogin();
}
