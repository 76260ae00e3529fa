// The built pellora-server binary: flags, logging, limits, state and a clean stop.
#include "server/lobby/tls.h"
#include "tests/server/sealedmember.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

using namespace harness;

namespace {
const QString kBinary = PELLORA_SERVER_BINARY;

struct Running
{
    QProcess process;
    QByteArray log;
    quint16 port = 0;

    // `wrapper`: a program that starts the server (its arguments first).
    explicit Running(const QStringList& extra, rlim_t files = RLIM_INFINITY, const QStringList& wrapper = {})
    {
        if (files != RLIM_INFINITY) // soft and hard: the server cannot raise it
            process.setChildProcessModifier(
                [limit = rlimit{files, files}] { setrlimit(RLIMIT_NOFILE, &limit); });
        const QStringList arguments = QStringList{"--listen", "127.0.0.1", "--port", "0"} + extra;
        if (wrapper.isEmpty())
            process.start(kBinary, arguments);
        else
            process.start(wrapper.first(), wrapper.mid(1) + QStringList{kBinary} + arguments);
        logged("listening on 127\\.0\\.0\\.1 port (\\d+)", 5000);
    }
    bool logged(const QString& pattern, int timeoutMs = 3000)
    {
        const QRegularExpression re(pattern);
        return testwait::until(
            [&] {
                const auto match = re.match(QString::fromUtf8(log += process.readAllStandardError()));
                port = port ? port : static_cast<quint16>(match.captured(1).toUInt());
                return match.hasMatch();
            },
            timeoutMs);
    }
    bool signal(int number)
    {
        return ::kill(static_cast<pid_t>(process.processId()), number) == 0 && process.waitForFinished(5000);
    }
    ~Running()
    {
        process.kill();
        process.waitForFinished(3000);
    }
};
} // namespace

class TestServerProcess : public QObject
{
    Q_OBJECT
private slots:
    void servesLogsAndStopsCleanly()
    {
        Running server({});
        ControlClient alice(server.port);
        const QString id = alice.login("x%1%2y");
        alice.createRoom("Alpha");
        // Player-chosen text is formatted in one pass: "%1" in a name stays as it is.
        QVERIFY(server.logged(
            "info login x%1%2y from 127\\.0\\.0\\.1\\n.*info x%1%2y created room \"Alpha\" \\(public\\)"));
        QVERIFY(!id.isEmpty() && !server.log.contains(id.toLatin1())); // the client id is a secret
        QVERIFY(server.signal(SIGTERM));
        QCOMPARE(std::make_pair(server.process.exitStatus(), server.process.exitCode()),
                 std::make_pair(QProcess::NormalExit, 0));
        QVERIFY(server.logged("SIGTERM received.*\\n.*stats clients=1 .*\\n.*info stopped") &&
                alice.waitDisconnected());
    }
    // One address churning rooms fills no disk; others are still heard, and the stats line says who was cut.
    void repeatedLinesOfOneAddressAreSuppressed()
    {
        Running server({"--stats-interval", "0.2"});
        ControlClient churn(server.port), other(server.port, QHostAddress("127.0.0.2"));
        churn.login("churn");
        for (int i = 0; i < 60; ++i) { // 4 lines each
            churn.send("create_room", {{"room_name", "R"}, {"privacy_mode", "public"}});
            churn.send("leave_room");
        }
        churn.send("chat");
        QVERIFY(!churn.next("error").isEmpty() && !other.login("other").isEmpty());
        QVERIFY(server.logged("login other from 127\\.0\\.0\\.2\\n(.*\\n)*.*stats .* log_suppressed=\\d+ "
                              "log_suppressed_most=127\\.0\\.0\\.1\\n"));
        QVERIFY2(server.log.count("created room") < 30, server.log.constData());
    }
    void refusesBadFlagsAndBusyPorts()
    {
        QProcess bad, second;
        bad.start(kBinary, {"--subnet", "10.8.0.0/30"});
        QVERIFY(bad.waitForFinished(5000));
        QCOMPARE(bad.exitCode(), 2);
        QVERIFY(bad.readAllStandardError().contains("--subnet"));
        Running first({});
        second.start(kBinary, {"--listen", "127.0.0.1", "--port", QString::number(first.port)});
        QVERIFY(second.waitForFinished(5000) &&
                second.readAllStandardError().contains("error cannot listen"));
        QCOMPARE(second.exitCode(), 1);
    }
    // An operator's certificate serves with its own key and refuses to start with another's.
    void anOperatorsKeyMustBelongToItsCertificate()
    {
        QTemporaryDir dir;
        QStringList prints;
        for (const char* name : {"a", "b"}) { // each makes a key and certificate of its own beside its state
            Running made({"--state", dir.filePath(name)});
            QVERIFY(made.logged("TLS key SHA-256"));
            prints << QRegularExpression("TLS key SHA-256 (\\S+)").match(made.log).captured(1);
        }
        const QString a = dir.filePath("a.tls.pem"), b = dir.filePath("b.tls.pem");
        Running own({"--tls-cert", a, "--tls-key", a});
        QVERIFY(own.logged("TLS key SHA-256 " + prints[0]));
        QProcess mixed;
        mixed.start(kBinary, {"--listen", "127.0.0.1", "--port", "0", "--tls-cert", a, "--tls-key", b});
        QVERIFY(mixed.waitForFinished(5000) && mixed.readAllStandardError().contains("does not belong to"));
        QCOMPARE(mixed.exitCode(), 1);
    }
    // SIGHUP: a renewed certificate serves new connections, a session from before keeps its
    // connection, and a certificate that does not load leaves the running one.
    void reloadTakesUpARenewedCertificateWithoutDroppingAnyone()
    {
        QTemporaryDir dir;
        for (const char* name : {"a", "b"}) // each run makes a key and certificate beside its state
            QVERIFY(Running({"--state", dir.filePath(name)}).logged("TLS key SHA-256"));
        const QString live = dir.filePath("live.pem");
        const auto install = [&](const QString& from) {
            QFile::remove(live);
            return from.isEmpty() ? QFile(live).open(QIODevice::WriteOnly) : QFile::copy(from, live);
        };
        QVERIFY(install(dir.filePath("a.tls.pem")));
        Running server({"--tls-cert", live, "--tls-key", live});
        const auto printOfNew = [&] {
            ControlClient fresh(server.port, QHostAddress::LocalHost, true);
            return tls::fingerprint(fresh.socket.peerCertificate());
        };
        const QString first = printOfNew();
        ControlClient alice(server.port, QHostAddress::LocalHost, true);
        QVERIFY(!alice.login("alice").isEmpty());
        QVERIFY(install(dir.filePath("b.tls.pem")) && ::kill(pid_t(server.process.processId()), SIGHUP) == 0);
        QVERIFY(server.logged("SIGHUP: TLS key SHA-256"));
        const QString second = printOfNew();
        QVERIFY(!second.isEmpty() && second != first);
        alice.send("get_rooms");
        QVERIFY(!alice.next("room_list").isEmpty() && !alice.closed());
        QVERIFY(install({}) && ::kill(pid_t(server.process.processId()), SIGHUP) == 0);
        QVERIFY(server.logged("keeping the running certificate"));
        QCOMPARE(printOfNew(), second);
    }
    // As the hardened unit runs it: another user, no capabilities, no way to gain any.
    void servesAsNobodyWithoutPrivileges()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to drop to nobody");
        Running server({}, RLIM_INFINITY,
                       {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--inh-caps=-all",
                        "--bounding-set=-all", "--no-new-privs"});
        QVERIFY2(server.port != 0, server.log.constData());
        QFile status(QString("/proc/%1/status").arg(server.process.processId()));
        QVERIFY(status.open(QIODevice::ReadOnly));
        const QByteArray text = status.readAll();
        QVERIFY(text.contains("\nUid:\t65534\t") && text.contains("\nCapEff:\t0000000000000000\n"));
        Member alice(server.port, false), bob(server.port, false);
        alice.enter("alice", "Den", true);
        bob.enter("bob", "Den", false);
        alice.heartbeat();
        bob.heartbeat();
        const QByteArray packet = ipv4Packet("10.8.0.1", "10.8.0.2");
        QVERIFY(testwait::until([&] {
            alice.send(packet);
            return bob.tunnel.socket.hasPendingDatagrams();
        }));
        QCOMPARE(bob.receive(), packet);
    }
    void fewDescriptorsCapConnectionsWithoutSpinning()
    {
        Running server({"--max-connections-per-address=1000"}, 100);
        std::vector<std::unique_ptr<QTcpSocket>> crowd(120);
        for (auto& s : crowd)
            (s = std::make_unique<QTcpSocket>())
                ->connectToHost(QHostAddress(QHostAddress::LocalHost), server.port);
        QTcpSocket last; // queued behind them all: turned away (as over the cap) once they were taken
        last.connectToHost(QHostAddress(QHostAddress::LocalHost), server.port);
        QVERIFY(testwait::until([&] { return last.error() == QAbstractSocket::RemoteHostClosedError; }));
        const auto cpu = [&] { // user + system seconds
            QFile stat(QString("/proc/%1/stat").arg(server.process.processId()));
            const QList<QByteArray> f = stat.open(QIODevice::ReadOnly)
                                            ? stat.readAll().split(')').last().split(' ')
                                            : QList<QByteArray>(14);
            return (f[12].toDouble() + f[13].toDouble()) / 100.0;
        };
        const double before = cpu();
        QTest::qWait(1000); // a real second: what is measured is the server's use of it
        QVERIFY2(cpu() - before < 0.3, "the server spins");
        crowd.clear();
        // Served again once the crowd's connections are closed.
        QVERIFY(testwait::until([&] { return !ControlClient(server.port).login("late").isEmpty(); }, 10000));
    }
    void restartKeepsTheLobby()
    {
        QTemporaryDir dir;
        const QStringList state{"--state", dir.filePath("lobby.db")};
        Running first(state);
        ControlClient alice(first.port), bob(first.port), carol(first.port);
        const QString aliceId = alice.login("alice"), bobId = bob.login("bob");
        const QJsonObject aliceJoin = alice.createRoom("Den", "locked", "k");
        bob.send("join_room", {{"room_name", "Den"}, {"password", "k"}});
        QVERIFY(!bob.next("join_ok").isEmpty());
        alice.send("transfer_host", {{"target", "bob"}});
        carol.login("carol");
        carol.createRoom("Hideout", "private");
        carol.send("invite", {{"target", "bob"}});
        QVERIFY(!bob.next("private_message").isEmpty());
        const auto bobHosts = [](const QJsonObject& m) { return m["peers"][1]["is_host"].toBool(); };
        QVERIFY(bobHosts(alice.until("room_update", bobHosts)));
        QVERIFY(first.signal(SIGKILL));
        Running second(state + QStringList{"--port", QString::number(first.port)});
        QVERIFY(second.logged("restored 3 sessions and 2 rooms"));
        // Logging in again gives back the room, the address and the host role; only the identifier does.
        ControlClient alice2(second.port), bob2(second.port), sameAddress(second.port);
        sameAddress.send("login", {{"username", "alice"}});
        QVERIFY(!sameAddress.next("error").isEmpty());
        QVERIFY(!alice2.login("alice", aliceId).isEmpty());
        QCOMPARE(alice2.next("join_ok"), aliceJoin);
        QVERIFY(bobHosts(alice2.next("room_update")) && alice2.quietOn("kicked"));
        // The invitation is kept.
        bob2.login("bob", bobId);
        bob2.send("get_rooms");
        QVERIFY(bob2.next("room_list").value("rooms").toArray().contains("Hideout [Private]"));
    }
    // A state file that cannot be read is set aside and the server serves. Coming back with an
    // identifier it no longer knows: logged in, told the room is gone.
    void unreadableStateIsSetAsideAndLostSessionsAreTold()
    {
        QTemporaryDir dir;
        QFile garbage(dir.filePath("lobby.db"));
        QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write(QByteArray(8192, 'x')) > 0 &&
                garbage.flush());
        const std::tuple<QString, const char*, bool, QString> cases[] = {
            {garbage.fileName(), "cannot be read .*moved to .*lobby\\.db\\.unreadable-", true,
             "The room \"Den\" was closed while you were away."},
            {dir.path(), "lives in memory only", false, "Your room was closed while you were away."}};
        for (const auto& [path, logged, ownId, text] : cases) {
            Running server({"--state", path, "--session-grace", "0.2"});
            QVERIFY2(server.logged(logged), server.log.constData());
            ControlClient alice(server.port), back(server.port);
            const QString id = alice.login("alice");
            QVERIFY(!id.isEmpty() && !alice.createRoom("Den").isEmpty());
            alice.socket.abort();
            QVERIFY(server.logged("room \"Den\" closed"));
            QVERIFY(!back.login("alice", ownId ? id : QString(32, 'a')).isEmpty());
            QCOMPARE(back.next("kicked").value("message").toString(), text);
        }
    }
};

QTEST_GUILESS_MAIN(TestServerProcess)
#include "test_serverprocess.moc"
