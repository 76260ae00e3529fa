// The relay's routing rules on their own: datagrams in, deliveries out, with
// a route table made here and time given with each datagram.
#include "net/scramble.h"
#include "server/relay/relaycore.h"
#include "tests/server/serverharness.h"

#include <QHostAddress>
#include <netinet/in.h>

using namespace harness;

namespace {
constexpr quint64 kMacA = 0x02000000000A, kMacB = 0x02000000000B, kMacC = 0x02000000000C;
constexpr quint64 kAll = relay::kBroadcastMac;
constexpr quint64 kStandIn1 = 0x02500A080001, kStandIn2 = 0x02500A080002, kStandIn3 = 0x02500A080003;
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
QByteArray askFor(quint64 mac, const char* sender, const char* asked)
{
    return frame(kAll, mac, 0x0806, arp(1, mac, sender, 0, asked));
}
QByteArray answer(quint64 standIn, const char* asked, quint64 mac, const char* sender)
{
    return frame(mac, standIn, 0x0806, arp(2, standIn, asked, mac, sender));
}
// An IPv6 UDP packet from fe80::`from` to ff02::1 (to 0) or fe80::`to`, `payload` bytes after the header.
QByteArray ipv6(int from, int to, int payload = 20)
{
    return QByteArray::fromHex("60000000") + bigEndian(payload, 2) + QByteArray::fromHex("1140fe80") +
           QByteArray(13, 0) + char(from) + QByteArray::fromHex(to ? "fe80" : "ff02") + QByteArray(13, 0) +
           char(to ? to : 1) + QByteArray(payload, 'v');
}
QByteArray beat(int member, const char* extra = "")
{
    return QString("{\"client_id\":\"%1\"%2}").arg(member + 1, 32, 10, QChar('0')).arg(extra).toLatin1();
}
// Members 0-2 are 10.8.0.1-3 in one room, 3 is 10.8.1.1 alone in another; each
// sends from 127.0.0.1 port 5000+i. Endpoint 4 is another port of that host, 5 another host.
Endpoint endpoint(int i)
{
    const sockaddr_in a{AF_INET, htons(quint16(i == 5 ? 5000 : 5000 + i)),
                        {htonl(ipv4(i == 5 ? "127.0.0.2" : "127.0.0.1"))}, {}};
    Endpoint p{{}, sizeof a};
    std::memcpy(p.bytes, &a, sizeof a);
    return p;
}

// One datagram from endpoint `from`: the members in `to` receive `expected`
// (the datagram itself when empty), those in `asIs` the datagram itself; or
// nobody, for the reason `drop`. Heartbeats go as they are, the rest scrambled.
struct Step
{
    Step(int f, QByteArray p, QList<int> t, QByteArray e = {}, QList<int> a = {})
        : from(f), plain(std::move(p)), to(std::move(t)), expected(std::move(e)), asIs(std::move(a))
    {
    }
    Step(int f, QByteArray p, RelayCounter reason) : from(f), plain(std::move(p)), drop(reason) {}
    int from;
    QByteArray plain;
    QList<int> to;
    QByteArray expected;
    QList<int> asIs;
    RelayCounter drop = CounterForwarded;
};
using Steps = std::vector<Step>;
} // namespace
Q_DECLARE_METATYPE(Steps)

class TestRelayCore : public QObject
{
    Q_OBJECT
    std::unique_ptr<RouteExchange> exchange;
    std::unique_ptr<RelayCore> core;
    TargetList targets;

    // Layers the members said at their joins (0: nothing); every member's heartbeat bound.
    void start(RelayBudget budget = {}, const QList<int>& layers = {})
    {
        core.reset(); // its reader ends before the exchange it reads
        exchange = std::make_unique<RouteExchange>(8);
        core = std::make_unique<RelayCore>(*exchange, budget);
        publish(layers);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(send(i, beat(i)), CounterHeartbeats);
    }
    // The rooms as above; a new `serial` for both: everyone left and joined again.
    void publish(const QList<int>& layers, int serial = 1)
    {
        auto table = std::make_shared<RouteTable>();
        table->rooms.resize(2);
        for (int r = 0; r < 2; ++r) {
            table->rooms[r].serial = serial + r;
            table->rooms[r].net = ipv4(r ? "10.8.1.0" : "10.8.0.0");
            table->rooms[r].slotByHost.fill(-1);
        }
        for (std::uint32_t slot = 0; slot < 4; ++slot) {
            const int room = slot == 3 ? 1 : 0, host = slot == 3 ? 1 : int(slot) + 1;
            table->rooms[room].members.push_back(slot);
            table->rooms[room].slotByHost[host] = int(slot);
            table->slotTable.push_back({1, room, table->rooms[room].serial, table->rooms[room].net | host,
                                        controlAddressOf(QHostAddress::LocalHost),
                                        std::uint8_t(layers.value(slot)), {}});
            table->slotByKey[{0, slot + 1}] = slot;
        }
        exchange->publish(std::move(table));
        core->refreshRoutes();
    }
    RelayCounter send(int from, const QByteArray& plain, qint64 nowMs = 1000)
    {
        const QByteArray data = plain.startsWith('{') ? plain : tunnel::scramblePayload(plain);
        return core->handle(reinterpret_cast<const std::uint8_t*>(data.constData()), std::size_t(data.size()),
                            endpoint(from), LocalAddress{}, nowMs, targets);
    }

private slots:
    void routes_data()
    {
        QTest::addColumn<QList<int>>("layers");
        QTest::addColumn<Steps>("steps");
        const auto row = [](const char* name, const Steps& steps, const QList<int>& layers = {}) {
            QTest::newRow(name) << layers << steps;
        };
        const char* me = "10.8.0.1";
        const QByteArray toAlice = ipv4Packet("10.8.0.2", me), toBob = ipv4Packet(me, "10.8.0.2");
        const QByteArray broadcast = ipv4Packet(me, "10.8.0.255"), mdns = ipv4Packet(me, "224.0.0.251");
        const QByteArray bobToCarol = ipv4Packet("10.8.0.2", "10.8.0.3"),
                         carolToBob = ipv4Packet("10.8.0.3", "10.8.0.2");
        const QByteArray bobsBroadcast = ipv4Packet("10.8.0.2", "255.255.255.255", 28);
        // Bob on layer 2 (MAC B) once he has sent a frame; alice and carol on layer 3 once they sent one.
        const Step bobIsLayer2{1, frame(kAll, kMacB, 0x0800, bobsBroadcast), {0, 2}};
        const Step aliceIsLayer3{0, ipv4Packet(me, "10.8.0.3"), {2}},
            carolIsLayer3{2, ipv4Packet("10.8.0.3", me), {0}};
        row("ipv4 goes to the member with the address",
            {{0, toBob, {1}}, {0, ipv4Packet(me, "10.8.0.2", 20), {1}},
             {0, ipv4Packet(me, "10.8.0.2", 1600), {1}}, {2, ipv4Packet("10.8.0.3", me), {0}}});
        row("ipv4 broadcast and multicast go to the room",
            {{0, ipv4Packet(me, "255.255.255.255"), {1, 2}}, {0, broadcast, {1, 2}}, {0, mdns, {1, 2}},
             {0, ipv4Packet(me, "239.255.255.250"), {1, 2}}});
        row("ipv4 to another room, a free address or a stranger goes nowhere",
            {{0, ipv4Packet(me, "10.8.1.255"), DropNoRoute}, {0, ipv4Packet(me, "10.8.1.1"), DropNoRoute},
             {1, ipv4Packet("10.8.0.2", "10.8.0.9"), DropNoRoute}, // nobody's, not slot 0's
             {0, ipv4Packet(me, "192.0.2.1"), DropNoRoute},
             {3, ipv4Packet("10.8.1.1", "255.255.255.255"), DropNoRoute}}); // a room of one
        row("ipv4 from another member's or a foreign source is dropped",
            {{0, ipv4Packet("10.8.0.2", "10.8.0.3"), DropForgedSource},
             {0, ipv4Packet("10.8.0.9", "255.255.255.255"), DropForgedSource}});
        row("oversize and runt datagrams are dropped",
            {{0, ipv4Packet(me, "10.8.0.2", 1601), DropOversize}, {0, "abc", DropRunt}});
        row("frames go by learned mac, unknown and group macs to the room",
            {{0, frame(kAll, kMacA), {1, 2}}, {1, frame(kMacA, kMacB, 0x0806, QByteArray(1386, 'y')), {0}},
             {0, frame(kMacC, kMacA), {1, 2}}, {0, frame(0x01005E0000FB, kMacA), {1, 2}},
             {2, frame(kMacB, kMacC), {1}}, {0, frame(kMacC, kMacA), {2}},
             {3, frame(kMacA, 0x02000000000D), DropNoRoute}}); // learned in another room
        row("a mac stays with its first member",
            {{2, frame(kAll, kMacC), {0, 1}}, {1, frame(kAll, kMacC), {0, 2}},
             {0, frame(kMacC, kMacA), {2}}});
        row("the relay answers arp for layer 3 members with their stand-in mac",
            {aliceIsLayer3,
             {1, askFor(kMacB, "10.8.0.2", me), {1}, answer(kStandIn1, me, kMacB, "10.8.0.2")}});
        row("layer 3 packets reach layer 2 members framed",
            {bobIsLayer2, aliceIsLayer3, carolIsLayer3,
             {0, toBob, {1}, frame(kMacB, kStandIn1, 0x0800, toBob)}, // bob's mac learned from his frame
             {0, broadcast, {1}, frame(kAll, kStandIn1, 0x0800, broadcast), {2}},
             {0, mdns, {1}, frame(0x01005E0000FB, kStandIn1, 0x0800, mdns), {2}},
             {2, carolToBob, {1}, frame(kMacB, kStandIn3, 0x0800, carolToBob)},
             {0, ipv6(1, 0, 60), {1}, frame(0x333300000001, kStandIn1, 0x86DD, ipv6(1, 0, 60)), {2}},
             {2, ipv4Packet("10.8.0.3", "10.8.0.2", 1590), DropNoRoute}}); // framed, over the limit
        row("layer 2 frames reach layer 3 members as packets",
            {bobIsLayer2, aliceIsLayer3, carolIsLayer3,
             {1, frame(kStandIn1, kMacB, 0x0800, toAlice), {0}, toAlice},
             // A short frame's padding does not reach layer 3.
             {1, frame(kAll, kMacB, 0x0800, bobsBroadcast + QByteArray(18, 0)), {0, 2}, bobsBroadcast},
             {1, frame(kAll, kMacB, 0x0800, bobToCarol), {2}, bobToCarol},
             {1, frame(kAll, kMacB, 0x88B5, QByteArray(50, 'z')), DropNoRoute}}); // no IP: not for layer 3
        // What the bridge makes of a frame meets the rules of layer 3: the sender's own
        // source, the room or a member as destination, and only that member.
        row("bridged frames meet the rules of layer 3",
            {bobIsLayer2, aliceIsLayer3, carolIsLayer3,
             {1, frame(kStandIn1, kMacB, 0x0800, ipv4Packet("10.8.0.3", me)), DropForgedSource},
             {1, frame(kStandIn1, kMacB, 0x0800, ipv4Packet("198.51.100.7", me)), DropForgedSource},
             {1, frame(kStandIn1, kMacB, 0x0800, ipv4Packet("10.8.0.2", "8.8.8.8")), DropNoRoute},
             {1, frame(kStandIn1, kMacB, 0x0800, ipv4Packet("10.8.0.2", "10.8.0.3")), DropNoRoute},
             {1, frame(kAll, kMacB, 0x0800, ipv4Packet("10.8.0.3", "10.8.0.255")), DropForgedSource},
             {0, ipv6(1, 0), {1}, frame(0x333300000001, kStandIn1, 0x86DD, ipv6(1, 0)), {2}},
             {1, frame(kAll, kMacB, 0x86DD, ipv6(1, 0)), DropForgedSource}});
        row("an ipv6 address belongs to the member that sent from it",
            {{0, ipv6(1, 0), {1, 2}}, {2, ipv6(3, 1), {0}}, {2, ipv6(1, 0), DropForgedSource}});
        row("a member holds four ipv6 addresses",
            {{0, ipv6(1, 0), {1, 2}}, {0, ipv6(2, 0), {1, 2}}, {0, ipv6(3, 0), {1, 2}},
             {0, ipv6(4, 0), {1, 2}}, {2, ipv6(1, 0), DropForgedSource}, {0, ipv6(5, 0), {1, 2}},
             {2, ipv6(1, 0), {0, 1}}});
        // Modes said at the join (alice 2, bob 3) or in a heartbeat (carol 3) hold before any traffic.
        const QByteArray ping = ipv4Packet("10.8.0.2", me);
        row("said modes hold before any traffic",
            {{2, beat(2, ",\"layer\":3"), CounterHeartbeats},
             {1, ping, {0}, frame(kAll, kStandIn2, 0x0800, ping)},
             {0, askFor(kMacA, me, "10.8.0.2"), {0}, answer(kStandIn2, "10.8.0.2", kMacA, me)},
             {0, askFor(kMacA, me, "10.8.0.3"), {0}, answer(kStandIn3, "10.8.0.3", kMacA, me)},
             {2, frame(kAll, kMacC), DropRunt}},
            {2, 3}); // a layer 3 adapter yields packets only
        row("heartbeats bind only well-formed known ids from the control host",
            {{5, beat(1), DropForeignHeartbeat}, {5, toAlice, DropUnbound}, {4, beat(7), DropUnknownClient},
             {4, beat(0).left(40) + "\"}", DropBadHeartbeat}, {4, beat(0, ",\"x\":1"), DropBadHeartbeat},
             {4, beat(0, ",\"layer\":4"), DropBadHeartbeat}, {4, "{", DropBadHeartbeat},
             {4, toBob, DropUnbound}, {0, toBob, {1}}});
        // Alice said layer 3 at her last join and nothing at this one: her traffic tells again.
        const Step rejoin{-1, {}, {}};
        row("a said mode ends with its room",
            {rejoin, {0, frame(kAll, kMacA), {1, 2}}, {0, toBob, {1}}}, {3});
        row("a heartbeat from a new port moves the member",
            {{4, beat(1), CounterHeartbeats}, {0, toBob, {1}}, {1, toAlice, DropUnbound}});
    }
    void routes()
    {
        QFETCH(QList<int>, layers);
        QFETCH(Steps, steps);
        start({}, layers);
        QMap<int, int> home; // a member's endpoint, where it is not its own number
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            if (s.from < 0) {
                publish({}, 10);
                continue;
            }
            const RelayCounter verdict = send(s.from, s.plain);
            if (verdict == CounterHeartbeats)
                home[QJsonDocument::fromJson(s.plain)["client_id"].toString().toInt() - 1] = s.from;
            QMap<int, QByteArray> got, wanted;
            for (std::size_t k = 0; k < targets.size(); ++k) {
                const QByteArray variant(reinterpret_cast<const char*>(targets.variant.data()),
                                         qsizetype(targets.variantLength));
                const int to = int(targets[k]);
                got[to] = targets.isVariant(k) ? tunnel::scramblePayload(variant) : s.plain;
                QVERIFY2(core->peerOf(targets[k]) == endpoint(home.value(to, to)), "sent where it was");
            }
            for (const int to : s.to)
                wanted[to] = s.expected.isEmpty() ? s.plain : s.expected;
            for (const int to : s.asIs)
                wanted[to] = s.plain;
            QVERIFY2(got == wanted,
                     qPrintable(QString("step %1 went to %2").arg(i).arg(QDebug::toString(got.keys()))));
            if (s.to.isEmpty())
                QCOMPARE(verdict, s.drop);
        }
    }
    // A second's worth of copies in a burst; copies to the whole room also spend the flood budget.
    void eachMemberHasARelayBudget()
    {
        start({50, 20});
        const QByteArray broadcast = ipv4Packet("10.8.0.1", "255.255.255.255"),
                         unicast = ipv4Packet("10.8.0.1", "10.8.0.2");
        const auto passed = [&](const QByteArray& packet, int count, qint64 nowMs) {
            int forwarded = 0;
            for (int i = 0; i < count; ++i)
                forwarded += send(0, packet, nowMs) == CounterForwarded;
            return forwarded;
        };
        QCOMPARE(passed(broadcast, 40, 1000), 10); // two copies each
        QCOMPARE(passed(unicast, 100, 1000), 30);
        QCOMPARE(passed(unicast, 100, 1100), 5);
        QCOMPARE(send(1, ipv4Packet("10.8.0.2", "10.8.0.1"), 1100), CounterForwarded);
        QCOMPARE(core->counters()[DropBudget], 30u + 70 + 95);
    }
    void translationsRefuseInputsThatDoNotQualify()
    {
        using namespace relay;
        std::uint8_t out[kMaxTranslated];
        const auto call = [&](auto rule, const QByteArray& in, auto... args) {
            return rule(reinterpret_cast<const std::uint8_t*>(in.constData()), std::size_t(in.size()),
                        args..., out);
        };
        const QByteArray packet = ipv4Packet("10.8.0.1", "10.8.0.2", 40),
                         request = askFor(kMacB, "10.8.0.2", "10.8.0.1");
        QVERIFY(!call(frameIpPacket, packet + "x", kMacB, kStandIn1)); // its length disagrees
        // The smallest packet, a bare header, still qualifies.
        QCOMPARE(call(frameIpPacket, ipv4Packet("10.8.0.1", "10.8.0.2", 20), kMacB, kStandIn1),
                 std::size_t{34});
        for (const QByteArray& refused :
             {frame(kMacA, kMacB, 0x86DD, packet), frame(kMacA, kMacB, 0x0800, packet.left(30)), request})
            QVERIFY(!call(stripFrame, refused));
        QVERIFY(!call(proxyArpReply, request.left(41), kStandIn1));
        QVERIFY(!call(proxyArpReply, answer(kStandIn1, "10.8.0.1", kMacB, "10.8.0.2"), kStandIn1));
    }
};

QTEST_GUILESS_MAIN(TestRelayCore)
#include "test_relaycore.moc"
