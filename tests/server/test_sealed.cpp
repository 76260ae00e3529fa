// Sealed sessions against the real server: TLS beside plain lines on one
// port, and a tunnel whose datagrams only their sender's key opens.
#include "server/lobby/tls.h"

#include <QDir>
#include "tests/server/sealedpeer.h"

using namespace harness;

namespace {
struct Member
{
    ControlClient control;
    SealedPeer tunnel;
    bool sealed;
    Member(quint16 port, bool sealed)
        : control(port, QHostAddress(QHostAddress::LocalHost), sealed), tunnel(port), sealed(sealed)
    {
    }
    void send(const QByteArray& plain) { sealed ? tunnel.sendSealed(plain) : tunnel.sendPlain(plain); }
    QByteArray receive(int ms = 2000) { return sealed ? tunnel.receiveSealed(ms) : tunnel.receive(ms); }
};
const QByteArray kToBob = ipv4Packet("10.8.0.1", "10.8.0.2"), kToAlice = ipv4Packet("10.8.0.2", "10.8.0.1");
} // namespace

class TestSealed : public QObject
{
    Q_OBJECT
    std::unique_ptr<LobbyServer> server;
    std::vector<std::unique_ptr<Member>> members;

    qint64 stat(const char* name) const
    {
        const auto match = QRegularExpression("\\b" + QString(name) + "=(\\d+)").match(server->statsLine());
        return match.hasMatch() ? match.captured(1).toLongLong() : -1;
    }
    bool waitForStat(const char* name, qint64 atLeast)
    {
        return QTest::qWaitFor([&] { return stat(name) >= atLeast; }, 3000);
    }
    // Members 0 (10.8.0.1), 1 (10.8.0.2)... in one room, sealed or not, tunnels bound.
    void addMembers(std::initializer_list<bool> sealed)
    {
        for (const bool s : sealed) {
            const int i = int(members.size());
            Member& m = *members.emplace_back(std::make_unique<Member>(server->port(), s));
            m.control.send("login", {{"username", QString("member%1").arg(i)}});
            const QJsonObject ok = m.control.next("login_ok");
            QCOMPARE(m.tunnel.takeKey(ok), s);
            QVERIFY(!(i ? m.control.joinRoom("Alpha") : m.control.createRoom("Alpha")).isEmpty());
            const qint64 before = stat("heartbeats");
            s ? m.tunnel.sealedHeartbeat() : m.tunnel.heartbeat(ok.value("client_id").toString());
            QVERIFY(waitForStat("heartbeats", before + 1));
        }
    }

private slots:
    void init()
    {
        members.clear();
        QVERIFY(server = startServer());
    }

    void tlsAndPlainLoginsShareOnePort()
    {
        ControlClient sealed(server->port(), QHostAddress(QHostAddress::LocalHost), true), plain(server->port());
        QVERIFY(sealed.socket.isEncrypted());
        QCOMPARE(sealed.socket.sessionProtocol(), QSsl::TlsV1_3);
        QCOMPARE(tls::fingerprint(sealed.socket.peerCertificate()), server->fingerprint());
        sealed.send("login", {{"username", "alice"}});
        plain.send("login", {{"username", "bob"}});
        const QJsonObject a = sealed.next("login_ok"), b = plain.next("login_ok");
        QCOMPARE(QByteArray::fromBase64(a.value("tunnel_key").toString().toLatin1()).size(), 32);
        QVERIFY(!a.value("client_id").toString().isEmpty() && !b.value("client_id").toString().isEmpty());
        QVERIFY(!b.contains("tunnel_key"));
    }

    void requireSealedRefusesPlainLoginsSayingWhy()
    {
        ServerConfig config = testConfig();
        config.requireSealed = true;
        QVERIFY(server = startServer(config));
        ControlClient plain(server->port()), sealed(server->port(), QHostAddress(QHostAddress::LocalHost), true);
        plain.send("login", {{"username", "bob"}});
        QVERIFY(plain.next("error").value("message").toString().contains("only sealed"));
        QVERIFY(plain.quietOn("login_ok"));
        QVERIFY(!sealed.login("alice").isEmpty());
    }

    void handshakesBeyondAnAddressBudgetAreRefusedWhileOthersLogIn()
    {
        ServerConfig config = testConfig();
        config.maxConnectionsPerAddress = 2; // four handshakes per rate window
        config.rateWindowMs = 600000;
        QVERIFY(server = startServer(config));
        int sealed = 0;
        for (int i = 0; i < 6; ++i)
            sealed += ControlClient(server->port(), QHostAddress(QHostAddress::LocalHost), true).socket.isEncrypted();
        QCOMPARE(sealed, 4);
        ControlClient other(server->port(), QHostAddress("127.0.0.2"), true);
        QVERIFY(!other.login("alice").isEmpty());
    }

    void theServersOwnKeyIsKeptBesideItsState()
    {
        const QString state = QDir::temp().filePath(QString("pellora-sealed-%1.db").arg(QCoreApplication::applicationPid()));
        ServerConfig config = testConfig();
        config.statePath = state;
        QString first;
        for (int run = 0; run < 2; ++run) {
            server.reset();
            QVERIFY(server = startServer(config));
            first = run ? first : server->fingerprint();
        }
        QCOMPARE(server->fingerprint(), first);
        QCOMPARE(QFile(state + ".tls.pem").permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
        for (const QString& path : QDir::temp().entryList({QFileInfo(state).fileName() + "*"}))
            QFile::remove(QDir::temp().filePath(path));
    }

    // Output waiting behind the encryption counts against the budget like any other.
    void aSealedReaderThatStopsReadingIsClosed()
    {
        ServerConfig config = testConfig();
        config.maxPendingOutput = 64 * 1024;
        config.outputStallMs = 1000;
        config.chatLimit = config.lineLimit = 1000000;
        QVERIFY(server = startServer(config));
        ControlClient slow(server->port(), QHostAddress(QHostAddress::LocalHost), true), talker(server->port());
        QVERIFY(!slow.login("slow").isEmpty() && !talker.login("talker").isEmpty());
        slow.socket.setReadBufferSize(1);
        QObject::disconnect(&slow.socket, &QTcpSocket::readyRead, nullptr, nullptr); // reads nothing more
        for (int i = 0; i < 600 && server->lobby().connectionCount() > 1; ++i) {
            talker.send("global_chat", {{"message", QString(500, QChar(0x20AC))}});
            QTest::qWait(2);
        }
        QVERIFY(QTest::qWaitFor([&] { return server->lobby().connectionCount() == 1; }, 5000));
    }

    void datagramsThatDoNotOpenReachNoOne()
    {
        addMembers({true, true});
        Member &alice = *members[0], &bob = *members[1];
        alice.tunnel.counter = 1000; // the relay's counters for her stay unseen from her
        const QByteArray good = alice.tunnel.sealed(kToBob);
        QByteArray flipped = alice.tunnel.sealed(kToBob), fromRelay;
        flipped[40] = char(flipped[40] ^ 1);
        alice.tunnel.sendRaw(good);
        QCOMPARE(bob.receive(), kToBob);
        for (int i = 0; i < 2; ++i) {
            bob.send(kToAlice);
            QCOMPARE(alice.receive(), kToAlice);
        }
        fromRelay = alice.tunnel.lastRaw;
        // From alice's own address and port: a plain packet, a flipped bit, a
        // cut tag, a replay, and what the relay sent her, sent back.
        for (const QByteArray& bad : {tunnel::scramblePayload(kToBob), flipped, good.left(good.size() - 1), good, fromRelay})
            alice.tunnel.sendRaw(bad);
        QVERIFY(waitForStat("dropped_unsealed", 5));
        QVERIFY(bob.tunnel.quiet() && alice.tunnel.quiet(0));
    }

    void aReplayedHeartbeatBindsNothing()
    {
        addMembers({true, true});
        Member &alice = *members[0], &bob = *members[1];
        const QByteArray beat = alice.tunnel.sealed({}, true);
        alice.tunnel.sendRaw(beat);
        QVERIFY(waitForStat("heartbeats", 3));
        // The same bytes from another port of the same host, as one on the path would send them.
        TunnelPeer replay(server->port());
        replay.sendRaw(beat);
        QVERIFY(waitForStat("dropped_unsealed", 1));
        bob.send(kToAlice);
        QCOMPARE(alice.receive(), kToAlice);
        QVERIFY(replay.quiet(0));
        QCOMPARE(stat("heartbeats"), 3);
    }

    void sealedAndPlainMembersShareARoom()
    {
        addMembers({true, false});
        Member &alice = *members[0], &bob = *members[1];
        alice.send(kToBob);
        QCOMPARE(bob.receive(), kToBob);
        bob.send(kToAlice);
        QCOMPARE(alice.receive(), kToAlice);
        QVERIFY(!alice.tunnel.lastRaw.contains(kToAlice.right(20)));
    }

    void keyRotationLosesNoDatagram()
    {
        ServerConfig config = testConfig();
        config.tunnelKeyLifetimeMs = 300;
        config.oldKeyGraceMs = 1000;
        QVERIFY(server = startServer(config));
        addMembers({true, true});
        Member &alice = *members[0], &bob = *members[1];
        int rotations = 0;
        const auto rekey = [&rotations](Member& m) {
            for (QJsonObject k; !(k = m.control.next("tunnel_key", 0)).isEmpty(); ++rotations)
                QVERIFY(m.tunnel.takeKey(k));
        };
        // Keys change under a steady stream both ways; every datagram arrives.
        for (int i = 0; i < 60; ++i) {
            const QByteArray toBob = ipv4Packet("10.8.0.1", "10.8.0.2", 40 + i), toAlice = ipv4Packet("10.8.0.2", "10.8.0.1", 40 + i);
            alice.send(toBob);
            bob.send(toAlice);
            QCOMPARE(bob.receive(), toBob);
            QCOMPARE(alice.receive(), toAlice);
            rekey(alice);
            rekey(bob);
            QTest::qWait(20); // the rotation is timed by the server's clock
        }
        QVERIFY2(rotations >= 4, qPrintable(QString::number(rotations)));
        QCOMPARE(stat("dropped_unsealed"), 0);
    }
};

QTEST_GUILESS_MAIN(TestSealed)
#include "test_sealed.moc"
