// Direct paths against the real server: which members hear of each other,
// with what pair key and candidates, and how often.
#include "protocol/directlimits.h"
#include "server/options.h"
#include "tests/server/sealedmember.h"

#include <QNetworkInterface>

using namespace harness;

class TestDirectPeers : public QObject
{
    Q_OBJECT
    qint64 now = 1000000;
    std::unique_ptr<LobbyServer> server;
    std::vector<std::unique_ptr<Member>> members;
    static QStringList texts(const QJsonValue& array) { return array.toVariant().toStringList(); }
    static QJsonArray peersIn(const QJsonObject& message) { return message.value("peers").toArray(); }

    // A member logged in as m1, m2... from `from` and in the room Den (made by the first), saying `layer`
    // (0: nothing); `keepPrivate`: its login says "private".
    Member& enter(bool sealed, int layer = 3, const char* from = "127.0.0.1", bool keepPrivate = false)
    {
        Member& m =
            *members.emplace_back(std::make_unique<Member>(server->port(), sealed, QHostAddress(from)));
        const QString name = QString("m%1").arg(members.size());
        const bool first = members.size() == 1;
        if (keepPrivate) {
            m.control.sendRaw(control::encodeLine(QJsonObject{{"cmd", "login"}, {"username", name},
                                                              {"private", true}}));
            m.keyed = m.takeKey(m.control.next("login_ok"));
        }
        if ((keepPrivate ? m.join("Den", first, layer) : m.enter(name, "Den", first, layer)).isEmpty())
            QTest::qFail("no join_ok", __FILE__, __LINE__);
        return m;
    }
    // Sends a candidates line and waits until the server has read it (a
    // kick without a target is refused at once).
    static void sendCandidates(Member& m, const QJsonArray& addresses, const QJsonValue& keepPrivate = {})
    {
        QJsonObject line{{"cmd", "candidates"}, {"addresses", addresses}};
        if (!keepPrivate.isUndefined())
            line.insert("private", keepPrivate);
        m.control.sendRaw(control::encodeLine(line));
        m.control.send("kick_player");
        QVERIFY(!m.control.next("error").isEmpty());
    }
    // The next direct_peers of `m` that lists exactly `count` peers.
    static QJsonObject listOf(Member& m, int count)
    {
        return m.control.until("direct_peers",
                               [count](const QJsonObject& l) { return peersIn(l).size() == count; });
    }
    // The peer in the next direct_peers of `m` that lists one.
    static QJsonObject onlyPeer(Member& m) { return peersIn(listOf(m, 1)).at(0).toObject(); }

private slots:
    void init()
    {
        members.clear();
        QVERIFY(server = startServer(testConfig(), [this] { return now; }));
    }
    // Any address of this host other than loopback, as a candidate; empty when it has none.
    static QString ownAddress()
    {
        for (const QHostAddress& a : QNetworkInterface::allAddresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback() && !a.isLinkLocal())
                return a.toString() + ":5";
        return {};
    }
    void twoSealedMembersShareOneKeyFromOppositeSides()
    {
        Member& alice = enter(true);
        Member& bob = enter(true);
        const QJsonObject a = onlyPeer(alice), b = onlyPeer(bob);
        QCOMPARE(a.value("username").toString(), "m2");
        QCOMPARE(b.value("vip").toString(), "10.8.0.1");
        QCOMPARE(a.value("pair"), b.value("pair"));
        QVERIFY(a.value("pair").toString().toUInt() >= 1);
        QCOMPARE(a.value("key"), b.value("key"));
        QCOMPARE(a.value("side").toInt(), 0); // alice holds the lower slot
        QCOMPARE(b.value("side").toInt(), 1);
    }
    void plainAndUndeclaredMembersAndOtherLayersStayOnTheRelay()
    {
        Member& alice = enter(true, 3);
        enter(false, 3);
        enter(true, 2);
        enter(true, 0);
        enter(true, 3);
        QCOMPARE(onlyPeer(alice).value("username").toString(), "m5");
        QVERIFY(alice.control.quietOn("direct_peers", server.get()));
        for (int i : {1, 2, 3})
            QVERIFY(members[i]->control.quietOn("direct_peers"));
    }
    // Both get an empty list at the leave; the next join is a new pair.
    void aPairEndsWithTheLeaveAndARejoinMakesANewOne()
    {
        Member& alice = enter(true);
        Member& bob = enter(true);
        const QJsonObject before = onlyPeer(alice);
        onlyPeer(bob);
        bob.control.send("leave_room");
        QCOMPARE(listOf(alice, 0).value("peers"), QJsonValue(QJsonArray()));
        QCOMPARE(listOf(bob, 0).value("peers"), QJsonValue(QJsonArray()));
        QVERIFY(!bob.join("Den", false, 3).isEmpty());
        const QJsonObject after = onlyPeer(alice);
        QVERIFY(after.value("pair") != before.value("pair"));
        QVERIFY(after.value("key") != before.value("key"));
        QCOMPARE(after.value("pair"), onlyPeer(bob).value("pair"));
    }
    // Another device took the session over: it hears the list, even one that did not change.
    void aTakeOverHearsItsListAnew()
    {
        enter(true).control.socket.abort();
        QVERIFY(testwait::until([this] { return server->lobby().connectionCount() == 0; }));
        Member device(server->port(), true);
        device.control.send("login", {{"username", "m1"}});
        QCOMPARE(device.control.next("direct_peers").value("peers"), QJsonValue(QJsonArray()));
    }
    void candidatesAreCheckedOneByOne_data()
    {
        QTest::addColumn<QJsonArray>("given");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<QString>("peerFrom"); // where the peer that hears them reaches the server from
        const auto row = [](const char* name, const QJsonArray& given, const QStringList& kept = {},
                            const char* peerFrom = "127.0.0.1") {
            QTest::newRow(name) << given << kept << QString(peerFrom);
        };
        // Private ranges reach a peer only from inside its network: one from the same address gets them.
        row("private ranges", {"192.168.1.10:5", "172.31.0.1:5", "100.64.0.1:5", "[fd00::1]:5"},
            {"192.168.1.10:5", "172.31.0.1:5", "100.64.0.1:5", "[fd00::1]:5"});
        row("private ranges, to a peer behind another address",
            {"192.168.1.10:5", "[2001:db8::5]:5", "172.31.0.1:5", "10.0.0.5:5", "100.64.0.1:5", "[fd00::1]:5",
             "198.51.100.7:5"},
            {"[2001:db8::5]:5", "198.51.100.7:5"}, "127.0.0.2");
        row("IPv4 and IPv6, written one way",
            {"10.0.0.5:1", "[2001:DB8:0::5]:65535", "[::ffff:192.0.2.1]:9", "10.0.0.5:1"},
            {"10.0.0.5:1", "[2001:db8::5]:65535", "192.0.2.1:9"});
        row("unreachable", {"127.0.0.1:5", "0.0.0.0:5", "224.0.0.1:5", "255.255.255.255:5", "169.254.1.1:5",
                            "[::1]:5", "[::]:5", "[fe80::1]:5"});
        row("reserved and old forms", {"240.0.0.1:5", "[::127.0.0.1]:5", "[::ffff:127.0.0.1]:5"});
        // The server itself, and the rooms' networks (those lead back into the tunnel).
        row("the server's own", {ownAddress(), "10.8.0.1:5", "10.8.255.254:5"});
        row("malformed", {"1.2.3:5", "1.2.3.4", "1.2.3.4:0", "1.2.3.4:65536", "01.2.3.4:5", "[1.2.3.4]:5",
                          "host.example:5", 7});
        row("IPv6 multicast, scoped", {"[ff02::1]:5", "[2001:db8::1%eth0]:5"});
        QJsonArray nine;
        for (int i = 1; i <= directlimits::kCandidates + 1; ++i)
            nine.append(QString("1.0.0.%1:1").arg(i));
        row("eight looked at", nine, texts(nine).mid(0, directlimits::kCandidates));
    }
    void candidatesAreCheckedOneByOne()
    {
        QFETCH(QJsonArray, given);
        QFETCH(QStringList, kept);
        QFETCH(QString, peerFrom);
        Member& alice = enter(true);
        sendCandidates(alice, given);
        Member& bob = enter(true, 3, qPrintable(peerFrom));
        QCOMPARE(texts(onlyPeer(bob).value("candidates")), kept);
    }
    // Private from the login on: in nobody's list, and its own stays empty.
    void aPrivateMemberPairsWithNobody()
    {
        Member& alice = enter(true, 3, "127.0.0.1", true);
        sendCandidates(alice, {"198.51.100.7:5"}, true);
        alice.heartbeat();
        Member& bob = enter(true);
        Member& carol = enter(true);
        QVERIFY(testwait::until([&] { return server->routes().endpointChanges() > 0; })); // bound her
        QVERIFY(alice.control.quietOn("direct_peers", server.get()));
        for (auto [m, other] : {std::pair(&bob, "\"m3\""), {&carol, "\"m2\""}}) {
            QString lists;
            QVERIFY(m->control.quietOn()); // all it was sent so far is in
            for (QJsonObject l; !(l = m->control.next("direct_peers", 0)).isEmpty();)
                lists += QJsonDocument(l).toJson();
            QVERIFY(lists.contains(other));
            QVERIFY2(!lists.contains("\"m1\""), qPrintable(lists));
        }
    }
    // Going private in a room ends its pairs at once, even past the change budget.
    void goingPrivateInARoomEndsItsPairs()
    {
        Member& alice = enter(true);
        Member& bob = enter(true);
        onlyPeer(alice);
        for (int i = 1; i <= 8; ++i)
            sendCandidates(alice, {QString("198.51.100.%1:5").arg(i)});
        sendCandidates(alice, {}, true);
        now += 4000; // lists that wait for the send budget go out
        QCOMPARE(listOf(alice, 0).value("peers"), QJsonValue(QJsonArray()));
        QCOMPARE(listOf(bob, 0).value("peers"), QJsonValue(QJsonArray()));
    }
    void noDirectHandsOutNoPairs()
    {
        ServerConfig config = parseServerOptions({"s", "--no-direct"}).config;
        std::tie(config.listen, config.port) = std::tuple(QHostAddress(QHostAddress::LocalHost), 0);
        QVERIFY(server = startServer(config, [this] { return now; }));
        Member& alice = enter(true);
        sendCandidates(alice, {"198.51.100.7:5"});
        Member& bob = enter(true);
        QVERIFY(bob.control.quietOn("direct_peers", server.get()) && alice.control.quietOn("direct_peers"));
    }
    void theRelaySeenEndpointComesFirstOnceBound()
    {
        Member& alice = enter(true);
        sendCandidates(alice, {"192.168.1.10:40123"});
        Member& bob = enter(true);
        onlyPeer(bob);
        alice.heartbeat();
        const QString seen = QString("127.0.0.1:%1").arg(alice.tunnel.socket.localPort());
        const QJsonObject list = bob.control.until("direct_peers", [&](const QJsonObject& l) {
            return texts(peersIn(l).at(0).toObject().value("candidates")).value(0) == seen;
        });
        QCOMPARE(texts(peersIn(list).at(0).toObject().value("candidates")),
                 (QStringList{seen, "192.168.1.10:40123"}));
    }
    // How each member's NAT maps, as its heartbeats to the relay and to the
    // mapping port show it: one that maps each destination apart (a second
    // socket here) sprays, its peer that keeps one port scans; nobody else has a role.
    void birthdayRolesFollowHowEachSideMaps_data()
    {
        QTest::addColumn<bool>("aliceApart");
        QTest::addColumn<bool>("bobApart");
        QTest::addColumn<QString>("aliceRole");
        QTest::addColumn<QString>("bobRole");
        QTest::newRow("one apart") << false << true << "scan"
                                   << "spray";
        QTest::newRow("neither") << false << false << ""
                                 << "";
        QTest::newRow("both apart") << true << true << ""
                                    << "";
    }
    void birthdayRolesFollowHowEachSideMaps()
    {
        QFETCH(bool, aliceApart);
        QFETCH(bool, bobApart);
        QFETCH(QString, aliceRole);
        QFETCH(QString, bobRole);
        Member& alice = enter(true);
        Member& bob = enter(true, 3, "127.0.0.2"); // from elsewhere: the same network needs no birthday
        const int mappingPort = listOf(bob, 1).value("mapping_port").toInt();
        QVERIFY(mappingPort > 0 && mappingPort != server->port());
        // The mapping port first, taken in, so that the list that shows the
        // relay's endpoint already knows the mapping.
        for (auto [m, apart] : {std::pair{&alice, aliceApart}, std::pair{&bob, bobApart}}) {
            QUdpSocket other;
            other.bind(m->tunnel.socket.localAddress(), 0);
            (apart ? other : m->tunnel.socket)
                .writeDatagram(m->sealedBytes({}, true), QHostAddress::LocalHost, quint16(mappingPort));
        }
        QVERIFY(testwait::until([&] { return server->routes().counters()[CounterMappingProbes] == 2; }));
        alice.heartbeat();
        bob.heartbeat();
        for (auto [m, peer, role] :
             {std::tuple{&alice, &bob, aliceRole}, std::tuple{&bob, &alice, bobRole}}) {
            const QString seen = QString("%1:%2").arg(peer->tunnel.socket.localAddress().toString(),
                                                      QString::number(peer->tunnel.socket.localPort()));
            const QJsonObject entry =
                peersIn(m->control.until(
                            "direct_peers",
                            [&](const QJsonObject& l) {
                                return texts(peersIn(l).at(0).toObject().value("candidates")).value(0) ==
                                       seen;
                            }))
                    .at(0)
                    .toObject();
            QCOMPARE(entry.value("birthday").toString(), role);
        }
    }
    // The same pair with a new key: at a member's request (not a stranger's,
    // not for a key younger than two seconds), and for every pair after ten minutes.
    void pairKeysAreRenewedOnAMembersRequestAndAfterTenMinutes()
    {
        Member& alice = enter(true);
        Member& bob = enter(true);
        Member& carol = enter(true);
        const auto peerNamed = [](Member& m, const QString& name) {
            for (const QJsonValue& peer : peersIn(listOf(m, 2)))
                if (peer.toObject().value("username") == name)
                    return peer.toObject();
            return QJsonObject();
        };
        const QJsonObject before = peerNamed(alice, "m2");
        peerNamed(bob, "m1");
        listOf(carol, 2);
        const QJsonObject ask{{"cmd", "rekey"}, {"pair", before.value("pair").toString().toInt()}};
        now += 2000;
        carol.control.sendRaw(control::encodeLine(ask)); // answered before the tick her quiet waits for
        QVERIFY(carol.control.quietOn("direct_peers") && alice.control.quietOn("direct_peers", server.get()));
        alice.control.sendRaw(control::encodeLine(ask));
        const QJsonObject after = peerNamed(alice, "m2");
        QCOMPARE(after.value("pair"), before.value("pair"));
        QVERIFY(after.value("key") != before.value("key"));
        QCOMPARE(peerNamed(bob, "m1").value("key"), after.value("key"));
        QVERIFY(carol.control.quietOn("direct_peers"));
        alice.control.sendRaw(control::encodeLine(ask));
        QVERIFY(alice.control.quietOn("direct_peers", server.get()));
        now += 600000;
        QVERIFY(peerNamed(alice, "m2").value("key") != after.value("key"));
        QVERIFY(!listOf(carol, 2).isEmpty());
    }
    void candidateChurnSendsPeersABoundedNumberOfLists()
    {
        Member& alice = enter(true);
        Member& bob = enter(true);
        onlyPeer(bob);
        for (int i = 1; i <= 20; ++i)
            sendCandidates(alice, {QString("192.168.1.%1:5").arg(i)});
        int lists = 0;
        while (!bob.control.next("direct_peers", 300).isEmpty())
            ++lists;
        QCOMPARE(lists, 3); // four per window, the first went at the join
        now += 60000;       // the rest waited for the window, and goes out as one
        QCOMPARE(texts(onlyPeer(bob).value("candidates")), QStringList{"192.168.1.6:5"});
        QVERIFY(bob.control.quietOn("direct_peers", server.get()));
    }
};

QTEST_GUILESS_MAIN(TestDirectPeers)
#include "test_directpeers.moc"
