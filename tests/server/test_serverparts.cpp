// Server pieces that work without sockets: datagram reading, the relay's
// routing core, command-line flags and the lobby's small policies.
#include "lobby/controlcodec.h"
#include "net/scramble.h"
#include "server/relay/datagram.h"
#include "server/lobby/lobby.h"
#include "server/lobby/lobbyrules.h"
#include "server/options.h"
#include "server/relay/relaycore.h"
#include "server/relay/udpbatch_linux.h"
#include "tests/server/serverharness.h"

#include <QTest>

using namespace harness;

namespace {

const std::uint8_t* bytes(const QByteArray& a)
{
    return reinterpret_cast<const std::uint8_t*>(a.constData());
}

relay::DatagramInfo classify(const QByteArray& plain)
{
    const QByteArray scrambled = tunnel::scramblePayload(plain);
    return relay::classifyDatagram(bytes(scrambled), static_cast<std::size_t>(scrambled.size()));
}

bool heartbeat(const QByteArray& text, ClientKey* key = nullptr)
{
    ClientKey ignored;
    return relay::parseHeartbeat(bytes(text), static_cast<std::size_t>(text.size()), key ? key : &ignored);
}

struct Recorder : LobbyOutput {
    QList<QPair<ConnectionId, QJsonObject>> lines;
    void sendLine(ConnectionId c, const QByteArray& line) override { lines.append({c, control::decodeLine(line)}); }
    void closeConnection(ConnectionId) override {}
    int count(ConnectionId c, const QString& cmd) const
    {
        int n = 0;
        for (const auto& [to, m] : lines)
            n += to == c && m.value(QStringLiteral("cmd")).toString() == cmd;
        return n;
    }
};

PeerAddress peer(quint16 port)
{
    return UdpBatchSocket::peerAddress(QHostAddress(QHostAddress::LocalHost), port, false);
}

} // namespace

class TestServerParts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { serverlog::setLevel(serverlog::Level::Warn); }

    void classifiesByTheUnscrambledHeader()
    {
        const relay::DatagramInfo packet = classify(ipv4Packet(ipv4("10.8.3.4"), ipv4("10.8.3.9"), 120));
        QCOMPARE(packet.kind, relay::DatagramKind::Ipv4);
        QCOMPARE(packet.ipv4Destination, ipv4("10.8.3.9"));
        // With options (header of 24 bytes) and at the smallest size.
        QByteArray withOptions = ipv4Packet(0, ipv4("224.0.0.1"), 24);
        withOptions[0] = 0x46;
        QCOMPARE(classify(withOptions).kind, relay::DatagramKind::Ipv4);
        QCOMPARE(classify(ipv4Packet(0, 1, 20)).kind, relay::DatagramKind::Ipv4);

        // A total length that does not match, a short header or another
        // version: these are frames.
        QByteArray padded = ipv4Packet(0, ipv4("10.8.0.2"), 100);
        padded.append(4, '\0');
        QByteArray shortHeader = ipv4Packet(0, 0, 40);
        shortHeader[0] = 0x44;
        QByteArray version6 = ipv4Packet(0, 0, 40);
        version6[0] = 0x65;
        for (const QByteArray& frame : {padded, shortHeader, version6})
            QCOMPARE(classify(frame).kind, relay::DatagramKind::Ethernet);

        const relay::DatagramInfo frame = classify(ethernetFrame(0x0123456789ABull, 0x02AABBCCDDEEull, 60));
        QCOMPARE(frame.kind, relay::DatagramKind::Ethernet);
        QCOMPARE(frame.destinationMac, 0x0123456789ABull);
        QCOMPARE(frame.sourceMac, 0x02AABBCCDDEEull);
        QVERIFY(relay::isGroupMac(frame.destinationMac));
        QVERIFY(!relay::isGroupMac(frame.sourceMac));

        QCOMPARE(classify(QByteArray(13, 'z')).kind, relay::DatagramKind::Runt);
        QCOMPARE(relay::classifyDatagram(nullptr, 0).kind, relay::DatagramKind::Runt);
        // Heartbeats are not scrambled.
        const QByteArray json = "{\"client_id\":\"00\"}";
        QCOMPARE(relay::classifyDatagram(bytes(json), 18).kind, relay::DatagramKind::Heartbeat);
    }

    void readsOnlyWellFormedHeartbeats()
    {
        ClientKey key;
        QVERIFY(heartbeat("{\"client_id\":\"0123456789abcdef00112233445566FF\"}", &key));
        QCOMPARE(key.hi, 0x0123456789abcdefull);
        QCOMPARE(key.lo, 0x00112233445566FFull);
        QVERIFY(heartbeat(" { \"client_id\" :\t\"0123456789abcdef0123456789abcdef\" }\n"));
        for (const char* bad : {
                 "{\"client_id\":\"0123456789abcdef0123456789abcde\"}",    // 31 digits
                 "{\"client_id\":\"0123456789abcdef0123456789abcdef0\"}",  // 33 digits
                 "{\"client_id\":\"0123456789abcdef0123456789abcdeg\"}",   // not hex
                 "{\"client_id\":\"0123456789abcdef0123456789abcdef\"}x",  // trailing junk
                 "{\"client_id\":\"0123456789abcdef0123456789abcdef\",\"a\":1}",
                 "{\"clientid\":\"0123456789abcdef0123456789abcdef\"}",
                 "{\"client_id\":0123456789}",
                 "{\"client_id\":\"0123456789abcdef0123456789abcdef\"",
                 "{", "", "{}"}) {
            QVERIFY2(!heartbeat(QByteArray(bad)), bad);
        }
    }

    void relayCoreKeepsFewMacsPerMemberAndFollowsMoves()
    {
        RouteExchange exchange(4);
        auto table = std::make_shared<RouteTable>();
        table->slotTable.resize(4);
        RouteTable::Room& room = table->rooms.emplace_back();
        room.serial = 1;
        room.net = ipv4("10.8.0.0");
        room.slotByHost.fill(-1);
        for (std::uint32_t slot = 0; slot < 3; ++slot) {
            table->slotTable[slot] = {1, 0, 1, room.net | (slot + 1), controlAddressOf(QHostAddress(QHostAddress::LocalHost))};
            room.members.push_back(slot);
            room.slotByHost[slot + 1] = static_cast<std::int32_t>(slot);
            table->slotByKey[{0, slot + 1}] = slot;
        }
        exchange.publish(table);
        RelayCore core(exchange);
        TargetList targets;
        const auto send = [&](std::uint32_t from, const QByteArray& plain, std::int64_t at = 0) {
            const QByteArray s = tunnel::scramblePayload(plain);
            return core.handle(bytes(s), static_cast<std::size_t>(s.size()), peer(static_cast<quint16>(from)), LocalAddress(), at,
                               targets);
        };
        for (std::uint32_t slot = 0; slot < 3; ++slot) {
            const QByteArray hb = QByteArray("{\"client_id\":\"") + QByteArray(31, '0') + QByteArray::number(slot + 1) + "\"}";
            QCOMPARE(core.handle(bytes(hb), static_cast<std::size_t>(hb.size()), peer(static_cast<quint16>(slot)),
                                 LocalAddress(), 5, targets),
                     CounterHeartbeats);
            QCOMPARE(exchange.lastHeartbeatMs(slot, 1), 5);
            QCOMPARE(exchange.lastHeartbeatMs(slot, 2), -1);
        }

        // Slot 1 floods the room with made-up source addresses; only the
        // latest few stay, so the first is unknown again (flooded).
        for (quint64 mac = 0; mac < 1000; ++mac)
            send(1, ethernetFrame(kFlood(), 0x020000000000ull + mac, 60));
        QCOMPARE(send(0, ethernetFrame(0x020000000000ull, 0x02000000AAAAull, 60)), CounterForwarded);
        QCOMPARE(targets.size(), std::size_t{2});
        QCOMPARE(send(0, ethernetFrame(0x020000000000ull + 999, 0x02000000AAAAull, 60)), CounterForwarded);
        QCOMPARE(targets.size(), std::size_t{1});
        QCOMPARE(targets[0], 1u);

        // The address moves to slot 2 when slot 2 sends from it after slot 1 has been silent with it long enough.
        send(2, ethernetFrame(kFlood(), 0x020000000000ull + 999, 60), RelayCore::kMacHoldMs);
        send(0, ethernetFrame(0x020000000000ull + 999, 0x02000000AAAAull, 60), RelayCore::kMacHoldMs);
        QCOMPARE(targets.size(), std::size_t{1});
        QCOMPARE(targets[0], 2u);
        // A frame to one's own address goes nowhere.
        QCOMPARE(send(0, ethernetFrame(0x02000000AAAAull, 0x02000000AAAAull, 60)), DropNoRoute);

        // A new table that ends slot 1's session unbinds it.
        auto next = std::make_shared<RouteTable>(*table);
        next->slotTable[1].gen = 2;
        next->slotByKey.erase({0, 2});
        exchange.publish(next);
        core.refreshRoutes();
        QVERIFY(!core.isBound(1));
        QCOMPARE(send(1, ipv4Packet(0, ipv4("10.8.0.1"), 40)), DropUnbound);
    }

    void parsesFlags()
    {
        const ServerOptions defaults = parseServerOptions({QStringLiteral("pellora-server")});
        QCOMPARE(defaults.outcome, ServerOptions::Outcome::Run);
        QCOMPARE(defaults.config.port, quint16(7777));
        QCOMPARE(defaults.config.listen, QHostAddress(QHostAddress::AnyIPv4));
        QCOMPARE(defaults.config.subnetBase, ipv4("10.8.0.0"));
        QCOMPARE(defaults.config.sessionGraceMs, 30000);

        const ServerOptions set = parseServerOptions(
            {QStringLiteral("s"), QStringLiteral("--listen"), QStringLiteral("::"), QStringLiteral("--port=0"),
             QStringLiteral("--subnet"), QStringLiteral("172.20.9.9/20"), QStringLiteral("--session-grace"),
             QStringLiteral("0.5"), QStringLiteral("--rate-window=2"), QStringLiteral("--max-room-size=4"),
             QStringLiteral("--log-level=DEBUG"), QStringLiteral("--stats-interval=0")});
        QCOMPARE(set.outcome, ServerOptions::Outcome::Run);
        QCOMPARE(set.config.listen, QHostAddress(QHostAddress::AnyIPv6));
        QCOMPARE(set.config.port, quint16(0));
        QCOMPARE(set.config.subnetBase, ipv4("172.20.0.0"));
        QCOMPARE(set.config.subnetPrefix, 20);
        QCOMPARE(set.config.sessionGraceMs, 500);
        QCOMPARE(set.config.rateWindowMs, 2000);
        QCOMPARE(set.config.maxRoomSize, 4);
        QCOMPARE(set.config.statsIntervalMs, 0);
        QCOMPARE(set.logLevel, serverlog::Level::Debug);

        QCOMPARE(parseServerOptions({QStringLiteral("s"), QStringLiteral("--help")}).outcome, ServerOptions::Outcome::Help);
        for (const QStringList& bad : QList<QStringList>{
                 {"--port", "65536"}, {"--port", "x"}, {"--listen", "example.org"}, {"--subnet", "10.8.0.0/25"},
                 {"--subnet", "10.0.0.0/7"}, {"--subnet", "fd00::/64"}, {"--max-room-size", "255"},
                 {"--session-grace", "-1"}, {"--session-grace", "nan"}, {"--log-level", "loud"}, {"--bogus"}, {"extra"}}) {
            QCOMPARE(parseServerOptions(QStringList{QStringLiteral("s")} + bad).outcome, ServerOptions::Outcome::Error);
        }
    }

    void linesAreSplitAndBounded()
    {
        LineReader reader;
        QList<QByteArray> lines;
        QVERIFY(reader.feed("{\"a\":1}\n{\"b\"", lines));
        QCOMPARE(lines, QList<QByteArray>{"{\"a\":1}"});
        QVERIFY(reader.feed(":2}\r\n\n", lines));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[1], QByteArray("{\"b\":2}\r"));

        LineReader exact;
        lines.clear();
        QVERIFY(exact.feed(QByteArray(lobbyrules::kMaxLineBytes, 'a'), lines));
        QVERIFY(exact.feed("\n", lines));
        QCOMPARE(lines.size(), 1);
        LineReader over;
        QVERIFY(!over.feed(QByteArray(lobbyrules::kMaxLineBytes + 1, 'a'), lines));
    }

    void rateWindowTellsOncePerBurst()
    {
        RateWindow window(3, 1000);
        for (qint64 t : {0, 10, 20})
            QCOMPARE(window.admit(t), RateWindow::Verdict::Allowed);
        QCOMPARE(window.admit(30), RateWindow::Verdict::Refused);
        QCOMPARE(window.admit(40), RateWindow::Verdict::RefusedQuietly);
        QCOMPARE(window.admit(1000), RateWindow::Verdict::Allowed); // the first has left the window
        QCOMPARE(window.admit(1001), RateWindow::Verdict::Refused);
        QCOMPARE(window.admit(2100), RateWindow::Verdict::Allowed);
    }

    void roomNetworksComeFromTheSubnet()
    {
        AddressPlan plan(ipv4("10.9.1.77"), 23);
        QCOMPARE(plan.take(), 0);
        QCOMPARE(plan.take(), 1);
        QCOMPARE(plan.take(), -1);
        QCOMPARE(plan.network(1), ipv4("10.9.1.0"));
        plan.release(0);
        QCOMPARE(plan.take(), 0);
        QCOMPARE(plan.network(0), ipv4("10.9.0.0"));

        // A full address space refuses new rooms without harm.
        ServerConfig config;
        config.subnetBase = ipv4("10.9.0.0");
        config.subnetPrefix = 24;
        Recorder out;
        qint64 now = 0;
        Lobby lobby(config, out, nullptr, [&now] { return now; });
        for (ConnectionId c : {1, 2}) {
            lobby.connectionOpened(c, QHostAddress(QHostAddress::LocalHost));
            lobby.handleLine(c, control::encodeLine(control::message(
                                    QStringLiteral("login"), {{QStringLiteral("username"), QString::number(c)}})));
            lobby.handleLine(c, control::encodeLine(control::message(
                                    QStringLiteral("create_room"), {{QStringLiteral("room_name"), QString::number(c)},
                                                                    {QStringLiteral("privacy_mode"), QStringLiteral("public")}})));
        }
        QCOMPARE(out.count(1, QStringLiteral("join_ok")), 1);
        QCOMPARE(out.count(2, QStringLiteral("join_ok")), 0);
        QCOMPARE(out.count(2, QStringLiteral("error")), 1);
        QCOMPARE(lobby.consistencyProblem(), QString());
    }

    void chatAllowanceComesBackAfterTheWindow()
    {
        ServerConfig config;
        Recorder out;
        qint64 now = 0;
        Lobby lobby(config, out, nullptr, [&now] { return now; });
        lobby.connectionOpened(1, QHostAddress(QHostAddress::LocalHost));
        lobby.handleLine(1, R"({"cmd":"login","username":"talker"})");
        const QByteArray line = R"({"cmd":"global_chat","message":"hi"})";
        for (int i = 0; i < 25; ++i)
            lobby.handleLine(1, line);
        QCOMPARE(out.count(1, QStringLiteral("global_chat")), 20);
        QCOMPARE(out.count(1, QStringLiteral("error")), 1);
        now += config.rateWindowMs;
        lobby.handleLine(1, line);
        QCOMPARE(out.count(1, QStringLiteral("global_chat")), 21);
    }

private:
    static quint64 kFlood() { return 0xFFFFFFFFFFFFull; }
};

QTEST_GUILESS_MAIN(TestServerParts)
#include "test_serverparts.moc"
