// Server pieces that work without sockets: flags, names, budgets and the
// lobby's policies that need a clock of their own.
#include "lobby/controlcodec.h"
#include "server/lobby/lobby.h"
#include "server/lobby/names.h"
#include "server/options.h"
#include "server/serverlog.h"

#include <QTest>

struct Recorder : LobbyOutput {
    QList<QJsonObject> lines;
    void sendLine(ConnectionId, const QByteArray& line) override { lines.append(control::decodeLine(line)); }
    void closeConnection(ConnectionId) override {}
};

class TestServerParts : public QObject
{
    Q_OBJECT

private slots:
    void parsesFlags()
    {
        const auto parse = [](const QString& line) { return parseServerOptions((QStringLiteral("s ") + line).split(QLatin1Char(' '), Qt::SkipEmptyParts)); };
        const ServerConfig d = parse(QString()).config;
        QCOMPARE(std::make_tuple(d.port, d.subnetBase, d.sessionGraceMs, d.maxConnectionsPerAddress, d.maxSessionsPerAddress, d.maxRoomsPerAddress),
                 std::make_tuple(quint16(7777), 0x0A080000u, qint64(30000), 32, 16, 4));
        QCOMPARE(std::make_tuple(d.loginDeadlineMs, d.maxPendingOutput, d.maxTotalPendingOutput, d.outputStallMs, d.listen),
                 std::make_tuple(qint64(120000), qint64(1 << 20), qint64(256) << 20, qint64(15000), QHostAddress(QHostAddress::AnyIPv4)));
        const ServerOptions set = parse(QStringLiteral("--listen :: --port=0 --subnet 172.20.9.9/20 --session-grace 0.5 --rate-window=2 "
                                                       "--max-room-size=4 --log-level=DEBUG --stats-interval=0 --max-connections-per-address=3 "
                                                       "--max-sessions-per-address=2 --max-rooms-per-address=1 --login-deadline=9 "
                                                       "--max-pending-output=64 --max-total-output=8 --output-stall=2"));
        const ServerConfig& c = set.config;
        QCOMPARE(std::make_tuple(c.listen, c.port, c.subnetBase, c.subnetPrefix, c.sessionGraceMs, c.rateWindowMs, c.maxRoomSize, c.statsIntervalMs),
                 std::make_tuple(QHostAddress(QHostAddress::AnyIPv6), quint16(0), 0xAC140000u, 20, qint64(500), qint64(2000), 4, qint64(0)));
        QCOMPARE(std::make_tuple(c.maxConnectionsPerAddress, c.maxSessionsPerAddress, c.maxRoomsPerAddress, c.loginDeadlineMs, c.maxPendingOutput,
                                 c.maxTotalPendingOutput, c.outputStallMs, set.logLevel),
                 std::make_tuple(3, 2, 1, qint64(9000), qint64(64 << 10), qint64(8) << 20, qint64(2000), serverlog::Level::Debug));
        QCOMPARE(parse(QStringLiteral("--help")).outcome, ServerOptions::Outcome::Help);
        for (const char* bad : {"--port 65536", "--port x", "--listen example.org", "--subnet 10.8.0.0/25", "--subnet 10.0.0.0/7",
                                "--subnet fd00::/64", "--max-room-size 255", "--session-grace -1", "--session-grace nan", "--log-level loud",
                                "--bogus", "extra", "--max-sessions-per-address 0", "--login-deadline 0.5", "--max-pending-output 8"})
            QVERIFY2(parse(QLatin1String(bad)).outcome == ServerOptions::Outcome::Error, bad);
    }

    void namesCompareByLook()
    {
        const std::pair<const char*, const char*> same[] = {{"bob", "\u0432o\u0432"}, {"Nick", "\uFF2E\uFF49\uFF43\uFF4B"}, {"Il1|", "llll"}, {"oO0", "\u043E\u03BF\u03BF"}};
        for (const auto& [a, b] : same)
            QVERIFY2(names::skeleton(QString::fromUtf8(a)) == names::skeleton(QString::fromUtf8(b)), b);
        QVERIFY(names::skeleton(QStringLiteral("Zoe")) != names::skeleton(QStringLiteral("Zo\u00EB")) && !names::characterProblem(QStringLiteral("x\uFE0F")).isEmpty());
    }

    void wrongKeysLockOutForLongerEachTime()
    {
        Recorder out;
        qint64 now = 1;
        ServerConfig config;
        config.maxConnectionsPerAddress = 1;
        Lobby lobby(config, out, nullptr, [&now] { return now; });
        const auto say = [&](ConnectionId c, const char* line) {
            lobby.handleLine(c, line);
            while (out.lines.last().value(QStringLiteral("cmd")) == QStringLiteral("online_users"))
                out.lines.removeLast();
            return out.lines.last().value(QStringLiteral("message")).toString() + out.lines.last().value(QStringLiteral("cmd")).toString();
        };
        QVERIFY(lobby.connectionOpened(1, QHostAddress(QStringLiteral("10.0.0.1"))) && lobby.connectionOpened(2, QHostAddress(QStringLiteral("::ffff:10.0.0.2"))));
        // One connection per address here: a mapped address is its IPv4 address, a /64 is one address.
        QVERIFY(!lobby.connectionOpened(3, QHostAddress(QStringLiteral("10.0.0.2"))) && lobby.connectionOpened(4, QHostAddress(QStringLiteral("2001:db8::1"))));
        QVERIFY(!lobby.connectionOpened(5, QHostAddress(QStringLiteral("2001:db8::2:1"))) && lobby.connectionOpened(6, QHostAddress(QStringLiteral("2001:db8:0:1::1"))));
        say(1, R"({"cmd":"login","username":"owner"})");
        say(1, R"({"cmd":"create_room","room_name":"V","privacy_mode":"locked","password":"k"})");
        say(2, R"({"cmd":"login","username":"guesser"})");
        for (qint64 block : {30000, 60000, 120000}) {
            for (int i = 0; i < 5; ++i)
                QVERIFY(say(2, R"({"cmd":"join_room","room_name":"V","password":"x"})").startsWith(QStringLiteral("Wrong")));
            now += block - 1;
            QVERIFY(say(2, R"({"cmd":"join_room","room_name":"V","password":"k"})").startsWith(QStringLiteral("Too many wrong keys")));
            now += 1;
        }
        QCOMPARE(say(2, R"({"cmd":"join_room","room_name":"V","password":"k"})"), QStringLiteral("room_update"));
        QCOMPARE(lobby.consistencyProblem(), QString());
    }
};

QTEST_GUILESS_MAIN(TestServerParts)
#include "test_serverparts.moc"
