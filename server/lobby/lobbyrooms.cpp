// Room and chat commands of the lobby.
#include "server/lobby/lobby.h"

#include "protocol/controlcodec.h"
#include "protocol/names.h"
#include "server/lobby/names.h"
#include "server/serverlog.h"

#include <algorithm>
#include <limits>

namespace {

QString quoted(const QString& name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}

// Wrong keys allowed per address and room before attempts are refused, and
// how long the first refusal lasts; each further one lasts twice as long.
constexpr int kKeyFailures = 5;
constexpr qint64 kKeyWindowMs = 60000;
constexpr qint64 kFirstBlockMs = 30000;
constexpr qint64 kLongestBlockMs = 3600000;
constexpr int kMaxGuardsPerRoom = 4096;

QString chatText(const msg::Say& said)
{
    return control::singleLine(said.message).trimmed();
}

} // namespace

void Lobby::getRooms(Connection& c, Session&, const QJsonObject&)
{
    // The list can be long and the client asks every few seconds; more
    // often than once a second it gets one answer when the second is over.
    c.roomsWanted = true;
    pacedDue_ = kNever;
}

void Lobby::sendRoomList(Connection& c)
{
    c.roomsWanted = false;
    c.roomsSentAt = clock_();
    if (!c.session)
        return;
    const Session& session = *c.session;
    msg::RoomList list;
    for (const auto& [key, room] : rooms_) {
        switch (room->privacy) {
        case Privacy::Public:
            list.rooms.append(room->name);
            break;
        case Privacy::Locked:
            list.rooms.append(room->name + QStringLiteral(" \U0001F512"));
            break;
        case Privacy::Private:
            if (session.room == room.get() || room->invited.contains(session.serial))
                list.rooms.append(room->name + QStringLiteral(" [Private]"));
            break;
        }
    }
    send(session, list.line());
}

void Lobby::createRoom(Connection&, Session& session, const QJsonObject& message)
{
    const msg::CreateRoom request = msg::CreateRoom::parse(message);
    const QString name = request.roomName.trimmed();
    const QString& mode = request.privacyMode;
    const QString& password = request.password;
    if (const QString problem = lobbyrules::checkRoomName(name); !problem.isEmpty())
        return sendError(session, problem);
    Privacy privacy;
    if (mode == QLatin1String("public"))
        privacy = Privacy::Public;
    else if (mode == QLatin1String("private"))
        privacy = Privacy::Private;
    else if (mode == QLatin1String("locked"))
        privacy = Privacy::Locked;
    else
        return sendError(session, QStringLiteral("The privacy mode must be public, private or locked."));
    if (privacy == Privacy::Locked && password.isEmpty())
        return sendError(session, QStringLiteral("A locked room needs an access key."));
    if (lobbyrules::characterCount(password) > lobbyrules::kMaxPassword)
        return sendError(
            session,
            QStringLiteral("Access keys are at most %1 characters long.").arg(lobbyrules::kMaxPassword));
    // A private room the player may not know of does not take the name: the
    // new room is made beside it, as if it did not exist.
    const QString key = names::skeleton(name);
    if (roomFor(session, key))
        return sendError(session, QStringLiteral("A room named %1 already exists.").arg(quoted(name)));
    if (use(session.addressKey).rooms >= config_.maxRoomsPerAddress)
        return sendError(session,
                         QStringLiteral("Your address has opened as many rooms as it may; close one first."));
    const int netIndex = addresses_.take();
    if (netIndex < 0)
        return sendError(session, QStringLiteral("No more rooms can be created right now."));

    leaveRoom(session);
    auto room = std::make_unique<Room>();
    room->name = name;
    room->filedAs = key;
    room->privacy = privacy;
    room->password = privacy == Privacy::Locked ? password : QString();
    room->serial = nextSerial_++;
    room->netIndex = netIndex;
    room->net = addresses_.network(netIndex);
    room->creatorKey = session.addressKey;
    ++use(room->creatorKey).rooms;
    Room& created = *rooms_.emplace(key, std::move(room))->second;
    serverlog::info(QStringLiteral("%1 created room %2 (%3)").arg(session.name, quoted(name), mode));
    // The mode it runs, so the relay can bridge to it before it sends anything.
    session.layer = static_cast<std::uint8_t>(request.layer);
    enterRoom(session, created);
    sendRoomUpdate(created);
}

void Lobby::joinRoom(Connection&, Session& session, const QJsonObject& message)
{
    const msg::JoinRoom request = msg::JoinRoom::parse(message);
    const QString name = request.roomName.trimmed();
    // A private room is none of an outsider's business: the same answer as
    // for no room at all, with the name as it was asked.
    Room* found = name.size() <= lobbyrules::maxUnits(lobbyrules::kMaxRoomName)
                      ? roomFor(session, names::skeleton(name))
                      : nullptr;
    if (!found)
        return sendError(session, QStringLiteral("There is no room named %1.")
                                      .arg(quoted(lobbyrules::shown(name, lobbyrules::kMaxRoomName))));
    Room& room = *found;
    if (session.room == &room) {
        // Already inside (a repeated click): confirm without moving.
        send(session, joinOk(session));
        send(session, roomUpdate(room));
        return;
    }
    if (room.privacy == Privacy::Locked) {
        const QString& password = request.password;
        if (password.isEmpty())
            return send(session, msg::PasswordRequired{room.name}.line());
        if (const QString refusal = keyRefusal(room, session.addressKey, false); !refusal.isEmpty())
            return sendError(session, refusal);
        if (!lobbyrules::sameSecret(password, room.password)) {
            keyRefusal(room, session.addressKey, true);
            return sendError(session, QStringLiteral("Wrong access key for %1.").arg(quoted(room.name)));
        }
    }
    if (room.members.size() >= config_.maxRoomSize)
        return sendError(session, QStringLiteral("%1 is full.").arg(quoted(room.name)));
    leaveRoom(session);
    session.layer = static_cast<std::uint8_t>(request.layer);
    enterRoom(session, room);
    sendRoomUpdate(room);
}

Lobby::Room* Lobby::roomFor(const Session& session, const QString& key)
{
    Room* invitedTo = nullptr;
    Room* seenByAll = nullptr;
    const auto [first, last] = rooms_.equal_range(key);
    for (auto it = first; it != last; ++it) {
        Room* room = it->second.get();
        if (session.room == room)
            return room;
        if (room->privacy != Privacy::Private)
            seenByAll = room;
        else if (!invitedTo && room->invited.contains(session.serial))
            invitedTo = room;
    }
    return invitedTo ? invitedTo : seenByAll;
}

QString Lobby::keyRefusal(Room& room, const QString& addressKey, bool wrong)
{
    const qint64 now = clock_();
    auto found = room.guards.find(addressKey);
    if (found == room.guards.end() && room.guards.size() >= kMaxGuardsPerRoom &&
        now >= room.guardsFullUntil) {
        // Forget addresses that are not blocked to make room; never the blocked
        // ones. When all are, nothing can be freed before the first block ends.
        room.guardsFullUntil = std::numeric_limits<qint64>::max();
        for (auto it = room.guards.begin(); it != room.guards.end();) {
            if (now >= it->blockedUntil) {
                it = room.guards.erase(it);
            } else {
                room.guardsFullUntil = qMin(room.guardsFullUntil, it->blockedUntil);
                ++it;
            }
        }
        if (room.guards.size() < kMaxGuardsPerRoom)
            room.guardsFullUntil = now;
        found = room.guards.end();
    }
    // A full table does not forget new addresses: they share one guard.
    const bool full = found == room.guards.end() && room.guards.size() >= kMaxGuardsPerRoom;
    if (!wrong) {
        const KeyGuard* guard = full ? &room.crowd : found != room.guards.end() ? &*found : nullptr;
        if (!guard || now >= guard->blockedUntil)
            return {};
        return QStringLiteral("Too many wrong keys for %1; try again in %2 s.")
            .arg(quoted(room.name), QString::number((guard->blockedUntil - now + 999) / 1000));
    }
    KeyGuard& guard = full ? room.crowd : found != room.guards.end() ? *found : room.guards[addressKey];
    if (now - guard.windowStart >= kKeyWindowMs) {
        guard.windowStart = now;
        guard.failures = 0;
    }
    if (++guard.failures >= kKeyFailures) {
        guard.failures = 0;
        guard.blockedUntil = now + qMin(kLongestBlockMs, kFirstBlockMs << qMin(guard.strikes, 10));
        ++guard.strikes;
        serverlog::info(QStringLiteral("wrong keys for %1 from %2; refusing for a while")
                            .arg(quoted(room.name), addressKey));
    }
    return {};
}

void Lobby::enterRoom(Session& session, Room& room)
{
    int host = 1;
    while (host < 255 && room.hostsInUse.test(static_cast<std::size_t>(host)))
        ++host;
    // Capacity is at most 254, so a free host address always exists here.
    room.hostsInUse.set(static_cast<std::size_t>(host));
    session.vip = room.net | static_cast<quint32>(host);
    session.room = &room;
    session.joinedAt = clock_();
    room.members.append(&session);
    if (!room.host)
        room.host = &session;
    routesDirty_ = true;
    directChanged(room);
    roomChanged(room);
    serverlog::info(QStringLiteral("%1 joined %2 as %3")
                        .arg(session.name, quoted(room.name), lobbyrules::formatIpv4(session.vip)));
    send(session, joinOk(session));
}

void Lobby::leaveRoom(Session& session)
{
    Room* room = session.room;
    if (!room)
        return;
    room->members.removeOne(&session);
    room->hostsInUse.reset(session.vip & 0xFFu);
    dropPairs(*room, session);
    for (auto it = room->paths.begin(); it != room->paths.end();)
        it = it->first.first == session.serial || it->first.second == session.serial ? room->paths.erase(it)
                                                                                       : std::next(it);
    // Its own list is empty now; it hears so if it had peers.
    if (!session.directSent.empty())
        session.directWanted = directPending_ = true;
    session.room = nullptr;
    session.vip = 0;
    routesDirty_ = true;
    serverlog::info(QStringLiteral("%1 left %2").arg(session.name, quoted(room->name)));
    if (room->members.isEmpty()) {
        serverlog::info(QStringLiteral("room %1 closed").arg(quoted(room->name)));
        addresses_.release(room->netIndex);
        changedRooms_.erase(room);
        forget(*room);
        closedRooms_.push_back(room->serial);
        const QString creator = room->creatorKey;
        const auto [first, last] = rooms_.equal_range(room->filedAs);
        rooms_.erase(
            std::find_if(first, last, [room](const auto& entry) { return entry.second.get() == room; }));
        release(creator, &AddressUse::rooms);
        return;
    }
    if (room->host == &session) {
        room->host = room->members.first();
        serverlog::info(QStringLiteral("%1 now hosts %2").arg(room->host->name, quoted(room->name)));
    }
    roomChanged(*room);
    sendRoomUpdate(*room);
}

void Lobby::leaveRoomCommand(Connection&, Session& session, const QJsonObject&)
{
    // Silent when not in a room: the client also sends this after a kick.
    leaveRoom(session);
}

// The mode a client said is echoed, so that it knows this server reads the
// field in heartbeats too (an older one drops heartbeats that carry it).
QByteArray Lobby::joinOk(const Session& session) const
{
    msg::JoinOk ok{lobbyrules::formatIpv4(session.vip), session.room->name, std::nullopt};
    if (session.layer != 0)
        ok.layer = session.layer;
    return ok.line();
}

QByteArray Lobby::roomUpdate(const Room& room) const
{
    msg::RoomUpdate update;
    update.peers.reserve(room.members.size());
    for (const Session* member : room.members)
        update.peers.append({member->name, lobbyrules::formatIpv4(member->vip), member == room.host});
    return update.line();
}

void Lobby::sendRoomUpdate(Room& room)
{
    // Joins, leaves and host changes could otherwise make every member's
    // list go out once per line any member sends.
    const qint64 now = clock_();
    if (now - room.updateSentAt < kListIntervalMs) {
        room.updateWanted = true;
        pacedDue_ = qMin(pacedDue_, room.updateSentAt + kListIntervalMs);
        return;
    }
    room.updateWanted = false;
    room.updateSentAt = now;
    const QByteArray line = roomUpdate(room);
    for (const Session* member : room.members)
        if (member->connection != 0)
            output_.sendLine(member->connection, line);
}

Lobby::Session* Lobby::memberNamed(Room& room, const QString& name)
{
    if (name.size() > lobbyrules::maxUnits(lobbyrules::kMaxUserName))
        return nullptr;
    const QString key = names::skeleton(name.trimmed());
    for (Session* member : room.members)
        if (member->filedAs == key)
            return member;
    return nullptr;
}

Lobby::Session* Lobby::hostTarget(Session& session, const QString& name)
{
    if (!session.room) {
        sendError(session, QStringLiteral("You are not in a room."));
        return nullptr;
    }
    if (session.room->host != &session) {
        sendError(session, QStringLiteral("Only the host can do that."));
        return nullptr;
    }
    Session* target = memberNamed(*session.room, name);
    if (!target) {
        sendError(session, QStringLiteral("%1 is not in your room.")
                               .arg(lobbyrules::shown(name, lobbyrules::kMaxUserName)));
        return nullptr;
    }
    if (target == &session) {
        sendError(session, QStringLiteral("You cannot do that to yourself."));
        return nullptr;
    }
    return target;
}

void Lobby::kickPlayer(Connection&, Session& session, const QJsonObject& message)
{
    Session* target = hostTarget(session, msg::Say::parse(message).target);
    if (!target)
        return;
    Room& room = *session.room;
    serverlog::info(
        QStringLiteral("%1 kicked %2 from %3").arg(session.name, target->name, quoted(room.name)));
    const QString text = QStringLiteral("You were removed from %1 by the host.").arg(quoted(room.name));
    send(*target, msg::Notice{cmd::kicked, text}.line());
    // A kick also withdraws an invitation to a private room.
    if (room.invited.remove(target->serial))
        invitationChanges_.push_back({room.serial, target->serial, true});
    leaveRoom(*target);
}

void Lobby::transferHost(Connection&, Session& session, const QJsonObject& message)
{
    Session* target = hostTarget(session, msg::Say::parse(message).target);
    if (!target)
        return;
    Room& room = *session.room;
    room.host = target;
    roomChanged(room);
    serverlog::info(QStringLiteral("%1 handed %2 to %3").arg(session.name, quoted(room.name), target->name));
    sendRoomUpdate(room);
}

void Lobby::roomChat(Connection&, Session& session, const QJsonObject& message)
{
    if (!session.room)
        return sendError(session, QStringLiteral("You are not in a room."));
    const QString text = chatText(msg::Say::parse(message));
    if (const QString problem = lobbyrules::checkChat(text); !problem.isEmpty())
        return sendError(session, problem);
    if (!chatAllowed(session))
        return;
    const QByteArray line = msg::Said{cmd::chat, session.name, text}.line();
    for (const Session* member : session.room->members)
        if (member->connection != 0)
            output_.sendLine(member->connection, line);
}

void Lobby::globalChat(Connection&, Session& session, const QJsonObject& message)
{
    const QString text = chatText(msg::Say::parse(message));
    if (const QString problem = lobbyrules::checkChat(text); !problem.isEmpty())
        return sendError(session, problem);
    if (!chatAllowed(session))
        return;
    const QByteArray line = msg::Said{cmd::globalChat, session.name, text}.line();
    for (const auto& [key, other] : sessions_)
        if (other->connection != 0)
            output_.sendLine(other->connection, line);
}

void Lobby::privateMessage(Connection&, Session& session, const QJsonObject& message)
{
    const msg::Say said = msg::Say::parse(message);
    const QString& targetName = said.target;
    Session* target = findOnline(targetName);
    if (!target)
        return sendError(session, QStringLiteral("%1 is not online.")
                                      .arg(lobbyrules::shown(targetName, lobbyrules::kMaxUserName)));
    const QString text = chatText(said);
    if (const QString problem = lobbyrules::checkChat(text); !problem.isEmpty())
        return sendError(session, problem);
    if (!chatAllowed(session))
        return;
    send(*target, msg::Said{cmd::privateMessage, session.name, text}.line());
}

void Lobby::invite(Connection&, Session& session, const QJsonObject& message)
{
    const QString targetName = msg::Say::parse(message).target;
    if (!session.room)
        return sendError(session, QStringLiteral("You are not in a room."));
    Session* target = findOnline(targetName);
    if (!target)
        return sendError(session, QStringLiteral("%1 is not online.")
                                      .arg(lobbyrules::shown(targetName, lobbyrules::kMaxUserName)));
    if (target == &session)
        return sendError(session, QStringLiteral("You cannot invite yourself."));
    if (!chatAllowed(session))
        return;
    Room& room = *session.room;
    QString text;
    switch (room.privacy) {
    case Privacy::Public:
        text = QStringLiteral("Join me in the room %1.").arg(quoted(room.name));
        break;
    case Privacy::Locked:
        text = QStringLiteral("Join me in the room %1 (ask me for the access key).").arg(quoted(room.name));
        break;
    case Privacy::Private:
        if (!room.invited.contains(target->serial)) {
            room.invited.insert(target->serial);
            invitationChanges_.push_back({room.serial, target->serial, false});
        }
        text = QStringLiteral("Join me in the private room %1; you are invited.").arg(quoted(room.name));
        break;
    }
    serverlog::info(QStringLiteral("%1 invited %2 to %3").arg(session.name, target->name, quoted(room.name)));
    send(*target, msg::Said{cmd::privateMessage, session.name, text}.line());
}
