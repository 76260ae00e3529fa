// Feeds the relay's datagram reading and routing with arbitrary datagrams.
// The first byte picks the sender: 0-2 are members of one room, 3 is alone
// in another, anything else is a stranger (until it sends a member's heartbeat). Forwarding must stay within the
// sender's room and never return a datagram to its sender.
#include "server/relay/datagram.h"
#include "server/relay/relaycore.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::uint32_t kSlots = 4;

PeerAddress peer(std::uint8_t n)
{
    PeerAddress p;
    p.bytes[0] = n;
    p.length = 1;
    return p;
}

std::shared_ptr<RouteTable> makeTable()
{
    auto table = std::make_shared<RouteTable>();
    table->slotTable.resize(kSlots);
    for (std::uint32_t r = 0; r < 2; ++r) {
        RouteTable::Room& room = table->rooms.emplace_back();
        room.serial = r + 1;
        room.net = 0x0A080000u | (r << 8);
        room.slotByHost.fill(-1);
    }
    for (std::uint32_t slot = 0; slot < kSlots; ++slot) {
        const std::uint32_t r = slot < 3 ? 0 : 1;
        RouteTable::Room& room = table->rooms[r];
        const std::uint32_t host = static_cast<std::uint32_t>(room.members.size()) + 1;
        room.members.push_back(slot);
        room.slotByHost[host] = static_cast<std::int32_t>(slot);
        table->slotTable[slot] = {1, static_cast<std::int32_t>(r), r + 1, room.net | host};
        table->slotByKey[{0, slot + 1}] = slot;
    }
    return table;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The reader alone, on the whole input.
    const relay::DatagramInfo info = relay::classifyDatagram(data, size);
    ClientKey key;
    if (info.kind == relay::DatagramKind::Heartbeat)
        relay::parseHeartbeat(data, size, &key);
    if (size == 0)
        return 0;

    RouteExchange exchange(kSlots);
    exchange.publish(makeTable());
    RelayCore core(exchange);
    TargetList targets;
    for (std::uint8_t slot = 0; slot < kSlots; ++slot) {
        const std::string hb = "{\"client_id\":\"" + std::string(31, '0') + std::to_string(slot + 1) + "\"}";
        core.handle(reinterpret_cast<const std::uint8_t*>(hb.data()), hb.size(), peer(slot), LocalAddress(), 0, targets);
    }
    // Every datagram of the input, split at 0xFE bytes, from the chosen sender.
    const std::uint8_t sender = data[0];
    const std::uint8_t* start = data + 1;
    const std::uint8_t* const end = data + size;
    while (start <= end) {
        const std::uint8_t* stop = static_cast<const std::uint8_t*>(std::memchr(start, 0xFE, static_cast<std::size_t>(end - start)));
        if (!stop)
            stop = end;
        const RelayCounter verdict =
            core.handle(start, static_cast<std::size_t>(stop - start), peer(sender), LocalAddress(), 1, targets);
        if (verdict == CounterForwarded) {
            // A heartbeat with a member's id makes any endpoint that member.
            std::uint32_t self = kSlots;
            for (std::uint32_t slot = 0; slot < kSlots; ++slot)
                if (core.isBound(slot) && core.peerOf(slot) == peer(sender))
                    self = slot;
            if (targets.size() == 0 || self >= kSlots)
                std::abort();
            const std::uint32_t room = self < 3 ? 0 : 1;
            for (std::size_t i = 0; i < targets.size(); ++i) {
                const std::uint32_t t = targets[i];
                if (t == self || t >= kSlots || (t < 3 ? 0u : 1u) != room)
                    std::abort();
                for (std::size_t j = 0; j < i; ++j)
                    if (targets[j] == t)
                        std::abort();
            }
        } else if (targets.size() != 0) {
            std::abort();
        }
        start = stop + 1;
    }
    return 0;
}
