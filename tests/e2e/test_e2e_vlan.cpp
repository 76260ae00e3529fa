// The virtual LAN end to end: pellora-server in one network namespace, two
// players (each a driven client) in two others, a stranger in a fourth, all
// joined by veth links to a bridge in the server's namespace. Addresses exist
// only inside these namespaces, which the test creates and removes.
#include "net/scramble.h"
#include "tests/e2e/ipv4packet.h"
#include "tests/support/netns.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <functional>
#include <memory>

namespace {

const QString kServerIp = QStringLiteral("10.99.0.1");
constexpr int kPort = 7777;

using netns::Result;
using netns::run;
using netns::waitUntil;

// One driven client in its namespace.
class Player
{
public:
    QString name;
    QString netns;
    QProcess process;
    bool launched = false;

    bool start(const QString& driver)
    {
        // Answers on stdout; the client's own messages pass through to ours.
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        launched = netns::start(process, netns,
                                {QStringLiteral("env"), QStringLiteral("PELLORA_SERVER=%1:%2").arg(kServerIp).arg(kPort),
                                 QStringLiteral("QT_QPA_PLATFORM=offscreen"),
                                 QStringLiteral("QT_LOGGING_RULES=qt.qpa.*=false"), driver});
        return launched;
    }

    // One command, one JSON answer within `timeoutMs`.
    QJsonObject command(const QString& line, int timeoutMs = 15000)
    {
        process.write(line.toUtf8() + '\n');
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            while (process.canReadLine()) {
                const QJsonObject answer = QJsonDocument::fromJson(process.readLine()).object();
                if (answer.contains(QStringLiteral("ok")))
                    return answer;
            }
            process.waitForReadyRead(100);
        }
        return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), QStringLiteral("no answer to ") + line}};
    }

    QJsonObject status() { return command(QStringLiteral("status")); }

    bool waitForStatus(const std::function<bool(const QJsonObject&)>& condition, int timeoutMs)
    {
        return waitUntil([&] { return condition(status()); }, timeoutMs);
    }

    // True when the client ended by itself and cleanly (sanitizer reports fail it).
    bool stop()
    {
        if (!launched)
            return true;
        if (process.state() == QProcess::NotRunning)
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        process.write("quit\n");
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(3000);
            return false;
        }
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
};

bool adapterUp(const QJsonObject& s)
{
    return s.value(QStringLiteral("wintun")).toBool() || s.value(QStringLiteral("tap")).toBool();
}

bool datagramSeen(const QJsonObject& answer, const QString& text)
{
    for (const QJsonValue& d : answer.value(QStringLiteral("datagrams")).toArray())
        if (d.toObject().value(QStringLiteral("data")).toString() == text)
            return true;
    return false;
}

} // namespace

class TestE2eVlan : public QObject
{
    Q_OBJECT

    netns::Lab lab{QStringLiteral("pe2e")};
    QString nsServer = lab.name('s');
    QString nsStranger = lab.name('x');
    QProcess server;
    Player alice;
    Player bob;

    static Result inNetns(const QString& ns, const QStringList& command, int timeoutMs = 20000)
    {
        return netns::exec(ns, command, timeoutMs);
    }

    bool addHost(const QString& ns, const QString& address, const QString& port)
    {
        return lab.addHost(ns, address + QStringLiteral("/24"), nsServer, QStringLiteral("br0"), port);
    }

    bool startServer()
    {
        server.setProcessChannelMode(QProcess::ForwardedChannels);
        return netns::start(server, nsServer,
                            {QStringLiteral(PELLORA_E2E_SERVER), QStringLiteral("--listen"), kServerIp, QStringLiteral("--port"),
                             QString::number(kPort), QStringLiteral("--stats-interval"), QStringLiteral("0")});
    }

    void stopServer() { netns::stop(server); }

    // Fewer than 2 of 3 echo requests answered fails.
    void ping(Player& from, const QString& to)
    {
        QVERIFY2(netns::ping(from.netns, to) >= 2, qPrintable(from.name + QStringLiteral(" -> ") + to));
    }

    static QString macOf(const QString& ns, const QString& name) { return netns::macOf(ns, name); }
    static bool interfaceExists(const QString& ns, const QString& name) { return netns::interfaceExists(ns, name); }

    static QString broadcastOf(const QString& vip) { return vip.section(QLatin1Char('.'), 0, 2) + QStringLiteral(".255"); }

    void roomScenario(bool layer2, const QString& room)
    {
        const QString adapterName = layer2 ? QStringLiteral("pellora0") : QStringLiteral("RIRODedo");
        const QString modeCommand = layer2 ? QStringLiteral("mode 2") : QStringLiteral("mode 3");
        QVERIFY(alice.command(modeCommand).value(QStringLiteral("ok")).toBool());
        QVERIFY(bob.command(modeCommand).value(QStringLiteral("ok")).toBool());

        // Alice creates the room through the dialog and is in it; Bob joins from the list.
        QVERIFY(alice.command(QStringLiteral("create ") + room).value(QStringLiteral("ok")).toBool());
        QVERIFY(alice.waitForStatus([](const QJsonObject& s) { return adapterUp(s); }, 10000));
        const QJsonObject joined = bob.command(QStringLiteral("join ") + room);
        QVERIFY2(joined.value(QStringLiteral("ok")).toBool(), qPrintable(joined.value(QStringLiteral("error")).toString()));
        QVERIFY(bob.waitForStatus([](const QJsonObject& s) { return adapterUp(s); }, 10000));
        const QJsonObject a = alice.status();
        const QJsonObject b = bob.status();
        QCOMPARE(a.value(QStringLiteral("tap")).toBool(), layer2);
        QCOMPARE(b.value(QStringLiteral("tap")).toBool(), layer2);
        QVERIFY(!b.value(QStringLiteral("modeEnabled")).toBool());
        const QString vipA = a.value(QStringLiteral("vip")).toString();
        const QString vipB = b.value(QStringLiteral("vip")).toString();
        QVERIFY(!vipA.isEmpty() && !vipB.isEmpty() && vipA != vipB);
        QVERIFY(interfaceExists(alice.netns, adapterName));

        // Ping both ways over the room addresses.
        ping(alice, vipB);
        ping(bob, vipA);
        if (layer2) {
            const QString neighbours = run({QStringLiteral("ip"), QStringLiteral("-n"), alice.netns, QStringLiteral("neigh"),
                                            QStringLiteral("show"), vipB})
                                           .output;
            QVERIFY2(neighbours.contains(macOf(bob.netns, adapterName)), qPrintable(neighbours));
        }

        // A broadcast to the room's broadcast address reaches the other player.
        QVERIFY(bob.command(QStringLiteral("udplisten 40000")).value(QStringLiteral("ok")).toBool());
        QVERIFY(waitUntil(
            [&] {
                alice.command(QStringLiteral("udpsend %1 40000 room-broadcast").arg(broadcastOf(vipA)));
                return datagramSeen(bob.command(QStringLiteral("udprecv")), QStringLiteral("room-broadcast"));
            },
            6000, 300));

        // A datagram from any address but the relay's never reaches the adapter,
        // while the same port hears what comes through the tunnel.
        QVERIFY(bob.command(QStringLiteral("udplisten 40001")).value(QStringLiteral("ok")).toBool());
        QVERIFY(alice.command(QStringLiteral("udpsend %1 40001 through-the-relay").arg(vipB)).value(QStringLiteral("ok")).toBool());
        QVERIFY(waitUntil([&] { return datagramSeen(bob.command(QStringLiteral("udprecv")), QStringLiteral("through-the-relay")); },
                          5000));
        QByteArray forged = testpackets::udpPacket(vipA.toLatin1().constData(), vipB.toLatin1().constData(), 5555, 40001, "forged");
        if (layer2)
            forged = testpackets::ethernetFrame(QByteArray::fromHex(macOf(bob.netns, adapterName).remove(QLatin1Char(':')).toLatin1()),
                                                forged);
        const QString hex = QString::fromLatin1(tunnel::scramblePayload(forged).toHex());
        const QString udpPort = QString::number(b.value(QStringLiteral("udpPort")).toInt());
        for (const QString& from : {nsStranger, nsServer})
            QCOMPARE(inNetns(from, {QStringLiteral(PELLORA_E2E_DRIVER), QStringLiteral("--send"), QStringLiteral("10.99.0.3"),
                                    udpPort, hex},
                             10000)
                         .code,
                     0);
        QTest::qWait(1500);
        QVERIFY(!datagramSeen(bob.command(QStringLiteral("udprecv")), QStringLiteral("forged")));

        controlCutKeepsSession(vipA);

        // Leaving takes the adapter down and unlocks the mode.
        QVERIFY(bob.command(QStringLiteral("leave")).value(QStringLiteral("ok")).toBool());
        const QJsonObject left = bob.status();
        QVERIFY(!adapterUp(left));
        QVERIFY(!left.value(QStringLiteral("inRoom")).toBool());
        QVERIFY(left.value(QStringLiteral("modeEnabled")).toBool());
        QVERIFY(!interfaceExists(bob.netns, adapterName));

        // A kicked player's adapter stops once the notice is answered.
        QVERIFY(bob.command(QStringLiteral("join ") + room).value(QStringLiteral("ok")).toBool());
        QVERIFY(bob.waitForStatus([](const QJsonObject& s) { return adapterUp(s); }, 10000));
        QVERIFY(alice.command(QStringLiteral("kick bob")).value(QStringLiteral("ok")).toBool());
        QVERIFY(bob.waitForStatus([](const QJsonObject& s) { return !adapterUp(s) && !s.value(QStringLiteral("inRoom")).toBool(); },
                                  10000));
        const QJsonArray boxes = bob.status().value(QStringLiteral("boxes")).toArray();
        QVERIFY(!boxes.isEmpty());
        QCOMPARE(boxes.last().toObject().value(QStringLiteral("title")).toString(), QStringLiteral("Connection Terminated"));
        QVERIFY(!interfaceExists(bob.netns, adapterName));

        QVERIFY(alice.command(QStringLiteral("leave")).value(QStringLiteral("ok")).toBool());
        QVERIFY(!interfaceExists(alice.netns, adapterName));
    }

    // The server drops Alice's control connection; the tunnel carries on and
    // she logs in again into the same session.
    void controlCutKeepsSession(const QString& vipA)
    {
        const QJsonObject before = alice.status();
        QProcess pinger;
        pinger.setProcessChannelMode(QProcess::MergedChannels);
        QVERIFY(netns::start(pinger, bob.netns,
                             {QStringLiteral("ping"), QStringLiteral("-n"), QStringLiteral("-c"), QStringLiteral("30"),
                              QStringLiteral("-i"), QStringLiteral("0.25"), QStringLiteral("-W"), QStringLiteral("1"), vipA}));
        QTest::qWait(1000);
        const Result cut = inNetns(nsServer, {QStringLiteral("ss"), QStringLiteral("-K"), QStringLiteral("dst"),
                                              QStringLiteral("10.99.0.2")});
        QVERIFY2(cut.code == 0, qPrintable(cut.output));
        const int logins = before.value(QStringLiteral("logins")).toInt();
        QVERIFY(alice.waitForStatus(
            [&](const QJsonObject& s) { return s.value(QStringLiteral("logins")).toInt() > logins; }, 8000));
        const QJsonObject after = alice.status();
        QCOMPARE(after.value(QStringLiteral("clientId")).toString(), before.value(QStringLiteral("clientId")).toString());
        QVERIFY(after.value(QStringLiteral("inRoom")).toBool());
        QVERIFY(adapterUp(after));
        QVERIFY(pinger.waitForFinished(20000));
        const QString output = QString::fromLocal8Bit(pinger.readAll());
        static const QRegularExpression received(QStringLiteral("(\\d+) received"));
        QVERIFY2(received.match(output).captured(1).toInt() >= 27, qPrintable(output));
    }

private slots:
    void initTestCase()
    {
        const QString why = netns::unavailable({QStringLiteral("ip"), QStringLiteral("ping"), QStringLiteral("ss")});
        if (!why.isEmpty())
            QSKIP(qPrintable(why));

        alice.name = QStringLiteral("alice");
        alice.netns = lab.name('a');
        bob.name = QStringLiteral("bob");
        bob.netns = lab.name('b');
        QVERIFY(lab.addBridge(nsServer, QStringLiteral("br0"), kServerIp + QStringLiteral("/24")));
        QVERIFY(addHost(alice.netns, QStringLiteral("10.99.0.2"), QStringLiteral("pa")));
        QVERIFY(addHost(bob.netns, QStringLiteral("10.99.0.3"), QStringLiteral("pb")));
        QVERIFY(addHost(nsStranger, QStringLiteral("10.99.0.9"), QStringLiteral("px")));

        QVERIFY(startServer());
        QVERIFY(alice.start(QStringLiteral(PELLORA_E2E_DRIVER)));
        QVERIFY(bob.start(QStringLiteral(PELLORA_E2E_DRIVER)));
        QVERIFY(alice.command(QStringLiteral("login alice")).value(QStringLiteral("ok")).toBool());
        QVERIFY(bob.command(QStringLiteral("login bob")).value(QStringLiteral("ok")).toBool());
        for (Player* p : {&alice, &bob})
            QVERIFY2(p->waitForStatus([](const QJsonObject& s) { return s.value(QStringLiteral("logins")).toInt() >= 1; }, 15000),
                     qPrintable(p->name));
        QTest::qWait(2500); // first heartbeats: the relay learns both tunnel ports
    }

    void cleanupTestCase()
    {
        const bool aliceClean = alice.stop();
        const bool bobClean = bob.stop();
        stopServer();
        lab.removeAll();
        QVERIFY(aliceClean);
        QVERIFY(bobClean);
    }

    void layer3Room() { roomScenario(false, QStringLiteral("Alpha")); }

    void layer2Room() { roomScenario(true, QStringLiteral("Gamma")); }

    void serverRestartBothLogInAgain()
    {
        const int aliceLogins = alice.status().value(QStringLiteral("logins")).toInt();
        const int bobLogins = bob.status().value(QStringLiteral("logins")).toInt();
        stopServer();
        QVERIFY(startServer());
        QVERIFY(alice.waitForStatus([&](const QJsonObject& s) { return s.value(QStringLiteral("logins")).toInt() > aliceLogins; },
                                    12000));
        QVERIFY(bob.waitForStatus([&](const QJsonObject& s) { return s.value(QStringLiteral("logins")).toInt() > bobLogins; },
                                  12000));
        QCOMPARE(alice.status().value(QStringLiteral("page")).toString(), QStringLiteral("lobby"));
    }
};

QTEST_GUILESS_MAIN(TestE2eVlan)
#include "test_e2e_vlan.moc"
