// The operator's HTTP endpoint of an in-process server: metrics that follow
// real traffic, the health check, the status page in a real browser, and the
// HTTP rules of the listener.
#include "tests/server/sealedmember.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace harness;

namespace {
const QByteArray kToBob = ipv4Packet("10.8.0.1", "10.8.0.2");

ServerConfig opsConfig()
{
    ServerConfig config = testConfig();
    config.metrics = true;
    config.metricsAddress = QHostAddress(QHostAddress::LocalHost);
    return config;
}

// The whole answer to `request`, sent from `from`; empty when the server closed without one.
QByteArray fetch(quint16 port, const QByteArray& request, const QHostAddress& from = QHostAddress::LocalHost)
{
    QTcpSocket socket;
    socket.bind(from);
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    if (!socket.waitForConnected(3000))
        return {};
    socket.write(request);
    QByteArray answer;
    (void)testwait::until(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        5000);
    return answer + socket.readAll();
}

QByteArray get(quint16 port, const char* path)
{
    return fetch(port, QByteArray("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
}

// The value of one sample of /metrics (`series` with its labels as written); -1 when absent.
double metric(quint16 port, const QString& series)
{
    const QString text = QString::fromUtf8(get(port, "/metrics"));
    const auto m = QRegularExpression("^" + QRegularExpression::escape(series) + " (\\S+)$",
                                      QRegularExpression::MultilineOption)
                       .match(text);
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

bool metricReaches(quint16 port, const QString& series, double atLeast)
{
    return testwait::until([&] { return metric(port, series) >= atLeast; }, 3000);
}
} // namespace

class TestOps : public QObject
{
    Q_OBJECT
private slots:
    void countersFollowTraffic()
    {
        const auto server = startServer(opsConfig());
        QVERIFY(server);
        const quint16 port = server->metricsPort(), relay = server->port();
        Member alice(relay, true), bob(relay, true);
        alice.enter("alice", "Den", true, 3);
        bob.enter("bob", "Den", false, 3);
        alice.heartbeat();
        bob.heartbeat();
        QCOMPARE(metric(port, "pellora_sessions{transport=\"sealed\"}"), 2.0);
        QCOMPARE(metric(port, "pellora_room_members{transport=\"sealed\",layer=\"3\"}"), 2.0);
        QCOMPARE(metric(port, "pellora_rooms{privacy=\"public\"}"), 1.0);
        QCOMPARE(metric(port, "pellora_tls_handshakes_total{outcome=\"done\"}"), 2.0);
        QVERIFY(metricReaches(port, "pellora_relay_heartbeats_total", 2));
        alice.send(kToBob);
        QCOMPARE(bob.receive(), kToBob);
        QVERIFY(metricReaches(port, "pellora_relay_forwarded_datagrams_total", 1));
        QVERIFY(metric(port, "pellora_relay_forwarded_bytes_total") >= kToBob.size());
        ControlClient again(relay, QHostAddress("127.0.0.2"));
        again.send("login", {{"username", "alice"}});
        QVERIFY(!again.next("error").isEmpty());
        QCOMPARE(metric(port, "pellora_logins_refused_total{reason=\"name_taken\"}"), 1.0);
        // Each drop the relay counts, under its reason.
        TunnelPeer stranger(relay);
        const std::pair<const char*, std::function<void()>> drops[] = {
            {"oversize", [&] { stranger.sendRaw(QByteArray(2000, 'x')); }},
            {"unbound", [&] { stranger.sendRaw(kToBob); }},
            {"bad_heartbeat", [&] { stranger.sendRaw("{\"client_id\":1}"); }},
            {"unknown_client", [&] { stranger.heartbeat(QString(32, 'a')); }},
            {"unsealed", [&] { alice.tunnel.sendRaw(QByteArray(40, 'x')); }},
            {"forged_source", [&] { alice.send(ipv4Packet("10.8.0.9", "10.8.0.2")); }},
            {"runt", [&] { alice.send("ab"); }},
        };
        for (const auto& [reason, cause] : drops) {
            const QString series =
                QString("pellora_relay_dropped_datagrams_total{reason=\"%1\"}").arg(reason);
            const double before = metric(port, series);
            cause();
            QVERIFY2(before >= 0 && metricReaches(port, series, before + 1), reason);
        }
    }
    void metricsPassPromtool()
    {
        const QString promtool = QStandardPaths::findExecutable("promtool");
        if (promtool.isEmpty())
            QSKIP("promtool is not installed (Debian package prometheus)");
        const auto server = startServer(opsConfig());
        QVERIFY(server);
        const QByteArray answer = get(server->metricsPort(), "/metrics");
        QVERIFY(answer.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4"));
        QProcess check;
        check.start(promtool, {"check", "metrics"});
        check.write(answer.mid(answer.indexOf("\r\n\r\n") + 4));
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(10000));
        QVERIFY2(check.exitCode() == 0, check.readAll().constData());
    }
    void healthSaysWhyWhileTheRelayThreadIsHeld()
    {
        qint64 now = 1000;
        const auto server = startServer(opsConfig(), [&now] { return now; });
        QVERIFY(server);
        QVERIFY(get(server->metricsPort(), "/healthz").endsWith("\r\n\r\nok\n"));
        server->holdRelayForTest(true);
        // The test's time runs ahead of the lobby's real ticks, which keep coming; the relay's answers do
        // not.
        QByteArray held;
        (void)testwait::until([&] {
            now += 100;
            return (held = get(server->metricsPort(), "/healthz")).startsWith("HTTP/1.1 503");
        });
        server->holdRelayForTest(false);
        QVERIFY2(held.startsWith("HTTP/1.1 503") && held.contains("the relay thread has not answered"), held);
    }
    // Headless Chromium renders the page; the room list it shows has the public room only.
    void statusPageListsPublicRoomsOnly()
    {
        const QString chromium = QStandardPaths::findExecutable("chromium");
        if (chromium.isEmpty())
            QSKIP("chromium is not installed");
        ServerConfig config = opsConfig();
        config.name = "<i>Test</i> server";
        const auto server = startServer(config);
        QVERIFY(server);
        ControlClient alice(server->port()), bob(server->port());
        alice.login("alice");
        bob.login("bob");
        QVERIFY(!alice.createRoom("[Doom] <b>Frag</b> & co").isEmpty());
        QVERIFY(!bob.createRoom("Hideout", "private").isEmpty());
        QTemporaryDir profile;
        const QString url = QString("http://127.0.0.1:%1/").arg(server->metricsPort());
        const QStringList flags{"--headless",
                                "--no-sandbox",
                                "--disable-gpu",
                                "--disable-quic",
                                "--no-first-run",
                                "--disable-background-networking",
                                "--disable-component-update",
                                "--disable-sync",
                                "--user-data-dir=" + profile.path()};
        // The browser runs beside this thread's event loop, which serves it.
        const auto run = [&](const QStringList& extra) {
            QProcess browser;
            browser.start(chromium, flags + extra + QStringList{url});
            (void)testwait::until([&] { return browser.state() == QProcess::NotRunning; }, 60000);
            return browser.readAllStandardOutput();
        };
        const QString dom = QString::fromUtf8(run({"--dump-dom"}));
        (void)run({"--screenshot=" PELLORA_BINARY_DIR "/status.png", "--window-size=900,600"});
        const auto rooms =
            QRegularExpression("<tbody>(.*)</tbody>", QRegularExpression::DotMatchesEverythingOption)
                .match(dom)
                .captured(1);
        QVERIFY2(rooms.contains("&lt;b&gt;Frag&lt;/b&gt; &amp; co</td><td>Doom</td>"), qPrintable(dom));
        QVERIFY(!dom.contains("Hideout") && dom.contains("&lt;i&gt;Test&lt;/i&gt; server"));
    }
    // Requests of every shape get the status they call for; outsiders and idlers get nothing.
    void requestsGetTheirAnswers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QByteArray>("answer"); // the start of it; empty: closed without one
        const QByteArray get = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
        QTest::newRow("health") << get << "127.0.0.1" << QByteArray("HTTP/1.1 200 OK\r\n");
        QTest::newRow("query") << QByteArray("GET /healthz?x=1 HTTP/1.0\n\n") << "127.0.0.1"
                               << QByteArray("HTTP/1.1 200 OK\r\n");
        QTest::newRow("unknown path")
            << QByteArray("GET /x HTTP/1.1\r\n\r\n") << "127.0.0.1" << QByteArray("HTTP/1.1 404 ");
        QTest::newRow("post") << QByteArray("POST / HTTP/1.1\r\n\r\n") << "127.0.0.1"
                              << QByteArray("HTTP/1.1 405 ");
        QTest::newRow("garbage") << QByteArray("\x16\x03\x01\r\n\r\n") << "127.0.0.1"
                                 << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("folded header")
            << QByteArray("GET / HTTP/1.1\r\n x\r\n\r\n") << "127.0.0.1" << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("too large") << "GET / HTTP/1.1\r\nX: " + QByteArray(5000, 'a') << "127.0.0.1"
                                   << QByteArray("HTTP/1.1 431 ");
        QTest::newRow("outside the allowed network") << get << "127.0.0.3" << QByteArray();
        QTest::newRow("silent") << QByteArray() << "127.0.0.1" << QByteArray();
    }
    void requestsGetTheirAnswers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, from);
        QFETCH(QByteArray, answer);
        ServerConfig config = opsConfig();
        config.metricsAllow = {QHostAddress::parseSubnet("127.0.0.0/31")};
        config.opsDeadlineMs = 300;
        const auto server = startServer(config);
        QVERIFY(server);
        const QByteArray got = fetch(server->metricsPort(), request, QHostAddress(from));
        QVERIFY2(answer.isEmpty() ? got.isEmpty() : got.startsWith(answer), got.constData());
    }
    // One address holds a few connections at once; the next is closed unanswered.
    void oneAddressHoldsFewConnections()
    {
        const auto server = startServer(opsConfig());
        QVERIFY(server);
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < OpsServer::kPerAddress; ++i) {
            held.push_back(std::make_unique<QTcpSocket>());
            held.back()->connectToHost(QHostAddress(QHostAddress::LocalHost), server->metricsPort());
            QVERIFY(held.back()->waitForConnected(3000));
        }
        // Queued behind them all: taken only after they were.
        QVERIFY(get(server->metricsPort(), "/healthz").isEmpty());
        held.clear();
        QVERIFY(testwait::until([&] { return !get(server->metricsPort(), "/healthz").isEmpty(); }, 3000));
    }
    // What members report of their paths: a pair is direct when both say so, else the newest
    // report counts; what names no room mate is ignored.
    void pairsFollowTheirMembersReports_data()
    {
        QTest::addColumn<QStringList>("reports"); // "who path vip", in order
        QTest::addColumn<QString>("pairs");       // direct relayed private, then the histogram's count
        QTest::newRow("both direct") << QStringList{"a direct 10.8.0.2", "b direct 10.8.0.1"} << "1 0 0 1";
        QTest::newRow("one direct") << QStringList{"a direct 10.8.0.2", "b relayed 10.8.0.1"} << "0 1 0 1";
        QTest::newRow("only one reports") << QStringList{"a direct 10.8.0.2"} << "1 0 0 1";
        QTest::newRow("newest") << QStringList{"a relayed 10.8.0.2", "b private 10.8.0.1"} << "0 0 1 0";
        QTest::newRow("back to relayed")
            << QStringList{"a direct 10.8.0.2", "b direct 10.8.0.1", "a relayed 10.8.0.2"} << "0 1 0 1";
        QTest::newRow("no room mate") << QStringList{"a direct 10.8.0.1", "a direct 10.8.0.9",
                                                     "a direct 10.8.1.2", "a sideways 10.8.0.2"}
                                      << "0 0 0 0";
    }
    void pairsFollowTheirMembersReports()
    {
        QFETCH(QStringList, reports);
        QFETCH(QString, pairs);
        const auto server = startServer(opsConfig());
        QVERIFY(server);
        ControlClient a(server->port()), b(server->port());
        a.login("a");
        b.login("b");
        a.createRoom("Den");
        b.send("join_room", {{"room_name", "Den"}});
        QVERIFY(!b.next("join_ok").isEmpty());
        for (const QString& report : reports) {
            const QStringList f = report.split(' ');
            (f[0] == "a" ? a : b)
                .sendRaw(R"({"cmd":"path_report","paths":[{"vip":")" + f[2].toLatin1() + R"(","path":")" +
                         f[1].toLatin1() + R"(","rtt_ms":21}]})" + "\n");
        }
        for (ControlClient* member : {&a, &b}) { // answered after the reports before it
            member->send("get_rooms");
            QVERIFY(!member->next("room_list").isEmpty());
        }
        const quint16 port = server->metricsPort();
        QCOMPARE(QString("%1 %2 %3 %4")
                     .arg(metric(port, "pellora_pairs{path=\"direct\"}"))
                     .arg(metric(port, "pellora_pairs{path=\"relayed\"}"))
                     .arg(metric(port, "pellora_pairs{path=\"private\"}"))
                     .arg(metric(port, "pellora_direct_seconds_count")),
                 pairs);
    }
};

QTEST_GUILESS_MAIN(TestOps)
#include "test_ops.moc"
