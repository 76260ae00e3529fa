#include "server/relay/relaycore.h"

#include <algorithm>

std::size_t PeerAddressHash::operator()(const PeerAddress& a) const
{
    // FNV-1a over the address bytes; peers cannot choose their source
    // addresses freely enough to make collisions a concern.
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::uint32_t i = 0; i < a.length && i < sizeof a.bytes; ++i) {
        h ^= a.bytes[i];
        h *= 0x100000001b3ull;
    }
    return static_cast<std::size_t>(h);
}

RelayCore::RelayCore(RouteExchange& exchange) : exchange_(exchange), members_(exchange.slotCount())
{
    slotByPeer_.reserve(exchange.slotCount() * 2);
    refreshRoutes();
}

void RelayCore::refreshRoutes()
{
    if (!exchange_.fetchIfNewer(table_, tableVersion_))
        return;
    const std::size_t known = std::min(table_->slotTable.size(), members_.size());
    for (std::uint32_t slot = 0; slot < members_.size(); ++slot) {
        const RouteTable::Slot entry = slot < known ? table_->slotTable[slot] : RouteTable::Slot{};
        Member& m = members_[slot];
        if (m.gen != entry.gen) {
            unbind(slot);
            m.gen = entry.gen;
            m.macCount = 0;
            m.macNext = 0;
        }
        if (m.roomSerial != entry.roomSerial) {
            m.roomSerial = entry.roomSerial;
            m.macCount = 0;
            m.macNext = 0;
        }
    }
}

void RelayCore::unbind(std::uint32_t slot)
{
    Member& m = members_[slot];
    if (!m.bound)
        return;
    const auto it = slotByPeer_.find(m.peer);
    if (it != slotByPeer_.end() && it->second == slot)
        slotByPeer_.erase(it);
    m.bound = false;
}

void RelayCore::bind(std::uint32_t slot, const PeerAddress& from, const LocalAddress& local)
{
    Member& m = members_[slot];
    m.local = local;
    if (m.bound && m.peer == from)
        return;
    unbind(slot);
    // The latest heartbeat wins: an endpoint that belonged to another session
    // (a client that logged in again from the same port) moves to this one.
    const auto [it, inserted] = slotByPeer_.try_emplace(from, slot);
    if (!inserted) {
        members_[it->second].bound = false;
        it->second = slot;
    }
    m.peer = from;
    m.bound = true;
}

RelayCounter RelayCore::handle(const std::uint8_t* data, std::size_t length, const PeerAddress& from,
                               const LocalAddress& local, std::int64_t nowMs, TargetList& targets)
{
    targets.clear();
    ++counters_[CounterIn];
    const relay::DatagramInfo info = relay::classifyDatagram(data, length);
    if (info.kind == relay::DatagramKind::Heartbeat) {
        ClientKey key;
        if (!relay::parseHeartbeat(data, length, &key))
            return count(DropBadHeartbeat);
        const auto it = table_->slotByKey.find(key);
        if (it == table_->slotByKey.end() || it->second >= members_.size())
            return count(DropUnknownClient);
        bind(it->second, from, local);
        exchange_.noteHeartbeat(it->second, members_[it->second].gen, nowMs);
        return count(CounterHeartbeats);
    }

    const auto source = slotByPeer_.find(from);
    if (source == slotByPeer_.end())
        return count(DropUnbound);
    const std::uint32_t sender = source->second;
    if (sender >= table_->slotTable.size() || table_->slotTable[sender].room < 0)
        return count(DropNotInRoom);
    const RouteTable::Room& room = table_->rooms[static_cast<std::size_t>(table_->slotTable[sender].room)];

    switch (info.kind) {
    case relay::DatagramKind::Ipv4:
        routeIpv4(room, sender, info.ipv4Destination, targets);
        break;
    case relay::DatagramKind::Ethernet:
        routeEthernet(room, sender, info, targets);
        break;
    default:
        return count(DropRunt);
    }
    return targets.size() ? CounterForwarded : count(DropNoRoute);
}

void RelayCore::flood(const RouteTable::Room& room, std::uint32_t sender, TargetList& targets) const
{
    for (const std::uint32_t member : room.members)
        if (member != sender && members_[member].bound)
            targets.push(member);
}

void RelayCore::routeIpv4(const RouteTable::Room& room, std::uint32_t sender, std::uint32_t destination,
                          TargetList& targets) const
{
    if (relay::isBroadcastOrMulticastIpv4(destination, room.net)) {
        flood(room, sender, targets);
        return;
    }
    if ((destination & 0xFFFFFF00u) != room.net)
        return;
    const std::int32_t target = room.slotByHost[destination & 0xFFu];
    if (target >= 0 && static_cast<std::uint32_t>(target) != sender && members_[static_cast<std::uint32_t>(target)].bound)
        targets.push(static_cast<std::uint32_t>(target));
}

void RelayCore::routeEthernet(const RouteTable::Room& room, std::uint32_t sender, const relay::DatagramInfo& info,
                              TargetList& targets)
{
    if (!relay::isGroupMac(info.sourceMac) && info.sourceMac != 0)
        learnMac(room, sender, info.sourceMac);
    if (relay::isGroupMac(info.destinationMac)) {
        flood(room, sender, targets);
        return;
    }
    for (const std::uint32_t member : room.members) {
        const Member& m = members_[member];
        for (std::uint8_t i = 0; i < m.macCount; ++i) {
            if (m.macs[i] != info.destinationMac)
                continue;
            if (member != sender && m.bound)
                targets.push(member);
            return;
        }
    }
    flood(room, sender, targets);
}

void RelayCore::learnMac(const RouteTable::Room& room, std::uint32_t sender, std::uint64_t mac)
{
    Member& self = members_[sender];
    for (std::uint8_t i = 0; i < self.macCount; ++i)
        if (self.macs[i] == mac)
            return;
    // A MAC that moved (a virtual machine that changed hosts) belongs to its
    // latest sender only.
    for (const std::uint32_t member : room.members) {
        if (member == sender)
            continue;
        Member& other = members_[member];
        for (std::uint8_t i = 0; i < other.macCount; ++i) {
            if (other.macs[i] != mac)
                continue;
            other.macs[i] = other.macs[other.macCount - 1];
            --other.macCount;
            other.macNext = other.macCount;
            break;
        }
    }
    // Each member keeps a few addresses; the oldest makes way, so no sender
    // can grow the table.
    self.macs[self.macNext] = mac;
    self.macNext = static_cast<std::uint8_t>((self.macNext + 1) % kMacsPerMember);
    if (self.macCount < kMacsPerMember)
        ++self.macCount;
}
