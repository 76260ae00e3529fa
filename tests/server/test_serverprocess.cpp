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

struct Running {
    QProcess process;
    QByteArray log;
    quint16 port = 0;

    bool start(const QStringList& extra, rlim_t files = 0)
    {
        if (files)
            process.setChildProcessModifier([files] {
                const rlimit limit{files, files};
                setrlimit(RLIMIT_NOFILE, &limit);
            });
        process.start(QStringLiteral(PELLORA_SERVER_BINARY), QStringList{"--listen", "127.0.0.1", "--port", "0"} + extra);
        return logged(QStringLiteral("listening on 127\\.0\\.0\\.1 port (\\d+)"), 5000) && port != 0;
    }
    bool logged(const QString& pattern, int timeoutMs = 3000)
    {
        const QRegularExpression re(pattern);
        return QTest::qWaitFor([&] {
            log += process.readAllStandardError();
            const auto match = re.match(QString::fromUtf8(log));
            port = port ? port : static_cast<quint16>(match.captured(1).toUInt());
            return match.hasMatch() || process.state() == QProcess::NotRunning;
        }, timeoutMs) && re.match(QString::fromUtf8(log)).hasMatch();
    }
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        const QList<QByteArray> fields = stat.open(QIODevice::ReadOnly) ? stat.readAll().split(')').last().split(' ') : QList<QByteArray>();
        return fields.size() > 13 ? (fields[12].toDouble() + fields[13].toDouble()) / 100.0 : -1;
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
        Running server;
        QVERIFY2(server.start({QStringLiteral("--stats-interval"), QStringLiteral("0.2")}), server.log.constData());
        ControlClient alice(server.port);
        const QString id = alice.login(QStringLiteral("x%1%2y"));
        QVERIFY(!id.isEmpty());
        alice.createRoom(QStringLiteral("Alpha"));
        // Player-chosen text is formatted in one pass: "%1" in a name stays as it is.
        QVERIFY(server.logged(QStringLiteral("info login x%1%2y from 127\\.0\\.0\\.1")));
        QVERIFY(server.logged(QStringLiteral("info x%1%2y created room \"Alpha\" \\(public\\)")));
        for (const QByteArray& line : server.log.split('\n'))
            QVERIFY2(line.isEmpty() || QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\S+ (error|warn|info|debug) \\S")).match(QString::fromUtf8(line)).hasMatch(),
                     line.constData());
        QVERIFY(!server.log.contains(id.toLatin1())); // the client id is a secret
        TunnelPeer tunnel(server.port);
        tunnel.heartbeat(id);
        tunnel.sendRaw("abc");
        QVERIFY(server.logged(QStringLiteral("stats clients=1 connections=1 rooms=1 datagrams_in=2 heartbeats=1 .*dropped_runt=1")));
        ::kill(static_cast<pid_t>(server.process.processId()), SIGTERM);
        QVERIFY(server.process.waitForFinished(5000));
        QCOMPARE(std::make_pair(server.process.exitStatus(), server.process.exitCode()), std::make_pair(QProcess::NormalExit, 0));
        QVERIFY(server.logged(QStringLiteral("SIGTERM received")) && server.logged(QStringLiteral("stats clients=1 .*\\n.*info stopped")));
        QVERIFY(alice.waitDisconnected());
    }

    void refusesBadFlagsAndBusyPorts()
    {
        QProcess bad, help, second;
        bad.start(QStringLiteral(PELLORA_SERVER_BINARY), {QStringLiteral("--subnet"), QStringLiteral("10.8.0.0/30")});
        help.start(QStringLiteral(PELLORA_SERVER_BINARY), {QStringLiteral("--help")});
        QVERIFY(bad.waitForFinished(5000) && help.waitForFinished(5000));
        QCOMPARE(std::make_pair(bad.exitCode(), help.exitCode()), std::make_pair(2, 0));
        QVERIFY(bad.readAllStandardError().contains("--subnet"));
        const QByteArray text = help.readAllStandardOutput();
        for (const char* flag : {"--listen", "--session-grace", "--stats-interval", "--max-connections-per-address <N>", "[default: 32]",
                                 "--max-sessions-per-address", "[default: 16]", "--max-rooms-per-address", "[default: 4]", "--login-deadline",
                                 "[default: 120]", "--max-pending-output", "[default: 1024]", "--max-total-output", "--output-stall", "[default: 15]"})
            QVERIFY2(text.contains(flag), flag);
        Running first;
        QVERIFY(first.start({}));
        second.start(QStringLiteral(PELLORA_SERVER_BINARY), {"--listen", "127.0.0.1", "--port", QString::number(first.port)});
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("error cannot listen"));
    }

    void fewDescriptorsCapConnectionsWithoutSpinning()
    {
        Running server;
        QVERIFY2(server.start({QStringLiteral("--max-connections-per-address=1000")}, 100), server.log.constData());
        std::vector<std::unique_ptr<QTcpSocket>> crowd;
        for (int i = 0; i < 120; ++i) {
            crowd.push_back(std::make_unique<QTcpSocket>());
            crowd.back()->connectToHost(QHostAddress(QHostAddress::LocalHost), server.port);
        }
        QTest::qWait(500);
        const double before = server.cpuSeconds();
        QTest::qWait(1000);
        QVERIFY2(server.cpuSeconds() - before < 0.3, "the server spins");
        crowd.clear();
        QTest::qWait(300);
        ControlClient late(server.port);
        QVERIFY(!late.login(QStringLiteral("late")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestServerProcess)
#include "test_serverprocess.moc"
