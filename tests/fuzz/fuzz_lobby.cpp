// The lobby's line handling on arbitrary sessions. Each input line starts with a selector:
//   '0'..'3'  the rest is a control line from that connection (2 and 3 from another address)
//   'x'<n>    connection n closes
//   'r'<n>    the rest is raw bytes through connection n's line splitter
//   't'<d>    d tenths of the grace time pass and the lobby ticks
//   's'<n>    connection n is sealed (as after a TLS handshake)
//   'e'<n>    the relay binds (or moves) the endpoint of the session in slot n
//   'm'<n>    the rest is a line for a client (n odd) or the server, read and written again by the
//             typed messages: what that writes is one line, which reads back as itself
// After every step what it touched must be consistent, and the whole lobby after the last step; what it
// sends must be one control line naming its command, players' text (read in full) on one line, and pair
// keys only over sealed connections; no text longer than the longest name is ever compared as a name.
#include "protocol/controlcodec.h"
#include "server/lobby/lobby.h"
#include "server/lobby/names.h"
#include "server/relay/relaycore.h"
#include "server/serverlog.h"
#include "tests/support/rereadline.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <set>

namespace {

// The command of a line the lobby wrote: compact JSON, where a quote inside a string is escaped, so
// `"cmd":"` opens the command's value and nothing else.
QByteArrayView commandOf(const QByteArray& line)
{
    static constexpr QByteArrayView kKey("\"cmd\":\"");
    const qsizetype at = line.indexOf(kKey);
    const qsizetype end = at < 0 ? -1 : line.indexOf('"', at + kKey.size());
    return end < 0 ? QByteArrayView() : QByteArrayView(line).sliced(at + kKey.size(), end - at - kKey.size());
}

struct CheckingOutput : LobbyOutput
{
    std::array<ConnectionId, 4> ids{};
    std::set<ConnectionId> sealed;
    void sendLine(ConnectionId connection, const QByteArray& line) override
    {
        const QByteArrayView cmd = commandOf(line);
        if (line.indexOf('\n') != line.size() - 1 || cmd.isEmpty())
            std::abort();
        // What players wrote is read in full: one well-formed line, on one line.
        if (cmd.endsWith("chat") || cmd == "private_message") {
            const QJsonObject message = control::decodeLine(line);
            const QString text =
                control::readString(message, "message") + control::readString(message, "sender");
            if (control::readString(message, "cmd") != QLatin1String(cmd) ||
                control::singleLine(text) != text)
                std::abort();
        }
        // Pair keys go over TLS only.
        if (cmd == "direct_peers" && sealed.count(connection) == 0)
            std::abort();
    }
    void closeConnection(ConnectionId connection) override
    {
        for (ConnectionId& id : ids)
            id = id == connection ? 0 : id;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    serverlog::setLevel(serverlog::Level::Error);
    names::setSkeletonHook([](const QString& text) {
        if (text.size() > lobbyrules::maxUnits(lobbyrules::kMaxRoomName))
            std::abort();
    });
    // Small limits, so that exhaustion and every budget are reachable.
    ServerConfig config;
    config.maxClients = 6;
    config.maxRoomSize = 3;
    config.subnetPrefix = 23;
    config.chatLimit = 4;
    config.sessionGraceMs = 1000;
    config.maxConnectionsPerAddress = config.maxSessionsPerAddress = 2;
    config.maxRoomsPerAddress = 1;
    std::array<LineReader, 4> readers;
    ConnectionId nextId = 1;
    qint64 now = 0;
    CheckingOutput output;
    auto& ids = output.ids;
    RouteExchange exchange(static_cast<std::uint32_t>(config.maxClients));
    Lobby lobby(config, output, &exchange, [&now] { return now; });
    RouteExchange::Reader table(exchange.tables());
    const auto connection = [&](int index) {
        if (ids[index] == 0 && lobby.connectionOpened(nextId, QHostAddress(index < 2 ? "127.0.0.1" : "::1")))
            ids[index] = nextId;
        ++nextId;
        return ids[index];
    };
    const auto close = [&](int index) {
        lobby.connectionClosed(ids[index]);
        ids[index] = 0;
        readers[index] = LineReader();
    };
    // Lines are read in place: the lobby gets views of the input, as it would get a socket's bytes.
    const char* const text = reinterpret_cast<const char*>(data);
    for (std::size_t at = 0, stop = 0; at <= size; at = stop + 1) {
        const void* feed = at < size ? std::memchr(text + at, '\n', size - at) : nullptr;
        stop = feed ? std::size_t(static_cast<const char*>(feed) - text) : size;
        const QByteArray line = QByteArray::fromRawData(text + at, qsizetype(stop - at));
        const char selector = line.isEmpty() ? '\n' : line.at(0);
        const int index = line.size() > 1 ? (static_cast<unsigned char>(line.at(1)) - '0') & 3 : 0;
        if (selector >= '0' && selector <= '3' && connection(selector - '0')) {
            lobby.handleLine(ids[selector - '0'], QByteArray::fromRawData(text + at + 1, line.size() - 1));
        } else if (selector == 'r' && connection(index)) {
            QList<QByteArray> lines;
            const bool fine = readers[index].feed(line.mid(2) + '\r', lines);
            for (const QByteArray& l : lines)
                lobby.handleLine(ids[index], l);
            if (!fine)
                close(index);
        } else if (selector == 's' && connection(index)) {
            lobby.connectionSealed(ids[index]);
            output.sealed.insert(ids[index]);
        } else if (selector == 'e') {
            table.refresh();
            BoundEndpoint bound;
            bound.host = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 1};
            bound.port = static_cast<std::uint16_t>(line.size() * 1000);
            exchange.noteEndpoint(
                static_cast<std::uint32_t>(index),
                index < static_cast<int>(table->slotTable.size()) ? table->slotTable[index].gen : 0, bound);
        } else if (selector == 'm') {
            const QByteArray once = rereadLine(line.mid(2), index & 1);
            const bool oneLine = once.isEmpty() || once.indexOf('\n') == once.size() - 1;
            if (!oneLine || rereadLine(once, index & 1) != once)
                std::abort();
        } else if (selector == 'x') {
            close(index);
        } else if (selector == 'a') { // the transport's check found the peer there
            lobby.connectionAnswered(ids[index]);
        } else if (selector == 't') {
            now += config.sessionGraceMs / 10 * (static_cast<unsigned char>(line.at(line.size() - 1)) % 20);
            lobby.tick();
        }
        if (!lobby.changeProblem().isEmpty())
            std::abort();
    }
    if (!lobby.consistencyProblem().isEmpty())
        std::abort();
    return 0;
}
