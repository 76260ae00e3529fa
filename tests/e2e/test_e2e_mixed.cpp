// One room, two adapter modes: a layer-3 player and a layer-2 player reach
// each other through the relay, which frames and strips their traffic.
// pellora-server, the players and a stranger each in a network namespace of
// the test's own, joined by veth links to a bridge in the server's.
#include "net/scramble.h"
#include "tests/e2e/ipv4packet.h"
#include "tests/e2e/player.h"

#include <QTest>

using namespace e2e;

class TestE2eMixed : public QObject
{
    Q_OBJECT

    netns::Lab lab{QStringLiteral("pmix")};
    QString nsServer = lab.name('s');
    QString nsStranger = lab.name('x');
    QProcess server;
    Player alice; // layer 3
    Player bob;   // layer 2

    static bool ok(const QJsonObject& answer) { return answer.value(QStringLiteral("ok")).toBool(); }

    // `to` hears `text` that `from` keeps sending to the room's broadcast address.
    static bool broadcastArrives(Player& from, Player& to, const QString& vip, int port, const QString& text)
    {
        const QString broadcast = vip.section(QLatin1Char('.'), 0, 2) + QStringLiteral(".255");
        return ok(to.command(QStringLiteral("udplisten %1").arg(port))) && netns::waitUntil([&] {
                   from.command(QStringLiteral("udpsend %1 %2 %3").arg(broadcast).arg(port).arg(text));
                   return datagramSeen(to.command(QStringLiteral("udprecv")), text);
               }, 8000, 300);
    }

private slots:
    void initTestCase()
    {
        const QString why = netns::unavailable({QStringLiteral("ip"), QStringLiteral("ping")});
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        alice.name = QStringLiteral("alice"), alice.netns = lab.name('a');
        bob.name = QStringLiteral("bob"), bob.netns = lab.name('b');
        QVERIFY(lab.addBridge(nsServer, QStringLiteral("br0"), kServerIp + QStringLiteral("/24")));
        const QStringList hosts{alice.netns, bob.netns, nsStranger}; // 10.99.0.2, .3, .4
        for (int i = 0; i < hosts.size(); ++i)
            QVERIFY(lab.addHost(hosts[i], QStringLiteral("10.99.0.%1/24").arg(i + 2), nsServer, QStringLiteral("br0"),
                                QStringLiteral("p%1").arg(i)));
        server.setProcessChannelMode(QProcess::ForwardedChannels);
        QVERIFY(netns::start(server, nsServer,
                             {QStringLiteral(PELLORA_E2E_SERVER), QStringLiteral("--listen"), kServerIp, QStringLiteral("--port"),
                              QString::number(kPort), QStringLiteral("--stats-interval"), QStringLiteral("0")}));
        for (Player* p : {&alice, &bob}) {
            QVERIFY(p->start(QStringLiteral(PELLORA_E2E_DRIVER)));
            QVERIFY(ok(p->command(QStringLiteral("login ") + p->name)));
            QVERIFY(p->waitForStatus([](const QJsonObject& s) { return s.value(QStringLiteral("logins")).toInt() >= 1; }, 15000));
        }
        QTest::qWait(2500); // first heartbeats: the relay learns both tunnel ports
    }

    void cleanupTestCase()
    {
        const bool clean = alice.stop() & bob.stop();
        netns::stop(server);
        lab.removeAll();
        QVERIFY(clean);
    }

    void layer2AndLayer3PlayersShareARoom()
    {
        QVERIFY(ok(alice.command(QStringLiteral("mode 3"))) && ok(bob.command(QStringLiteral("mode 2"))));
        QVERIFY(ok(alice.command(QStringLiteral("create Mixed"))));
        QVERIFY(alice.waitForStatus([](const QJsonObject& s) { return s.value(QStringLiteral("wintun")).toBool(); }, 10000));
        QVERIFY(ok(bob.command(QStringLiteral("join Mixed"))));
        QVERIFY(bob.waitForStatus([](const QJsonObject& s) { return s.value(QStringLiteral("tap")).toBool(); }, 10000));
        const QString vipA = alice.status().value(QStringLiteral("vip")).toString();
        const QJsonObject b = bob.status();
        const QString vipB = b.value(QStringLiteral("vip")).toString();

        // The relay learns each side's mode from its first traffic (bob's
        // ARP for alice is answered by the relay); then pings go both ways.
        netns::ping(alice.netns, vipB, 1);
        QVERIFY(netns::ping(bob.netns, vipA) >= 2);
        QVERIFY(netns::ping(alice.netns, vipB) >= 2);

        QVERIFY(broadcastArrives(alice, bob, vipA, 40000, QStringLiteral("from-layer-3")));
        QVERIFY(broadcastArrives(bob, alice, vipB, 40001, QStringLiteral("from-layer-2")));

        // A frame for bob sent straight to his tunnel port, not through the relay, never arrives.
        const QByteArray mac = QByteArray::fromHex(netns::macOf(bob.netns, QStringLiteral("pellora0")).remove(QLatin1Char(':')).toLatin1());
        const QByteArray forged = testpackets::ethernetFrame(
            mac, testpackets::udpPacket(vipA.toLatin1().constData(), vipB.toLatin1().constData(), 5555, 40000, "forged"));
        for (const QString& from : {nsStranger, nsServer})
            QCOMPARE(netns::exec(from, {QStringLiteral(PELLORA_E2E_DRIVER), QStringLiteral("--send"), QStringLiteral("10.99.0.3"),
                                        QString::number(b.value(QStringLiteral("udpPort")).toInt()),
                                        QString::fromLatin1(tunnel::scramblePayload(forged).toHex())}, 10000).code, 0);
        QTest::qWait(1500);
        QVERIFY(!datagramSeen(bob.command(QStringLiteral("udprecv")), QStringLiteral("forged")));
    }
};

QTEST_GUILESS_MAIN(TestE2eMixed)
#include "test_e2e_mixed.moc"
