// The tunnel without a device: the key, heartbeats, what the engine's receiver lets through.
#include "net/engine.h"
#include "net/scramble.h"
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

#include <vector>

using P = ClientProbe;

class TestTunnel : public QObject
{
    Q_OBJECT

private slots:
    // Data and heartbeats alike: none past the key's uses, a flag for the GUI side
    // to ask for a key, and the next key seals again.
    void aTunnelKeySealsAtMostItsUsesUntilTheNextComes()
    {
        const std::uint8_t first[seal::kKeyBytes] = {1}, next[seal::kKeyBytes] = {2};
        tunnel::SealSession session;
        session.setKeyUses(3);
        session.setKey(first, 5, 0);
        tunnel::SealSession::View data(session), beats(session);
        std::uint8_t d[seal::kOverhead + 1] = {};
        const auto sealed = [&](tunnel::SealSession::View& v, bool beat) { return v.seal(d, 1, beat) != 0; };
        QVERIFY(sealed(data, false) && sealed(beats, true) && sealed(data, false));
        QVERIFY(!session.exhausted());
        QVERIFY(!sealed(data, false) && !sealed(beats, true) && session.exhausted());
        session.setKey(next, 5, 1);
        QVERIFY(!session.exhausted() && sealed(beats, true) && (d[0] & 0x40));
        seal::Cipher opener;
        opener.setKey(next);
        QCOMPARE(opener.open(d, sizeof d), 1L);
    }
    void scramblingUsesTheKeyByPositionAndUndoesItself()
    {
        // Every byte, at every length and starting offset, meets the key byte of its position; the
        // longest lengths cross the key stream's chunks. The copying form writes the same bytes.
        std::vector<std::size_t> lengths = {2015, 2016, 2017, 4100};
        for (std::size_t length = 0; length <= 200; length += 7)
            lengths.push_back(length);
        for (std::size_t offset = 0; offset < 50; offset += 3)
            for (const std::size_t length : lengths) {
                QByteArray data(static_cast<int>(length), '\x5A');
                QByteArray copy(data.size(), '\0');
                const auto* in = reinterpret_cast<const unsigned char*>(data.constData());
                tunnel::scrambleCopy(reinterpret_cast<unsigned char*>(copy.data()), in, length, offset);
                tunnel::scrambleInPlace(reinterpret_cast<unsigned char*>(data.data()), length, offset);
                QCOMPARE(copy, data);
                for (std::size_t i = 0; i < length; ++i)
                    QCOMPARE(static_cast<unsigned char>(data[int(i)] ^ 0x5A), tunnel::keyByteAt(i + offset));
            }
        QCOMPARE(tunnel::keyByteAt(21), tunnel::keyByteAt(0));
    }

    void heartbeatOnlyOnceLoggedInFromTheTunnelPort()
    {
        QUdpSocket relay;
        QVERIFY(relay.bind(QHostAddress::LocalHost, 0));
        qputenv("PELLORA_SERVER", "127.0.0.1:" + QByteArray::number(relay.localPort()));
        VLANClient client;
        QMetaObject::invokeMethod(&client, "sendUdpHeartbeats"); // not logged in: sends nothing
        // (in order on loopback: the first datagram received below must come from a later call)
        P::clientId(client) = QStringLiteral("c42");
        // The adapter mode goes along once the server showed (in join_ok) that it reads it.
        const std::pair<bool, const char*> cases[] = {
            {false, ""}, {true, R"(,"layer":3)"}, {true, R"(,"layer":2)"}};
        for (const auto& [echoed, layer] : cases) {
            P::tunnel(client)->setRelayReadsLayer(echoed);
            P::layer2Mode(client) = QByteArray(layer).endsWith("2");
            QMetaObject::invokeMethod(&client, "sendUdpHeartbeats");
            QVERIFY(relay.waitForReadyRead(2000));
            const QNetworkDatagram got = relay.receiveDatagram();
            QCOMPARE(got.data(), QByteArray(R"({"client_id":"c42")") + layer + "}");
            QCOMPARE(got.senderPort(), int(udp::localPort(P::tunnel(client)->socket())));
        }
    }

    void receiverKeepsOnlyNonJsonDatagramsFromTheRelay()
    {
        const udp::Peer relay = udp::parsePeer("10.0.0.1", 7777);
        const unsigned char packet[] = {0x45, 0};
        const unsigned char json[] = {'{', '}'};
        QVERIFY(tunnel::acceptInbound(udp::parsePeer("10.0.0.1", 7777), relay, packet, 2));
        QVERIFY(!tunnel::acceptInbound(udp::parsePeer("10.0.0.1", 7778), relay, packet, 2));
        QVERIFY(!tunnel::acceptInbound(udp::parsePeer("10.0.0.2", 7777), relay, packet, 2));
        QVERIFY(!tunnel::acceptInbound(udp::parsePeer("::ffff:10.0.0.1", 7777), relay, packet, 2));
        QVERIFY(!tunnel::acceptInbound(relay, relay, json, 2) &&
                !tunnel::acceptInbound(relay, relay, packet, 0));
        const udp::Peer v6 = udp::parsePeer("2001:db8::1", 7777);
        QVERIFY(tunnel::acceptInbound(v6, v6, packet, 2) &&
                !tunnel::acceptInbound(udp::parsePeer("2001:db8::2", 7777), v6, packet, 2));
        // A host name gives no relay, so no socket: nothing is ever sent.
        QCOMPARE(udp::parsePeer("localhost", 7777).length, 0);
        QVERIFY(!udp::open(udp::parsePeer("localhost", 7777)));
    }
};

PELLORA_TEST_MAIN(TestTunnel)
#include "test_tunnel.moc"
