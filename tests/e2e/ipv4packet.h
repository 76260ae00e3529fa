// Hand-built IPv4/UDP packets and Ethernet frames for tests that feed the adapters directly.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QtEndian>

namespace testpackets {

// A UDP datagram in an IPv4 packet with a valid header checksum (UDP checksum 0).
inline QByteArray udpPacket(const char* source, const char* destination, quint16 sourcePort,
                            quint16 destinationPort, const QByteArray& payload)
{
    // Version 4, 20-byte header, TTL 64, protocol UDP; the rest filled in below.
    QByteArray packet = QByteArray::fromHex("450000000000000040110000") + QByteArray(16, '\0') + payload;
    auto* b = reinterpret_cast<uchar*>(packet.data());
    qToBigEndian<quint16>(static_cast<quint16>(packet.size()), b + 2);
    qToBigEndian<quint32>(QHostAddress(QLatin1String(source)).toIPv4Address(), b + 12);
    qToBigEndian<quint32>(QHostAddress(QLatin1String(destination)).toIPv4Address(), b + 16);
    quint32 sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += qFromBigEndian<quint16>(b + i);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    qToBigEndian<quint16>(static_cast<quint16>(~sum), b + 10);
    qToBigEndian<quint16>(sourcePort, b + 20);
    qToBigEndian<quint16>(destinationPort, b + 22);
    qToBigEndian<quint16>(static_cast<quint16>(8 + payload.size()), b + 24);
    return packet;
}

inline QByteArray ethernetFrame(const QByteArray& destinationMac, const QByteArray& ipPacket)
{
    return destinationMac + QByteArray::fromHex("02aabbccdd01") + QByteArray::fromHex("0800") + ipPacket;
}

} // namespace testpackets
