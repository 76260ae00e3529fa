// Route churn benchmark: one player creates and leaves a room over and over
// while the others sit in rooms with their tunnels bound. Every change is a
// new route table from the real lobby, picked up by the real relay thread (a
// heartbeat after each change makes it look). Prints the process CPU the
// changes cost at a large --max-clients against the same run at a capacity of
// just the players present, and their ratio last.
//
//   pellora-route-churn-bench [--changes 2000] [--clients 64] [--max-clients 200000]
#include "protocol/controlcodec.h"
#include "server/lobby/lobby.h"
#include "server/relay/relay.h"
#include "server/serverlog.h"

#include <QJsonObject>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Settings {
    int changes = 2000;
    int clients = 64;
    int maxClients = 200000;
};

Settings parse(int argc, char** argv)
{
    Settings s;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (flag == "--changes")
            s.changes = value;
        else if (flag == "--clients")
            s.clients = value;
        else if (flag == "--max-clients")
            s.maxClients = value;
    }
    // Bounded whatever is asked.
    s.changes = std::clamp(s.changes, 2, 100000);
    s.clients = std::clamp(s.clients, 2, 1000);
    s.maxClients = std::clamp(s.maxClients, s.clients, 1 << 21);
    return s;
}

double processCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The client ids the lobby hands out, by connection.
struct Ids : LobbyOutput {
    std::vector<QByteArray> ids;
    void sendLine(ConnectionId c, const QByteArray& line) override
    {
        const QJsonObject m = control::decodeLine(line);
        if (m.value(QStringLiteral("cmd")).toString() == QStringLiteral("login_ok"))
            ids[static_cast<std::size_t>(c - 1)] = m.value(QStringLiteral("client_id")).toString().toLatin1();
    }
    void closeConnection(ConnectionId) override {}
};

void say(Lobby& lobby, ConnectionId c, const QString& cmd,
         std::initializer_list<std::pair<QString, QString>> f)
{
    lobby.handleLine(c, control::encodeLine(control::message(cmd, f)));
}

// CPU seconds of `changes` room changes on a server of `capacity` slots; negative on failure.
double churn(const Settings& s, int capacity)
{
    ServerConfig config;
    config.maxClients = capacity;
    config.lineLimit = 1000000;
    config.maxConnectionsPerAddress = config.maxSessionsPerAddress = s.clients;
    config.maxRoomsPerAddress = s.clients;
    RouteExchange exchange(static_cast<std::uint32_t>(capacity));
    Ids ids;
    ids.ids.resize(static_cast<std::size_t>(s.clients));
    Lobby lobby(config, ids, &exchange, monotonicMs);
    Relay relay(exchange);
    QString error;
    if (!relay.open(QHostAddress(QHostAddress::LocalHost), 0, &error)) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(error));
        return -1;
    }
    relay.start();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(relay.port());
    std::uint64_t sent = 0;
    // One heartbeat, and the relay has handled it (and so looked at the newest table).
    const auto beat = [&](const QByteArray& id) {
        const QByteArray hb = "{\"client_id\":\"" + id + "\"}";
        ::sendto(fd, hb.constData(), static_cast<std::size_t>(hb.size()), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
        ++sent;
        for (int i = 0; i < 20000 && exchange.counters()[CounterIn] < sent; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        return exchange.counters()[CounterIn] >= sent;
    };
    // Everyone but the churner in rooms of eight.
    for (int i = 0; i < s.clients; ++i) {
        const auto c = static_cast<ConnectionId>(i + 1);
        lobby.connectionOpened(c, QHostAddress(QHostAddress::LocalHost));
        say(lobby, c, QStringLiteral("login"), {{QStringLiteral("username"), QStringLiteral("p%1").arg(i)}});
        if (i > 0)
            say(lobby, c, QString::fromLatin1(i % 8 == 1 ? "create_room" : "join_room"),
                {{QStringLiteral("room_name"), QStringLiteral("r%1").arg(i / 8)},
                 {QStringLiteral("privacy_mode"), QStringLiteral("public")}});
    }
    for (const QByteArray& id : ids.ids)
        if (id.isEmpty() || !beat(id)) {
            std::fprintf(stderr, "bench: a player did not get in\n");
            return -1;
        }
    const double start = processCpu();
    for (int i = 0; i < s.changes; ++i) {
        if (i % 2 == 0)
            say(lobby, 1, QStringLiteral("create_room"),
                {{QStringLiteral("room_name"), QStringLiteral("churn")},
                 {QStringLiteral("privacy_mode"), QStringLiteral("public")}});
        else
            say(lobby, 1, QStringLiteral("leave_room"), {});
        if (!beat(ids.ids.front())) {
            std::fprintf(stderr, "bench: the relay stopped answering\n");
            return -1;
        }
    }
    const double used = processCpu() - start;
    relay.stop();
    ::close(fd);
    return used;
}

} // namespace

int main(int argc, char** argv)
{
    const Settings s = parse(argc, argv);
    serverlog::setLevel(serverlog::Level::Warn);
    std::printf("route churn: %d room changes, %d players, each change picked up by the relay\n", s.changes,
                s.clients);
    // Best of three each, so that start-up costs and other load weigh little.
    double baseline = 1e9, large = 1e9;
    for (int round = 0; round < 3; ++round) {
        baseline = std::min(baseline, churn(s, s.clients));
        large = std::min(large, churn(s, s.maxClients));
    }
    if (baseline < 0 || large < 0)
        return 1;
    std::printf("cpu s at --max-clients %d: %.3f\n", s.clients, baseline);
    std::printf("cpu s at --max-clients %d: %.3f\n", s.maxClients, large);
    // Republishing follows the players and rooms, not the capacity: near 1.
    std::printf("churn cpu large/small: %.2f\n", baseline > 0 ? large / baseline : 0.0);
    return 0;
}
