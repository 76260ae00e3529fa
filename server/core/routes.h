// What the lobby thread tells the relay thread, and what comes back.
//
// The lobby owns sessions and rooms. After each change it publishes an
// immutable RouteTable (protocol/snapshot.h); the relay picks the newest one
// up between batches, so it never waits for the lobby.
// The relay in turn reports heartbeat times per session slot and its
// counters through atomics, and the endpoint it bound for each slot (rare
// changes, under the mutex, with a counter the lobby polls cheaply).
#pragma once

#include "protocol/clientkey.h"
#include "protocol/seal.h"
#include "protocol/snapshot.h"
#include "server/core/clock.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class QHostAddress;

// A host address as 16 bytes, IPv4 in its IPv4-mapped IPv6 form; all zero: none.
using ControlAddress = std::array<std::uint8_t, 16>;
ControlAddress controlAddressOf(const QHostAddress& address);

// A UDP endpoint as the relay bound it (a NAT's mapping of a client's tunnel
// socket); port 0: none.
struct BoundEndpoint {
    ControlAddress host{};
    std::uint16_t port = 0;
    bool operator==(const BoundEndpoint& o) const { return host == o.host && port == o.port; }
    bool operator!=(const BoundEndpoint& o) const { return !(*this == o); }
};

// A tunnel key; wiped wherever a copy ends.
struct SealKey {
    std::array<std::uint8_t, seal::kKeyBytes> bytes{};
    SealKey() = default;
    SealKey(const SealKey&) = default;
    SealKey& operator=(const SealKey&) = default;
    ~SealKey() { seal::wipe(bytes.data(), bytes.size()); }
};

// What the relay needs to open and seal a session's datagrams.
struct SealRoute {
    std::uint32_t serial = 0; // 0: a plain session; changes with every new key
    std::uint8_t phase = 0;   // of the current key
    SealKey key;
    bool oldValid = false;    // the key before it, still accepted for a few seconds
    SealKey oldKey;
};

struct RouteTable {
    struct Slot {
        std::uint32_t gen = 0;      // 0: no session in this slot
        std::int32_t room = -1;     // index into rooms, -1: in no room
        std::uint64_t roomSerial = 0;
        std::uint32_t vip = 0;      // host byte order
        // Where the session's control connection comes (or last came) from:
        // only heartbeats from this host may bind a plain session's UDP endpoint.
        ControlAddress control{};
        // The adapter mode the client said it runs in the room (2 or 3);
        // 0: not said, learned from its traffic.
        std::uint8_t layer = 0;
        SealRoute seal;
    };
    struct Room {
        std::uint64_t serial = 0;
        std::uint32_t net = 0; // the room's /24, host byte order
        std::vector<std::uint32_t> members;
        std::array<std::int32_t, 256> slotByHost; // last address byte -> slot, -1 free
    };
    std::vector<Slot> slotTable;
    std::vector<Room> rooms;
    std::unordered_map<ClientKey, std::uint32_t, ClientKeyHash> slotByKey;
};

// Relay counters, in the order the stats line prints them.
enum RelayCounter : std::size_t {
    CounterIn,
    CounterHeartbeats,
    CounterForwarded,
    DropRunt,
    DropOversize,
    DropUnbound,
    DropNotInRoom,
    DropNoRoute,
    DropBadHeartbeat,
    DropUnknownClient,
    DropSendError,
    DropForeignHeartbeat,
    DropForgedSource,
    DropBudget,
    DropSendBufferFull,
    CounterTranslated,
    CounterProxyArp,
    DropUnsealed,
    CounterMovedSealed,
    CounterMappingProbes,
    CounterBytesIn,        // of every datagram received
    CounterBytesForwarded, // of every copy handed to the system
    kRelayCounterCount
};
using RelayCounters = std::array<std::uint64_t, kRelayCounterCount>;
const char* relayCounterName(std::size_t counter);

class RouteExchange
{
public:
    using Reader = Snapshot<RouteTable>::Reader;

    explicit RouteExchange(std::uint32_t slotCount);

    std::uint32_t slotCount() const { return slotCount_; }

    // Lobby side.
    void publish(std::shared_ptr<const RouteTable> table);
    // The tables published, for a Reader of any thread's own.
    const Snapshot<RouteTable>& tables() const { return tables_; }
    // Time of the last heartbeat of the session in `slot` with generation
    // `gen`, or -1 when it sent none.
    std::int64_t lastHeartbeatMs(std::uint32_t slot, std::uint32_t gen) const;
    RelayCounters counters() const;
    // Counts every change of a bound endpoint: unchanged, nothing needs reading.
    std::uint64_t endpointChanges() const { return endpointChanges_.load(std::memory_order_acquire); }
    // The endpoint bound for the session in `slot` with generation `gen`; none when another's.
    BoundEndpoint boundEndpoint(std::uint32_t slot, std::uint32_t gen) const;
    // Where the same session's heartbeats to the mapping port came from: a
    // NAT that maps the two destinations apart is endpoint-dependent.
    BoundEndpoint mappedEndpoint(std::uint32_t slot, std::uint32_t gen) const;

    // The relay used its session's key in `slot` for nearly all it may: the
    // lobby takes the request (true once) and hands out a new key.
    std::uint64_t rekeyAsks() const { return rekeyAsks_.load(std::memory_order_acquire); }
    bool takeRekey(std::uint32_t slot, std::uint32_t gen);
    // How many tables were published, and how many of those the relay has taken up.
    std::uint64_t publishedVersion() const { return tables_.version(); }
    std::uint64_t appliedVersion() const { return applied_.load(std::memory_order_acquire); }
    // Counts the relay thread's wake-ups: unchanged after a wake() the thread is stuck.
    std::uint64_t relayBeats() const { return beats_.load(std::memory_order_relaxed); }
    // Wakes the relay thread (as a new table does), so that it beats.
    void wake();

    // Relay side. Called after every publish (on the lobby's thread), so that a
    // new table (a new key, an old one withdrawn) applies without waiting for traffic.
    void setWaker(std::function<void()> wake);
    // Takes up the newest table when one was published, and counts it applied.
    bool fetchIfNewer(Reader& relay) const;
    void noteHeartbeat(std::uint32_t slot, std::uint32_t gen, std::int64_t nowMs);
    void storeCounters(const RelayCounters& counters);
    // Called only when the slot's endpoint changed (bound, moved, unbound).
    void noteEndpoint(std::uint32_t slot, std::uint32_t gen, const BoundEndpoint& endpoint);
    void noteMapped(std::uint32_t slot, std::uint32_t gen, const BoundEndpoint& endpoint);
    void askRekey(std::uint32_t slot, std::uint32_t gen);
    void beat() { beats_.fetch_add(1, std::memory_order_relaxed); }

private:
    const std::uint32_t slotCount_;
    mutable std::mutex mutex_;
    Snapshot<RouteTable> tables_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> heartbeats_;
    std::array<std::atomic<std::uint64_t>, kRelayCounterCount> counters_{};
    struct SlotEndpoint {
        std::uint32_t gen = 0;
        BoundEndpoint endpoint;
        BoundEndpoint mapped;
    };
    std::vector<SlotEndpoint> endpoints_; // under mutex_
    std::atomic<std::uint64_t> endpointChanges_{0};
    std::function<void()> wake_; // under mutex_
    mutable std::atomic<std::uint64_t> applied_{0};
    std::unique_ptr<std::atomic<std::uint32_t>[]> rekeys_; // the asking session's gen, 0: none
    std::atomic<std::uint64_t> rekeyAsks_{0};
    std::atomic<std::uint64_t> beats_{0};
};
