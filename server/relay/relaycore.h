// The relay's routing decisions, free of sockets: which session a datagram
// comes from and which members of its room get it. Runs on the relay thread
// only; nothing here allocates per datagram.
#pragma once

#include "server/relay/datagram.h"
#include "server/relay/routes.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

// A socket address as the kernel wrote it (sockaddr_in or sockaddr_in6),
// compared and hashed as bytes.
struct PeerAddress {
    alignas(8) unsigned char bytes[28] = {};
    std::uint32_t length = 0;
    bool operator==(const PeerAddress& o) const { return length == o.length && std::memcmp(bytes, o.bytes, length) == 0; }
};

struct PeerAddressHash {
    std::size_t operator()(const PeerAddress& a) const;
};

// Where a member's heartbeat arrived (the pktinfo of a wildcard socket), so
// replies leave from the address the client talks to. Empty: let the kernel pick.
struct LocalAddress {
    alignas(4) unsigned char bytes[20] = {};
    std::uint32_t length = 0;
};

class TargetList
{
public:
    void clear() { count_ = 0; }
    void push(std::uint32_t slot)
    {
        if (count_ < slots_.size())
            slots_[count_++] = slot;
    }
    std::size_t size() const { return count_; }
    std::uint32_t operator[](std::size_t i) const { return slots_[i]; }

private:
    std::array<std::uint32_t, 256> slots_{};
    std::size_t count_ = 0;
};

class RelayCore
{
public:
    static constexpr std::size_t kMacsPerMember = 8;

    explicit RelayCore(RouteExchange& exchange);

    // Takes the newest table the lobby published, if any; call between batches.
    void refreshRoutes();

    // Decides the fate of one datagram from `from`. `targets` receives the
    // member slots to send it to. Returns CounterHeartbeats, CounterForwarded
    // or the drop reason; the matching counter is already counted.
    RelayCounter handle(const std::uint8_t* data, std::size_t length, const PeerAddress& from,
                        const LocalAddress& local, std::int64_t nowMs, TargetList& targets);

    const PeerAddress& peerOf(std::uint32_t slot) const { return members_[slot].peer; }
    const LocalAddress& localOf(std::uint32_t slot) const { return members_[slot].local; }
    bool isBound(std::uint32_t slot) const { return slot < members_.size() && members_[slot].bound; }

    RelayCounters& counters() { return counters_; }

private:
    struct Member {
        std::uint32_t gen = 0;
        std::uint64_t roomSerial = 0;
        bool bound = false;
        PeerAddress peer;
        LocalAddress local;
        std::uint8_t macCount = 0;
        std::uint8_t macNext = 0;
        std::array<std::uint64_t, kMacsPerMember> macs{};
    };

    RelayCounter count(RelayCounter counter)
    {
        ++counters_[counter];
        return counter;
    }
    void bind(std::uint32_t slot, const PeerAddress& from, const LocalAddress& local);
    void unbind(std::uint32_t slot);
    void flood(const RouteTable::Room& room, std::uint32_t sender, TargetList& targets) const;
    void routeIpv4(const RouteTable::Room& room, std::uint32_t sender, std::uint32_t destination,
                   TargetList& targets) const;
    void routeEthernet(const RouteTable::Room& room, std::uint32_t sender, const relay::DatagramInfo& info,
                       TargetList& targets);
    void learnMac(const RouteTable::Room& room, std::uint32_t sender, std::uint64_t mac);

    RouteExchange& exchange_;
    std::shared_ptr<const RouteTable> table_;
    std::uint64_t tableVersion_ = 0;
    std::vector<Member> members_;
    std::unordered_map<PeerAddress, std::uint32_t, PeerAddressHash> slotByPeer_;
    RelayCounters counters_{};
};
