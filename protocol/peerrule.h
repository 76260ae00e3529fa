// What a room mate may put on the wire, whichever way it reaches us: the
// relay applies it to everything it forwards, a client to what a direct peer
// sends it. Addresses are host byte order; a MAC is six bytes, the first
// most significant. Qt-free and free of allocation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace peerrule {

inline bool isGroupMac(std::uint64_t mac)
{
    return (mac >> 40) & 1;
}

// A room's network is one /24.
inline std::uint32_t roomNetOf(std::uint32_t vip)
{
    return vip & 0xFFFFFF00u;
}

inline bool isBroadcastOrMulticastIpv4(std::uint32_t address, std::uint32_t roomNet)
{
    return address == 0xFFFFFFFFu || address == (roomNet | 0xFFu) || (address >> 28) == 0xE;
}

inline bool isMulticastIpv6(std::uint64_t high)
{
    return (high >> 56) == 0xFF;
}

enum class Ipv4 : std::uint8_t {
    ForgedSource, // not the sender's own address
    Everyone,     // the room's broadcast or a multicast group
    Member,       // an address of the room: it goes on if a member holds it
    Outside,      // nobody in the room
};

// An IPv4 packet's source is its sender's own virtual address; it goes to the
// whole room or to one member.
Ipv4 ipv4(std::uint32_t source, std::uint32_t destination, std::uint32_t senderVip, std::uint32_t roomNet);

// The few addresses a member was last seen sending from, each with the time;
// the oldest makes way, so no sender can grow it.
template <typename Address, std::size_t N> struct AddressBook
{
    std::array<Address, N> items{};
    std::array<std::int64_t, N> seen{};
    std::uint8_t count = 0;
    std::uint8_t next = 0;

    int find(const Address& a) const
    {
        for (std::uint8_t i = 0; i < count; ++i)
            if (items[i] == a)
                return i;
        return -1;
    }
    void put(const Address& a, std::int64_t nowMs)
    {
        items[next] = a;
        seen[next] = nowMs;
        next = static_cast<std::uint8_t>((next + 1) % N);
        if (count < N)
            ++count;
    }
    void remove(int i)
    {
        --count;
        items[i] = items[count];
        seen[i] = seen[count];
        next = count;
    }
    void clear() { count = next = 0; }
};

constexpr std::int64_t kHoldForever = -1;

// A member takes an address (a MAC, an IPv6 source) into its own book. An
// address in use by another member stays with it; once that member has been
// silent with it for `holdMs` (kHoldForever: never) it moves. `forOthers(f)`
// calls f with every other member's book. False when another member holds it.
template <typename Address, std::size_t N, typename ForOthers>
bool claim(AddressBook<Address, N>& own, const Address& address, std::int64_t nowMs, std::int64_t holdMs,
           ForOthers&& forOthers)
{
    const int known = own.find(address);
    if (known >= 0) {
        own.seen[known] = nowMs;
        return true;
    }
    AddressBook<Address, N>* holder = nullptr;
    int at = -1;
    forOthers([&](AddressBook<Address, N>& other) {
        const int i = holder ? -1 : other.find(address);
        if (i >= 0) {
            holder = &other;
            at = i;
        }
    });
    if (holder) {
        if (holdMs == kHoldForever || nowMs - holder->seen[at] < holdMs)
            return false;
        holder->remove(at);
    }
    own.put(address, nowMs);
    return true;
}

} // namespace peerrule
