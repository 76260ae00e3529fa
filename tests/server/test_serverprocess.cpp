// The built pellora-server binary: flags, logging, stats and a clean stop.
#include "tests/server/serverharness.h"

#include <QProcess>
#include <QRegularExpression>
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
        for (const char* flag : {"--listen", "--port", "--subnet", "--session-grace", "--log-level", "--stats-interval"})
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
};

QTEST_GUILESS_MAIN(TestServerProcess)
#include "test_serverprocess.moc"
