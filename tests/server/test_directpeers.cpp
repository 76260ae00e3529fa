// Direct paths against the real server: which members hear of each other,
// with what pair key and candidates, and how often.
#include "tests/server/sealedmember.h"

using namespace harness;

class TestDirectPeers : public QObject
{
    Q_OBJECT
    qint64 now = 1000000;
    std::unique_ptr<LobbyServer> server;
    std::vector<std::unique_ptr<Member>> members;
    static QStringList texts(const QJsonValue& array) { return array.toVariant().toStringList(); }
    static QJsonArray peersIn(const QJsonObject& message) { return message.value("peers").toArray(); }

    // A member logged in as m1, m2... and in the room Den (made by the first), saying `layer` (0: nothing).
    Member& enter(bool sealed, int layer = 3)
    {
        Member& m = *members.emplace_back(std::make_unique<Member>(server->port(), sealed));
        if (m.enter(QString("m%1").arg(members.size()), "Den", members.size() == 1, layer).isEmpty())
            QTest::qFail("no join_ok", __FILE__, __LINE__);
        return m;
    }
    // Sends a candidates line and waits until the server has read it (a
    // kick without a target is refused at once).
    static void sendCandidates(Member& m, const QJsonArray& addresses)
    {
        m.control.sendRaw(control::encodeLine(QJsonObject{{"cmd", "candidates"}, {"addresses", addresses}}));
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
        QVERIFY(alice.control.quietOn("direct_peers"));
        for (int i : {1, 2, 3})
            QVERIFY(members[i]->control.quietOn("direct_peers", 0));
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
        const auto row = [](const char* name, const QJsonArray& given, const QStringList& kept = {}) {
            QTest::newRow(name) << given << kept;
        };
        row("IPv4 and IPv6, written one way",
            {"10.0.0.5:1", "[2001:DB8:0::5]:65535", "[::ffff:192.0.2.1]:9", "10.0.0.5:1"},
            {"10.0.0.5:1", "[2001:db8::5]:65535", "192.0.2.1:9"});
        row("unreachable", {"127.0.0.1:5", "0.0.0.0:5", "224.0.0.1:5", "255.255.255.255:5", "169.254.1.1:5",
                            "[::1]:5", "[::]:5", "[fe80::1]:5"});
        row("malformed", {"1.2.3:5", "1.2.3.4", "1.2.3.4:0", "1.2.3.4:65536", "01.2.3.4:5", "[1.2.3.4]:5",
                          "host.example:5", 7});
        row("IPv6 multicast, scoped", {"[ff02::1]:5", "[2001:db8::1%eth0]:5"});
        QJsonArray nine;
        for (int i = 1; i <= 9; ++i)
            nine.append(QString("1.0.0.%1:1").arg(i));
        row("eight looked at", nine, texts(nine).mid(0, 8));
    }
    void candidatesAreCheckedOneByOne()
    {
        QFETCH(QJsonArray, given);
        QFETCH(QStringList, kept);
        Member& alice = enter(true);
        sendCandidates(alice, given);
        Member& bob = enter(true);
        QCOMPARE(texts(onlyPeer(bob).value("candidates")), kept);
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
        carol.control.sendRaw(control::encodeLine(ask));
        QVERIFY(alice.control.quietOn("direct_peers"));
        alice.control.sendRaw(control::encodeLine(ask));
        const QJsonObject after = peerNamed(alice, "m2");
        QCOMPARE(after.value("pair"), before.value("pair"));
        QVERIFY(after.value("key") != before.value("key"));
        QCOMPARE(peerNamed(bob, "m1").value("key"), after.value("key"));
        QVERIFY(carol.control.quietOn("direct_peers", 0));
        alice.control.sendRaw(control::encodeLine(ask));
        QVERIFY(alice.control.quietOn("direct_peers"));
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
        QVERIFY(bob.control.quietOn("direct_peers"));
    }
};

QTEST_GUILESS_MAIN(TestDirectPeers)
#include "test_directpeers.moc"
