#include "app/vlanclient.h"
#include "lobby/controlcodec.h"

#include <QDialog>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTimer>

void VLANClient::sendControlMessage(const QJsonObject& message)
{
    tcpSocket->write(control::encodeLine(message));
}

bool VLANClient::controlChannelUp() const
{
    return tcpSocket && tcpSocket->state() == QAbstractSocket::ConnectedState;
}

void VLANClient::attemptReconnect()
{
    if (tcpSocket->state() != QAbstractSocket::UnconnectedState)
        return;
    tcpSocket->connectToHost(serverAddress, serverPort, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void VLANClient::onTcpConnected()
{
    reconnectTimer->stop();
    reconnectDialog->hide();
    if (!nickname.isEmpty())
        sendControlMessage(control::message(QStringLiteral("login"), {{QStringLiteral("username"), nickname}}));
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
    sendControlMessage(control::message(QStringLiteral("login"), {{QStringLiteral("username"), nickname}}));
}
