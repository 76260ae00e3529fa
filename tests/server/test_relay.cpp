// The relay over real UDP sockets, with sessions made over the lobby.
#include "server/relay/translate.h"
#include "tests/server/serverharness.h"

#include <QTemporaryDir>

using namespace harness;

namespace {
struct Member
{
    ControlClient control;
    TunnelPeer tunnel;
    QString id;
    Member(quint16 port, const QHostAddress& from) : control(port, from), tunnel(port, from) {}
};
constexpr quint64 kMacA = 0x02000000000A, kMacB = 0x02000000000B, kMacC = 0x02000000000C;
constexpr quint64 kAll = relay::kBroadcastMac;
constexpr quint64 kStandIn1 = 0x02500A080001, kStandIn2 = 0x02500A080002; // for 10.8.0.1, 10.8.0.2
QByteArray frame(quint64 destination, quint64 source, quint16 type = 0x0806,
                 const QByteArray& payload = QByteArray(50, 'y'))
{
    return bigEndian(destination, 6) + bigEndian(source, 6) + bigEndian(type, 2) + payload;
}
// An ARP request (op 1) or reply (op 2) over Ethernet/IPv4.
QByteArray arp(int op, quint64 senderMac, const char* senderIp, quint64 targetMac, const char* targetIp)
{
    return QByteArray::fromHex("000108000604") + bigEndian(op, 2) + bigEndian(senderMac, 6) +
           bigEndian(ipv4(senderIp), 4) + bigEndian(targetMac, 6) + bigEndian(ipv4(targetIp), 4);
}
// An IPv6 UDP packet from fe80::`from` to ff02::1 (to 0) or fe80::`to`, `payload` bytes after the header.
QByteArray ipv6(int from, int to, int payload)
{
    return QByteArray::fromHex("60000000") + bigEndian(payload, 2) + QByteArray::fromHex("1140fe80") +
           QByteArray(13, 0) + char(from) + QByteArray::fromHex(to ? "fe80" : "ff02") + QByteArray(13, 0) +
           char(to ? to : 1) + QByteArray(payload, 'v');
}
// One datagram sent by member `from`: the members in `to` receive `expected`
// (the datagram itself when empty), those in `asIs` the datagram itself.
struct Step
{
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
    qint64 heartbeats = 0;

    void start(ServerConfig config = testConfig())
    {
        members.clear();
        heartbeats = 0;
        QVERIFY(server = startServer(config));
    }
    // alice, bob and carol in Alpha (10.8.0.1-3), dave alone in Beta (10.8.1.1); tunnels bound.
    // With `layers`, member i says it runs layer layers[i] (0: says nothing) when it joins.
    bool addMembers(int count, const QHostAddress& relayAddress = QHostAddress(QHostAddress::LocalHost),
                    const QList<int>& layers = {})
    {
        for (int i = 0; i < count; ++i) {
            const QHostAddress v6(QHostAddress::LocalHostIPv6);
            const QHostAddress from = relayAddress == v6 ? v6 : QHostAddress(QHostAddress::LocalHost);
            Member& m = *members.emplace_back(std::make_unique<Member>(server->port(), from));
            m.tunnel.relayAddress = relayAddress;
            m.id = m.control.login(QString("member%1").arg(i));
            QJsonObject join = control::message(i == 0 || i == 3 ? "create_room" : "join_room",
                                                {{"room_name", i == 3 ? "Beta" : "Alpha"}, {"privacy_mode", "public"}});
            if (layers.value(i))
                join.insert("layer", layers.value(i));
            m.control.sendRaw(control::encodeLine(join));
            m.tunnel.heartbeat(m.id);
            // The mode said is echoed (the client then says it in heartbeats too), none when none was said.
            const QJsonObject ok = m.control.next("join_ok");
            if (ok.isEmpty() || ok.value("layer").toInt() != layers.value(i) ||
                !waitForStat("heartbeats", ++heartbeats))
                return false;
        }
        return true;
    }
    qint64 stat(const char* name) const // -1 if absent
    {
        const auto match = QRegularExpression("\\b" + QString(name) + "=(\\d+)").match(server->statsLine());
        return match.hasMatch() ? match.captured(1).toLongLong() : -1;
    }
    bool waitForStat(const char* name, qint64 atLeast)
    {
        return QTest::qWaitFor([&] { return stat(name) >= atLeast; }, 3000);
    }
    void run(const std::vector<Step>& steps)
    {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            members[s.from]->tunnel.sendPlain(s.plain);
            for (const int to : s.to + s.asIs)
                QVERIFY2(members[to]->tunnel.receive() ==
                             (s.expected.isEmpty() || s.asIs.contains(to) ? s.plain : s.expected),
                         qPrintable(QString("step %1, member %2").arg(i).arg(to)));
        }
        QTest::qWait(300);
        for (std::size_t i = 0; i < members.size(); ++i)
            QVERIFY2(members[i]->tunnel.quiet(0), qPrintable(QString("member %1 got more").arg(i)));
    }

private slots:
    void init() { start(); }

    void ipv4GoesByAddressWithinTheRoomAndForgeriesAreDropped()
    {
        QVERIFY(addMembers(4));
        const char* me = "10.8.0.1";
        run({{0, ipv4Packet(me, "10.8.0.2", 20), {1}},
             {0, ipv4Packet(me, "10.8.0.2", 1600), {1}},
             {2, ipv4Packet("10.8.0.3", me), {0}},
             {0, ipv4Packet(me, "255.255.255.255"), {1, 2}},
             {0, ipv4Packet(me, "10.8.0.255"), {1, 2}},
             {0, ipv4Packet(me, "224.0.0.251"), {1, 2}},
             {0, ipv4Packet(me, "239.255.255.250"), {1, 2}},
             // Another room's broadcast and member, strangers, a room of one: nowhere.
             {0, ipv4Packet(me, "10.8.1.255"), {}},
             {0, ipv4Packet(me, "10.8.1.1"), {}},
             {1, ipv4Packet("10.8.0.2", "10.8.0.9"), {}}, // a free address is nobody's, not slot 0's
             {0, ipv4Packet(me, "192.0.2.1"), {}},
             {3, ipv4Packet("10.8.1.1", "255.255.255.255"), {}},
             // Another member's source address, or none of the room's.
             {0, ipv4Packet("10.8.0.2", "10.8.0.3"), {}},
             {0, ipv4Packet("10.8.0.9", "255.255.255.255"), {}},
             {0, ipv4Packet(me, "10.8.0.2", 1601), {}},
             {0, "abc", {}}}); // too short for any header
        QCOMPARE(stat("dropped_no_route"), 5);
        QVERIFY(stat("dropped_forged_source") == 2 && stat("dropped_oversize") == 1 &&
                stat("dropped_runt") == 1);
    }
    void framesGoByLearnedMacAndAMacStaysWithItsFirstMember()
    {
        QVERIFY(addMembers(4));
        run({{0, frame(kAll, kMacA), {1, 2}},
             {1, frame(kMacA, kMacB, 0x0806, QByteArray(1386, 'y')), {0}},
             {0, frame(kMacC, kMacA), {1, 2}},          // unknown: the room
             {0, frame(0x01005E0000FB, kMacA), {1, 2}}, // multicast: the room
             {2, frame(kMacB, kMacC), {1}},
             {0, frame(kMacC, kMacA), {2}},
             {3, frame(kMacA, 0x02000000000D), {}}, // learned in another room
             // Bob claims C's MAC: his frame passes, C's traffic stays with carol.
             {1, frame(kAll, kMacC), {0, 2}},
             {0, frame(kMacC, kMacA), {2}}});
    }
    void layer2AndLayer3MembersReachEachOther()
    {
        // 0 and 2 on layer 3, 1 on layer 2 with MAC B.
        QVERIFY(addMembers(3));
        const QByteArray toAlice = ipv4Packet("10.8.0.2", "10.8.0.1"),
                         toBob = ipv4Packet("10.8.0.1", "10.8.0.2");
        const QByteArray broadcast = ipv4Packet("10.8.0.1", "10.8.0.255");
        const QByteArray bobsBroadcast = ipv4Packet("10.8.0.2", "255.255.255.255", 28);
        const QByteArray carolToBob = ipv4Packet("10.8.0.3", "10.8.0.2"),
                         bobToCarol = ipv4Packet("10.8.0.2", "10.8.0.3");
        const QByteArray mdns = ipv4Packet("10.8.0.1", "224.0.0.251");
        const QByteArray request = frame(kAll, kMacB, 0x0806, arp(1, kMacB, "10.8.0.2", 0, "10.8.0.1"));
        const QByteArray reply =
            frame(kMacB, kStandIn1, 0x0806, arp(2, kStandIn1, "10.8.0.1", kMacB, "10.8.0.2"));
        run({{0, ipv4Packet("10.8.0.1", "10.8.0.3"), {2}},
             // Proxy ARP: the relay answers for alice with her stand-in MAC.
             {1, request, {1}, reply},
             {1, frame(kStandIn1, kMacB, 0x0800, toAlice), {0}, toAlice},
             {0, toBob, {1}, frame(kMacB, kStandIn1, 0x0800, toBob)},
             {0, broadcast, {1}, frame(kAll, kStandIn1, 0x0800, broadcast), {2}},
             {2, carolToBob, {1}, frame(kMacB, 0x02500A080003, 0x0800, carolToBob)},
             // A short frame's padding does not reach layer 3.
             {1, frame(kAll, kMacB, 0x0800, bobsBroadcast + QByteArray(18, 0)), {0, 2}, bobsBroadcast},
             {0, ipv6(1, 0, 60), {1}, frame(0x333300000001, kStandIn1, 0x86DD, ipv6(1, 0, 60)), {2}},
             {2, ipv6(3, 1, 20), {0}}, // an IPv6 address alice sent from is hers
             {2, ipv6(1, 0, 20), {}},  // and carol may not send from it
             {0, mdns, {1}, frame(0x01005E0000FB, kStandIn1, 0x0800, mdns), {2}},
             {1, frame(kAll, kMacB, 0x88B5, QByteArray(50, 'z')), {}}, // no IP: not for layer 3
             {2, ipv4Packet("10.8.0.3", "10.8.0.2", 1590), {}},       // framed, over the limit
             // What the bridge makes of a frame meets the rules of layer 3: the sender's own
             // source, the room or a member as destination, and only that member.
             {1, frame(kStandIn1, kMacB, 0x0800, ipv4Packet("10.8.0.3", "10.8.0.1")), {}},
             {1, frame(kStandIn1, kMacB, 0x0800, ipv4Packet("198.51.100.7", "10.8.0.1")), {}},
             {1, frame(kStandIn1, kMacB, 0x0800, ipv4Packet("10.8.0.2", "8.8.8.8")), {}},
             {1, frame(kStandIn1, kMacB, 0x0800, ipv4Packet("10.8.0.2", "10.8.0.3")), {}},
             {1, frame(kAll, kMacB, 0x0800, ipv4Packet("10.8.0.3", "10.8.0.255")), {}},
             {1, frame(kAll, kMacB, 0x0800, bobToCarol), {2}, bobToCarol},
             {1, frame(kAll, kMacB, 0x86DD, ipv6(1, 0, 20)), {}}});
        QVERIFY(stat("proxy_arp") == 1 && stat("dropped_forged_source") == 5);
        // Inputs the rules refuse.
        using namespace relay;
        std::uint8_t out[kMaxTranslated];
        const auto call = [&](auto rule, const QByteArray& in, auto... args) {
            return rule(reinterpret_cast<const std::uint8_t*>(in.constData()), std::size_t(in.size()),
                        args..., out);
        };
        const QByteArray packet = ipv4Packet("10.8.0.1", "10.8.0.2", 40);
        QVERIFY(!call(frameIpPacket, packet + "x", kMacB, kStandIn1)); // its length disagrees
        for (const QByteArray& refused :
             {frame(kMacA, kMacB, 0x86DD, packet), frame(kMacA, kMacB, 0x0800, packet.left(30)), request})
            QVERIFY(!call(stripFrame, refused));
        QVERIFY(!call(proxyArpReply, request.left(41), kStandIn1));
        QVERIFY(!call(proxyArpReply, reply, kStandIn1));
    }
    void heartbeatsBindOnlyFromTheControlConnectionsHost()
    {
        QVERIFY(addMembers(2));
        Member &alice = *members[0], &bob = *members[1];
        const QByteArray toBob = ipv4Packet("10.8.0.1", "10.8.0.2"),
                         toAlice = ipv4Packet("10.8.0.2", "10.8.0.1");
        // Another host replays bob's heartbeat: bound to nothing, answered with nothing.
        TunnelPeer replay(server->port(), QHostAddress("127.0.0.2"));
        replay.heartbeat(bob.id);
        QVERIFY(waitForStat("dropped_foreign_heartbeat", 1));
        replay.sendPlain(toAlice);
        // Made-up and malformed heartbeats bind nothing either.
        TunnelPeer stranger(server->port());
        for (const QByteArray& bad :
             {QByteArray("{\"client_id\":\"0123456789abcdef0123456789abcdef\"}"),
              "{\"client_id\":\"" + alice.id.left(31).toLatin1() + "\"}",
              "{\"client_id\":\"" + alice.id.toLatin1() + "\",\"x\":1}",
              "{\"client_id\":\"" + alice.id.toLatin1() + "\",\"layer\":4}", QByteArray("{")})
            stranger.sendRaw(bad);
        QVERIFY(waitForStat("dropped_bad_heartbeat", 4));
        stranger.sendPlain(toBob);
        QVERIFY(waitForStat("dropped_unbound", 2));
        QCOMPARE(stat("dropped_unknown_client"), 1);
        alice.tunnel.sendPlain(toBob);
        QCOMPARE(bob.tunnel.receive(), toBob);
        QVERIFY(replay.quiet() && stranger.quiet(0) && alice.tunnel.quiet(0));
        // A new port on the same host (NAT) moves bob; the old one no longer speaks for him.
        TunnelPeer moved(server->port());
        moved.heartbeat(bob.id);
        QVERIFY(waitForStat("heartbeats", ++heartbeats));
        alice.tunnel.sendPlain(toBob);
        QCOMPARE(moved.receive(), toBob);
        bob.tunnel.sendPlain(toAlice);
        moved.sendPlain(toAlice);
        QCOMPARE(alice.tunnel.receive(), toAlice);
        QVERIFY(alice.tunnel.quiet() && bob.tunnel.quiet(0));
        // While alice's control connection is down, heartbeats from the host it had still count.
        alice.control.socket.abort();
        TunnelPeer aliceMoved(server->port());
        aliceMoved.heartbeat(alice.id);
        QVERIFY(waitForStat("heartbeats", ++heartbeats));
        moved.sendPlain(toAlice);
        QCOMPARE(aliceMoved.receive(), toAlice);
    }
    // Each member has a relay budget; a wildcard relay answers from the address it was sent to.
    void eachMemberHasARelayBudgetOnAWildcardRelay()
    {
        for (const auto& [any, relay] : {std::pair(QHostAddress::AnyIPv4, "127.0.0.2"),
                                         {QHostAddress::AnyIPv6, "127.0.0.2"}, {QHostAddress::AnyIPv6, "::1"}}) {
            ServerConfig config = testConfig();
            config.listen = QHostAddress(any);
            config.memberRate = 50;
            config.floodRate = 20;
            start(config);
            QVERIFY(addMembers(3, QHostAddress(relay)));
            const auto sendAndCount = [&](const char* destination, int count) {
                const QByteArray packet = ipv4Packet("10.8.0.1", destination, 60);
                for (int i = 0; i < count; ++i)
                    members[0]->tunnel.sendPlain(packet);
                int got = 0;
                while (members[1]->tunnel.receive(300) == packet)
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
    }
    // Modes said at the join (alice 2, bob 3) or in heartbeats (carol 3) hold before any traffic, and after a restart.
    void saidModesReachQuietMembers()
    {
        QTemporaryDir dir;
        ServerConfig config = testConfig();
        config.statePath = dir.filePath("lobby.db");
        start(config);
        QVERIFY(addMembers(3, QHostAddress::LocalHost, {2, 3}));
        const QByteArray ping = ipv4Packet("10.8.0.2", "10.8.0.1");
        const auto askFor = [](const char* ip) { return frame(kAll, kMacA, 0x0806, arp(1, kMacA, "10.8.0.1", 0, ip)); };
        const auto answer = [](quint64 mac, const char* ip) {
            return frame(kMacA, mac, 0x0806, arp(2, mac, ip, kMacA, "10.8.0.1"));
        };
        for (int round = 0; round < 2; ++round) {
            if (round) { // a new process on the same port, with the saved lobby; only heartbeats come
                config.port = server->port();
                server.reset();
                QVERIFY(server = startServer(config));
                for (auto& m : members)
                    m->tunnel.heartbeat(m->id);
            }
            members[2]->tunnel.sendRaw("{\"client_id\":\"" + members[2]->id.toLatin1() + "\",\"layer\":3}");
            QVERIFY(waitForStat("heartbeats", 4));
            run({{1, ping, {0}, frame(kAll, kStandIn2, 0x0800, ping)},
                 {0, askFor("10.8.0.2"), {0}, answer(kStandIn2, "10.8.0.2")},
                 {0, askFor("10.8.0.3"), {0}, answer(0x02500A080003, "10.8.0.3")}});
        }
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "test_relay.moc"
