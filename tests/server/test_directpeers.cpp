// Direct paths against the real server: which members hear of each other,
// with what pair key and candidates, and how often.
#include "tests/server/sealedmember.h"

using namespace harness;

namespace {
QStringList texts(const QJsonValue& array)
{
    QStringList out;
    for (const QJsonValue& v : array.toArray())
        out.append(v.toString());
    return out;
}
QJsonArray peersIn(const QJsonObject& message)
{
    return message.value("peers").toArray();
}
} // namespace

class TestDirectPeers : public QObject
{
    Q_OBJECT
    qint64 now = 1000000;
    std::unique_ptr<LobbyServer> server;
    std::vector<std::unique_ptr<Member>> members;

    // A member logged in and in the room Den (made by the first), saying `layer` (0: nothing).
    Member& enter(bool sealed, int layer = 3, const QString& name = {})
    {
        Member& m = *members.emplace_back(std::make_unique<Member>(server->port(), sealed));
        m.control.send("login", {{"username", name.isEmpty() ? QString("m%1").arg(members.size()) : name}});
        m.takeKey(m.control.next("login_ok"));
        join(m, layer, members.size() == 1);
        return m;
    }
    void join(Member& m, int layer, bool create = false)
    {
        QJsonObject line{{"cmd", create ? "create_room" : "join_room"}, {"room_name", "Den"},
                         {"privacy_mode", "public"}};
        if (layer)
            line.insert("layer", layer);
        m.control.sendRaw(control::encodeLine(line));
        QVERIFY(!m.control.next("join_ok").isEmpty());
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

private slots:
    void init()
    {
        members.clear();
        QVERIFY(server = startServer(testConfig(), [this] { return now; }));
    }

    void twoSealedMembersShareOneKeyFromOppositeSides()
    {
        Member& alice = enter(true, 3, "alice");
        sendCandidates(alice, {"192.168.1.10:40123"});
        Member& bob = enter(true, 3, "bob");
        const QJsonObject a = peersIn(listOf(alice, 1)).at(0).toObject();
        const QJsonObject b = peersIn(listOf(bob, 1)).at(0).toObject();
        QCOMPARE(a.value("username").toString(), "bob");
        QCOMPARE(b.value("vip").toString(), "10.8.0.1");
        QCOMPARE(a.value("pair"), b.value("pair"));
        QVERIFY(a.value("pair").toString().toUInt() >= 1);
        QCOMPARE(a.value("key"), b.value("key"));
        QCOMPARE(QByteArray::fromBase64(a.value("key").toString().toLatin1()).size(), 32);
        QCOMPARE(a.value("side").toInt(), 0); // alice holds the lower slot
        QCOMPARE(b.value("side").toInt(), 1);
        QCOMPARE(texts(b.value("candidates")), QStringList{"192.168.1.10:40123"});
    }

    void plainAndUndeclaredMembersAndOtherLayersStayOnTheRelay()
    {
        Member& alice = enter(true, 3);
        Member& plain = enter(false, 3);
        enter(true, 2);
        enter(true, 0);
        enter(true, 3, "carol");
        const QJsonArray peers = peersIn(listOf(alice, 1));
        QCOMPARE(peers.at(0).toObject().value("username").toString(), "carol");
        QVERIFY(alice.control.quietOn("direct_peers") && plain.control.quietOn("direct_peers", 0));
        QVERIFY(members[2]->control.quietOn("direct_peers", 0) &&
                members[3]->control.quietOn("direct_peers", 0));
    }

    void aLeaveSendsTheRemainingMemberAnEmptyList()
    {
        Member& alice = enter(true);
        Member& bob = enter(true);
        listOf(alice, 1);
        bob.control.send("leave_room");
        const QJsonObject list = listOf(alice, 0);
        QVERIFY(list.value("peers").isArray() && peersIn(list).isEmpty());
    }

    void aRejoinMakesANewPair()
    {
        Member& alice = enter(true);
        Member& bob = enter(true);
        const QJsonObject before = peersIn(listOf(alice, 1)).at(0).toObject();
        listOf(bob, 1);
        bob.control.send("leave_room");
        listOf(alice, 0);
        join(bob, 3);
        const QJsonObject after = peersIn(listOf(alice, 1)).at(0).toObject();
        QVERIFY(after.value("pair") != before.value("pair"));
        QVERIFY(after.value("key") != before.value("key"));
        QCOMPARE(after.value("pair"), peersIn(listOf(bob, 1)).at(0).toObject().value("pair"));
    }

    void candidatesAreCheckedOneByOne_data()
    {
        QTest::addColumn<QJsonArray>("given");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("IPv4 and IPv6, written one way")
            << QJsonArray{"10.0.0.5:1", "[2001:DB8:0::5]:65535", "[::ffff:192.0.2.1]:9", "10.0.0.5:1"}
            << QStringList{"10.0.0.5:1", "[2001:db8::5]:65535", "192.0.2.1:9"};
        QTest::newRow("unreachable")
            << QJsonArray{"127.0.0.1:5", "0.0.0.0:5", "224.0.0.1:5", "255.255.255.255:5", "169.254.1.1:5",
                          "[::1]:5", "[::]:5", "[fe80::1]:5"}
            << QStringList{};
        QTest::newRow("malformed")
            << QJsonArray{"1.2.3:5", "1.2.3.4", "1.2.3.4:0", "1.2.3.4:65536", "01.2.3.4:5", "[1.2.3.4]:5",
                          "host.example:5", 7}
            << QStringList{};
        QTest::newRow("IPv6 multicast, scoped") << QJsonArray{"[ff02::1]:5", "[2001:db8::1%eth0]:5"}
                                                << QStringList{};
        QTest::newRow("eight looked at") << QJsonArray{"1.0.0.1:1", "1.0.0.2:1", "1.0.0.3:1", "1.0.0.4:1",
                                                       "1.0.0.5:1", "1.0.0.6:1", "1.0.0.7:1", "1.0.0.8:1",
                                                       "1.0.0.9:1"}
                                         << QStringList{"1.0.0.1:1", "1.0.0.2:1", "1.0.0.3:1", "1.0.0.4:1",
                                                        "1.0.0.5:1", "1.0.0.6:1", "1.0.0.7:1", "1.0.0.8:1"};
    }
    void candidatesAreCheckedOneByOne()
    {
        QFETCH(QJsonArray, given);
        QFETCH(QStringList, kept);
        Member& alice = enter(true);
        sendCandidates(alice, given);
        Member& bob = enter(true);
        QCOMPARE(texts(peersIn(listOf(bob, 1)).at(0).toObject().value("candidates")), kept);
    }

    void theRelaySeenEndpointComesFirstOnceBound()
    {
        Member& alice = enter(true);
        sendCandidates(alice, {"192.168.1.10:40123"});
        Member& bob = enter(true);
        listOf(bob, 1);
        alice.tunnel.sendRaw(alice.sealedBytes({}, true));
        const QString seen = QString("127.0.0.1:%1").arg(alice.tunnel.socket.localPort());
        const QJsonObject list = bob.control.until("direct_peers", [&](const QJsonObject& l) {
            return texts(peersIn(l).at(0).toObject().value("candidates")).value(0) == seen;
        });
        QCOMPARE(texts(peersIn(list).at(0).toObject().value("candidates")),
                 (QStringList{seen, "192.168.1.10:40123"}));
    }

    void candidateChurnSendsPeersABoundedNumberOfLists()
    {
        Member& alice = enter(true);
        Member& bob = enter(true);
        listOf(bob, 1);
        for (int i = 1; i <= 20; ++i)
            sendCandidates(alice, {QString("192.168.1.%1:5").arg(i)});
        int lists = 0;
        QJsonObject last;
        for (QJsonObject l; !(l = bob.control.next("direct_peers", 300)).isEmpty(); ++lists)
            last = l;
        QCOMPARE(lists, 3); // four per window, the first went at the join
        now += 60000;       // the rest waited for the window, and goes out as one
        last = bob.control.next("direct_peers");
        QCOMPARE(texts(peersIn(last).at(0).toObject().value("candidates")), QStringList{"192.168.1.6:5"});
        QVERIFY(bob.control.quietOn("direct_peers"));
    }
};

QTEST_GUILESS_MAIN(TestDirectPeers)
#include "test_directpeers.moc"
