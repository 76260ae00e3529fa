// One room, two adapter modes: a layer-3 player and a layer-2 player reach
// each other through the relay, which frames and strips their traffic.
#include "tests/e2e/player.h"

using namespace e2e;

class TestE2eMixed : public QObject
{
    Q_OBJECT

    World w{QStringLiteral("pmix")};
    Player& alice = w.alice; // layer 3
    Player& bob = w.bob;     // layer 2

private slots:
    void initTestCase()
    {
        if (const QString why = World::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QVERIFY(w.setUp());
    }

    void cleanupTestCase() { QVERIFY(w.tearDown()); }

    void layer2AndLayer3PlayersShareARoom()
    {
        QVERIFY(alice.run(QStringLiteral("mode 3")) && bob.run(QStringLiteral("mode 2")));
        QVERIFY(alice.run(QStringLiteral("create Mixed")));
        QVERIFY(alice.waitForStatus(
            [](const QJsonObject& s) { return s.value(QStringLiteral("wintun")).toBool(); }));
        QVERIFY(bob.run(QStringLiteral("join Mixed")));
        QVERIFY(
            bob.waitForStatus([](const QJsonObject& s) { return s.value(QStringLiteral("tap")).toBool(); }));
        const QString vipA = alice.text("vip");
        const QString vipB = bob.text("vip");

        // The relay learns each side's mode from its first traffic (bob's
        // ARP for alice is answered by the relay); then pings go both ways.
        netns::ping(alice.netns, vipB, 1);
        QVERIFY(netns::ping(bob.netns, vipA) >= 2);
        QVERIFY(netns::ping(alice.netns, vipB) >= 2);

        QVERIFY(World::arrives(alice, bob, broadcastOf(vipA), 40000, QStringLiteral("from-layer-3")));
        QVERIFY(World::arrives(bob, alice, broadcastOf(vipB), 40001, QStringLiteral("from-layer-2")));
        QVERIFY(w.forgedNeverArrives(40000, netns::macOf(bob.netns, QStringLiteral("pellora0"))));
    }
};

QTEST_GUILESS_MAIN(TestE2eMixed)
#include "test_e2e_mixed.moc"
