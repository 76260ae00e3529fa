#include "app/vlanclient.h"
#include "net/scramble.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace {

// The largest payload of a UDP datagram over IPv6 (IPv4's is smaller).
constexpr qsizetype kMaxUdpPayload = 65527;

// Compares two addresses with IPv4-mapped IPv6 forms folded to IPv4.
bool sameHost(const QHostAddress& a, const QHostAddress& b)
{
    return a.isEqual(b, QHostAddress::TolerantConversion);
}

} // namespace

bool VLANClient::isFromRelay(const QHostAddress& sender, quint16 senderPort) const
{
    return senderPort == serverPort && sameHost(sender, relayAddress);
}

void VLANClient::onUdpReadyRead()
{
    // One receive per datagram, into a buffer that holds any UDP payload, until
    // a receive finds nothing (Qt reports that as a temporary socket error,
    // which nothing here listens to). Asking for the size first would cost two
    // more system calls per datagram.
    QByteArray buffer(kMaxUdpPayload, Qt::Uninitialized);
    auto* bytes = reinterpret_cast<unsigned char*>(buffer.data());
    for (;;) {
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 size = udpSocket->readDatagram(buffer.data(), buffer.size(), &sender, &senderPort);
        if (size < 0)
            break;
        if (size == 0)
            continue;
        // Only the relay may feed the adapter; anything else is injection.
        if (!isFromRelay(sender, senderPort))
            continue;
        // Heartbeat-style JSON from the relay is not traffic.
        if (bytes[0] == '{')
            continue;
        // With no adapter running the datagram is consumed and dropped.
        if (!wintunRunning && !tapRunning)
            continue;
        tunnel::scrambleInPlace(bytes, static_cast<std::size_t>(size));
        writeToAdapter(QByteArray::fromRawData(buffer.constData(), size));
    }
}

void VLANClient::sendUdpHeartbeats()
{
    if (clientId.isEmpty())
        return;
    const QByteArray heartbeat =
        QJsonDocument(QJsonObject{{QStringLiteral("client_id"), clientId}}).toJson(QJsonDocument::Compact);
    udpSocket->writeDatagram(heartbeat, relayAddress, serverPort);
}

void VLANClient::forwardToRelay(const unsigned char* data, int length)
{
    // Only the first packet of a batch queues a call; packets read while that
    // call waits for the GUI thread travel with it, one datagram each.
    if (outboundQueue.push(data, length))
        QMetaObject::invokeMethod(
            this,
            [this] {
                outboundQueue.take().forEach([this](const unsigned char* packet, int size) {
                    sendTunnelDatagram(QByteArray::fromRawData(reinterpret_cast<const char*>(packet), size));
                });
            },
            Qt::AutoConnection);
}

void VLANClient::sendTunnelDatagram(const QByteArray& scrambled)
{
    udpSocket->writeDatagram(scrambled, relayAddress, serverPort);
}
