// The relay on arbitrary datagrams: pieces split at 0xFE, each one's first byte b its sender (host
// 10.0.0.(b % 8), port b / 8). Slots 0-2 share a room, 3 and 4 another; slot n's control connection is from
// host n; slot 1 said layer 2, slot 2 layer 3, the others are learned. Forwarding stays in the sender's room,
// comes only from the session's own host, reaches each target once, never the sender (but a proxy ARP
// answer), and stays within the size limit. What the bridge makes of a datagram keeps the sender's own
// address: a frame for layer 2 carries the sender's stand-in MAC and IPv4 source; a packet stripped for layer
// 3 has the sender's IPv4 source and goes to the room or to its receiver's address. Slots 3 and 4 share
// another room and are sealed (keys 00..1f and those bytes ^ 0x44): what comes from them must open first. A
// piece whose first byte is 0xF0 or more is sealed here as slot 3's, with the round-trip probe bit when that
// byte is odd and the heartbeat bit when bit 1 is set: a probe forwarded goes to slot 4 alone, as long as it
// came, from slot 3's own address.
#include "protocol/relayprobe.h"
#include "protocol/scramble.h"
#include "server/relay/relaycore.h"

#include <QHostAddress>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kSlots = 5;

Endpoint peer(std::uint8_t n)
{
    const sockaddr_in sa{
        AF_INET, htons(static_cast<std::uint16_t>(1000 + n / 8)), {htonl(0x0A000000u | (n % 8))}, {}};
    Endpoint p;
    std::memcpy(p.bytes, &sa, p.length = sizeof sa);
    return p;
}

std::uint32_t roomOf(std::uint32_t slot)
{
    return slot < 3 ? 0 : 1;
}

std::uint32_t vipOf(std::uint32_t slot)
{
    return 0x0A080000u | (roomOf(slot) << 8) | (slot < 3 ? slot + 1 : slot - 2);
}

std::uint64_t readBig(const std::uint8_t* p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | p[i];
    return value;
}

// The translated copy for `to` of a `length`-byte datagram left the sender's own address.
bool escapes(std::size_t length, const TargetList& targets, std::uint32_t self, std::uint32_t to)
{
    std::uint8_t out[relay::kMaxTranslated];
    std::memcpy(out, targets.variant.data(), targets.variantLength);
    tunnel::scrambleInPlace(out, targets.variantLength);
    const std::uint8_t* packet = out + relay::kEthernetHeader;
    if (targets.variantLength > length) // framed: the sender's packet behind its stand-in MAC
        return readBig(out + 6, 6) != relay::standInMac(vipOf(self)) ||
               ((packet[0] >> 4) == 4 && readBig(packet + 12, 4) != vipOf(self));
    // Stripped: an IPv4 packet from the sender's address, to the room or to `to`.
    const auto destination = static_cast<std::uint32_t>(readBig(out + 16, 4));
    const bool toRoom = relay::isBroadcastOrMulticastIpv4(destination, vipOf(self) & ~0xFFu);
    return (out[0] >> 4) == 4 &&
           (readBig(out + 12, 4) != vipOf(self) || (destination != vipOf(to) && !toRoom));
}

std::shared_ptr<RouteTable> makeTable(std::uint32_t gen)
{
    auto table = std::make_shared<RouteTable>();
    table->slotTable.resize(kSlots);
    table->rooms.resize(2);
    for (std::uint32_t r = 0; r < 2; ++r) {
        table->rooms[r] = {r + 1, 0x0A080000u | (r << 8), {}, {}};
        table->rooms[r].slotByHost.fill(-1);
    }
    for (std::uint32_t slot = 0; slot < kSlots; ++slot) {
        RouteTable::Room& room = table->rooms[roomOf(slot)];
        const std::uint32_t host = static_cast<std::uint32_t>(room.members.size()) + 1;
        room.members.push_back(slot);
        room.slotByHost[host] = static_cast<std::int32_t>(slot);
        table->slotTable[slot] = {gen, static_cast<std::int32_t>(roomOf(slot)), roomOf(slot) + 1,
                                  room.net | host, controlAddressOf(QHostAddress(0x0A000000u | slot)),
                                  static_cast<std::uint8_t>(slot == 1 ? 2 : slot == 2 ? 3 : 0), {}};
        table->slotByKey[{0, slot + 1}] = slot;
    }
    for (std::uint32_t slot = 3; slot < kSlots; ++slot) {
        SealRoute& sealed = table->slotTable[slot].seal;
        sealed.serial = 1;
        for (std::size_t i = 0; i < sealed.key.bytes.size(); ++i)
            sealed.key.bytes[i] = static_cast<std::uint8_t>(slot == 3 ? i : i ^ 0x44);
    }
    return table;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // One relay core serves every input: each starts with a table whose sessions are all of a new
    // generation, which leaves the core as new (unbound, unsealed, budgets full, nothing learned).
    static const std::shared_ptr<const RouteTable> tables[2] = {makeTable(1), makeTable(2)};
    static seal::Cipher ciphers[2];
    static std::uint8_t beats[2][seal::kOverhead];
    static std::uint64_t counter = 1;
    static const bool sealed = [] {
        for (std::uint32_t i = 0; i < 2; ++i)
            if (!ciphers[i].setKey(tables[0]->slotTable[3 + i].seal.key.bytes.data()) ||
                !ciphers[i].seal({(3 + i) | seal::kHeartbeat, 0}, beats[i], 0))
                return false;
        return true;
    }();
    static RouteExchange exchange(kSlots);
    static RelayCore core(exchange);
    static unsigned inputs = 0;
    exchange.publish(tables[inputs++ & 1]);
    core.refreshRoutes();
    static TargetList targets;
    for (std::uint8_t i = 0; i < 2; ++i)
        if (!sealed || core.handle(beats[i], seal::kOverhead, peer(3 + i), LocalAddress(), 0, targets) !=
                           CounterHeartbeats)
            std::abort();
    static const std::string plainBeats[3] = {"{\"client_id\":\"" + std::string(31, '0') + "1\"}",
                                              "{\"client_id\":\"" + std::string(31, '0') + "2\"}",
                                              "{\"client_id\":\"" + std::string(31, '0') + "3\"}"};
    for (std::uint8_t slot = 0; slot < 3; ++slot)
        core.handle(reinterpret_cast<const std::uint8_t*>(plainBeats[slot].data()), plainBeats[slot].size(),
                    peer(slot), LocalAddress(), 0, targets);
    std::int64_t now = 0;
    for (const std::uint8_t* start = data; start < data + size;) {
        const auto* stop =
            static_cast<const std::uint8_t*>(std::memchr(start, 0xFE, std::size_t(data + size - start)));
        stop = stop ? stop : data + size;
        const bool ours = stop > start && *start >= 0xF0; // sealed here as slot 3's
        const bool probe = ours && (*start & 1);
        const std::uint32_t self = ours ? 3 : *start % 8u;
        const std::size_t length = stop > start ? std::size_t(stop - start - 1) : 0;
        std::vector<std::uint8_t> piece(start + (stop > start), stop);
        if (ours) {
            piece.insert(piece.begin(), seal::kHeaderBytes, 0);
            piece.resize(length + seal::kOverhead);
            const std::uint32_t word =
                3 | (probe ? seal::kRelayProbe : 0u) | (*start & 2 ? seal::kHeartbeat : 0u);
            if (!ciphers[0].seal({word, counter++}, piece.data(), length))
                std::abort();
        }
        // A quarter of the sealed pieces go to the mapping port instead: it moves and forwards nothing.
        if (ours && (*start & 4) && (*start & 8)) {
            const bool bound = core.isBound(3);
            const Endpoint before = core.peerOf(3);
            const RelayCounter got = core.mappingProbe(piece.data(), piece.size(), peer(*start), now += 3);
            if ((got != CounterMappingProbes && got != DropUnsealed) || core.isBound(3) != bound ||
                !(core.peerOf(3) == before))
                std::abort();
            start = stop + 1;
            continue;
        }
        const bool forwarded =
            stop > start && core.handle(piece.data(), piece.size(), ours ? peer(3) : peer(*start),
                                        LocalAddress(), now += 3, targets) == CounterForwarded;
        if ((stop > start && forwarded != (targets.size() != 0)) ||
            (forwarded &&
             (self >= kSlots || !core.isBound(self) || !(core.peerOf(self) == peer(ours ? 3 : *start)) ||
              targets.variantLength > relay::kMaxDatagram)))
            std::abort();
        // A probe: to slot 4 alone, from slot 3's address, as long as it came, its kind and id kept.
        relayprobe::Probe in, out;
        if (forwarded && (targets.probe != probe ||
                          (probe && (targets.size() != 1 || targets[0] != 4 || targets.isVariant(0) ||
                                     !relayprobe::read(start + 1, length, &in) ||
                                     !relayprobe::read(targets.payload, targets.payloadLength, &out) ||
                                     out.vip != vipOf(3) || out.kind != in.kind || out.id != in.id))))
            std::abort();
        for (std::size_t i = 0; forwarded && i < targets.size(); ++i) {
            const std::uint32_t t = targets[i];
            // Only a proxy ARP answer (42 bytes) goes back to its sender.
            if (t >= kSlots || roomOf(t) != roomOf(self) ||
                (t == self && !(targets.isVariant(i) && targets.variantLength == 42)) ||
                (t != self && targets.isVariant(i) &&
                 escapes(std::size_t(stop - start - 1), targets, self, t)))
                std::abort();
            for (std::size_t j = 0; j < i; ++j)
                if (targets[j] == t)
                    std::abort();
        }
        start = stop + 1;
    }
    return 0;
}
