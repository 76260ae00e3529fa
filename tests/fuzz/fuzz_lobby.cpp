// Feeds the lobby's line handling with arbitrary sessions of several
// connections. Each input line starts with a selector byte:
//   '0'..'3'  the rest is a control line from that connection (opened on
//             first use; connections 2 and 3 come from another address)
//   'x'<n>    connection n closes
//   'r'<n>    the rest is raw bytes through the line splitter of connection n
//   't'<d>    time passes (d tenths of the grace time) and the lobby ticks
// The lobby's invariants (address budgets included) are checked after every
// step; everything it sends must be a well-formed control line, chat must
// stay on one line, and no connection gets the online list twice a second.
#include "lobby/controlcodec.h"
#include "server/lobby/lobby.h"
#include "server/relay/relaycore.h"
#include "server/serverlog.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

constexpr int kConnections = 4;

[[noreturn]] void fail(const char* what, const QString& detail)
{
    std::fprintf(stderr, "fuzz_lobby: %s: %s\n", what, qPrintable(detail));
    std::abort();
}

struct CheckingOutput : LobbyOutput {
    std::array<ConnectionId, kConnections> ids{};
    const qint64* now = nullptr;
    std::map<ConnectionId, qint64> lastUsers;
    void sendLine(ConnectionId connection, const QByteArray& line) override
    {
        const QJsonObject message = control::decodeLine(line);
        const QString cmd = control::readString(message, QStringLiteral("cmd"));
        if (!line.endsWith('\n') || line.count('\n') != 1 || cmd.isEmpty())
            fail("line framing", QString::fromUtf8(line));
        const QString text = control::readString(message, QStringLiteral("message")) + control::readString(message, QStringLiteral("sender"));
        if (cmd.endsWith(QLatin1String("chat")) && control::singleLine(text) != text)
            fail("chat that breaks the line", text);
        if (cmd == QLatin1String("online_users")) {
            const auto last = lastUsers.find(connection);
            if (last != lastUsers.end() && *now - last->second < 1000)
                fail("online list not paced", QString::number(connection));
            lastUsers[connection] = *now;
        }
    }
    void closeConnection(ConnectionId connection) override
    {
        for (ConnectionId& id : ids)
            id = id == connection ? 0 : id;
    }
};

// Every published table must describe rooms whose members point back at them.
void checkRoutes(RouteExchange& exchange)
{
    std::shared_ptr<const RouteTable> table;
    std::uint64_t version = 0;
    exchange.fetchIfNewer(table, version);
    for (std::size_t r = 0; r < table->rooms.size(); ++r)
        for (const std::uint32_t slot : table->rooms[r].members)
            if (slot >= table->slotTable.size() || table->slotTable[slot].room != static_cast<std::int32_t>(r))
                fail("route table", QStringLiteral("room %1").arg(r));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool quiet = (serverlog::setLevel(serverlog::Level::Error), true);
    (void)quiet;
    // Small limits, so that exhaustion (two room networks, six sessions) and every budget are reachable.
    ServerConfig config;
    config.maxClients = 6, config.maxRoomSize = 3, config.subnetPrefix = 23, config.chatLimit = 4, config.lineLimit = 40;
    config.sessionGraceMs = 1000, config.loginDeadlineMs = 3000, config.detachedLimitMs = 5000;
    config.maxConnectionsPerAddress = config.maxSessionsPerAddress = 2, config.maxRoomsPerAddress = 1;

    std::array<LineReader, kConnections> readers;
    ConnectionId nextId = 1;
    qint64 now = 0;
    CheckingOutput output;
    auto& ids = output.ids;
    output.now = &now;
    RouteExchange exchange(static_cast<std::uint32_t>(config.maxClients));
    Lobby lobby(config, output, &exchange, [&now] { return now; });
    // Opened on first use; the address budget (2 per address here) may refuse it.
    const auto connection = [&](int index) {
        if (ids[index] == 0 && lobby.connectionOpened(nextId, QHostAddress(QLatin1String(index < 2 ? "127.0.0.1" : "::1"))))
            ids[index] = nextId;
        ++nextId;
        return ids[index];
    };
    const auto close = [&](int index) {
        lobby.connectionClosed(ids[index]);
        ids[index] = 0;
        readers[index] = LineReader();
    };

    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const QByteArray& line : input.split('\n')) {
        if (line.isEmpty())
            continue;
        const char selector = line.at(0);
        const int index = line.size() > 1 ? (static_cast<unsigned char>(line.at(1)) - '0') & 3 : 0;
        if (selector >= '0' && selector <= '3') {
            if (const ConnectionId id = connection(selector - '0'))
                lobby.handleLine(id, line.mid(1));
        } else if (selector == 'x') {
            close(index);
        } else if (selector == 'r') {
            QList<QByteArray> lines;
            const ConnectionId id = connection(index);
            const bool fine = readers[index].feed(line.mid(2) + '\r', lines);
            for (const QByteArray& l : lines)
                if (id)
                    lobby.handleLine(id, l);
            if (!fine)
                close(index);
        } else if (selector == 't') {
            now += config.sessionGraceMs / 10 * (line.size() > 1 ? static_cast<unsigned char>(line.at(1)) % 20 : 1);
            lobby.tick();
        } else if (const ConnectionId id = connection(0)) {
            lobby.handleLine(id, line);
        }
        const QString problem = lobby.consistencyProblem();
        if (!problem.isEmpty())
            fail("inconsistent lobby", problem);
    }
    checkRoutes(exchange);
    return 0;
}
