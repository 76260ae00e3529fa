// What the operator sees of the lobby: counts for the metrics, the rooms for
// the status page, and the paths members report between each other.
#include "protocol/messages.h"
#include "server/lobby/lobby.h"

const char* Lobby::refusalName(int refusal)
{
    static const char* const names[kRefusalCount] = {"plain", "bad_name", "name_taken", "address_full",
                                                     "server_full"};
    return refusal >= 0 && refusal < kRefusalCount ? names[refusal] : "?";
}

void Lobby::updateBudgets(const ServerConfig& fresh)
{
    config_.maxConnectionsPerAddress = fresh.maxConnectionsPerAddress;
    config_.maxSessionsPerAddress = fresh.maxSessionsPerAddress;
    config_.maxRoomsPerAddress = fresh.maxRoomsPerAddress;
    config_.loginDeadlineMs = fresh.loginDeadlineMs;
}

const char* Lobby::pathName(int path)
{
    static const char* const names[kPathKindCount] = {"direct", "relayed", "private"};
    return path >= 0 && path < kPathKindCount ? names[path] : "?";
}

// Direct only when both say so: one side's tunnel may be up while the other's
// answers still go through the relay. Otherwise what was said last counts
// (or the only report, when one member's client does not report).
int Lobby::pathOf(const Room::PathPair& pair)
{
    const auto [a, b] = pair.said;
    if (a < 0 || b < 0)
        return a < 0 ? b : a;
    if (a == PathDirect && b == PathDirect)
        return PathDirect;
    if (a == PathDirect || b == PathDirect)
        return a == PathDirect ? b : a;
    return pair.at[0] > pair.at[1] ? a : b;
}

void Lobby::pathReport(Connection&, Session& session, const QJsonObject& message)
{
    Room* room = session.room;
    const msg::PathReport report = msg::PathReport::parse(message);
    // One entry per room mate (of a list that may lag a little); a longer one is not a client's.
    if (!room || report.paths.size() > config_.maxRoomSize)
        return;
    std::array<Session*, 256> byHost{};
    for (Session* member : room->members)
        byHost[member->vip & 0xFFu] = member;
    const qint64 now = clock_();
    for (const msg::PathReport::Entry& entry : report.paths) {
        int path = -1;
        for (int kind = 0; kind < kPathKindCount; ++kind)
            path = entry.path == QLatin1String(pathName(kind)) ? kind : path;
        quint32 vip = 0;
        const bool isV4 = msg::parseIpv4(entry.vip, &vip);
        Session* other = isV4 && (vip & 0xFFFFFF00u) == room->net ? byHost[vip & 0xFFu] : nullptr;
        if (path < 0 || !other || other == &session)
            continue;
        const auto key = std::minmax(session.serial, other->serial);
        const std::size_t side = session.serial == key.first ? 0 : 1;
        Room::PathPair& pair = room->paths[key];
        pair.said[side] = static_cast<std::int8_t>(path);
        pair.at[side] = now;
        if (pair.wasDirect || pathOf(pair) != PathDirect)
            continue;
        pair.wasDirect = true;
        const double seconds = double(now - std::max(session.joinedAt, other->joinedAt)) / 1000.0;
        std::size_t bucket = 0;
        while (bucket < kDirectBuckets.size() && seconds > kDirectBuckets[bucket])
            ++bucket;
        ++directBuckets_[bucket];
        directSeconds_ += std::max(0.0, seconds);
    }
}

Lobby::Figures Lobby::figures() const
{
    Figures f;
    for (const auto& [name, session] : sessions_)
        ++f.sessions[session->seal.serial != 0 ? 1 : 0];
    for (const auto& [name, room] : rooms_) {
        ++f.rooms[room->privacy == Privacy::Public ? 0 : room->privacy == Privacy::Private ? 1 : 2];
        for (const Session* member : room->members)
            ++f.members[member->seal.serial != 0 ? 1 : 0][member->layer == 2   ? 1
                                                          : member->layer == 3 ? 2
                                                                               : 0];
        for (const auto& [serials, pair] : room->paths)
            if (const int path = pathOf(pair); path >= 0)
                ++f.pairs[static_cast<std::size_t>(path)];
    }
    f.refusals = refusals_;
    f.tunnelRotations = tunnelRotations_;
    f.pairRotations = pairRotations_;
    f.directBuckets = directBuckets_;
    f.directSeconds = directSeconds_;
    return f;
}

std::vector<Lobby::PublicRoom> Lobby::publicRooms() const
{
    std::vector<PublicRoom> out;
    for (const auto& [name, room] : rooms_)
        if (room->privacy != Privacy::Private)
            out.push_back({room->name, static_cast<int>(room->members.size())});
    return out;
}
