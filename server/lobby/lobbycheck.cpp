// The look after each step: the invariants of what the step touched.
#include "server/lobby/lobby.h"

#include "server/lobby/names.h"

QString Lobby::sessionProblem(const Session& session) const
{
    // The name never changes: its skeleton, checked in full at the end, is the one it was filed under.
    const auto filed = sessions_.find(session.filedAs);
    if (filed == sessions_.end() || filed->second.get() != &session)
        return QStringLiteral("session filed under the wrong name");
    const auto keyed = sessionsByKey_.find(session.key);
    if (keyed == sessionsByKey_.end() || keyed->second != &session)
        return QStringLiteral("key index out of step");
    if (session.connection != 0) {
        const auto c = connections_.find(session.connection);
        if (c == connections_.end() || c->second.session != &session)
            return QStringLiteral("connection of %1 out of step").arg(session.name);
    }
    const AddressUse found = addressUse_.value(session.addressKey);
    if (found.connections > config_.maxConnectionsPerAddress ||
        found.sessions > config_.maxSessionsPerAddress || found.rooms > config_.maxRoomsPerAddress)
        return QStringLiteral("address %1 over its budget").arg(session.addressKey);
    return {};
}

QString Lobby::roomProblem(const Room& room) const
{
    const auto [first, last] = rooms_.equal_range(room.filedAs);
    if (std::none_of(first, last, [&room](const auto& entry) { return entry.second.get() == &room; }))
        return QStringLiteral("room %1 filed under the wrong name").arg(room.name);
    if (room.members.isEmpty() || !room.members.contains(room.host))
        return QStringLiteral("room %1 without members or host").arg(room.name);
    if (room.members.size() > config_.maxRoomSize)
        return QStringLiteral("room %1 over capacity").arg(room.name);
    std::bitset<256> hosts;
    for (const Session* member : room.members) {
        if (member->room != &room)
            return QStringLiteral("member of %1 points elsewhere").arg(room.name);
        const std::size_t host = member->vip & 0xFFu;
        if ((member->vip & 0xFFFFFF00u) != room.net || host == 0 || host == 0xFF || hosts.test(host))
            return QStringLiteral("bad address for %1").arg(member->name);
        hosts.set(host);
    }
    if (hosts != room.hostsInUse)
        return QStringLiteral("host addresses of %1 out of step").arg(room.name);
    return pairProblem(room);
}

QString Lobby::changeProblem()
{
    // The first look is at everything; from then on changes are listed.
    if (!std::exchange(tracking_, true))
        return consistencyProblem();
    std::vector<Session*> sessions = std::exchange(touchedSessions_, {});
    std::vector<Room*> rooms = std::exchange(touchedRooms_, {});
    for (Session* session : sessions) {
        session->touched = false;
        if (session->room && !std::exchange(session->room->touched, true))
            rooms.push_back(session->room);
    }
    for (Room* room : rooms)
        room->touched = false;
    if (sessionsByKey_.size() != sessions_.size())
        return QStringLiteral("key index out of step");
    if (freeSlots_.size() + sessions_.size() != static_cast<std::size_t>(config_.maxClients))
        return QStringLiteral("slots lost");
    for (const Session* session : sessions)
        if (const QString problem = sessionProblem(*session); !problem.isEmpty())
            return problem;
    for (const Room* room : rooms)
        if (const QString problem = roomProblem(*room); !problem.isEmpty())
            return problem;
    return {};
}
