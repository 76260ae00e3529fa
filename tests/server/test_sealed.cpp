// Sealed sessions against the real server: TLS beside plain lines on one
// port, and a tunnel whose datagrams only their sender's key opens.
#include "tests/server/sealedmember.h"

using namespace harness;

namespace {
const QByteArray kToBob = ipv4Packet("10.8.0.1", "10.8.0.2"), kToAlice = ipv4Packet("10.8.0.2", "10.8.0.1");
const QHostAddress kLoopback(QHostAddress::LocalHost);
} // namespace

class TestSealed : public QObject, ServerFixture
{
    Q_OBJECT
    std::vector<std::unique_ptr<Member>> members;

    // Members 0 (10.8.0.1), 1 (10.8.0.2)... in one room, sealed or not, tunnels bound.
    void addMembers(std::initializer_list<bool> sealed)
    {
        for (const bool s : sealed) {
            const int i = int(members.size());
            Member& m = *members.emplace_back(std::make_unique<Member>(server->port(), s));
            QVERIFY(!m.enter(QString("member%1").arg(i), "Alpha", i == 0).isEmpty());
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
        QVERIFY(server = startServer(config));
    }

private slots:
    void init() { start(); }
    void requireSealedRefusesPlainLoginsSayingWhy()
    {
        start([](ServerConfig& c) { c.requireSealed = true; });
        ControlClient plain(server->port()), sealed(server->port(), kLoopback, true);
        plain.send("login", {{"username", "bob"}});
        QVERIFY(plain.next("error").value("message").toString().contains("only sealed"));
        QVERIFY(plain.quietOn("login_ok") && !sealed.login("alice").isEmpty());
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
        alice.counter = 1000; // the relay's counters for her stay unseen from her
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
        // From alice's own address and port: a plain packet, a flipped bit, a
        // cut tag, a replay, and what the relay sent her, sent back. Her
        // heartbeat from another port of her host, as one on the path would send it.
        TunnelPeer replay(server->port());
        replay.sendRaw(beat);
        for (const QByteArray& bad :
             {tunnel::scramblePayload(kToBob), flipped, good.left(good.size() - 1), good, alice.lastRaw})
            alice.tunnel.sendRaw(bad);
        QVERIFY(waitForStat("dropped_unsealed", 6));
        bob.send(kToAlice);
        QCOMPARE(alice.receive(), kToAlice);
        QVERIFY(bob.tunnel.quiet() && alice.tunnel.quiet(0) && replay.quiet(0));
        QCOMPARE(stat("heartbeats"), 3);
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
    void keyRotationLosesNoDatagram()
    {
        start([](ServerConfig& c) { c.tunnelKeyLifetimeMs = 300, c.oldKeyGraceMs = 1000; });
        addMembers({true, true});
        Member &alice = *members[0], &bob = *members[1];
        int rotations = 0;
        // Keys change under a steady stream both ways; every datagram arrives.
        for (int i = 0; i < 60; ++i) {
            const QByteArray toBob = ipv4Packet("10.8.0.1", "10.8.0.2", 40 + i),
                             toAlice = ipv4Packet("10.8.0.2", "10.8.0.1", 40 + i);
            alice.send(toBob);
            bob.send(toAlice);
            QCOMPARE(bob.receive(), toBob);
            QCOMPARE(alice.receive(), toAlice);
            for (Member* m : {&alice, &bob})
                for (QJsonObject k; !(k = m->control.next("tunnel_key", 0)).isEmpty(); ++rotations)
                    QVERIFY(m->takeKey(k));
            QTest::qWait(20); // the rotation is timed by the server's clock
        }
        QVERIFY2(rotations >= 4, qPrintable(QString::number(rotations)));
        QCOMPARE(stat("dropped_unsealed"), 0);
    }
};

QTEST_GUILESS_MAIN(TestSealed)
#include "test_sealed.moc"
