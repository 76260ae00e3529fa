// The relay over real UDP sockets, with sessions made over the lobby.
#include "tests/server/serverharness.h"

#include "net/scramble.h"
#include "server/relay/translate.h"

#include <QNetworkDatagram>
#include <QSet>
#include <QTest>

using namespace harness;

namespace {

struct Member {
    ControlClient control;
    TunnelPeer tunnel;
    QString id;
    Member(quint16 port, const QHostAddress& relayAddress) : control(port), tunnel(port) { tunnel.relayAddress = relayAddress; }
};

constexpr std::uint64_t kMacA = 0x02000000000A;
constexpr std::uint64_t kMacB = 0x02000000000B;
constexpr std::uint64_t kMacC = 0x02000000000C;
using relay::kBroadcastMac;
constexpr std::uint64_t kStandIn1 = 0x02500A080001; // stands for the layer-3 member 10.8.0.1

QByteArray bigEndian(std::uint64_t value, int bytes)
{
    QByteArray out(bytes, 0);
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<char>(value >> (8 * (bytes - 1 - i)));
    return out;
}

QByteArray frame(std::uint64_t destination, std::uint64_t source, quint16 type, const QByteArray& payload)
{
    return bigEndian(destination, 6) + bigEndian(source, 6) + bigEndian(type, 2) + payload;
}

// An ARP request (op 1) or reply (op 2) over Ethernet/IPv4.
QByteArray arp(int op, std::uint64_t senderMac, const char* senderIp, std::uint64_t targetMac, const char* targetIp)
{
    return QByteArray::fromHex("000108000604") + bigEndian(op, 2) + bigEndian(senderMac, 6) + bigEndian(ipv4(senderIp), 4) +
           bigEndian(targetMac, 6) + bigEndian(ipv4(targetIp), 4);
}

// An IPv6 UDP packet from fe80::`from` to ff02::1 (to 0) or fe80::`to`, `payload` bytes after the header.
QByteArray ipv6(int from, int to, int payload)
{
    return QByteArray::fromHex("60000000") + bigEndian(payload, 2) + QByteArray::fromHex("1140fe80") + QByteArray(13, 0) +
           char(from) + QByteArray::fromHex(to ? "fe80" : "ff02") + QByteArray(13, 0) + char(to ? to : 1) + QByteArray(payload, 'v');
}

// One datagram sent by member `from`: the members in `to` receive `expected`
// (the datagram itself when empty), those in `asIs` the datagram itself.
struct Step {
    int from;
    QByteArray plain;
    QList<int> to;
    QByteArray expected = {};
    QList<int> asIs = {};
};

} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

    std::unique_ptr<LobbyServer> server;
    std::vector<std::unique_ptr<Member>> members;
    qint64 heartbeatsSeen = 0;
    QSet<QString> rooms;
    QHostAddress relayAddress{QHostAddress::LocalHost};

    // Logs `name` in, puts it in `room` (created when new) and binds its tunnel.
    Member& add(const QString& name, const QString& room)
    {
        members.push_back(std::make_unique<Member>(server->port(), relayAddress));
        Member& m = *members.back();
        m.id = m.control.login(name);
        if (!room.isEmpty())
            rooms.contains(room) ? m.control.joinRoom(room) : m.control.createRoom(room);
        rooms.insert(room);
        m.tunnel.heartbeat(m.id);
        waitForStat(*server, QStringLiteral("heartbeats"), ++heartbeatsSeen);
        return m;
    }
    // alice, bob and carol in Alpha (10.8.0.1-3), dave alone in Beta (10.8.1.1).
    void addMembers(int count = 4)
    {
        for (const char* name : {"alice", "bob", "carol", "dave"})
            if (int(members.size()) < count)
                add(QLatin1String(name), members.size() < 3 ? QStringLiteral("Alpha") : QStringLiteral("Beta"));
    }
    qint64 stat(const char* name) const { return statValue(*server, QLatin1String(name)); }
    void run(const std::vector<Step>& steps)
    {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            members[s.from]->tunnel.sendPlain(s.plain);
            for (const int to : s.to + s.asIs)
                QVERIFY2(members[to]->tunnel.receive() == (s.expected.isEmpty() || s.asIs.contains(to) ? s.plain : s.expected),
                         qPrintable(QStringLiteral("step %1, member %2").arg(i).arg(to)));
        }
        QTest::qWait(300);
        for (std::size_t i = 0; i < members.size(); ++i)
            QVERIFY2(members[i]->tunnel.quiet(0), qPrintable(QStringLiteral("member %1 got more").arg(i)));
    }

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

    void ipv4GoesByAddressWithinTheRoomAndForgeriesAreDropped()
    {
        addMembers();
        const auto p = [](const char* from, const char* to, int size = 80) { return ipv4Packet(ipv4(from), ipv4(to), size); };
        run({{0, p("10.8.0.1", "10.8.0.2", 20), {1}},
             {0, p("10.8.0.1", "10.8.0.2", 1600), {1}},
             {2, p("10.8.0.3", "10.8.0.1"), {0}},
             {0, p("10.8.0.1", "255.255.255.255"), {1, 2}},
             {0, p("10.8.0.1", "10.8.0.255"), {1, 2}},
             {0, p("10.8.0.1", "224.0.0.251"), {1, 2}},
             {0, p("10.8.0.1", "239.255.255.250"), {1, 2}},
             // Another room's broadcast and member, strangers, a room of one: nowhere.
             {0, p("10.8.0.1", "10.8.1.255"), {}},
             {0, p("10.8.0.1", "10.8.1.1"), {}},
             {0, p("10.8.0.1", "10.8.0.9"), {}},
             {0, p("10.8.0.1", "192.0.2.1"), {}},
             {3, p("10.8.1.1", "255.255.255.255"), {}},
             // Another member's source address, or none of the room's.
             {0, p("10.8.0.2", "10.8.0.3"), {}},
             {0, p("10.8.0.9", "255.255.255.255"), {}},
             {0, p("10.8.0.1", "10.8.0.2", 1601), {}},
             {0, "abc", {}}}); // too short for any header
        QCOMPARE(stat("dropped_no_route"), 5);
        QVERIFY(stat("dropped_forged_source") == 2 && stat("dropped_oversize") == 1 && stat("dropped_runt") == 1);
    }

    void framesGoByLearnedMacAndAMacStaysWithItsFirstMember()
    {
        addMembers();
        const auto f = [](quint64 to, quint64 from, int size = 64) { return ethernetFrame(to, from, size); };
        run({{0, f(kBroadcastMac, kMacA), {1, 2}},
             {1, f(kMacA, kMacB, 1400), {0}},
             {0, f(kMacC, kMacA), {1, 2}},           // unknown: the room
             {0, f(0x01005E0000FB, kMacA), {1, 2}}, // multicast: the room
             {2, f(kMacB, kMacC), {1}},
             {0, f(kMacC, kMacA), {2}},
             {3, f(kMacA, 0x02000000000D), {}}, // learned in another room
             // Bob claims A's MAC: his frame passes, A's traffic stays with alice.
             {1, f(kBroadcastMac, kMacA), {0, 2}},
             {2, f(kMacA, kMacC), {0}}});
    }

    void layer2AndLayer3MembersReachEachOther()
    {
        // alice and carol on layer 3, bob on layer 2 with MAC B.
        addMembers(3);
        const auto p = [](const char* from, const char* to, int size = 80) { return ipv4Packet(ipv4(from), ipv4(to), size); };
        const QByteArray toAlice = p("10.8.0.2", "10.8.0.1");
        const QByteArray toBob = p("10.8.0.1", "10.8.0.2", 100);
        const QByteArray broadcast = p("10.8.0.1", "10.8.0.255");
        const QByteArray bobsBroadcast = p("10.8.0.2", "255.255.255.255", 28);
        run({{0, p("10.8.0.1", "10.8.0.3"), {2}},
             {2, p("10.8.0.3", "10.8.0.1"), {0}},
             // Proxy ARP: the relay answers for alice with her stand-in MAC.
             {1, frame(kBroadcastMac, kMacB, 0x0806, arp(1, kMacB, "10.8.0.2", 0, "10.8.0.1")), {1},
              frame(kMacB, kStandIn1, 0x0806, arp(2, kStandIn1, "10.8.0.1", kMacB, "10.8.0.2"))},
             {1, frame(kStandIn1, kMacB, 0x0800, toAlice), {0}, toAlice},
             {0, toBob, {1}, frame(kMacB, kStandIn1, 0x0800, toBob)},
             {0, broadcast, {1}, frame(kBroadcastMac, kStandIn1, 0x0800, broadcast), {2}},
             {2, p("10.8.0.3", "10.8.0.2"), {1}, frame(kMacB, 0x02500A080003, 0x0800, p("10.8.0.3", "10.8.0.2"))},
             // A short frame's padding does not reach layer 3.
             {1, frame(kBroadcastMac, kMacB, 0x0800, bobsBroadcast + QByteArray(18, 0)), {0, 2}, bobsBroadcast},
             {0, ipv6(1, 0, 60), {1}, frame(0x333300000001, kStandIn1, 0x86DD, ipv6(1, 0, 60)), {2}},
             {2, ipv6(3, 1, 20), {0}}, // an IPv6 address alice sent from is hers
             {0, p("10.8.0.1", "224.0.0.251"), {1}, frame(0x01005E0000FB, kStandIn1, 0x0800, p("10.8.0.1", "224.0.0.251")), {2}},
             {1, frame(kBroadcastMac, kMacB, 0x88B5, QByteArray(50, 'z')), {}}, // no IP: not for layer 3
             {2, p("10.8.0.3", "10.8.0.2", 1590), {}}});                   // framed, over the limit
        QCOMPARE(stat("proxy_arp"), 1);
    }

    // What the mixed room above does not reach: inputs the rules refuse.
    void translationRulesRefuseWhatTheyCannotCarry()
    {
        using namespace relay;
        std::uint8_t out[kMaxTranslated];
        const auto call = [&](auto rule, const QByteArray& in, auto... args) {
            return rule(reinterpret_cast<const std::uint8_t*>(in.constData()), std::size_t(in.size()), args..., out);
        };
        const QByteArray packet = ipv4Packet(ipv4("10.8.0.1"), ipv4("10.8.0.2"), 40);
        const QByteArray request = frame(kBroadcastMac, kMacB, 0x0806, arp(1, kMacB, "10.8.0.2", 0, "10.8.0.1"));
        QVERIFY(!call(frameIpPacket, packet + "x", kMacB, kStandIn1)); // its length disagrees
        for (const QByteArray& refused : {frame(kMacA, kMacB, 0x86DD, packet), frame(kMacA, kMacB, 0x0800, packet.left(30)), request})
            QVERIFY(!call(stripFrame, refused));
        QVERIFY(!call(proxyArpReply, request.left(41), kStandIn1));
        QVERIFY(!call(proxyArpReply, frame(kMacB, kStandIn1, 0x0806, arp(2, kStandIn1, "10.8.0.1", kMacB, "10.8.0.2")), kStandIn1));
    }

    void heartbeatsBindOnlyFromTheControlConnectionsHost()
    {
        Member& alice = add(QStringLiteral("alice"), QStringLiteral("Alpha"));
        Member& bob = add(QStringLiteral("bob"), QStringLiteral("Alpha"));
        const QByteArray toBob = ipv4Packet(ipv4("10.8.0.1"), ipv4("10.8.0.2"), 100);
        const QByteArray toAlice = ipv4Packet(ipv4("10.8.0.2"), ipv4("10.8.0.1"), 100);

        // Another host replays bob's heartbeat: bound to nothing, answered with nothing.
        TunnelPeer replay(server->port(), QHostAddress(QStringLiteral("127.0.0.2")));
        replay.heartbeat(bob.id);
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_foreign_heartbeat"), 1));
        replay.sendPlain(toAlice);
        // Made-up and malformed heartbeats bind nothing either.
        TunnelPeer stranger(server->port());
        for (const QByteArray& bad : {QByteArray("{\"client_id\":\"0123456789abcdef0123456789abcdef\"}"),
                                      "{\"client_id\":\"" + alice.id.left(31).toLatin1() + "\"}",
                                      "{\"client_id\":\"" + alice.id.toLatin1() + "\",\"x\":1}", QByteArray("{")})
            stranger.sendRaw(bad);
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_bad_heartbeat"), 3));
        stranger.sendPlain(toBob);
        QVERIFY(waitForStat(*server, QStringLiteral("dropped_unbound"), 2));
        QCOMPARE(stat("dropped_unknown_client"), 1);
        alice.tunnel.sendPlain(toBob);
        QCOMPARE(bob.tunnel.receive(), toBob);
        QVERIFY(replay.quiet() && stranger.quiet(0) && alice.tunnel.quiet(0));

        // Bob's NAT gives him a new port on the same host: that still moves him.
        TunnelPeer moved(server->port());
        moved.heartbeat(bob.id);
        QVERIFY(waitForStat(*server, QStringLiteral("heartbeats"), ++heartbeatsSeen));
        alice.tunnel.sendPlain(toBob);
        QCOMPARE(moved.receive(), toBob);
        bob.tunnel.sendPlain(toAlice); // the old port no longer speaks for bob
        moved.sendPlain(toAlice);
        QCOMPARE(alice.tunnel.receive(), toAlice);
        QVERIFY(alice.tunnel.quiet() && bob.tunnel.quiet(0));
        QCOMPARE(stat("dropped_unbound"), 3);

        // While alice's control connection is down, heartbeats from the host it had still count.
        alice.control.socket.abort();
        TunnelPeer aliceMoved(server->port());
        aliceMoved.heartbeat(alice.id);
        QVERIFY(waitForStat(*server, QStringLiteral("heartbeats"), ++heartbeatsSeen));
        moved.sendPlain(toAlice);
        QCOMPARE(aliceMoved.receive(), toAlice);
    }

    void eachMemberHasARelayBudget()
    {
        ServerConfig config = testConfig();
        config.memberRate = 50;
        config.floodRate = 20;
        QVERIFY(server = startServer(config));
        addMembers(3);
        const auto sendAndCount = [&](const char* destination, int count) {
            for (int i = 0; i < count; ++i)
                members[0]->tunnel.sendPlain(ipv4Packet(ipv4("10.8.0.1"), ipv4(destination), 60));
            int got = 0;
            while (!members[1]->tunnel.receiveRaw(300).isEmpty())
                ++got;
            return got;
        };
        // 20 copies a second to the whole room: 10 broadcasts in a room of three.
        const int broadcasts = sendAndCount("255.255.255.255", 40);
        QVERIFY2(broadcasts >= 10 && broadcasts <= 13, qPrintable(QString::number(broadcasts)));
        // What is left of 50 a second, plus what came in meanwhile.
        const int unicasts = sendAndCount("10.8.0.2", 100);
        QVERIFY2(unicasts >= 25 && unicasts <= 50, qPrintable(QString::number(unicasts)));
        QVERIFY(stat("dropped_budget") >= 60);
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
        QVERIFY(server = startServer(config));
        // Talk to the relay at 127.0.0.2: replies must come from there, or
        // the client would discard them.
        relayAddress = QHostAddress(QStringLiteral("127.0.0.2"));
        Member& alice = add(QStringLiteral("alice"), QStringLiteral("Alpha"));
        Member& bob = add(QStringLiteral("bob"), QStringLiteral("Alpha"));
        const QByteArray packet = ipv4Packet(ipv4("10.8.0.1"), ipv4("10.8.0.2"), 100);
        alice.tunnel.sendPlain(packet);
        QVERIFY(QTest::qWaitFor([&] { return bob.tunnel.socket.hasPendingDatagrams(); }, 2000));
        const QNetworkDatagram datagram = bob.tunnel.socket.receiveDatagram();
        QVERIFY(datagram.senderAddress().isEqual(relayAddress, QHostAddress::TolerantConversion) &&
                datagram.senderPort() == server->port() && tunnel::scramblePayload(datagram.data()) == packet);
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "test_relay.moc"
