#include "server/relay/relaycore.h"

#include "protocol/heartbeat.h"
#include "protocol/scramble.h"

#include <algorithm>
#include <cstddef>
#include <netinet/in.h>

namespace {

// The host part of a peer's socket address, as the lobby writes control addresses.
ControlAddress hostOf(const Endpoint& peer)
{
    ControlAddress host{};
    sa_family_t family = AF_UNSPEC;
    if (peer.length >= sizeof family)
        std::memcpy(&family, peer.bytes, sizeof family);
    if (family == AF_INET && peer.length >= sizeof(sockaddr_in)) {
        host[10] = host[11] = 0xFF;
        std::memcpy(host.data() + 12, peer.bytes + offsetof(sockaddr_in, sin_addr), 4);
    } else if (family == AF_INET6 && peer.length >= sizeof(sockaddr_in6)) {
        std::memcpy(host.data(), peer.bytes + offsetof(sockaddr_in6, sin6_addr), host.size());
    }
    return host;
}

// The endpoint as the lobby hands it out to the member's peers.
BoundEndpoint boundOf(const Endpoint& peer)
{
    BoundEndpoint bound{hostOf(peer), 0};
    sa_family_t family = AF_UNSPEC;
    if (peer.length >= sizeof family)
        std::memcpy(&family, peer.bytes, sizeof family);
    in_port_t port = 0;
    if (family == AF_INET && peer.length >= sizeof(sockaddr_in))
        std::memcpy(&port, peer.bytes + offsetof(sockaddr_in, sin_port), sizeof port);
    else if (family == AF_INET6 && peer.length >= sizeof(sockaddr_in6))
        std::memcpy(&port, peer.bytes + offsetof(sockaddr_in6, sin6_port), sizeof port);
    bound.port = ntohs(port);
    return bound;
}

} // namespace

void RelayCore::Member::leaveRoom()
{
    mode = Mode::Unknown;
    pinned = false;
    vipMac = 0;
    macs.clear();
    ipv6.clear();
}

void RelayCore::Member::declare(int layer)
{
    if (layer != 2 && layer != 3)
        return;
    mode = layer == 2 ? Mode::Layer2 : Mode::Layer3;
    pinned = true;
}

RelayCore::RelayCore(RouteExchange& exchange, RelayBudget budget)
    : exchange_(exchange), budget_(budget), routes_(exchange.tables()), members_(exchange.slotCount())
{
    slotByPeer_.reserve(exchange.slotCount() * 2);
    refreshRoutes();
}

void RelayCore::refreshRoutes()
{
    // Slots beyond both the old table and the new one were empty and stay so.
    const std::size_t before = table_ ? table_->slotTable.size() : members_.size();
    if (!exchange_.fetchIfNewer(routes_))
        return;
    table_ = routes_.get();
    static const RouteTable::Slot kEmpty;
    const std::size_t known = std::min(table_->slotTable.size(), members_.size());
    const std::size_t span = std::min(std::max(before, known), members_.size());
    for (std::uint32_t slot = 0; slot < span; ++slot) {
        const RouteTable::Slot& entry = slot < known ? table_->slotTable[slot] : kEmpty;
        Member& m = members_[slot];
        bool fresh = false;
        // A new session, or one whose player came back from another host:
        // its endpoint has to prove itself again. A session sealed before and
        // after proves itself by its key from anywhere: it keeps its endpoint
        // and above all its replay windows, so nothing it sent before can pass for new.
        const bool keyed = m.gen == entry.gen && m.sealing && entry.seal.serial != 0;
        if (m.gen != entry.gen || (m.control != entry.control && !keyed)) {
            fresh = true;
            unbind(slot);
            m.leaveRoom();
            m.sealing.reset();
            if (m.gen != entry.gen) {
                m.all.reset();
                m.flood.reset();
                m.moves.reset();
                m.mappings.reset();
                m.mapped = {};
                m.probes[0].reset();
                m.probes[1].reset();
            }
            m.gen = entry.gen;
        }
        m.control = entry.control;
        updateSealing(slot, entry.seal);
        if (m.roomSerial != entry.roomSerial || m.vip != entry.vip) {
            m.roomSerial = entry.roomSerial;
            m.vip = entry.vip;
            m.leaveRoom();
            fresh = true;
        }
        // The mode a client said at its join holds from then on, without
        // waiting for its traffic (a quiet host must be reachable).
        if (fresh || m.declared != entry.layer) {
            m.declared = entry.layer;
            m.declare(entry.layer);
        }
    }
}

void RelayCore::unbind(std::uint32_t slot, bool tell)
{
    Member& m = members_[slot];
    if (!m.bound)
        return;
    const auto it = slotByPeer_.find(m.peer);
    if (it != slotByPeer_.end() && it->second == slot)
        slotByPeer_.erase(it);
    m.bound = false;
    if (tell)
        exchange_.noteEndpoint(slot, m.gen, {});
}

void RelayCore::bind(std::uint32_t slot, const Endpoint& from, const LocalAddress& local)
{
    Member& m = members_[slot];
    m.local = local;
    if (m.bound && m.peer == from)
        return;
    unbind(slot, false);
    // The latest heartbeat wins: an endpoint that belonged to another session
    // (a client that logged in again from the same port) moves to this one.
    const auto [it, inserted] = slotByPeer_.try_emplace(from, slot);
    if (!inserted) {
        Member& previous = members_[it->second];
        previous.bound = false;
        exchange_.noteEndpoint(it->second, previous.gen, {});
        it->second = slot;
    }
    m.peer = from;
    m.bound = true;
    // Rare (a new session, a NAT's new mapping): the lobby hands it to direct peers.
    exchange_.noteEndpoint(slot, m.gen, boundOf(from));
}

RelayCounter RelayCore::heartbeat(const std::uint8_t* data, std::size_t length, const Endpoint& from,
                                  const LocalAddress& local, std::int64_t nowMs)
{
    ClientKey key;
    int layer = 0;
    if (!heartbeat::parse(data, length, &key, &layer))
        return count(DropBadHeartbeat);
    const auto it = table_->slotByKey.find(key);
    if (it == table_->slotByKey.end() || it->second >= members_.size())
        return count(DropUnknownClient);
    // The identifier travels in clear text: only the host that holds the
    // session's control connection may use it, so a copy replayed from
    // elsewhere (or with a forged source) binds nothing and is not answered.
    Member& m = members_[it->second];
    if (m.control == ControlAddress{} || hostOf(from) != m.control)
        return count(DropForeignHeartbeat);
    // A sealed session's identifier never crossed in clear; a plain heartbeat naming it is forged.
    if (m.sealing)
        return count(DropUnsealed);
    bind(it->second, from, local);
    m.declare(layer);
    exchange_.noteHeartbeat(it->second, m.gen, nowMs);
    return count(CounterHeartbeats);
}

RelayCounter RelayCore::handle(const std::uint8_t* data, std::size_t length, const Endpoint& from,
                               const LocalAddress& local, std::int64_t nowMs, TargetList& targets)
{
    targets.clear();
    moved_ = kNoSlot;
    ++counters_[CounterIn];
    counters_[CounterBytesIn] += length;
    if (length > relay::kMaxDatagram + seal::kOverhead)
        return count(DropOversize);
    // A plain member's endpoint carries its scrambled datagrams. Anything
    // else may be a sealed datagram, which names its session: from a sealed
    // member's own endpoint, or from wherever a NAT now maps its client.
    const auto source = slotByPeer_.find(from);
    const bool sealedSource = source != slotByPeer_.end() && members_[source->second].sealing;
    if (source != slotByPeer_.end() && !sealedSource)
        return route(data, length, from, local, nowMs, targets, kNoSlot);
    seal::Header header;
    if (heartbeat::isPlain(data, length) || !seal::readHeader(data, length, &header) ||
        header.session() >= members_.size() || !members_[header.session()].sealing)
        return sealedSource ? count(DropUnsealed) : route(data, length, from, local, nowMs, targets, kNoSlot);
    bool newest = false;
    const long opened = openFrom(header, data, length, &newest);
    if (opened < 0)
        return count(DropUnsealed);
    // From its own endpoint (the usual case, known from the lookup above) nothing moves.
    const bool here = sealedSource && source->second == header.session();
    return sealedFrom(header.session(), header, opened, newest && !here, here, from, local, nowMs, targets);
}

RelayCounter RelayCore::mappingProbe(const std::uint8_t* data, std::size_t length, const Endpoint& from,
                                     std::int64_t nowMs)
{
    ++counters_[CounterIn];
    counters_[CounterBytesIn] += length;
    seal::Header header;
    if (!heartbeat::maybeSealed(data, length) || !seal::readHeader(data, length, &header) ||
        !header.heartbeat() || header.session() >= members_.size() || !members_[header.session()].sealing)
        return count(DropUnsealed);
    // Opened without counting as the member's newest datagram: only what
    // comes to the relay's own port moves its endpoint.
    if (openFrom(header, data, length, nullptr) < 0)
        return count(DropUnsealed);
    Member& m = members_[header.session()];
    // Only a change reaches the lobby, and only so often: it costs a lock there.
    if (!(m.mapped == from) && m.mappings.has(1, kMovesPerSecond, nowMs)) {
        m.mappings.take(1);
        m.mapped = from;
        exchange_.noteMapped(header.session(), m.gen, boundOf(from));
    }
    return count(CounterMappingProbes);
}

RelayCounter RelayCore::sealedFrom(std::uint32_t slot, const seal::Header& header, long opened, bool newer,
                                   bool here, const Endpoint& from, const LocalAddress& local,
                                   std::int64_t nowMs, TargetList& targets)
{
    Member& m = members_[slot];
    // The key, not the address, says who sent it: the endpoint follows the
    // member's newest datagram from any host and port, so a NAT that maps
    // it anew (or sends its UDP from another address than its TCP) loses
    // nothing. A replay or a late older datagram moves nothing, and a
    // member moves only so often. Once per move, not per datagram.
    if (newer && m.moves.has(1, kMovesPerSecond, nowMs)) {
        m.moves.take(1);
        if (m.bound)
            count(CounterMovedSealed);
        bind(slot, from, local);
        moved_ = slot;
    } else if (here && header.heartbeat()) {
        m.local = local; // where replies leave from, as a heartbeat found it
    }
    if (header.relayProbe()) // a round trip through the relay, never a heartbeat too
        return header.heartbeat() ? count(DropRunt)
                                  : routeProbe(slot, static_cast<std::size_t>(opened), nowMs, targets);
    if (!header.heartbeat())
        return route(opened_.data(), static_cast<std::size_t>(opened), from, local, nowMs, targets, slot);
    // A heartbeat's payload, if any, is the adapter mode.
    m.declare(opened > 0 ? opened_[0] : 0);
    exchange_.noteHeartbeat(slot, m.gen, nowMs);
    return count(CounterHeartbeats);
}

RelayCounter RelayCore::route(const std::uint8_t* data, std::size_t length, const Endpoint& from,
                              const LocalAddress& local, std::int64_t nowMs, TargetList& targets,
                              std::uint32_t opener)
{
    const bool opened = opener != kNoSlot;
    if (length > relay::kMaxDatagram)
        return count(DropOversize);
    // The rules read scrambled datagrams, as plain members send them: an
    // opened one is read from a scrambled copy of the bytes they look at.
    std::array<std::uint8_t, relay::kHeaderReach> header;
    const std::uint8_t* view = data;
    if (opened) {
        tunnel::scrambleCopy(header.data(), data, std::min(length, header.size()));
        view = header.data();
    }
    relay::DatagramInfo info = relay::classifyDatagram(view, length);
    // A sealed datagram says itself whether it is a heartbeat; one whose
    // scrambled first byte happens to be "{" is traffic.
    if (info.kind == relay::DatagramKind::Heartbeat && opened)
        info.kind = relay::readEthernet(view, length, &info) ? relay::DatagramKind::Ethernet
                                                             : relay::DatagramKind::Runt;
    if (info.kind == relay::DatagramKind::Heartbeat)
        return heartbeat(data, length, from, local, nowMs);

    std::uint32_t sender = opener;
    if (!opened) {
        const auto source = slotByPeer_.find(from);
        if (source == slotByPeer_.end())
            return count(DropUnbound);
        sender = source->second;
    }
    if (sender >= table_->slotTable.size() || table_->slotTable[sender].room < 0)
        return count(DropNotInRoom);
    Routing r{table_->rooms[static_cast<std::size_t>(table_->slotTable[sender].room)], sender, data, length,
              targets, opened};
    targets.payload = data;
    targets.payloadLength = length;
    targets.payloadClear = opened;
    Member& self = members_[sender];

    // A layer-2 member's frame may look like an IP packet by chance; its
    // own IPv4 address as source is what says it switched to layer 3,
    // unless it said its mode.
    const bool ip = info.kind == relay::DatagramKind::Ipv4 || info.kind == relay::DatagramKind::Ipv6;
    const bool frame =
        self.mode == Mode::Layer2 &&
        (self.pinned || !(info.kind == relay::DatagramKind::Ipv4 && info.ipv4Source == self.vip));
    if (ip && frame)
        info.kind = relay::readEthernet(view, length, &info) ? relay::DatagramKind::Ethernet
                                                             : relay::DatagramKind::Runt;
    else if (!ip && self.pinned && self.mode == Mode::Layer3)
        info.kind = relay::DatagramKind::Runt; // a layer-3 adapter yields IP packets only

    switch (info.kind) {
    case relay::DatagramKind::Ipv4:
    case relay::DatagramKind::Ipv6:
        routeIp(r, info, nowMs);
        break;
    case relay::DatagramKind::Ethernet:
        self.mode = Mode::Layer2;
        routeEthernet(r, info, nowMs);
        break;
    default:
        return count(DropRunt);
    }
    if (targets.size() == 0)
        return count(r.refused);

    // Each copy counts against the sender's budget, copies to the whole room twice.
    const auto copies = static_cast<std::uint32_t>(targets.size());
    if (!self.all.has(copies, budget_.memberRate, nowMs) ||
        (r.flooded && !self.flood.has(copies, budget_.floodRate, nowMs))) {
        targets.clear();
        return count(DropBudget);
    }
    if (targets.anyVariant() && !translate(r, info, nowMs))
        targets.dropVariants();
    if (targets.size() == 0)
        return count(r.refused);
    const auto sent = static_cast<std::uint32_t>(targets.size());
    self.all.take(sent);
    if (r.flooded)
        self.flood.take(sent);
    return CounterForwarded;
}

std::int32_t RelayCore::memberAt(const RouteTable::Room& room, std::uint32_t address) const
{
    if ((address & 0xFFFFFF00u) != room.net)
        return -1;
    const std::int32_t slot = room.slotByHost[address & 0xFFu];
    return slot >= 0 && members_[static_cast<std::uint32_t>(slot)].bound ? slot : -1;
}

void RelayCore::flood(Routing& r, bool toLayer3) const
{
    r.flooded = true;
    const Mode senderMode = members_[r.sender].mode;
    for (const std::uint32_t member : r.room.members) {
        const Member& m = members_[member];
        if (member == r.sender || !m.bound)
            continue;
        // Members not heard from yet get the datagram as it came.
        const bool other = m.mode != Mode::Unknown && m.mode != senderMode;
        if (!other || toLayer3)
            r.targets.push(member, other);
    }
}

RelayCounter RelayCore::ipRule(Routing& r, const relay::DatagramInfo& ip, std::int64_t nowMs,
                               std::int32_t* target)
{
    *target = -1;
    if (ip.kind == relay::DatagramKind::Ipv4) {
        switch (peerrule::ipv4(ip.ipv4Source, ip.ipv4Destination, members_[r.sender].vip, r.room.net)) {
        case peerrule::Ipv4::ForgedSource:
            return DropForgedSource;
        case peerrule::Ipv4::Everyone:
            return CounterForwarded;
        default:
            *target = memberAt(r.room, ip.ipv4Destination);
            return *target >= 0 ? CounterForwarded : DropNoRoute;
        }
    }
    if (ip.kind != relay::DatagramKind::Ipv6)
        return DropRunt;
    // An IPv6 address belongs to the member that sent from it first (until
    // it falls silent with it); anything else goes to the whole room.
    const Ipv6Address source{ip.ipv6Source[0], ip.ipv6Source[1]};
    if (!relay::isMulticastIpv6(source.high) && !(source == Ipv6Address{}) &&
        !learn(r, &Member::ipv6, source, nowMs))
        return DropForgedSource;
    const Ipv6Address destination{ip.ipv6Destination[0], ip.ipv6Destination[1]};
    for (const std::uint32_t member : r.room.members)
        if (members_[member].bound && members_[member].ipv6.find(destination) >= 0)
            *target = static_cast<std::int32_t>(member);
    return CounterForwarded;
}

void RelayCore::routeIp(Routing& r, const relay::DatagramInfo& info, std::int64_t nowMs)
{
    std::int32_t target = -1;
    const RelayCounter verdict = ipRule(r, info, nowMs, &target);
    if (verdict == DropForgedSource) {
        r.refused = verdict;
        return;
    }
    members_[r.sender].mode = Mode::Layer3;
    if (verdict != CounterForwarded)
        return;
    if (target < 0) {
        flood(r, true);
        return;
    }
    const Member& receiver = members_[static_cast<std::uint32_t>(target)];
    if (info.kind == relay::DatagramKind::Ipv4)
        r.destinationMac = receiver.vipMac;
    if (static_cast<std::uint32_t>(target) != r.sender)
        r.targets.push(static_cast<std::uint32_t>(target), receiver.mode == Mode::Layer2);
}

void RelayCore::routeEthernet(Routing& r, const relay::DatagramInfo& info, std::int64_t nowMs)
{
    Member& self = members_[r.sender];
    if (!relay::isGroupMac(info.sourceMac) && info.sourceMac != 0 && !relay::isStandInMac(info.sourceMac))
        learn(r, &Member::macs, info.sourceMac, nowMs);
    if (info.innerSource == self.vip && !relay::isGroupMac(info.sourceMac) &&
        !relay::isStandInMac(info.sourceMac))
        self.vipMac = info.sourceMac;

    const bool ipFrame = info.etherType == relay::kEtherIpv4 || info.etherType == relay::kEtherIpv6;
    std::uint32_t asked = 0;
    if (info.etherType == relay::kEtherArp) {
        // Unscrambling the few ARP bytes is cheap next to a round trip.
        std::array<std::uint8_t, 42> arp{};
        if (r.length >= arp.size() && r.clear)
            std::memcpy(arp.data(), r.data, arp.size());
        else if (r.length >= arp.size())
            tunnel::scrambleCopy(arp.data(), r.data, arp.size());
        if (relay::isArpRequest(arp.data(), r.length >= arp.size() ? arp.size() : 0, &asked)) {
            const std::int32_t target = memberAt(r.room, asked);
            if (target >= 0 && members_[static_cast<std::uint32_t>(target)].mode == Mode::Layer3) {
                r.targets.push(r.sender, true); // answered here, on the layer-3 member's behalf
                return;
            }
        }
    }
    if (relay::isGroupMac(info.destinationMac)) {
        flood(r, ipFrame);
        return;
    }
    if (relay::isStandInMac(info.destinationMac)) {
        const std::int32_t target = memberAt(r.room, static_cast<std::uint32_t>(info.destinationMac));
        if (target >= 0 && static_cast<std::uint32_t>(target) != r.sender && ipFrame &&
            members_[static_cast<std::uint32_t>(target)].mode != Mode::Layer2)
            r.targets.push(static_cast<std::uint32_t>(target), true);
        return;
    }
    for (const std::uint32_t member : r.room.members) {
        const Member& m = members_[member];
        if (m.macs.find(info.destinationMac) < 0)
            continue;
        if (member != r.sender && m.bound)
            r.targets.push(member);
        return;
    }
    flood(r, false);
}

bool RelayCore::translate(Routing& r, const relay::DatagramInfo& info, std::int64_t nowMs)
{
    // Scrambling restarts with every datagram: a datagram whose bytes move
    // is unscrambled, changed and scrambled again.
    if (r.clear)
        std::memcpy(plain_.data(), r.data, r.length);
    else
        tunnel::scrambleCopy(plain_.data(), r.data, r.length);
    const Member& self = members_[r.sender];
    std::size_t length = 0;
    if (self.mode == Mode::Layer3) {
        const std::uint64_t destination =
            r.destinationMac ? r.destinationMac : relay::groupMacFor(plain_.data(), r.length);
        length = relay::frameIpPacket(plain_.data(), r.length, destination, relay::standInMac(self.vip),
                                      r.targets.variant.data());
    } else if (info.etherType == relay::kEtherArp) {
        std::uint32_t asked = 0;
        relay::isArpRequest(plain_.data(), r.length, &asked);
        length =
            relay::proxyArpReply(plain_.data(), r.length, relay::standInMac(asked), r.targets.variant.data());
        count(CounterProxyArp);
    } else {
        length = relay::stripFrame(plain_.data(), r.length, r.targets.variant.data());
    }
    if (length == 0)
        return false;
    tunnel::scrambleInPlace(r.targets.variant.data(), length);
    r.targets.variantLength = length;
    if (self.mode == Mode::Layer2 && info.etherType != relay::kEtherArp) {
        // What the bridge made of the frame is a layer-3 packet like any other.
        std::int32_t target = -1;
        const RelayCounter verdict =
            ipRule(r, relay::readIp(r.targets.variant.data(), length), nowMs, &target);
        if (verdict != CounterForwarded) {
            r.refused = verdict;
            return false;
        }
        if (target >= 0)
            r.targets.keepVariantFor(static_cast<std::uint32_t>(target));
        if (!r.targets.anyVariant())
            return false;
    }
    count(CounterTranslated);
    return true;
}

template <typename Address, std::size_t N>
bool RelayCore::learn(Routing& r, AddressBook<Address, N> Member::*book, const Address& address,
                      std::int64_t nowMs)
{
    return peerrule::claim(members_[r.sender].*book, address, nowMs, kMacHoldMs, [&](auto&& visit) {
        for (const std::uint32_t member : r.room.members)
            if (member != r.sender)
                visit(members_[member].*book);
    });
}
