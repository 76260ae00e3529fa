// Two players in a locked room keep pinging while the server, with a state
// file, is stopped or killed and restarted; a room left too long is gone.
#include "tests/e2e/player.h"

#include <QTemporaryDir>

using namespace e2e;

class TestE2eRestart : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    World w{u"pe2r"_s};
    Player& alice = w.alice;
    Player& bob = w.bob;
    const QString lockedDen = u"Den \U0001F512"_s;

    bool pingBothWays(const QString& vipA, const QString& vipB)
    {
        return netns::ping(alice.netns, vipB, 1) == 1 && netns::ping(bob.netns, vipA, 1) == 1;
    }

private slots:
    void initTestCase()
    {
        if (const QString why = World::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QVERIFY(w.setUp({u"--state"_s, dir.filePath(u"lobby.db"_s)}));
    }

    void cleanupTestCase() { QVERIFY(w.tearDown()); }

    void restartsLoseNothing()
    {
        QVERIFY(alice.enter(u"create Den k"_s));
        QVERIFY(bob.enter(u"join Den k"_s));
        const QString vipA = alice.text("vip");
        const QString vipB = bob.text("vip");
        QVERIFY(netns::waitUntil([&] { return pingBothWays(vipA, vipB); }, 8000));

        for (const bool kill : {false, true}) {
            const int joins[] = {alice.count("joins"), bob.count("joins")};
            // Pings under way while the server goes.
            QProcess pings;
            QVERIFY(netns::start(pings, bob.netns, netns::pingCommand(vipA, 30, u"0.2"_s)));
            QTest::qWait(1000);
            QVERIFY(w.stopServer(kill));
            QTest::qWait(1000);
            QElapsedTimer sinceStart;
            sinceStart.start();
            QVERIFY(w.startServer());
            while (!pingBothWays(vipA, vipB) && sinceStart.elapsed() < 8000)
                QTest::qWait(100);
            QVERIFY2(sinceStart.elapsed() <= 5000, qPrintable(QString::number(sinceStart.elapsed())));
            netns::stop(pings);
            // The clients logged in again into the same room: same addresses,
            // same host, the room still locked.
            for (Player* p : {&alice, &bob}) {
                QVERIFY(p->waitForMore("joins", joins[p == &bob], 5000));
                const QJsonObject s = p->status();
                QCOMPARE(s.value(u"vip"_s).toString(), p == &alice ? vipA : vipB);
                QCOMPARE(s.value(u"hostVip"_s).toString(), vipA);
                QCOMPARE(s.value(u"isHost"_s).toBool(), p == &alice);
                QVERIFY(s.value(u"inRoom"_s).toBool());
                QVERIFY(s.value(u"rooms"_s).toArray().contains(lockedDen));
            }
        }
        // The key came through too.
        QVERIFY(bob.run(u"leave"_s));
        QVERIFY(bob.run(u"join Den k"_s));
        QVERIFY(bob.waitForStatus(
            [&](const QJsonObject& s) { return adapterUp(s) && s.value(u"vip"_s).toString() == vipB; }));

        // Everybody away past the grace time: a server on a port the clients
        // do not use lets the sessions run out, then comes back on theirs.
        QVERIFY(w.stopServer());
        QVERIFY(w.startServer(kPort + 1, {u"--session-grace"_s, u"0.5"_s}));
        QTest::qWait(2000);
        QVERIFY(w.stopServer());
        QVERIFY(w.startServer());
        for (Player* p : {&alice, &bob}) {
            QVERIFY2(p->waitForStatus(
                         [&](const QJsonObject& s) {
                             return !s.value(u"inRoom"_s).toBool() && !adapterUp(s) &&
                                    !s.value(u"rooms"_s).toArray().contains(lockedDen);
                         },
                         12000),
                     qPrintable(p->name));
            const QJsonObject box = p->status().value(u"boxes"_s).toArray().last().toObject();
            QCOMPARE(box.value(u"title"_s).toString(), u"Connection Terminated"_s);
            QVERIFY2(box.value(u"text"_s).toString().contains(u"closed while you were away"_s),
                     qPrintable(box.value(u"text"_s).toString()));
        }
    }
};

QTEST_GUILESS_MAIN(TestE2eRestart)
#include "test_e2e_restart.moc"
