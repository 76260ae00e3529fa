// The built pellora-server binary: flags, logging, limits and a clean stop.
#include "tests/server/serverharness.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace harness;

namespace {

const QString kBinary = QStringLiteral(PELLORA_SERVER_BINARY);

struct Running {
    QProcess process;
    QByteArray log;
    quint16 port = 0;

    explicit Running(const QStringList& extra, rlim_t files = RLIM_INFINITY)
    {
        if (files != RLIM_INFINITY) // soft and hard: the server cannot raise it
            process.setChildProcessModifier([limit = rlimit{files, files}] { setrlimit(RLIMIT_NOFILE, &limit); });
        process.start(kBinary, QStringList{"--listen", "127.0.0.1", "--port", "0"} + extra);
        logged(QStringLiteral("listening on 127\\.0\\.0\\.1 port (\\d+)"), 5000);
    }
    bool logged(const QString& pattern, int timeoutMs = 3000)
    {
        const QRegularExpression re(pattern);
        return QTest::qWaitFor([&] {
            const auto match = re.match(QString::fromUtf8(log += process.readAllStandardError()));
            port = port ? port : static_cast<quint16>(match.captured(1).toUInt());
            return match.hasMatch();
        }, timeoutMs);
    }
    ~Running() { process.kill(), process.waitForFinished(3000); }
};

// A login as our client sends it, with the identifier it holds (empty at
// first); returns the client_id of login_ok.
QString loginAs(ControlClient& client, const QString& name, const QString& id = QString())
{
    client.send(command(QStringLiteral("login"), {{QStringLiteral("username"), name}, {QStringLiteral("client_id"), id}}));
    return client.next(QStringLiteral("login_ok")).value(QStringLiteral("client_id")).toString();
}

} // namespace

class TestServerProcess : public QObject
{
    Q_OBJECT

private slots:
    void servesLogsAndStopsCleanly()
    {
        Running server({QStringLiteral("--stats-interval"), QStringLiteral("0.2")});
        ControlClient alice(server.port);
        const QString id = alice.login(QStringLiteral("x%1%2y"));
        alice.createRoom(QStringLiteral("Alpha"));
        // Player-chosen text is formatted in one pass: "%1" in a name stays as it is.
        QVERIFY(server.logged(QStringLiteral("info login x%1%2y from 127\\.0\\.0\\.1\\n.*info x%1%2y created room \"Alpha\" \\(public\\)")));
        for (const QByteArray& line : server.log.split('\n'))
            QVERIFY2(line.isEmpty() || QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\S+ (error|warn|info|debug) \\S")).match(QString::fromUtf8(line)).hasMatch(),
                     line.constData());
        QVERIFY(!id.isEmpty() && !server.log.contains(id.toLatin1())); // the client id is a secret
        TunnelPeer tunnel(server.port);
        tunnel.heartbeat(id);
        tunnel.sendRaw("abc");
        QVERIFY(server.logged(QStringLiteral("stats clients=1 connections=1 rooms=1 datagrams_in=2 heartbeats=1 .*dropped_runt=1")));
        ::kill(static_cast<pid_t>(server.process.processId()), SIGTERM);
        QVERIFY(server.process.waitForFinished(5000));
        QCOMPARE(std::make_pair(server.process.exitStatus(), server.process.exitCode()), std::make_pair(QProcess::NormalExit, 0));
        QVERIFY(server.logged(QStringLiteral("SIGTERM received.*\\n.*stats clients=1 .*\\n.*info stopped")) && alice.waitDisconnected());
    }

    void refusesBadFlagsAndBusyPortsAndShowsDefaults()
    {
        QProcess bad, help, second;
        bad.start(kBinary, {QStringLiteral("--subnet"), QStringLiteral("10.8.0.0/30")});
        help.start(kBinary, {QStringLiteral("--help")});
        QVERIFY(bad.waitForFinished(5000) && help.waitForFinished(5000));
        QCOMPARE(std::make_pair(bad.exitCode(), help.exitCode()), std::make_pair(2, 0));
        QVERIFY(bad.readAllStandardError().contains("--subnet"));
        const QString text = QString::fromUtf8(help.readAllStandardOutput()).simplified();
        for (const char* flag : {"--listen <ADDR> Address", "--session-grace", "--max-connections-per-address <N> Connections from one address, logged in or not. [default: 32]",
                                 "--max-sessions-per-address <N> Sessions (players) from one address. [default: 16]", "[default: 4]", "[default: 120]",
                                 "[default: 1024]", "[default: 256]", "[default: 15]", "--state <PATH>"})
            QVERIFY2(text.contains(QLatin1String(flag)), flag);
        Running first({});
        second.start(kBinary, {"--listen", "127.0.0.1", "--port", QString::number(first.port)});
        QVERIFY(second.waitForFinished(5000) && second.readAllStandardError().contains("error cannot listen"));
        QCOMPARE(second.exitCode(), 1);
    }

    void fewDescriptorsCapConnectionsWithoutSpinning()
    {
        Running server({QStringLiteral("--max-connections-per-address=1000")}, 100);
        std::vector<std::unique_ptr<QTcpSocket>> crowd(120);
        for (auto& s : crowd)
            (s = std::make_unique<QTcpSocket>())->connectToHost(QHostAddress(QHostAddress::LocalHost), server.port);
        QTest::qWait(500);
        const auto cpu = [&] { // user + system seconds
            QFile stat(QStringLiteral("/proc/%1/stat").arg(server.process.processId()));
            const QList<QByteArray> f = stat.open(QIODevice::ReadOnly) ? stat.readAll().split(')').last().split(' ') : QList<QByteArray>(14);
            return (f[12].toDouble() + f[13].toDouble()) / 100.0;
        };
        const double before = cpu();
        QTest::qWait(1000);
        QVERIFY2(cpu() - before < 0.3, "the server spins");
        crowd.clear();
        QTest::qWait(300);
        ControlClient late(server.port);
        QVERIFY(!late.login(QStringLiteral("late")).isEmpty());
    }

    void restartKeepsTheLobby_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGKILL") << int(SIGKILL);
    }

    void restartKeepsTheLobby()
    {
        QFETCH(int, signal);
        QTemporaryDir dir;
        const QStringList state{QStringLiteral("--state"), dir.filePath(QStringLiteral("lobby.db"))};
        auto first = std::make_unique<Running>(state);
        ControlClient alice(first->port), bob(first->port), carol(first->port);
        const QString aliceId = loginAs(alice, QStringLiteral("alice"));
        const QString bobId = loginAs(bob, QStringLiteral("bob"));
        const QJsonObject aliceJoin = alice.createRoom(QStringLiteral("Den"), QStringLiteral("locked"), QStringLiteral("k"));
        const QString bobVip = bob.joinRoom(QStringLiteral("Den"), QStringLiteral("k")).value(QStringLiteral("vip")).toString();
        alice.send(command(QStringLiteral("transfer_host"), {{QStringLiteral("target"), QStringLiteral("bob")}}));
        loginAs(carol, QStringLiteral("carol"));
        carol.createRoom(QStringLiteral("Hideout"), QStringLiteral("private"));
        carol.send(command(QStringLiteral("invite"), {{QStringLiteral("target"), QStringLiteral("bob")}}));
        QVERIFY(!bob.next(QStringLiteral("private_message")).isEmpty());
        const QJsonArray peers = alice.until(QStringLiteral("room_update"), [](const QJsonObject& m) {
                                          return m.value(QStringLiteral("peers"))[1][QStringLiteral("is_host")].toBool();
                                      }).value(QStringLiteral("peers")).toArray();
        QCOMPARE(peers.size(), 2);
        QVERIFY(::kill(static_cast<pid_t>(first->process.processId()), signal) == 0 && first->process.waitForFinished(5000));

        Running second(state + QStringList{QStringLiteral("--port"), QString::number(first->port)});
        QVERIFY(second.logged(QStringLiteral("restored 3 sessions and 2 rooms")));
        // Heartbeats alone bring the traffic back, before anyone logs in again.
        TunnelPeer a(second.port), b(second.port);
        const QByteArray packet = ipv4Packet(ipv4(qPrintable(aliceJoin.value(QStringLiteral("vip")).toString())),
                                             ipv4(qPrintable(bobVip)), 60);
        QVERIFY(QTest::qWaitFor(
            [&] {
                a.heartbeat(aliceId);
                b.heartbeat(bobId);
                a.sendPlain(packet);
                return b.receive(200) == packet;
            },
            5000));
        // Logging in again gives back the room, the address and the host role.
        ControlClient alice2(second.port), bob2(second.port), dave(second.port), sameAddress(second.port);
        sameAddress.send(command(QStringLiteral("login"), {{QStringLiteral("username"), QStringLiteral("alice")}}));
        QVERIFY(!sameAddress.next(QStringLiteral("error")).isEmpty()); // only its identifier takes it back
        QVERIFY(!loginAs(alice2, QStringLiteral("alice"), aliceId).isEmpty());
        QCOMPARE(alice2.next(QStringLiteral("join_ok")), aliceJoin);
        QCOMPARE(alice2.next(QStringLiteral("room_update")).value(QStringLiteral("peers")).toArray(), peers);
        QVERIFY(alice2.quietOn(QStringLiteral("kicked")));
        // The access key and the invitation are kept.
        loginAs(dave, QStringLiteral("dave"));
        dave.send(command(QStringLiteral("join_room"), {{QStringLiteral("room_name"), QStringLiteral("Den")}}));
        QVERIFY(!dave.next(QStringLiteral("password_required")).isEmpty());
        QVERIFY(!dave.joinRoom(QStringLiteral("Den"), QStringLiteral("k")).isEmpty());
        loginAs(bob2, QStringLiteral("bob"), bobId);
        bob2.send(command(QStringLiteral("get_rooms")));
        QVERIFY(bob2.next(QStringLiteral("room_list")).value(QStringLiteral("rooms")).toArray().contains(
            QStringLiteral("Hideout [Private]")));
    }

    // A state file that cannot be read is logged and set aside; the server serves.
    void unreadableStateIsSetAside_data()
    {
        QTest::addColumn<bool>("directory");
        QTest::addColumn<QString>("logged");
        QTest::newRow("garbage") << false << QStringLiteral("cannot be read .*moved to .*lobby\\.db\\.unreadable-");
        QTest::newRow("directory") << true << QStringLiteral("lives in memory only");
    }

    void unreadableStateIsSetAside()
    {
        QFETCH(bool, directory);
        QFETCH(QString, logged);
        QTemporaryDir dir;
        const QString path = directory ? dir.path() : dir.filePath(QStringLiteral("lobby.db"));
        QFile file(path);
        QVERIFY(directory || (file.open(QIODevice::WriteOnly) && file.write(QByteArray(8192, 'x')) > 0 && file.flush()));
        Running server({QStringLiteral("--state"), path});
        QVERIFY2(server.logged(logged), server.log.constData());
        ControlClient alice(server.port);
        QVERIFY(!alice.login(QStringLiteral("alice")).isEmpty());
        QVERIFY(!alice.createRoom(QStringLiteral("Den")).isEmpty());
    }

    // A client that comes back with an identifier the server no longer knows
    // is logged in and told that its room is gone.
    void lostSessionIsToldItsRoomClosed()
    {
        Running server({QStringLiteral("--session-grace"), QStringLiteral("0.2")});
        ControlClient alice(server.port);
        const QString id = loginAs(alice, QStringLiteral("alice"));
        alice.createRoom(QStringLiteral("Den"));
        alice.socket.abort();
        QVERIFY(server.logged(QStringLiteral("room \"Den\" closed")));
        const std::pair<QString, QString> cases[] = {
            {id, QStringLiteral("The room \"Den\" was closed while you were away.")},
            {QStringLiteral("0123456789abcdef0123456789abcdef"), QStringLiteral("Your room was closed while you were away.")},
        };
        for (const auto& [oldId, text] : cases) {
            ControlClient back(server.port);
            QVERIFY(!loginAs(back, QStringLiteral("alice"), oldId).isEmpty());
            QCOMPARE(back.next(QStringLiteral("kicked")).value(QStringLiteral("message")).toString(), text);
            back.socket.abort();
            QTest::qWait(400);
        }
    }
};

QTEST_GUILESS_MAIN(TestServerProcess)
#include "test_serverprocess.moc"
