// The built pellora-server binary: flags, logging, stats and a clean stop.
#include "tests/server/serverharness.h"

#include <QDir>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace harness;

namespace {

struct Running {
    QProcess process;
    QByteArray log;
    quint16 port = 0;

    bool start(const QStringList& extra)
    {
        process.start(QStringLiteral(PELLORA_SERVER_BINARY),
                      QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                  QStringLiteral("0")} +
                          extra);
        const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1 port (\\d+)"));
        return QTest::qWaitFor(
            [&] {
                log += process.readAllStandardError();
                const auto match = listening.match(QString::fromUtf8(log));
                port = match.hasMatch() ? static_cast<quint16>(match.captured(1).toUInt()) : 0;
                return port != 0 || process.state() == QProcess::NotRunning;
            },
            5000) &&
               port != 0;
    }
    bool logged(const QString& pattern, int timeoutMs = 3000)
    {
        const QRegularExpression re(pattern);
        return QTest::qWaitFor(
            [&] {
                log += process.readAllStandardError();
                return re.match(QString::fromUtf8(log)).hasMatch();
            },
            timeoutMs);
    }
    ~Running()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
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
        Running server;
        QVERIFY2(server.start({QStringLiteral("--stats-interval"), QStringLiteral("0.2")}), server.log.constData());

        ControlClient alice(server.port);
        const QString id = alice.login(QStringLiteral("alice"));
        QVERIFY(!id.isEmpty());
        alice.createRoom(QStringLiteral("Alpha"));
        QVERIFY(server.logged(QStringLiteral("info login alice from 127\\.0\\.0\\.1")));
        // Every line is "time level text".
        for (const QByteArray& line : server.log.split('\n'))
            QVERIFY2(line.isEmpty() || QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\S+ (error|warn|info|debug) \\S"))
                                           .match(QString::fromUtf8(line))
                                           .hasMatch(),
                     line.constData());
        // The client id is a secret: it never appears in the log.
        QVERIFY(!server.log.contains(id.toLatin1()));

        TunnelPeer tunnel(server.port);
        tunnel.heartbeat(id);
        tunnel.sendRaw("abc");
        QVERIFY(server.logged(QStringLiteral("stats clients=1 connections=1 rooms=1 datagrams_in=2 heartbeats=1 .*dropped_runt=1")));

        ::kill(static_cast<pid_t>(server.process.processId()), SIGTERM);
        QVERIFY(server.process.waitForFinished(5000));
        QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process.exitCode(), 0);
        QVERIFY(server.logged(QStringLiteral("SIGTERM received")));
        QVERIFY(server.logged(QStringLiteral("stats clients=1 .*\\n.*info stopped")));
        QVERIFY(alice.waitDisconnected());
    }

    void refusesBadFlagsAndBusyPorts()
    {
        QProcess bad;
        bad.start(QStringLiteral(PELLORA_SERVER_BINARY), {QStringLiteral("--subnet"), QStringLiteral("10.8.0.0/30")});
        QVERIFY(bad.waitForFinished(5000));
        QCOMPARE(bad.exitCode(), 2);
        QVERIFY(bad.readAllStandardError().contains("--subnet"));

        QProcess help;
        help.start(QStringLiteral(PELLORA_SERVER_BINARY), {QStringLiteral("--help")});
        QVERIFY(help.waitForFinished(5000));
        QCOMPARE(help.exitCode(), 0);
        const QByteArray text = help.readAllStandardOutput();
        for (const char* flag : {"--listen", "--port", "--subnet", "--session-grace", "--log-level", "--stats-interval", "--state"})
            QVERIFY2(text.contains(flag), flag);

        Running first;
        QVERIFY(first.start({}));
        QProcess second;
        second.start(QStringLiteral(PELLORA_SERVER_BINARY),
                     {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QString::number(first.port)});
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("error cannot listen"));
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
        auto first = std::make_unique<Running>();
        QVERIFY(first->start(state));
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
        ::kill(static_cast<pid_t>(first->process.processId()), signal);
        QVERIFY(first->process.waitForFinished(5000));

        Running second;
        QVERIFY2(second.start(state + QStringList{QStringLiteral("--port"), QString::number(first->port)}), second.log.constData());
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
        const QString path = dir.filePath(QStringLiteral("lobby.db"));
        QFile file(path);
        QVERIFY(directory ? QDir().mkdir(path) : file.open(QIODevice::WriteOnly) && file.write(QByteArray(8192, 'x')) > 0);
        file.close();
        Running server;
        QVERIFY2(server.start({QStringLiteral("--state"), path}), server.log.constData());
        QVERIFY2(server.logged(logged), server.log.constData());
        ControlClient alice(server.port);
        QVERIFY(!alice.login(QStringLiteral("alice")).isEmpty());
        QVERIFY(!alice.createRoom(QStringLiteral("Den")).isEmpty());
    }

    // A client that comes back with an identifier the server no longer knows
    // is logged in and told that its room is gone.
    void lostSessionIsToldItsRoomClosed()
    {
        Running server;
        QVERIFY(server.start({QStringLiteral("--session-grace"), QStringLiteral("0.2")}));
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
