// The virtual LAN end to end: pellora-server, two clients driven through driver.cpp and a stranger, each
// in a namespace of the test's own bridged to the server's. In either adapter mode: pings, broadcasts and
// a cut control connection; nothing readable on the wire; restarts of the server with a state file under
// a locked room's pings.
#include "net/scramble.h"
#include "tests/support/netns.h"
#include "tests/support/wait.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

const QString kServerIp = u"10.99.0.1"_s;
constexpr int kPort = 7777;

bool adapterUp(const QJsonObject& s)
{
    return s.value(u"wintun"_s).toBool() || s.value(u"tap"_s).toBool();
}

class Player
{
public:
    Player(const QString& name, const QString& ns) : name(name), netns(ns) {}

    const QString name;
    const QString netns;
    QProcess process;

    bool start()
    {
        // Answers on stdout; the client's own messages pass through to ours.
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        return netns::start(process, netns,
                            {u"env"_s, u"PELLORA_SERVER=%1:%2"_s.arg(kServerIp).arg(kPort),
                             u"QT_QPA_PLATFORM=offscreen"_s, u"QT_LOGGING_RULES=qt.qpa.*=false"_s,
                             QStringLiteral(PELLORA_E2E_DRIVER)});
    }

    // One command, one JSON answer.
    QJsonObject command(const QString& line)
    {
        process.write(line.toUtf8() + '\n');
        for (const QDeadlineTimer deadline(15000); !deadline.hasExpired(); process.waitForReadyRead(100)) {
            while (process.canReadLine()) {
                const QJsonObject answer = QJsonDocument::fromJson(process.readLine()).object();
                if (answer.contains(u"ok"_s))
                    return answer;
            }
        }
        return {{u"ok"_s, false}, {u"error"_s, u"no answer to "_s + line}};
    }

    bool run(const QString& line) { return command(line).value(u"ok"_s).toBool(); }
    // Creates or joins a room and waits for the adapter.
    bool enter(const QString& line) { return run(line) && waitForStatus(adapterUp); }
    QJsonObject status() { return command(u"status"_s); }
    QJsonValue field(const char* key) { return status().value(QLatin1String(key)); }

    bool waitForStatus(const std::function<bool(const QJsonObject&)>& condition, int timeoutMs = 10000)
    {
        return testwait::until([&] { return condition(status()); }, timeoutMs);
    }
    bool waitForMore(const char* key, int than, int timeoutMs)
    {
        return waitForStatus([&](const QJsonObject& s) { return s.value(QLatin1String(key)).toInt() > than; },
                             timeoutMs);
    }

    // True on a clean exit (sanitizer reports fail it).
    bool stop()
    {
        if (process.state() == QProcess::Running)
            process.write("quit\n");
        process.waitForFinished(5000);
        const bool clean = process.state() == QProcess::NotRunning &&
                           process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        netns::stop(process);
        return clean;
    }
};

// One datagram from a program of its own in namespace `ns`; true once sent.
bool sendFrom(const QString& ns, const QString& address, int port, const QByteArray& data)
{
    return netns::exec(ns, {QStringLiteral(PELLORA_E2E_DRIVER), u"--send"_s, address, QString::number(port),
                            QString::fromLatin1(data.toHex())})
               .code == 0;
}

// `to` hears `text` that `from` keeps sending to `address`; to 255.255.255.255 from a program beside
// the client, as games look for LAN sessions.
bool arrives(Player& from, Player& to, const QString& address, int port, const QString& text)
{
    return to.run(u"udplisten %1"_s.arg(port)) && testwait::until([&] {
        address == u"255.255.255.255"_s ? sendFrom(from.netns, address, port, text.toUtf8())
                                        : from.run(u"udpsend %1 %2 %3"_s.arg(address).arg(port).arg(text));
        return to.command(u"udprecv"_s).value(u"datagrams"_s).toArray().contains(text);
    }, 8000);
}

} // namespace

class TestE2eVlan : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    netns::Lab lab{u"pe2e"_s};
    const QString nsServer = lab.name('s');
    const QString nsStranger = lab.name('x');
    QProcess server;
    Player alice{u"alice"_s, lab.name('a')};
    Player bob{u"bob"_s, lab.name('b')};
    const QString lockedDen = u"Den \U0001F512"_s;

    bool pingBothWays(const QString& vipA, const QString& vipB)
    {
        return netns::ping(alice.netns, vipB, 1) == 1 && netns::ping(bob.netns, vipA, 1) == 1;
    }

    bool startServer()
    {
        server.setProcessChannelMode(QProcess::ForwardedChannels);
        return netns::start(server, nsServer,
                            {QStringLiteral(PELLORA_E2E_SERVER), u"--listen"_s, kServerIp, u"--port"_s,
                             QString::number(kPort), u"--stats-interval"_s, u"0"_s, u"--state"_s,
                             dir.filePath(u"lobby.db"_s)});
    }

private slots:
    // Alice at 10.99.0.2, Bob at .3, the stranger at .9; both players logged in.
    void initTestCase()
    {
        if (const QString why = netns::unavailable({u"ip"_s, u"ping"_s, u"ss"_s}); !why.isEmpty())
            QSKIP(qPrintable(why));
        QVERIFY(lab.addHub(nsServer, kServerIp + u"/24"_s) && lab.addHost(alice.netns, u"10.99.0.2/24"_s) &&
                lab.addHost(bob.netns, u"10.99.0.3/24"_s) && lab.addHost(nsStranger, u"10.99.0.9/24"_s));
        QVERIFY(startServer());
        for (Player* p : {&alice, &bob})
            QVERIFY(p->start() && p->run(u"login "_s + p->name) && p->waitForMore("logins", 0, 15000));
        // The relay learns each tunnel port from its first heartbeat.
        QVERIFY(alice.waitForMore("heartbeats", 0, 5000) && bob.waitForMore("heartbeats", 0, 5000));
    }

    // Both clients end cleanly (sanitizer reports fail them).
    void cleanupTestCase()
    {
        const bool clean = alice.stop() & bob.stop();
        netns::stop(server);
        QVERIFY(clean);
    }

    void room_data()
    {
        QTest::addColumn<QString>("room");
        QTest::addColumn<bool>("layer2A");
        QTest::addColumn<bool>("layer2B");
        QTest::newRow("layer 2") << u"Gamma"_s << true << true;
        // The relay frames and strips what passes between the two modes.
        QTest::newRow("layer 3 with layer 2") << u"Mixed"_s << false << true;
        QTest::newRow("layer 3") << u"Alpha"_s << false << false; // last: the restarts below run on it
    }

    void room()
    {
        QFETCH(QString, room);
        QFETCH(bool, layer2A);
        QFETCH(bool, layer2B);
        QVERIFY(alice.run(u"mode %1"_s.arg(layer2A ? 2 : 3)) && bob.run(u"mode %1"_s.arg(layer2B ? 2 : 3)));

        // Alice creates the room through the dialog and is in it; Bob joins from the list.
        QVERIFY(alice.enter(u"create "_s + room));
        QVERIFY(bob.enter(u"join "_s + room));
        for (const auto& [p, layer2] : {std::pair{&alice, layer2A}, {&bob, layer2B}})
            QCOMPARE(p->field("tap").toBool(), layer2);
        const QString vipA = alice.field("vip").toString();
        const QString vipB = bob.field("vip").toString();

        // Each side says its mode at the join, so the relay bridges at once (a layer-2
        // player's ARP for a layer-3 one is answered by the relay).
        netns::ping(alice.netns, vipB, 1);
        QVERIFY(netns::ping(alice.netns, vipB) >= 2);
        QVERIFY(netns::ping(bob.netns, vipA) >= 2);

        QVERIFY(arrives(alice, bob, u"255.255.255.255"_s, 40003, u"limited-from-alice"_s));
        QVERIFY(arrives(bob, alice, u"255.255.255.255"_s, 40004, u"limited-from-bob"_s));

        // The server drops Alice's control connection; the tunnel carries on
        // and she logs in again into the same session.
        const QJsonObject before = alice.status();
        QProcess pinger;
        pinger.setProcessChannelMode(QProcess::MergedChannels);
        QVERIFY(netns::start(pinger, bob.netns, netns::pingCommand(vipA, 30, u"0.25"_s)));
        QByteArray pings;
        QVERIFY(testwait::until([&] { return (pings += pinger.readAll()).contains("bytes from"); }, 5000));
        const netns::Result cut = netns::exec(nsServer, {u"ss"_s, u"-K"_s, u"dst"_s, u"10.99.0.2"_s});
        QVERIFY2(cut.code == 0, qPrintable(cut.output));
        QVERIFY(alice.waitForMore("logins", before.value(u"logins"_s).toInt(), 8000));
        const QJsonObject after = alice.status();
        // The same session (room, address) under a fresh id: a key that travelled once is not good forever.
        QVERIFY(after.value(u"clientId"_s).toString() != before.value(u"clientId"_s).toString());
        QCOMPARE(after.value(u"vip"_s).toString(), before.value(u"vip"_s).toString());
        QVERIFY(after.value(u"inRoom"_s).toBool() && adapterUp(after));
        QVERIFY(pinger.waitForFinished(20000));
        const QString output = QString::fromLocal8Bit(pings + pinger.readAll());
        QVERIFY2(netns::received(output) >= 27, qPrintable(output));

        QVERIFY(bob.run(u"leave"_s) && alice.run(u"leave"_s));
    }

    // Our client on our server is sealed on every hop: a recording of the
    // server's link while a player logs in, chats and sends holds none of it.
    void aSealedSessionShowsNothingOnTheWire()
    {
        Player carol{u"carol"_s, lab.name('c')};
        QVERIFY(lab.addHost(carol.netns, u"10.99.0.4/24"_s));
        const QString file = dir.filePath(u"wire"_s);
        QProcess recorder;
        recorder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QVERIFY(
            netns::start(recorder, nsServer,
                         {QStringLiteral(PELLORA_E2E_DRIVER), u"--capture"_s, u"br0"_s, u"20000"_s, file}));
        QVERIFY(recorder.waitForReadyRead(5000));
        QVERIFY(carol.start() && carol.run(u"login carol-nickname"_s) &&
                carol.waitForMore("logins", 0, 15000));
        QVERIFY(carol.run(u"say chat-text-never-seen"_s));
        QVERIFY(alice.enter(u"create Capture"_s) && carol.enter(u"join Capture"_s));
        QVERIFY(alice.field("sealed").toBool() && carol.field("sealed").toBool());
        QVERIFY(arrives(carol, alice, alice.field("vip").toString(), 40003, u"inner-packet-never-seen"_s));
        const QString id = carol.field("clientId").toString();
        // To show the recording works: a datagram in clear from the stranger.
        QVERIFY(sendFrom(nsStranger, kServerIp, kPort, "visible-on-the-wire"));
        // The recorder writes each frame as it comes: once the last one sent is in, all before it are.
        QFile wire(file);
        QByteArray bytes;
        QVERIFY(wire.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        QVERIFY(testwait::until([&] { return (bytes += wire.readAll()).contains("visible-on-the-wire"); }));
        netns::stop(recorder);
        // The inner packet neither in clear nor scrambled (its UDP payload starts 28 bytes in).
        const QByteArray inner = "inner-packet-never-seen";
        const QByteArray scrambled = tunnel::scramblePayload(QByteArray(28, 0) + inner).mid(28);
        for (const QByteArray& secret : {QByteArray("carol-nickname"), QByteArray("chat-text-never-seen"),
                                         inner, scrambled, id.toLatin1()})
            QVERIFY2(!id.isEmpty() && !bytes.contains(secret), secret.constData());
        QVERIFY(alice.run(u"leave"_s) && carol.stop());
    }

    void restartsLoseNothing()
    {
        QVERIFY(alice.enter(u"create Den k"_s));
        QVERIFY(bob.enter(u"join Den k"_s));
        const QString vipA = alice.field("vip").toString();
        const QString vipB = bob.field("vip").toString();
        QVERIFY(testwait::until([&] { return pingBothWays(vipA, vipB); }, 8000));

        for (const bool kill : {false, true}) {
            const int joins[] = {alice.field("joins").toInt(), bob.field("joins").toInt()};
            // Pings under way while the server goes.
            QProcess pings;
            QVERIFY(netns::start(pings, bob.netns, netns::pingCommand(vipA, 30, u"0.2"_s)));
            QVERIFY(testwait::until([&] { return pings.readAll().contains("bytes from"); }, 5000));
            kill ? server.kill() : server.terminate();
            QVERIFY(server.waitForFinished(5000));
            for (Player* p : {&alice, &bob}) // both notice it went
                QVERIFY(testwait::until([p] { return !p->field("connected").toBool(); }, 10000));
            QVERIFY(startServer());
            QVERIFY(testwait::until([&] { return pingBothWays(vipA, vipB); }, 5000));
            netns::stop(pings);
            // The clients logged in again into the same room: same addresses,
            // the room still locked. The pings above may have gone
            // peer to peer all along, so the room list can still be on its way.
            for (Player* p : {&alice, &bob}) {
                QVERIFY(p->waitForMore("joins", joins[p == &bob], 5000));
                QVERIFY(p->waitForStatus(
                    [&](const QJsonObject& s) { return s.value(u"rooms"_s).toArray().contains(lockedDen); }));
                const QJsonObject s = p->status();
                QCOMPARE(s.value(u"vip"_s).toString(), p == &alice ? vipA : vipB);
                QVERIFY(s.value(u"inRoom"_s).toBool());
            }
        }
        // The key came through too.
        QVERIFY(bob.run(u"leave"_s));
        QVERIFY(bob.run(u"join Den k"_s));
        QVERIFY(bob.waitForStatus(
            [&](const QJsonObject& s) { return adapterUp(s) && s.value(u"vip"_s).toString() == vipB; }));
    }
};

QTEST_GUILESS_MAIN(TestE2eVlan)
#include "test_e2e_vlan.moc"
