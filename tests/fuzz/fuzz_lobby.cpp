// Feeds the lobby's line handling with arbitrary sessions of several
// connections. Each input line starts with a selector byte:
//   '0'..'3'  the rest is a control line from that connection (opened on
//             first use; connections 2 and 3 come from another address)
//   'x'<n>    connection n closes
//   'r'<n>    the rest is raw bytes through the line splitter of connection n
//   't'<d>    time passes (d tenths of the grace time) and sessions expire
// The lobby's invariants are checked after every step, and everything it
// sends must be a well-formed control line.
#include "lobby/controlcodec.h"
#include "server/lobby/lobby.h"
#include "server/relay/relaycore.h"
#include "server/serverlog.h"

#include <QByteArray>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kConnections = 4;

[[noreturn]] void fail(const char* what, const QString& detail)
{
    std::fprintf(stderr, "fuzz_lobby: %s: %s\n", what, qPrintable(detail));
    std::abort();
}

struct CheckingOutput : LobbyOutput {
    std::array<ConnectionId, kConnections>* current = nullptr;
    void sendLine(ConnectionId, const QByteArray& line) override
    {
        if (!line.endsWith('\n') || line.count('\n') != 1)
            fail("line framing", QString::fromUtf8(line));
        if (control::readString(control::decodeLine(line), QStringLiteral("cmd")).isEmpty())
            fail("line without cmd", QString::fromUtf8(line));
    }
    void closeConnection(ConnectionId connection) override
    {
        for (ConnectionId& id : *current)
            if (id == connection)
                id = 0;
    }
};

// Every published table must describe rooms whose members point back at them.
void checkRoutes(RouteExchange& exchange)
{
    std::shared_ptr<const RouteTable> table;
    std::uint64_t version = 0;
    exchange.fetchIfNewer(table, version);
    for (std::size_t r = 0; r < table->rooms.size(); ++r) {
        for (const std::uint32_t slot : table->rooms[r].members) {
            if (slot >= table->slotTable.size() || table->slotTable[slot].room != static_cast<std::int32_t>(r))
                fail("route table", QStringLiteral("room %1").arg(r));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool quiet = [] {
        serverlog::setLevel(serverlog::Level::Error);
        return true;
    }();
    (void)quiet;

    ServerConfig config;
    config.maxClients = 6;
    config.maxRoomSize = 3;
    config.subnetBase = 0x0A080000;
    config.subnetPrefix = 23; // two room networks: exhaustion is reachable
    config.chatLimit = 4;
    config.lineLimit = 40;
    config.sessionGraceMs = 1000;

    std::array<ConnectionId, kConnections> ids{};
    std::array<LineReader, kConnections> readers;
    ConnectionId nextId = 1;
    qint64 now = 0;
    CheckingOutput output;
    output.current = &ids;
    RouteExchange exchange(static_cast<std::uint32_t>(config.maxClients));
    Lobby lobby(config, output, &exchange, [&now] { return now; });

    const auto connection = [&](int index) {
        if (ids[index] == 0) {
            ids[index] = nextId++;
            lobby.connectionOpened(ids[index], QHostAddress(index < 2 ? QStringLiteral("127.0.0.1") : QStringLiteral("::1")));
        }
        return ids[index];
    };

    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const QByteArray& line : input.split('\n')) {
        if (line.isEmpty())
            continue;
        const char selector = line.at(0);
        const int index = line.size() > 1 ? (static_cast<unsigned char>(line.at(1)) - '0') & 3 : 0;
        if (selector >= '0' && selector <= '3') {
            lobby.handleLine(connection(selector - '0'), line.mid(1));
        } else if (selector == 'x') {
            lobby.connectionClosed(ids[index]);
            ids[index] = 0;
            readers[index] = LineReader();
        } else if (selector == 'r') {
            QList<QByteArray> lines;
            const ConnectionId id = connection(index);
            const bool fine = readers[index].feed(line.mid(2) + '\r', lines);
            for (const QByteArray& l : lines)
                lobby.handleLine(id, l);
            if (!fine) {
                lobby.connectionClosed(id);
                ids[index] = 0;
                readers[index] = LineReader();
            }
        } else if (selector == 't') {
            now += config.sessionGraceMs / 10 * (line.size() > 1 ? static_cast<unsigned char>(line.at(1)) % 20 : 1);
            lobby.tick();
        } else {
            lobby.handleLine(connection(0), line);
        }
        const QString problem = lobby.consistencyProblem();
        if (!problem.isEmpty())
            fail("inconsistent lobby", problem);
    }
    checkRoutes(exchange);
    return 0;
}
