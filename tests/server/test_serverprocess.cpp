// The built pellora-server binary: flags, logging, limits and a clean stop.
#include "tests/server/serverharness.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
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
                                 "[default: 1024]", "[default: 256]", "[default: 15]"})
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
};

QTEST_GUILESS_MAIN(TestServerProcess)
#include "test_serverprocess.moc"
