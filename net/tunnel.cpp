#include "app/vlanclient.h"
#include "net/scramble.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace {

// Compares two addresses with IPv4-mapped IPv6 forms folded to IPv4.
bool sameHost(const QHostAddress& a, const QHostAddress& b)
{
    return a.isEqual(b, QHostAddress::TolerantConversion);
}

} // namespace

bool VLANClient::isFromRelay(const QHostAddress& sender, quint16 senderPort) const
{
    return senderPort == serverPort && sameHost(sender, QHostAddress(serverAddress));
}

void VLANClient::onUdpReadyRead()
{
    while (udpSocket->hasPendingDatagrams()) {
        QByteArray datagram(static_cast<qsizetype>(qMax<qint64>(udpSocket->pendingDatagramSize(), 0)), Qt::Uninitialized);
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 size = udpSocket->readDatagram(datagram.data(), datagram.size(), &sender, &senderPort);
        if (size <= 0)
            continue;
        datagram.truncate(size);
        // Only the relay may feed the adapter; anything else is injection.
        if (!isFromRelay(sender, senderPort))
            continue;
        // Heartbeat-style JSON from the relay is not traffic.
        if (datagram.at(0) == '{')
            continue;
        // With no adapter running the datagram is consumed and dropped.
        if (wintunRunning || tapRunning)
            writeToAdapter(tunnel::scramblePayload(datagram));
    }
}

void VLANClient::sendUdpHeartbeats()
{
    if (clientId.isEmpty())
        return;
    const QByteArray heartbeat =
        QJsonDocument(QJsonObject{{QStringLiteral("client_id"), clientId}}).toJson(QJsonDocument::Compact);
    udpSocket->writeDatagram(heartbeat, QHostAddress(serverAddress), serverPort);
}

void VLANClient::forwardToRelay(const unsigned char* data, int length)
{
    QByteArray scrambled(reinterpret_cast<const char*>(data), length);
    tunnel::scrambleInPlace(reinterpret_cast<unsigned char*>(scrambled.data()), static_cast<std::size_t>(length));
    QMetaObject::invokeMethod(
        this, [this, scrambled] { sendTunnelDatagram(scrambled); }, Qt::AutoConnection);
}

void VLANClient::sendTunnelDatagram(const QByteArray& scrambled)
{
    udpSocket->writeDatagram(scrambled, QHostAddress(serverAddress), serverPort);
}
