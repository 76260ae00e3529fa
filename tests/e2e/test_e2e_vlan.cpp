// The virtual LAN end to end, in both adapter modes: pings, broadcasts, forged
// datagrams, a cut control connection, leaving, kicking, a server restart.
#include "tests/e2e/player.h"

using namespace e2e;

class TestE2eVlan : public QObject
{
    Q_OBJECT

    World w{QStringLiteral("pe2e")};
    Player& alice = w.alice;
    Player& bob = w.bob;

    void roomScenario(bool layer2, const QString& room)
    {
        const QString adapter = layer2 ? QStringLiteral("pellora0") : QStringLiteral("RIRODedo");
        const QString mode = layer2 ? QStringLiteral("mode 2") : QStringLiteral("mode 3");
        QVERIFY(alice.run(mode) && bob.run(mode));

        // Alice creates the room through the dialog and is in it; Bob joins from the list.
        QVERIFY(alice.run(QStringLiteral("create ") + room));
        QVERIFY(alice.waitForStatus(adapterUp));
        QVERIFY(bob.run(QStringLiteral("join ") + room));
        QVERIFY(bob.waitForStatus(adapterUp));
        const QJsonObject a = alice.status();
        const QJsonObject b = bob.status();
        QCOMPARE(a.value(QStringLiteral("tap")).toBool(), layer2);
        QCOMPARE(b.value(QStringLiteral("tap")).toBool(), layer2);
        QVERIFY(!b.value(QStringLiteral("modeEnabled")).toBool());
        const QString vipA = a.value(QStringLiteral("vip")).toString();
        const QString vipB = b.value(QStringLiteral("vip")).toString();
        QVERIFY(!vipA.isEmpty() && !vipB.isEmpty() && vipA != vipB);
        QVERIFY(netns::interfaceExists(alice.netns, adapter));

        QVERIFY(netns::ping(alice.netns, vipB) >= 2);
        QVERIFY(netns::ping(bob.netns, vipA) >= 2);
        const QString macB = layer2 ? netns::macOf(bob.netns, adapter) : QString();
        if (layer2) {
            const QString neighbours = netns::run({QStringLiteral("ip"), QStringLiteral("-n"), alice.netns,
                                                   QStringLiteral("neigh"), QStringLiteral("show"), vipB})
                                           .output;
            QVERIFY2(neighbours.contains(macB), qPrintable(neighbours));
        }

        QVERIFY(World::arrives(alice, bob, broadcastOf(vipA), 40000, QStringLiteral("room-broadcast")));
        QVERIFY(World::arrives(alice, bob, vipB, 40001, QStringLiteral("through-the-relay")));
        QVERIFY(w.forgedNeverArrives(40001, macB));

        controlCutKeepsSession(vipA);

        // Leaving takes the adapter down and unlocks the mode.
        QVERIFY(bob.run(QStringLiteral("leave")));
        const QJsonObject left = bob.status();
        QVERIFY(!adapterUp(left));
        QVERIFY(!left.value(QStringLiteral("inRoom")).toBool());
        QVERIFY(left.value(QStringLiteral("modeEnabled")).toBool());
        QVERIFY(!netns::interfaceExists(bob.netns, adapter));

        // A kicked player's adapter stops once the notice is answered.
        QVERIFY(bob.run(QStringLiteral("join ") + room));
        QVERIFY(bob.waitForStatus(adapterUp));
        QVERIFY(alice.run(QStringLiteral("kick bob")));
        QVERIFY(bob.waitForStatus([](const QJsonObject& s) {
            return !adapterUp(s) && !s.value(QStringLiteral("inRoom")).toBool();
        }));
        const QJsonArray boxes = bob.status().value(QStringLiteral("boxes")).toArray();
        QVERIFY(!boxes.isEmpty());
        QCOMPARE(boxes.last().toObject().value(QStringLiteral("title")).toString(),
                 QStringLiteral("Connection Terminated"));
        QVERIFY(!netns::interfaceExists(bob.netns, adapter));

        QVERIFY(alice.run(QStringLiteral("leave")));
        QVERIFY(!netns::interfaceExists(alice.netns, adapter));
    }

    // The server drops Alice's control connection; the tunnel carries on and
    // she logs in again into the same session.
    void controlCutKeepsSession(const QString& vipA)
    {
        const QJsonObject before = alice.status();
        QProcess pinger;
        pinger.setProcessChannelMode(QProcess::MergedChannels);
        QVERIFY(netns::start(pinger, bob.netns, netns::pingCommand(vipA, 30, QStringLiteral("0.25"))));
        QTest::qWait(1000);
        const netns::Result cut =
            netns::exec(w.nsServer, {QStringLiteral("ss"), QStringLiteral("-K"), QStringLiteral("dst"),
                                     QStringLiteral("10.99.0.2")});
        QVERIFY2(cut.code == 0, qPrintable(cut.output));
        QVERIFY(alice.waitForMore("logins", before.value(QStringLiteral("logins")).toInt(), 8000));
        const QJsonObject after = alice.status();
        // The same session (room, address) under a fresh id: a key that travelled once is not good forever.
        QVERIFY(after.value(QStringLiteral("clientId")).toString() !=
                before.value(QStringLiteral("clientId")).toString());
        QCOMPARE(after.value(QStringLiteral("vip")).toString(),
                 before.value(QStringLiteral("vip")).toString());
        QVERIFY(after.value(QStringLiteral("inRoom")).toBool());
        QVERIFY(adapterUp(after));
        QVERIFY(pinger.waitForFinished(20000));
        const QString output = QString::fromLocal8Bit(pinger.readAll());
        QVERIFY2(netns::received(output) >= 27, qPrintable(output));
    }

private slots:
    void initTestCase()
    {
        if (const QString why = World::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QVERIFY(w.setUp());
    }

    void cleanupTestCase() { QVERIFY(w.tearDown()); }

    void layer3Room() { roomScenario(false, QStringLiteral("Alpha")); }

    void layer2Room() { roomScenario(true, QStringLiteral("Gamma")); }

    void serverRestartBothLogInAgain()
    {
        const int aliceLogins = alice.count("logins");
        const int bobLogins = bob.count("logins");
        QVERIFY(w.stopServer());
        QVERIFY(w.startServer());
        QVERIFY(alice.waitForMore("logins", aliceLogins, 12000));
        QVERIFY(bob.waitForMore("logins", bobLogins, 12000));
        QCOMPARE(alice.text("page"), QStringLiteral("lobby"));
    }
};

QTEST_GUILESS_MAIN(TestE2eVlan)
#include "test_e2e_vlan.moc"
