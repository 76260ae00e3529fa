// Sealed sessions against the real server: TLS beside plain lines on one
// port, and a tunnel whose datagrams only their sender's key opens.
#include "protocol/relayprobe.h"
#include "tests/server/sealedmember.h"

#include <QtEndian>

using namespace harness;

namespace {
const QByteArray kToBob = ipv4Packet("10.8.0.1", "10.8.0.2"), kToAlice = ipv4Packet("10.8.0.2", "10.8.0.1");
const QHostAddress kLoopback(QHostAddress::LocalHost);
} // namespace

class TestSealed : public QObject, ServerFixture
{
    Q_OBJECT
    std::vector<std::unique_ptr<Member>> members;
    qint64 shift = 0; // added to the server's clock
    bool withId = false; // members log in with a client_id, as our client does

    // Members 0 (10.8.0.1), 1 (10.8.0.2)... in one room, sealed or not, tunnels bound.
    void addMembers(std::initializer_list<bool> sealed)
    {
        for (const bool s : sealed) {
            const int i = int(members.size());
            Member& m = *members.emplace_back(std::make_unique<Member>(server->port(), s));
            QVERIFY(!m.enter(QString("member%1").arg(i), "Alpha", i == 0, 0, withId).isEmpty());
            QCOMPARE(m.keyed, s);
            const qint64 before = stat("heartbeats");
            m.heartbeat();
            QVERIFY(waitForStat("heartbeats", before + 1));
        }
    }
    void start(const std::function<void(ServerConfig&)>& adjust = [](ServerConfig&) {})
    {
        ServerConfig config = testConfig();
        adjust(config);
        members.clear();
        shift = 0;
        withId = false;
        QVERIFY(server = startServer(config, [this] { return monotonicMs() + shift; }));
    }

private slots:
    void init() { start(); }
    void requireSealedRefusesPlainLoginsSayingWhy()
    {
        start([](ServerConfig& c) { c.requireSealed = true; });
        ControlClient plain(server->port()), sealed(server->port(), kLoopback, true);
        plain.send("login", {{"username", "bob"}});
        QVERIFY(plain.next("error").value("message").toString().contains("only sealed"));
        QVERIFY(!sealed.login("alice").isEmpty()); // after the refusal came: bob would be online by then
        QCOMPARE(sealed.next("online_users").value("users").toArray(), QJsonArray{"alice"});
    }
    void handshakesBeyondAnAddressBudgetAreRefusedWhileOthersLogIn()
    {
        start(
            [](ServerConfig& c) { c.maxConnectionsPerAddress = 2, c.rateWindowMs = 600000; }); // 4 handshakes
        int sealed = 0;
        for (int i = 0; i < 6; ++i)
            sealed += ControlClient(server->port(), kLoopback, true).socket.isEncrypted();
        QCOMPARE(sealed, 4);
        QVERIFY(!ControlClient(server->port(), QHostAddress("127.0.0.2"), true).login("alice").isEmpty());
    }
    void datagramsThatDoNotOpenReachOrMoveNoOne()
    {
        addMembers({true, true});
        Member &alice = *members[0], &bob = *members[1];
        alice.counter = 999; // the relay's counters for her stay unseen from her
        const QByteArray late = alice.sealedBytes(kToBob); // sent after the others
        const QByteArray good = alice.sealedBytes(kToBob), beat = alice.sealedBytes({}, true);
        QByteArray flipped = alice.sealedBytes(kToBob);
        flipped[40] = char(flipped[40] ^ 1);
        alice.tunnel.sendRaw(good);
        alice.tunnel.sendRaw(beat);
        QCOMPARE(bob.receive(), kToBob);
        for (int i = 0; i < 2; ++i) {
            bob.send(kToAlice);
            QCOMPARE(alice.receive(), kToAlice);
        }
        // From elsewhere, as one on the path would send them: garbage, her
        // heartbeat and traffic replayed, a flipped bit, and hers never seen
        // but older than her newest (delivered, as it came late, but no move).
        TunnelPeer elsewhere(server->port(), QHostAddress("127.0.0.2"));
        for (const QByteArray& copy : {tunnel::scramblePayload(kToBob), beat, good, flipped, late})
            elsewhere.sendRaw(copy);
        // From her own address and port: a plain packet, a flipped bit, a cut
        // tag, a replay, and what the relay sent her, sent back.
        for (const QByteArray& bad :
             {tunnel::scramblePayload(kToBob), flipped, good.left(good.size() - 1), good, alice.lastRaw})
            alice.tunnel.sendRaw(bad);
        QVERIFY(waitForStat("dropped_unsealed", 8));
        QCOMPARE(bob.receive(), kToBob);
        bob.send(kToAlice);
        QCOMPARE(alice.receive(), kToAlice);
        QVERIFY(bob.tunnel.quiet() && alice.tunnel.quiet() && elsewhere.quiet());
        QCOMPARE(stat("heartbeats"), 3);
        QCOMPARE(stat("moved_sealed"), 0);
    }
    // A NAT that maps a client anew, or sends its UDP from another address
    // than its TCP: a sealed session follows its newest datagram from any
    // host and port (and delivers it); a plain one keeps to its control
    // connection's host and to its heartbeats.
    void aSealedSessionFollowsItsClientAnywhere_data()
    {
        QTest::addColumn<bool>("sealed");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("beat");
        QTest::newRow("sealed traffic from a new port") << true << "127.0.0.1" << false;
        QTest::newRow("a sealed heartbeat from another host") << true << "127.0.0.2" << true;
        QTest::newRow("sealed traffic from another host") << true << "127.0.0.2" << false;
        QTest::newRow("a plain heartbeat from another host") << false << "127.0.0.2" << true;
        QTest::newRow("plain traffic from a new port") << false << "127.0.0.1" << false;
    }
    void aSealedSessionFollowsItsClientAnywhere()
    {
        QFETCH(bool, sealed);
        QFETCH(QString, host);
        QFETCH(bool, beat);
        addMembers({sealed, true});
        Member &alice = *members[0], &bob = *members[1];
        TunnelPeer moved(server->port(), QHostAddress(host)); // her tunnel socket, as the relay sees it now
        const QByteArray datagram =
            sealed ? alice.sealedBytes(beat ? QByteArray() : kToBob, beat) : tunnel::scramblePayload(kToBob);
        if (sealed) { // a later heartbeat to the mapping port, as our client sends one, moves nothing
            alice.tunnel.socket.writeDatagram(alice.sealedBytes({}, true), kLoopback, server->mappingPort());
            QVERIFY(waitForStat("mapping_probes", 1));
        }
        if (beat && !sealed)
            moved.heartbeat(alice.id);
        else
            moved.sendRaw(datagram);
        if (sealed && !beat)
            QCOMPARE(bob.receive(), kToBob);
        bob.send(kToAlice); // after hers, on the relay's one socket
        QCOMPARE(alice.receive(sealed ? &moved : nullptr), kToAlice);
        QVERIFY((sealed ? alice.tunnel : moved).quiet() && bob.tunnel.quiet());
        QVERIFY(sealed ? waitForStat("moved_sealed", 1) : stat("moved_sealed") == 0);
    }
    // Each move reaches the lobby and the member's direct peers: a client
    // that flips between two sockets moves a few times a second at most,
    // and everything it sends is still delivered.
    void aSealedSessionMovesOnlyAFewTimesASecond()
    {
        addMembers({true, true});
        Member &alice = *members[0], &bob = *members[1];
        TunnelPeer other(server->port());
        for (int i = 0; i < 10; ++i)
            (i % 2 ? alice.tunnel : other).sendRaw(alice.sealedBytes(kToBob));
        for (int i = 0; i < 10; ++i)
            QCOMPARE(bob.receive(), kToBob);
        QVERIFY(waitForStat("moved_sealed", 3));
        QVERIFY2(stat("moved_sealed") <= 5, qPrintable(QString::number(stat("moved_sealed"))));
    }
    // A round-trip probe goes, sealed like any datagram and as long as it came, to the sealed member it
    // names, which learns the sender from the relay; never to a plain member, outside the room or back;
    // a few a second.
    void roundTripProbesReachOnlySealedRoomMatesAFewASecond()
    {
        addMembers({true, true, false});
        Member &alice = *members[0], &bob = *members[1], &carol = *members[2];
        const auto probe = [](const char* vip) {
            QByteArray p = QByteArray(1, char(relayprobe::kRequest)) + QByteArray(4, 0) + QByteArray(12, 'i');
            qToBigEndian(QHostAddress(vip).toIPv4Address(), p.data() + 1);
            return p;
        };
        const QByteArray sent = alice.sealedBytes(probe("10.8.0.2"), false, seal::kRelayProbe);
        alice.tunnel.sendRaw(sent);
        QCOMPARE(bob.receive(), probe("10.8.0.1"));
        QVERIFY(bob.lastRaw.size() == sent.size() && (bob.lastRaw[0] & 0x10));
        const qint64 noRoute = stat("dropped_no_route"), overBudget = stat("dropped_budget");
        for (const char* elsewhere : {"10.8.0.3", "10.8.0.9", "10.8.0.1", "10.8.1.2"})
            alice.tunnel.sendRaw(alice.sealedBytes(probe(elsewhere), false, seal::kRelayProbe));
        QVERIFY(waitForStat("dropped_no_route", noRoute + 4));
        for (int i = 0; i < 10; ++i)
            bob.tunnel.sendRaw(bob.sealedBytes(probe("10.8.0.1"), false, seal::kRelayProbe));
        QVERIFY(waitForStat("dropped_budget", overBudget + 5));
        int reached = 0;
        while (alice.receive() == probe("10.8.0.2"))
            ++reached;
        QVERIFY2(reached >= 4 && reached <= 5, qPrintable(QString::number(reached))); // 4 a second
        QVERIFY(carol.tunnel.quiet() && bob.tunnel.quiet());
    }
    void sealedAndPlainMembersShareARoom()
    {
        addMembers({true, false});
        Member &alice = *members[0], &bob = *members[1];
        alice.send(kToBob);
        QCOMPARE(bob.receive(), kToBob);
        bob.send(kToAlice);
        QCOMPARE(alice.receive(), kToAlice);
        QVERIFY(!alice.lastRaw.contains(kToAlice.right(20)));
    }
    // Datagrams `to` receives until it is quiet, counted by the phase of the key they came under.
    static std::array<int, 2> received(Member& to)
    {
        std::array<int, 2> phases{};
        while (!to.receive().startsWith("not sealed"))
            ++phases[to.lastRaw.at(0) & 0x40 ? 1 : 0];
        return phases;
    }
    void aSealedTakeBackAfterAPlainOneRetiresTheFirstKey()
    {
        addMembers({true, true});
        Member &alice = *members[0], &bob = *members[1];
        const QJsonObject first = alice.lastKey;
        // The serial by which the relay knows her key: one it may still hold never comes again.
        const auto serial = [&] {
            RouteExchange::Reader table(server->routes().tables());
            table.refresh();
            return table->slotTable.at(alice.index).seal.serial;
        };
        const std::uint32_t firstSerial = serial();
        // Her sealed connection drops; she takes the session back over a plain
        // one, then (with the id it gave) over a sealed one again.
        alice.control.socket.abort();
        QVERIFY(testwait::until([&] { return stat("connections") == 1; }));
        ControlClient plain(server->port());
        const QString id = plain.login("member0");
        ControlClient sealed(server->port(), kLoopback, true);
        sealed.send("login", {{"username", "member0"}, {"client_id", id}});
        QVERIFY(alice.takeKey(sealed.next("login_ok")));
        QVERIFY(serial() != firstSerial);
        alice.heartbeat();
        alice.send(kToBob);
        QCOMPARE(bob.receive(), kToBob);
        QVERIFY(alice.takeKey(first));
        const qint64 refused = stat("dropped_unsealed");
        alice.send(kToBob);
        QVERIFY(waitForStat("dropped_unsealed", refused + 1) && bob.tunnel.quiet());
    }
    // Her connection breaks and she takes the session back from another
    // host (a NAT's new address): the tunnel goes on where it was, and a copy
    // of what she sent before, from elsewhere, is still a replay.
    void aTakeBackFromAnotherHostKeepsTheTunnelAndItsReplayWindows()
    {
        withId = true;
        addMembers({true, true});
        Member &alice = *members[0], &bob = *members[1];
        const QByteArray sent = alice.sealedBytes(kToBob);
        alice.tunnel.sendRaw(sent);
        QCOMPARE(bob.receive(), kToBob);
        alice.control.socket.abort();
        QVERIFY(testwait::until([&] { return stat("connections") == 1; }));
        ControlClient back(server->port(), QHostAddress("127.0.0.2"), true);
        back.send("login", {{"username", "member0"}, {"client_id", alice.id}});
        QVERIFY(!back.next("login_ok").isEmpty());
        TunnelPeer copier(server->port(), QHostAddress("127.0.0.3"));
        copier.sendRaw(sent);
        bob.send(kToAlice); // sealed with her first key until she uses the new one
        QCOMPARE(alice.receive(), kToAlice);
        QVERIFY(bob.tunnel.quiet() && copier.quiet() && stat("moved_sealed") == 0);
    }
    void aRetiredKeyStopsAtTheEndOfItsGraceWithoutTraffic()
    {
        addMembers({true, true});
        Member &alice = *members[0], &bob = *members[1];
        const QJsonObject first = alice.lastKey;
        shift += 600000; // no key lives longer than ten minutes
        QVERIFY(alice.takeKey(alice.control.next("tunnel_key")));
        alice.send(kToBob);
        QCOMPARE(bob.receive(), kToBob);
        QVERIFY(alice.takeKey(first));
        alice.send(kToBob);
        QCOMPARE(bob.receive(), kToBob); // still within its grace
        const RouteExchange& routes = server->routes();
        const std::uint64_t published = routes.publishedVersion();
        shift += 10000;
        // The lobby withdraws the key; the relay takes that up with no datagram to wake it.
        QVERIFY(testwait::until([&] {
            const std::uint64_t now = routes.publishedVersion();
            return now > published && routes.appliedVersion() == now;
        }));
        const qint64 refused = stat("dropped_unsealed");
        alice.send(kToBob);
        QVERIFY(waitForStat("dropped_unsealed", refused + 1) && bob.tunnel.quiet());
    }
    void aKeyCarriesAtMostItsUsesEachWayAndTheRelayAsksForTheNext()
    {
        start([](ServerConfig& c) { c.keyUses = 64, c.keyAskAt = 32; });
        addMembers({true, true}); // a heartbeat each: one use of each key
        Member &alice = *members[0], &bob = *members[1];
        shift += 2000; // old enough to be replaced on request
        for (int i = 0; i < 100; ++i)
            alice.send(kToBob);
        QCOMPARE(received(bob), (std::array<int, 2>{63, 0}));
        // Neither asked: the relay did, for both keys.
        QVERIFY(alice.takeKey(alice.control.next("tunnel_key")));
        QVERIFY(bob.takeKey(bob.control.next("tunnel_key")));
        // Bob's first key has one use left; then the relay seals with his next one.
        for (int i = 0; i < 10; ++i)
            alice.send(kToBob);
        QCOMPARE(received(bob), (std::array<int, 2>{1, 9}));
    }
    void aRekeyRequestIsAnsweredOncePerFewSeconds()
    {
        addMembers({true});
        Member& alice = *members[0];
        for (int i = 0; i < 2; ++i) {
            alice.control.send("rekey");
            QVERIFY(alice.control.quietOn("tunnel_key", server.get())); // the key is too young yet
            shift += 2000;
            QVERIFY(alice.takeKey(alice.control.next("tunnel_key")));
        }
    }
    void keyRotationLosesNoDatagram()
    {
        start([](ServerConfig& c) { c.tunnelKeyLifetimeMs = 60000; }); // far more than the test's real time
        addMembers({true, true});
        Member &alice = *members[0], &bob = *members[1];
        const RouteExchange& routes = server->routes();
        // Keys change under a steady stream both ways; each side goes on under its old key until it reads
        // its new one, and every datagram arrives.
        for (int i = 0; i < 60; ++i) {
            const bool rotate = i % 10 == 9;
            const std::uint64_t published = routes.publishedVersion();
            shift += rotate ? 60000 : 0;
            QVERIFY(!rotate || testwait::until([&] { // the relay holds both new keys
                return routes.publishedVersion() > published &&
                       routes.appliedVersion() == routes.publishedVersion();
            }));
            const QByteArray toBob = ipv4Packet("10.8.0.1", "10.8.0.2", 40 + i),
                             toAlice = ipv4Packet("10.8.0.2", "10.8.0.1", 40 + i);
            alice.send(toBob);
            bob.send(toAlice);
            for (Member* m : {&alice, &bob})
                QVERIFY(!rotate || m->takeKey(m->control.next("tunnel_key")));
            QCOMPARE(bob.receive(), toBob);
            QCOMPARE(alice.receive(), toAlice);
        }
        QCOMPARE(stat("dropped_unsealed"), 0);
    }
};

QTEST_GUILESS_MAIN(TestSealed)
#include "test_sealed.moc"
