// The tunnel without a device: scrambling, heartbeats, the hand-over from a
// reader thread, and the receive path with no adapter running. A UDP socket
// on loopback stands in for the relay.
#include "net/scramble.h"
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <memory>
#include <thread>
#include <vector>

using P = ClientProbe;

class TestTunnel : public QObject
{
    Q_OBJECT

    std::unique_ptr<QUdpSocket> relay;
    std::unique_ptr<VLANClient> client;

    // A client whose relay is our socket; its tunnel socket is bound by one heartbeat.
    quint16 startClientAndHeartbeat()
    {
        client = std::make_unique<VLANClient>();
        P::clientId(*client) = QStringLiteral("c7");
        QMetaObject::invokeMethod(client.get(), "sendUdpHeartbeats");
        if (!relay->waitForReadyRead(3000))
            return 0;
        const QNetworkDatagram heartbeat = relay->receiveDatagram();
        return static_cast<quint16>(heartbeat.senderPort());
    }

    QList<QNetworkDatagram> relayReceived(int waitMs)
    {
        QList<QNetworkDatagram> all;
        QTest::qWait(waitMs);
        while (relay->hasPendingDatagrams())
            all << relay->receiveDatagram();
        return all;
    }

private slots:
    void init()
    {
        relay = std::make_unique<QUdpSocket>();
        QVERIFY(relay->bind(QHostAddress::LocalHost, 0));
        qputenv("PELLORA_SERVER", "127.0.0.1:" + QByteArray::number(relay->localPort()));
    }

    void cleanup()
    {
        client.reset();
        relay.reset();
    }

    void keyIs21AsciiCharactersRepeatingPerDatagram()
    {
        for (std::size_t i = 0; i < 21; ++i) {
            const unsigned char k = tunnel::keyByteAt(i);
            QVERIFY2(k >= 0x21 && k <= 0x7E, "key bytes are printable ASCII");
        }
        // Byte 21 of a 22-byte payload and byte 42 of a 43-byte one use key byte 0.
        const QByteArray zeros22(22, '\0');
        const QByteArray s22 = tunnel::scramblePayload(zeros22);
        QCOMPARE(s22.at(21), s22.at(0));
        const QByteArray plain43 = QByteArray(43, '\x5A');
        const QByteArray s43 = tunnel::scramblePayload(plain43);
        QCOMPARE(static_cast<unsigned char>(s43.at(42) ^ 0x5A), tunnel::keyByteAt(0));
        QCOMPARE(static_cast<unsigned char>(s43.at(21) ^ 0x5A), tunnel::keyByteAt(0));
        // Each datagram starts the key afresh.
        QCOMPARE(tunnel::scramblePayload(plain43.left(5)), s43.left(5));
    }

    void scramblingTwiceRestoresAndEmptyStaysEmpty()
    {
        QByteArray payload;
        for (int i = 0; i < 1500; ++i)
            payload.append(static_cast<char>((i * 37) & 0xFF));
        const QByteArray once = tunnel::scramblePayload(payload);
        QVERIFY(once != payload);
        QCOMPARE(once.size(), payload.size());
        QCOMPARE(tunnel::scramblePayload(once), payload);
        QVERIFY(tunnel::scramblePayload(QByteArray()).isEmpty());
    }

    // Every byte, at every length and starting offset, is XORed with the key
    // byte of its position in the datagram.
    void scramblingMatchesTheKeyAtEveryPositionAndOffset()
    {
        for (std::size_t offset = 0; offset < 50; ++offset) {
            for (std::size_t length = 0; length <= 200; ++length) {
                std::vector<unsigned char> data(length);
                for (std::size_t i = 0; i < length; ++i)
                    data[i] = static_cast<unsigned char>(i * 31 + offset);
                tunnel::scrambleInPlace(data.data(), length, offset);
                for (std::size_t i = 0; i < length; ++i) {
                    const unsigned char expected =
                        static_cast<unsigned char>(i * 31 + offset) ^ tunnel::keyByteAt(i + offset);
                    if (data[i] != expected)
                        QFAIL(qPrintable(QStringLiteral("offset %1 length %2 byte %3").arg(offset).arg(length).arg(i)));
                }
            }
        }
    }

    void heartbeatOnlyOnceLoggedIn()
    {
        client = std::make_unique<VLANClient>();
        QMetaObject::invokeMethod(client.get(), "sendUdpHeartbeats");
        QVERIFY(relayReceived(200).isEmpty());

        P::clientId(*client) = QStringLiteral("c42");
        QMetaObject::invokeMethod(client.get(), "sendUdpHeartbeats");
        QMetaObject::invokeMethod(client.get(), "sendUdpHeartbeats");
        const QList<QNetworkDatagram> got = relayReceived(200);
        QCOMPARE(got.size(), 2);
        QCOMPARE(got.at(0).data(), QByteArray(R"({"client_id":"c42"})"));
        QCOMPARE(got.at(1).senderPort(), got.at(0).senderPort()); // one implicitly bound port
    }

    void readerHandsScrambledPacketsToTheGuiThread()
    {
        const quint16 clientPort = startClientAndHeartbeat();
        QVERIFY(clientPort != 0);
        QByteArray packet(100, '\0');
        for (int i = 0; i < packet.size(); ++i)
            packet[i] = static_cast<char>(i);
        // The sending thread is not the GUI thread; its buffer is gone once the call returns.
        std::thread reader([&] {
            QByteArray scratch = packet;
            P::forwardToRelay(*client, reinterpret_cast<const unsigned char*>(scratch.constData()),
                              static_cast<int>(scratch.size()));
            scratch.fill('\xEE');
        });
        reader.join();
        const QList<QNetworkDatagram> got = relayReceived(300);
        QCOMPARE(got.size(), 1);
        QCOMPARE(got.at(0).senderPort(), int(clientPort));
        QCOMPARE(got.at(0).data(), tunnel::scramblePayload(packet));
    }

    // Packets read while the GUI thread is busy travel in one queued call but
    // still leave one datagram per packet, in order.
    void aBurstFromTheReaderLeavesAsOneDatagramPerPacket()
    {
        const quint16 clientPort = startClientAndHeartbeat();
        QVERIFY(clientPort != 0);
        QList<QByteArray> packets;
        for (int n = 0; n < 100; ++n)
            packets << QByteArray(20 + n, static_cast<char>(n));
        std::thread reader([&] {
            for (const QByteArray& packet : packets)
                P::forwardToRelay(*client, reinterpret_cast<const unsigned char*>(packet.constData()),
                                  static_cast<int>(packet.size()));
        });
        reader.join(); // the GUI thread has run nothing meanwhile
        const QList<QNetworkDatagram> got = relayReceived(500);
        QCOMPARE(got.size(), packets.size());
        for (int n = 0; n < packets.size(); ++n)
            QCOMPARE(got.at(n).data(), tunnel::scramblePayload(packets.at(n)));
    }

    void inboundDatagramsAreConsumedWithNoAdapter()
    {
        const quint16 clientPort = startClientAndHeartbeat();
        QVERIFY(clientPort != 0);
        QUdpSocket stranger;
        for (int i = 0; i < 5; ++i) {
            relay->writeDatagram(tunnel::scramblePayload(QByteArray(60, 'x')), QHostAddress::LocalHost, clientPort);
            relay->writeDatagram(QByteArray("{\"cmd\":\"noise\"}"), QHostAddress::LocalHost, clientPort);
            stranger.writeDatagram(QByteArray(60, 'y'), QHostAddress::LocalHost, clientPort);
        }
        relay->writeDatagram(QByteArray(), QHostAddress::LocalHost, clientPort);
        QUdpSocket* tunnelSocket = P::udpSocket(*client);
        QTRY_VERIFY_WITH_TIMEOUT(!tunnelSocket->hasPendingDatagrams(), 3000);
        QVERIFY(!P::wintunRunning(*client));
        QVERIFY(!P::tapRunning(*client));
    }

    void hostNameServerSendsNothing()
    {
        client = std::make_unique<VLANClient>();
        // As the constructor would have set them from a host name.
        P::serverAddress(*client) = QStringLiteral("localhost");
        P::relayAddress(*client) = QHostAddress(P::serverAddress(*client));
        P::clientId(*client) = QStringLiteral("c1");
        QMetaObject::invokeMethod(client.get(), "sendUdpHeartbeats");
        const unsigned char byte = 0x45;
        P::forwardToRelay(*client, &byte, 1);
        QVERIFY(relayReceived(300).isEmpty());
    }
};

PELLORA_TEST_MAIN(TestTunnel)
#include "test_tunnel.moc"
