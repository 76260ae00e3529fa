// Saving the lobby's state as it changes, and taking it over at start.
#include "server/lobby/lobby.h"

#include "protocol/controlcodec.h"
#include "protocol/names.h"
#include "server/lobby/names.h"
#include "server/serverlog.h"

#include <algorithm>

namespace {

constexpr int kLastPrivacy = 2; // Privacy::Locked
constexpr std::size_t kRememberedEnds = 4096;

QString quotedName(const QString& name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}

} // namespace

state::Session Lobby::record(const Session& session)
{
    return {session.serial,     session.name, session.id, session.address.toString(),
            session.addressKey, session.keyed};
}

state::Room Lobby::record(const Room& room)
{
    state::Room r;
    r.serial = room.serial;
    r.name = room.name;
    r.privacy = static_cast<int>(room.privacy);
    r.password = room.password;
    r.net = room.net;
    r.host = room.host ? room.host->serial : 0;
    for (const Session* member : room.members)
        r.members.append({member->serial, member->vip, member->layer});
    r.creator = room.creatorKey;
    return r;
}

void Lobby::setStore(state::Store* store)
{
    store_ = store;
    saveEverything_ = true;
    flush();
}

void Lobby::saveState()
{
    state::Change change;
    if (store_ && saveEverything_) {
        change.everything = true;
        for (const auto& [key, session] : sessions_)
            change.sessions.push_back(record(*session));
        for (const auto& [key, room] : rooms_) {
            change.rooms.push_back(record(*room));
            for (quint64 invited : room->invited)
                change.invitations.push_back({room->serial, invited, false});
        }
    } else if (store_) {
        for (const Session* session : changedSessions_)
            change.sessions.push_back(record(*session));
        for (const Room* room : changedRooms_)
            change.rooms.push_back(record(*room));
        change.endedSessions = std::move(endedSessions_);
        change.closedRooms = std::move(closedRooms_);
        change.invitations = std::move(invitationChanges_);
    }
    changedSessions_.clear();
    changedRooms_.clear();
    endedSessions_.clear();
    closedRooms_.clear();
    invitationChanges_.clear();
    if (!store_ || change.empty())
        return;
    // A change that could not be written is not lost: the next save rewrites everything.
    saveEverything_ = !store_->save(change);
}

void Lobby::restore(const state::Snapshot& snapshot)
{
    const qint64 now = clock_();
    std::map<quint64, Session*> bySerial;
    for (const state::Session& s : snapshot.sessions) {
        ClientKey key;
        const QByteArray id = s.clientId.toLatin1();
        const QHostAddress address(s.address);
        const QString filedAs = names::skeleton(s.name);
        if (s.serial == 0 || bySerial.count(s.serial) != 0 || !lobbyrules::checkUserName(s.name).isEmpty() ||
            sessions_.count(filedAs) != 0 || address.isNull() || s.addressKey.isEmpty() ||
            !parseClientKey(id.constData(), static_cast<std::size_t>(id.size()), &key) ||
            sessionsByKey_.count(key) != 0 || use(s.addressKey).sessions >= config_.maxSessionsPerAddress) {
            serverlog::warn(QStringLiteral("saved session %1 left out: it is not valid").arg(s.serial));
            continue;
        }
        const Connection origin(address, s.addressKey, now, 1, 1);
        Session* session = createSession(s.name, filedAs, origin, s.withId);
        if (!session) {
            serverlog::warn(QStringLiteral("saved sessions beyond --max-clients left out"));
            break;
        }
        // The client still holds this identifier and heartbeats with it.
        sessionsByKey_.erase(session->key);
        session->key = key;
        session->id = s.clientId;
        sessionsByKey_.emplace(key, session);
        session->serial = s.serial;
        session->detachedAt = now;
        bySerial.emplace(s.serial, session);
        nextSerial_ = qMax(nextSerial_, s.serial + 1);
    }
    for (const state::Room& room : snapshot.rooms)
        restoreRoom(room, bySerial);
    // The store then holds exactly what was taken over.
    saveEverything_ = true;
    routesDirty_ = true;
    if (!snapshot.sessions.empty())
        serverlog::info(
            QStringLiteral("restored %1 sessions and %2 rooms; each player has %3 ms to come back")
                .arg(QString::number(sessions_.size()), QString::number(rooms_.size()),
                     QString::number(config_.sessionGraceMs)));
    flush();
}

void Lobby::restoreRoom(const state::Room& r, const std::map<quint64, Session*>& sessions)
{
    const auto leftOut = [&r](const QString& why) {
        serverlog::warn(QStringLiteral("saved room %1 left out: %2").arg(quotedName(r.name), why));
    };
    const QString key = names::skeleton(r.name);
    const auto [first, last] = rooms_.equal_range(key);
    const auto seenByAll = [](const auto& entry) { return entry.second->privacy != Privacy::Private; };
    if (!lobbyrules::checkRoomName(r.name).isEmpty() ||
        (static_cast<Privacy>(r.privacy) != Privacy::Private && std::any_of(first, last, seenByAll)))
        return leftOut(QStringLiteral("its name is not valid or taken"));
    if (r.privacy < 0 || r.privacy > kLastPrivacy || (r.privacy == kLastPrivacy && r.password.isEmpty()))
        return leftOut(QStringLiteral("its privacy is not valid"));
    if (!addresses_.takeNetwork(r.net))
        return leftOut(QStringLiteral("its network is outside --subnet or taken"));
    auto room = std::make_unique<Room>();
    room->name = r.name;
    room->filedAs = key;
    room->privacy = static_cast<Privacy>(r.privacy);
    room->password = r.password;
    room->serial = r.serial;
    room->net = r.net;
    room->netIndex = static_cast<int>((r.net - addresses_.network(0)) >> 8);
    for (const state::Member& m : r.members) {
        const auto it = sessions.find(m.session);
        const std::size_t host = m.vip & 0xFFu;
        if (it == sessions.end() || it->second->room || (m.vip & 0xFFFFFF00u) != r.net || host == 0 ||
            host == 255 || room->hostsInUse.test(host) || room->members.size() >= config_.maxRoomSize)
            continue;
        Session& session = *it->second;
        session.room = room.get();
        session.joinedAt = clock_();
        session.vip = m.vip;
        session.layer = m.layer == 2 || m.layer == 3 ? static_cast<std::uint8_t>(m.layer) : 0;
        room->hostsInUse.set(host);
        room->members.append(&session);
        if (m.session == r.host)
            room->host = &session;
    }
    if (room->members.isEmpty()) {
        addresses_.release(room->netIndex);
        return leftOut(QStringLiteral("none of its members came back"));
    }
    if (!room->host)
        room->host = room->members.first();
    for (quint64 serial : r.invited)
        if (sessions.count(serial) != 0)
            room->invited.insert(serial);
    room->creatorKey = r.creator;
    if (!r.creator.isEmpty())
        ++use(r.creator).rooms;
    nextSerial_ = qMax(nextSerial_, r.serial + 1);
    rooms_.emplace(key, std::move(room));
}

void Lobby::rememberEnded(const Session& session)
{
    if (endedOrder_.size() >= kRememberedEnds) {
        endedRoomByKey_.erase(endedOrder_.front());
        endedOrder_.pop_front();
    }
    const EndedIn room{session.room ? session.room->name : QString(),
                       session.room ? session.room->serial : 0};
    if (endedRoomByKey_.insert_or_assign(session.key, room).second)
        endedOrder_.push_back(session.key);
}

QString Lobby::lostSessionNotice(const msg::Login& login) const
{
    const QByteArray id = login.clientId.value_or(QString()).toLatin1();
    if (id.isEmpty())
        return {};
    ClientKey key;
    const bool wellFormed = parseClientKey(id.constData(), static_cast<std::size_t>(id.size()), &key);
    if (wellFormed && sessionsByKey_.count(key) != 0)
        return {};
    const auto ended = wellFormed ? endedRoomByKey_.find(key) : endedRoomByKey_.end();
    if (ended == endedRoomByKey_.end())
        return QStringLiteral("Your room was closed while you were away.");
    const EndedIn& room = ended->second;
    if (room.name.isEmpty())
        return {};
    // The same room, not another one that took its name since.
    const auto [first, last] = rooms_.equal_range(names::skeleton(room.name));
    if (std::any_of(first, last, [&room](const auto& entry) { return entry.second->serial == room.serial; }))
        return QStringLiteral("You were away too long and lost your place in the room %1.")
            .arg(quotedName(room.name));
    return QStringLiteral("The room %1 was closed while you were away.").arg(quotedName(room.name));
}
