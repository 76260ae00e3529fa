// The relay over real UDP sockets, with sessions made over the lobby.
#include "tests/server/serverharness.h"

#include "net/scramble.h"

#include <QJsonArray>
#include <QSet>
#include <QNetworkDatagram>
#include <QTest>

using namespace harness;

namespace {

struct Member {
    ControlClient control;
    TunnelPeer tunnel;
    QString id;
    QString vip;
    Member(quint16 port, const QHostAddress& relayAddress = QHostAddress(QHostAddress::LocalHost))
        : control(port), tunnel(port)
    {
        tunnel.relayAddress = relayAddress;
    }
};

constexpr quint64 kMacA = 0x02000000000Aull;
constexpr quint64 kMacB = 0x02000000000Bull;
constexpr quint64 kMacC = 0x02000000000Cull;
constexpr quint64 kBroadcastMac = 0xFFFFFFFFFFFFull;
constexpr quint64 kMulticastMac = 0x01005E0000FBull;

} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

    std::unique_ptr<LobbyServer> server;
    std::vector<std::unique_ptr<Member>> members;
    qint64 heartbeatsSeen = 0;
    QSet<QString> rooms;

    // Logs `name` in, puts it in `room` (created when new) and binds its tunnel.
    Member& add(const QString& name, const QString& room, bool heartbeat = true)
    {
        members.push_back(std::make_unique<Member>(server->port(), relayAddress));
        Member& m = *members.back();
        m.id = m.control.login(name);
        if (!room.isEmpty()) {
            const bool exists = rooms.contains(room);
            rooms.insert(room);
            const QJsonObject joined = exists ? m.control.joinRoom(room) : m.control.createRoom(room);
            m.vip = joined.value(QStringLiteral("vip")).toString();
        }
        if (heartbeat)
            bind(m);
        return m;
    }
    void bind(Member& m)
    {
        m.tunnel.heartbeat(m.id);
        QVERIFY(waitForStat(*server, QStringLiteral("heartbeats"), ++heartbeatsSeen));
    }
    qint64 stat(const char* name) const { return statValue(*server, QLatin1String(name)); }

    QHostAddress relayAddress{QHostAddress::LocalHost};

private slots:
    void init()
    {
        relayAddress = QHostAddress(QHostAddress::LocalHost);
        heartbeatsSeen = 0;
        server = startServer(testConfig());
        QVERIFY(server);
    }
    void cleanup()
    {
        members.clear();
        rooms.clear();
        server.reset();
    }

    void unicastGoesToTheMemberWithThatAddress()
    {
        Member& alice = add(QStringLiteral("alice"), QStringLiteral("Alpha"));
        Member& bob = add(QStringLiteral("bob"), QStringLiteral("Alpha"));
        Member& carol = add(QStringLiteral("carol"), QStringLiteral("Alpha"));
        QCOMPARE(bob.vip, QStringLiteral("10.8.0.2"));

        for (const int size : {20, 100, 1400, 9000}) {
            const QByteArray packet = ipv4Packet(ipv4("10.8.0.1"), ipv4("10.8.0.2"), size);
            alice.tunnel.sendPlain(packet);
            // Forwarded exactly as it came: still scrambled, same bytes.
            QCOMPARE(bob.tunnel.receiveRaw(), tunnel::scramblePayload(packet));
        }
        carol.tunnel.sendPlain(ipv4Packet(ipv4("10.8.0.3"), ipv4("10.8.0.1"), 60, 'c'));
        QCOMPARE(alice.tunnel.receive(), ipv4Packet(ipv4("10.8.0.3"), ipv4("10.8.0.1"), 60, 'c'));
        QVERIFY(carol.tunnel.quiet());
        QVERIFY(alice.tunnel.quiet(0));
        QVERIFY(bob.tunnel.quiet(0));
        QCOMPARE(stat("forwarded"), 5);
    }

    void broadcastAndMulticastStayInTheRoom()
    {
        Member& alice = add(QStringLiteral("alice"), QStringLiteral("Alpha"));
        Member& bob = add(QStringLiteral("bob"), QStringLiteral("Alpha"));
        Member& carol = add(QStringLiteral("carol"), QStringLiteral("Alpha"));
        Member& dave = add(QStringLiteral("dave"), QStringLiteral("Beta"));
        QCOMPARE(dave.vip, QStringLiteral("10.8.1.1"));

        for (const char* destination : {"255.255.255.255", "10.8.0.255", "224.0.0.251", "239.255.255.250"}) {
            const QByteArray packet = ipv4Packet(ipv4("10.8.0.1"), ipv4(destination), 80);
            alice.tunnel.sendPlain(packet);
            QCOMPARE(bob.tunnel.receive(), packet);
            QCOMPARE(carol.tunnel.receive(), packet);
        }
        // Another room's broadcast, another room's member, and outside addresses go nowhere.
        for (const char* destination : {"10.8.1.255", "10.8.1.1", "10.8.0.9", "192.0.2.1"})
            alice.tunnel.sendPlain(ipv4Packet(ipv4("10.8.0.1"), ipv4(destination), 80));
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_no_route"), 4));
        QVERIFY(dave.tunnel.quiet());
        QVERIFY(alice.tunnel.quiet(0));
        QVERIFY(bob.tunnel.quiet(0));
        QVERIFY(carol.tunnel.quiet(0));

        // Dave's broadcast stays in his room of one.
        dave.tunnel.sendPlain(ipv4Packet(ipv4("10.8.1.1"), ipv4("255.255.255.255"), 80));
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_no_route"), 5));
        QVERIFY(alice.tunnel.quiet());
    }

    void layer2LearnsAddressesAndFloodsTheRest()
    {
        Member& alice = add(QStringLiteral("alice"), QStringLiteral("Alpha"));
        Member& bob = add(QStringLiteral("bob"), QStringLiteral("Alpha"));
        Member& carol = add(QStringLiteral("carol"), QStringLiteral("Alpha"));
        Member& dave = add(QStringLiteral("dave"), QStringLiteral("Beta"));

        // Broadcast from A: everyone else in the room, and A is learned.
        const QByteArray hello = ethernetFrame(kBroadcastMac, kMacA, 60);
        alice.tunnel.sendPlain(hello);
        QCOMPARE(bob.tunnel.receive(), hello);
        QCOMPARE(carol.tunnel.receive(), hello);

        // To A's address: only alice. B is learned on the way.
        const QByteArray reply = ethernetFrame(kMacA, kMacB, 1400);
        bob.tunnel.sendPlain(reply);
        QCOMPARE(alice.tunnel.receive(), reply);
        QVERIFY(carol.tunnel.quiet());

        // Unknown unicast and multicast: flooded within the room.
        for (const quint64 destination : {kMacC, kMulticastMac}) {
            const QByteArray frame = ethernetFrame(destination, kMacA, 100);
            alice.tunnel.sendPlain(frame);
            QCOMPARE(bob.tunnel.receive(), frame);
            QCOMPARE(carol.tunnel.receive(), frame);
        }
        // Once C speaks, frames for C go to carol only.
        carol.tunnel.sendPlain(ethernetFrame(kMacB, kMacC, 64));
        QCOMPARE(bob.tunnel.receive(), ethernetFrame(kMacB, kMacC, 64));
        alice.tunnel.sendPlain(ethernetFrame(kMacC, kMacA, 64));
        QCOMPARE(carol.tunnel.receive(), ethernetFrame(kMacC, kMacA, 64));
        QVERIFY(bob.tunnel.quiet());

        // A frame for a MAC learned in another room floods this room, not that one.
        dave.tunnel.sendPlain(ethernetFrame(kMacA, 0x02000000000Dull, 64));
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_no_route"), 1));
        QVERIFY(alice.tunnel.quiet());
        QVERIFY(dave.tunnel.quiet(0));
    }

    void unboundSendersAndStrangersAreDroppedSilently()
    {
        Member& alice = add(QStringLiteral("alice"), QStringLiteral("Alpha"));
        Member& bob = add(QStringLiteral("bob"), QStringLiteral("Alpha"));
        Member& lobbyOnly = add(QStringLiteral("eve"), QString());
        const QByteArray toBob = ipv4Packet(ipv4("10.8.0.1"), ipv4("10.8.0.2"), 100);

        TunnelPeer stranger(server->port());
        stranger.sendPlain(toBob);
        stranger.sendPlain(ethernetFrame(kBroadcastMac, kMacC, 60));
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_unbound"), 2));

        // Made-up and malformed heartbeats bind nothing.
        stranger.heartbeat(QStringLiteral("0123456789abcdef0123456789abcdef"));
        stranger.heartbeat(alice.id.left(31));
        stranger.sendRaw("{\"client_id\":\"" + alice.id.toLatin1() + "\",\"x\":1}");
        stranger.sendRaw("{");
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_unknown_client"), 1));
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_bad_heartbeat"), 3));
        stranger.sendPlain(toBob);
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_unbound"), 3));

        // Bound but in no room: dropped too.
        lobbyOnly.tunnel.sendPlain(ipv4Packet(ipv4("10.8.0.9"), ipv4("255.255.255.255"), 100));
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_not_in_room"), 1));
        // Too short for any header.
        alice.tunnel.sendRaw("abc");
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_runt"), 1));

        QVERIFY(bob.tunnel.quiet());
        QVERIFY(stranger.quiet(0));
        QVERIFY(alice.tunnel.quiet(0));
        QVERIFY(lobbyOnly.tunnel.quiet(0));
        QCOMPARE(stat("forwarded"), 0);
        // Nothing above disturbed the real traffic.
        alice.tunnel.sendPlain(toBob);
        QCOMPARE(bob.tunnel.receive(), toBob);
    }

    void latestHeartbeatWinsAfterAPortChange()
    {
        Member& alice = add(QStringLiteral("alice"), QStringLiteral("Alpha"));
        Member& bob = add(QStringLiteral("bob"), QStringLiteral("Alpha"));
        const QByteArray toBob = ipv4Packet(ipv4("10.8.0.1"), ipv4("10.8.0.2"), 100);
        alice.tunnel.sendPlain(toBob);
        QCOMPARE(bob.tunnel.receive(), toBob);

        // Bob's NAT gives him a new port.
        TunnelPeer moved(server->port());
        QVERIFY(moved.localPort() != bob.tunnel.localPort());
        moved.heartbeat(bob.id);
        QVERIFY(waitForStat(*server, QStringLiteral("heartbeats"), ++heartbeatsSeen));
        alice.tunnel.sendPlain(toBob);
        QCOMPARE(moved.receive(), toBob);
        QVERIFY(bob.tunnel.quiet());

        // The old port no longer speaks for bob.
        bob.tunnel.sendPlain(ipv4Packet(ipv4("10.8.0.2"), ipv4("10.8.0.1"), 100));
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_unbound"), 1));
        moved.sendPlain(ipv4Packet(ipv4("10.8.0.2"), ipv4("10.8.0.1"), 100));
        QCOMPARE(alice.tunnel.receive(), ipv4Packet(ipv4("10.8.0.2"), ipv4("10.8.0.1"), 100));
    }

    void heartbeatsKeepADisconnectedSessionAlive()
    {
        Member& alice = add(QStringLiteral("alice"), QStringLiteral("Alpha"));
        Member& bob = add(QStringLiteral("bob"), QStringLiteral("Alpha"));
        alice.control.socket.abort();
        // Longer than the grace time with heartbeats: the session and its binding stay.
        for (int i = 0; i < 16; ++i) {
            alice.tunnel.heartbeat(alice.id);
            QTest::qWait(150);
        }
        const auto alone = [](const QJsonObject& m) { return m.value(QStringLiteral("peers")).toArray().size() == 1; };
        for (const QJsonObject& m : bob.control.inbox)
            QVERIFY(!alone(m));
        const QByteArray toAlice = ipv4Packet(ipv4("10.8.0.2"), ipv4("10.8.0.1"), 100);
        bob.tunnel.sendPlain(toAlice);
        QCOMPARE(alice.tunnel.receive(), toAlice);

        // Silence ends it: bob hears of it, and alice's endpoint is unbound.
        QVERIFY(alone(bob.control.until(QStringLiteral("room_update"), alone)));
        const qint64 before = stat("dropped_no_route");
        bob.tunnel.sendPlain(toAlice);
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_no_route"), before + 1));
        QVERIFY(alice.tunnel.quiet());
        alice.tunnel.sendPlain(ipv4Packet(ipv4("10.8.0.1"), ipv4("10.8.0.2"), 100));
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_unbound"), 1));
    }

    void wildcardRelayAnswersFromTheAddressItWasSentTo_data()
    {
        QTest::addColumn<QHostAddress>("listen");
        QTest::newRow("0.0.0.0") << QHostAddress(QHostAddress::AnyIPv4);
        QTest::newRow(":: (IPv4 mapped)") << QHostAddress(QHostAddress::AnyIPv6);
    }
    void wildcardRelayAnswersFromTheAddressItWasSentTo()
    {
        QFETCH(QHostAddress, listen);
        ServerConfig config = testConfig();
        config.listen = listen;
        server = startServer(config);
        QVERIFY(server);
        // Talk to the relay at 127.0.0.2: replies must come from there, or
        // the client would discard them.
        relayAddress = QHostAddress(QStringLiteral("127.0.0.2"));
        Member& alice = add(QStringLiteral("alice"), QStringLiteral("Alpha"));
        Member& bob = add(QStringLiteral("bob"), QStringLiteral("Alpha"));
        const QByteArray packet = ipv4Packet(ipv4("10.8.0.1"), ipv4("10.8.0.2"), 100);
        alice.tunnel.sendPlain(packet);
        QVERIFY(QTest::qWaitFor([&] { return bob.tunnel.socket.hasPendingDatagrams(); }, 2000));
        const QNetworkDatagram datagram = bob.tunnel.socket.receiveDatagram();
        QVERIFY(datagram.senderAddress().isEqual(QHostAddress(QStringLiteral("127.0.0.2")), QHostAddress::TolerantConversion));
        QCOMPARE(datagram.senderPort(), int(server->port()));
        QCOMPARE(tunnel::scramblePayload(datagram.data()), packet);
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "test_relay.moc"
