// Server restarts end to end (namespaces as in test_e2e_vlan): two players in a
// locked room keep pinging while pellora-server, with a state file, is stopped or
// killed and restarted; a room whose players stayed away too long is gone.
#include "tests/e2e/player.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

using namespace e2e;

namespace {

const QString kLockedDen = QStringLiteral("Den \U0001F512");

QString text(const QJsonObject& status, const char* key)
{
    return status.value(QLatin1String(key)).toString();
}

// One echo request answered within a second.
bool pingOnce(const QString& ns, const QString& to)
{
    return netns::exec(ns, {QStringLiteral("ping"), QStringLiteral("-n"), QStringLiteral("-c1"), QStringLiteral("-W1"), to})
               .code == 0;
}

} // namespace

class TestE2eRestart : public QObject
{
    Q_OBJECT

    netns::Lab lab{QStringLiteral("pe2r")};
    QString nsServer = lab.name('s');
    QTemporaryDir dir;
    QProcess server;
    Player alice;
    Player bob;

    bool startServer(int port, const QString& graceSeconds)
    {
        server.setProcessChannelMode(QProcess::ForwardedChannels);
        return netns::start(server, nsServer,
                            {QStringLiteral(PELLORA_E2E_SERVER), QStringLiteral("--listen"), kServerIp, QStringLiteral("--port"),
                             QString::number(port), QStringLiteral("--stats-interval"), QStringLiteral("0"),
                             QStringLiteral("--session-grace"), graceSeconds, QStringLiteral("--state"),
                             dir.filePath(QStringLiteral("lobby.db"))});
    }

    bool stopServer(bool kill)
    {
        kill ? server.kill() : server.terminate();
        return server.waitForFinished(5000);
    }

private slots:
    void initTestCase()
    {
        const QString why = netns::unavailable({QStringLiteral("ip"), QStringLiteral("ping")});
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        alice.name = QStringLiteral("alice");
        alice.netns = lab.name('a');
        bob.name = QStringLiteral("bob");
        bob.netns = lab.name('b');
        QVERIFY(lab.addBridge(nsServer, QStringLiteral("br0"), kServerIp + QStringLiteral("/24")));
        QVERIFY(lab.addHost(alice.netns, QStringLiteral("10.99.0.2/24"), nsServer, QStringLiteral("br0"), QStringLiteral("pa")));
        QVERIFY(lab.addHost(bob.netns, QStringLiteral("10.99.0.3/24"), nsServer, QStringLiteral("br0"), QStringLiteral("pb")));
        QVERIFY(startServer(kPort, QStringLiteral("30")));
        for (Player* p : {&alice, &bob}) {
            QVERIFY(p->start(QStringLiteral(PELLORA_E2E_DRIVER)));
            QVERIFY(p->command(QStringLiteral("login ") + p->name).value(QStringLiteral("ok")).toBool());
            QVERIFY(p->waitForStatus([](const QJsonObject& s) { return s.value(QStringLiteral("logins")).toInt() >= 1; }, 15000));
        }
    }

    void cleanupTestCase()
    {
        const bool aliceClean = alice.stop();
        const bool bobClean = bob.stop();
        netns::stop(server);
        lab.removeAll();
        QVERIFY(aliceClean);
        QVERIFY(bobClean);
    }

    void restartsLoseNothing()
    {
        QVERIFY(alice.command(QStringLiteral("create Den k")).value(QStringLiteral("ok")).toBool());
        QVERIFY(alice.waitForStatus(adapterUp, 10000));
        QVERIFY(bob.command(QStringLiteral("join Den k")).value(QStringLiteral("ok")).toBool());
        QVERIFY(bob.waitForStatus(adapterUp, 10000));
        const QString vipA = text(alice.status(), "vip");
        const QString vipB = text(bob.status(), "vip");
        QVERIFY(netns::waitUntil([&] { return pingOnce(alice.netns, vipB) && pingOnce(bob.netns, vipA); }, 8000));

        for (const bool kill : {false, true}) {
            const int joinsA = alice.status().value(QStringLiteral("joins")).toInt();
            const int joinsB = bob.status().value(QStringLiteral("joins")).toInt();
            // Pings under way while the server goes.
            QProcess pings;
            QVERIFY(netns::start(pings, bob.netns, {QStringLiteral("ping"), QStringLiteral("-n"), QStringLiteral("-i0.2"),
                                                    QStringLiteral("-c30"), vipA}));
            QTest::qWait(1000);
            QVERIFY(stopServer(kill));
            QTest::qWait(1000);
            QElapsedTimer sinceStart;
            sinceStart.start();
            QVERIFY(startServer(kPort, QStringLiteral("30")));
            while (!(pingOnce(alice.netns, vipB) && pingOnce(bob.netns, vipA)) && sinceStart.elapsed() < 8000)
                QTest::qWait(100);
            QVERIFY2(sinceStart.elapsed() <= 5000, qPrintable(QString::number(sinceStart.elapsed())));
            netns::stop(pings);
            // The clients logged in again into the same room: same addresses,
            // same host, the room still locked.
            for (Player* p : {&alice, &bob}) {
                const int joins = p == &alice ? joinsA : joinsB;
                QVERIFY(p->waitForStatus([&](const QJsonObject& s) { return s.value(QStringLiteral("joins")).toInt() > joins; },
                                         5000));
                const QJsonObject s = p->status();
                QCOMPARE(text(s, "vip"), p == &alice ? vipA : vipB);
                QCOMPARE(text(s, "hostVip"), vipA);
                QCOMPARE(s.value(QStringLiteral("isHost")).toBool(), p == &alice);
                QVERIFY(s.value(QStringLiteral("inRoom")).toBool());
                QVERIFY(s.value(QStringLiteral("rooms")).toArray().contains(kLockedDen));
            }
        }
        // The key came through too.
        QVERIFY(bob.command(QStringLiteral("leave")).value(QStringLiteral("ok")).toBool());
        QVERIFY(bob.command(QStringLiteral("join Den k")).value(QStringLiteral("ok")).toBool());
        QVERIFY(bob.waitForStatus([&](const QJsonObject& s) { return adapterUp(s) && text(s, "vip") == vipB; }, 10000));

        // Everybody away past the grace time: a server on a port the clients
        // do not use lets the sessions run out, then comes back on theirs.
        QVERIFY(stopServer(false));
        QVERIFY(startServer(kPort + 1, QStringLiteral("0.5")));
        QTest::qWait(2000);
        QVERIFY(stopServer(false));
        QVERIFY(startServer(kPort, QStringLiteral("30")));
        for (Player* p : {&alice, &bob}) {
            QVERIFY2(p->waitForStatus(
                         [](const QJsonObject& s) {
                             return !s.value(QStringLiteral("inRoom")).toBool() && !adapterUp(s) &&
                                    !s.value(QStringLiteral("rooms")).toArray().contains(kLockedDen);
                         },
                         12000),
                     qPrintable(p->name));
            const QJsonObject box = p->status().value(QStringLiteral("boxes")).toArray().last().toObject();
            QCOMPARE(text(box, "title"), QStringLiteral("Connection Terminated"));
            QVERIFY2(text(box, "text").contains(QStringLiteral("closed while you were away")), qPrintable(text(box, "text")));
        }
    }
};

QTEST_GUILESS_MAIN(TestE2eRestart)
#include "test_e2e_restart.moc"
