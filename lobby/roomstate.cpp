#include "lobby/roomstate.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"

#include <utility>

namespace lobby {

void RoomState::logIn(const QString& user)
{
    loggedIn_ = true;
    user_ = user;
    emit loginChanged();
}

void RoomState::connectionLost()
{
    if (!std::exchange(loggedIn_, false))
        return;
    emit loginChanged();
}

void RoomState::take(const QJsonObject& message)
{
    const QString cmd = control::readString(message, field::cmd);
    if (cmd == cmd::joinOk) {
        const msg::JoinOk ok = msg::JoinOk::parse(message);
        // A running adapter ignores a second start: one at a new address must be stopped first.
        const bool readdressed = inRoom_ && ok.vip != myVirtualIp_;
        enter(ok.roomName, ok.vip);
        emit joined(readdressed, ok.layer.has_value());
    } else if (cmd == cmd::roomUpdate) {
        QList<RoomMember> members;
        for (const auto& [user, virtualIp, host] : msg::RoomUpdate::parse(message).peers)
            members.append({user, virtualIp, host, {}, -1});
        setMembers(members);
        emit updated();
    }
}

void RoomState::enter(const QString& roomName, const QString& myVirtualIp)
{
    inRoom_ = true;
    roomName_ = roomName;
    myVirtualIp_ = myVirtualIp;
    emit roomChanged();
}

void RoomState::setMembers(QList<RoomMember> members)
{
    for (const RoomMember& member : members) {
        if (member.name == user_)
            isHost_ = member.host;
        if (member.host)
            hostVirtualIp_ = member.virtualIp;
    }
    members_ = std::move(members);
    emit membersChanged();
}

void RoomState::setPath(const QString& member, const QString& path, int rttMs)
{
    for (RoomMember& entry : members_) {
        if (entry.name != member || (entry.path == path && entry.rttMs == rttMs))
            continue;
        entry.path = path;
        entry.rttMs = rttMs;
        emit pathChanged(member);
    }
}

// Nothing of the room outlives it: the next one starts unknown until its first room_update.
void RoomState::leave()
{
    inRoom_ = false;
    roomName_.clear();
    myVirtualIp_.clear();
    hostVirtualIp_.clear();
    isHost_ = false;
    members_.clear();
    emit roomChanged();
    emit membersChanged();
}

} // namespace lobby
