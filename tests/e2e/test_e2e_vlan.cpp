// The virtual LAN end to end in either adapter mode: pings, broadcasts, forged
// datagrams, a cut control connection, leaving, kicking, a server restart.
#include "net/scramble.h"
#include "tests/e2e/ipv4packet.h"
#include "tests/e2e/player.h"

using namespace e2e;

class TestE2eVlan : public QObject
{
    Q_OBJECT

    World w{u"pe2e"_s};
    Player& alice = w.alice;
    Player& bob = w.bob;

    static QString adapterName(bool layer2) { return layer2 ? u"pellora0"_s : u"RIRODedo"_s; }

private slots:
    void initTestCase()
    {
        if (const QString why = World::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QVERIFY(w.setUp());
    }

    void cleanupTestCase() { QVERIFY(w.tearDown()); }

    void room_data()
    {
        QTest::addColumn<QString>("room");
        QTest::addColumn<bool>("layer2A");
        QTest::addColumn<bool>("layer2B");
        QTest::newRow("layer 3") << u"Alpha"_s << false << false;
        QTest::newRow("layer 2") << u"Gamma"_s << true << true;
        // The relay frames and strips what passes between the two modes.
        QTest::newRow("layer 3 with layer 2") << u"Mixed"_s << false << true;
    }

    void room()
    {
        QFETCH(QString, room);
        QFETCH(bool, layer2A);
        QFETCH(bool, layer2B);
        QVERIFY(alice.run(layer2A ? u"mode 2"_s : u"mode 3"_s) &&
                bob.run(layer2B ? u"mode 2"_s : u"mode 3"_s));

        // Alice creates the room through the dialog and is in it; Bob joins from the list.
        QVERIFY(alice.enter(u"create "_s + room));
        QVERIFY(bob.enter(u"join "_s + room));
        for (const auto& [p, layer2] : {std::pair{&alice, layer2A}, {&bob, layer2B}}) {
            QCOMPARE(p->status().value(u"tap"_s).toBool(), layer2);
            QVERIFY(netns::interfaceExists(p->netns, adapterName(layer2)));
        }
        QVERIFY(!bob.status().value(u"modeEnabled"_s).toBool());
        const QString vipA = alice.text("vip");
        const QString vipB = bob.text("vip");
        QVERIFY(!vipA.isEmpty() && !vipB.isEmpty() && vipA != vipB);

        // The relay learns each side's mode from its first traffic (a layer-2
        // player's ARP for a layer-3 one is answered by the relay).
        netns::ping(alice.netns, vipB, 1);
        QVERIFY(netns::ping(alice.netns, vipB) >= 2);
        QVERIFY(netns::ping(bob.netns, vipA) >= 2);
        const QString macB = layer2B ? netns::macOf(bob.netns, adapterName(true)) : QString();
        if (layer2A && layer2B) {
            const QString neighbours =
                netns::run({u"ip"_s, u"-n"_s, alice.netns, u"neigh"_s, u"show"_s, vipB}).output;
            QVERIFY2(neighbours.contains(macB), qPrintable(neighbours));
        }

        const auto broadcastOf = [](const QString& vip) { return vip.section(u'.', 0, 2) + u".255"_s; };
        QVERIFY(arrives(alice, bob, broadcastOf(vipA), 40000, u"broadcast-from-alice"_s));
        QVERIFY(arrives(bob, alice, broadcastOf(vipB), 40001, u"broadcast-from-bob"_s));
        QVERIFY(arrives(alice, bob, vipB, 40002, u"through-the-relay"_s));

        // Alice-to-Bob datagrams sent straight to his tunnel port by the
        // stranger and the relay's host, but not the relay, never reach him.
        QByteArray forged = testpackets::udpPacket(vipA.toLatin1().constData(), vipB.toLatin1().constData(),
                                                   5555, 40002, "forged");
        if (layer2B)
            forged = testpackets::ethernetFrame(QByteArray::fromHex(QString(macB).remove(u':').toLatin1()),
                                                forged);
        const QString hex = QString::fromLatin1(tunnel::scramblePayload(forged).toHex());
        const QString tunnelPort = QString::number(bob.count("udpPort"));
        for (const QString& from : {w.nsStranger, w.nsServer})
            QCOMPARE(netns::exec(from, {QStringLiteral(PELLORA_E2E_DRIVER), u"--send"_s, u"10.99.0.3"_s,
                                        tunnelPort, hex})
                         .code,
                     0);
        QTest::qWait(1500);
        QVERIFY(!bob.heard(u"forged"_s));

        // The server drops Alice's control connection; the tunnel carries on
        // and she logs in again into the same session.
        const QJsonObject before = alice.status();
        QProcess pinger;
        pinger.setProcessChannelMode(QProcess::MergedChannels);
        QVERIFY(netns::start(pinger, bob.netns, netns::pingCommand(vipA, 30, u"0.25"_s)));
        QTest::qWait(1000);
        const netns::Result cut = netns::exec(w.nsServer, {u"ss"_s, u"-K"_s, u"dst"_s, u"10.99.0.2"_s});
        QVERIFY2(cut.code == 0, qPrintable(cut.output));
        QVERIFY(alice.waitForMore("logins", before.value(u"logins"_s).toInt(), 8000));
        const QJsonObject after = alice.status();
        // The same session (room, address) under a fresh id: a key that travelled once is not good forever.
        QVERIFY(after.value(u"clientId"_s).toString() != before.value(u"clientId"_s).toString());
        QCOMPARE(after.value(u"vip"_s).toString(), before.value(u"vip"_s).toString());
        QVERIFY(after.value(u"inRoom"_s).toBool());
        QVERIFY(adapterUp(after));
        QVERIFY(pinger.waitForFinished(20000));
        const QString output = QString::fromLocal8Bit(pinger.readAll());
        QVERIFY2(netns::received(output) >= 27, qPrintable(output));

        // Leaving takes the adapter down and unlocks the mode.
        QVERIFY(bob.run(u"leave"_s));
        const QJsonObject left = bob.status();
        QVERIFY(!adapterUp(left));
        QVERIFY(!left.value(u"inRoom"_s).toBool());
        QVERIFY(left.value(u"modeEnabled"_s).toBool());
        QVERIFY(!netns::interfaceExists(bob.netns, adapterName(layer2B)));

        // A kicked player's adapter stops once the notice is answered.
        QVERIFY(bob.enter(u"join "_s + room));
        QVERIFY(alice.run(u"kick bob"_s));
        QVERIFY(bob.waitForStatus(
            [](const QJsonObject& s) { return !adapterUp(s) && !s.value(u"inRoom"_s).toBool(); }));
        const QJsonArray boxes = bob.status().value(u"boxes"_s).toArray();
        QVERIFY(!boxes.isEmpty());
        QCOMPARE(boxes.last().toObject().value(u"title"_s).toString(), u"Connection Terminated"_s);
        QVERIFY(!netns::interfaceExists(bob.netns, adapterName(layer2B)));

        QVERIFY(alice.run(u"leave"_s));
        QVERIFY(!netns::interfaceExists(alice.netns, adapterName(layer2A)));
    }

    void serverRestartBothLogInAgain()
    {
        const int aliceLogins = alice.count("logins");
        const int bobLogins = bob.count("logins");
        QVERIFY(w.stopServer());
        QVERIFY(w.startServer());
        QVERIFY(alice.waitForMore("logins", aliceLogins, 12000));
        QVERIFY(bob.waitForMore("logins", bobLogins, 12000));
        QCOMPARE(alice.text("page"), u"lobby"_s);
    }
};

QTEST_GUILESS_MAIN(TestE2eVlan)
#include "test_e2e_vlan.moc"
