// Peer-to-peer paths between sealed clients, Qt-free. The GUI thread sets the
// pairs the server announced and ticks probing and checks; the engine's
// threads read an immutable table of routes, swapped whole on change, each
// through a View of its own, and hand answers and requests back through a
// lock-free ring. Until a probe was answered a pair stays on the relay.
//
// Direct datagram: a sealed datagram under the pair's key whose header word
// holds the sender's side (bit 31), 0 (bit 30), the probe flag (bit 29) and
// the pair's index. A probe's payload: kind (1 request, 2 answer) and an
// 8-byte transaction id.
#pragma once

#include "protocol/directlimits.h"
#include "protocol/endpoint.h"
#include "net/spinlock.h"
#include "protocol/seal.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tunnel {

// A monotonic clock in milliseconds: the engine stamps probe answers with it,
// so tick() and setPeers() take their nowMs from it too.
std::int64_t steadyMs();

struct DirectPeer
{
    std::string name;
    std::uint32_t vip = 0;
    std::uint32_t pair = 0;
    int side = 0; // ours
    std::array<std::uint8_t, seal::kKeyBytes> key{};
    std::vector<Endpoint> candidates;
};

struct DirectStatus
{
    std::string name;
    std::uint32_t vip = 0;
    bool direct = false;
    int rttMs = -1; // -1: none
};

namespace direct {
constexpr std::uint32_t kSide = 1u << 31;
constexpr std::uint32_t kReserved = 1u << 30;
constexpr std::uint32_t kProbe = 1u << 29;
constexpr std::uint8_t kRequest = 1;
constexpr std::uint8_t kAnswer = 2;
constexpr std::size_t kProbePayload = 9;
constexpr std::size_t kProbeBytes = kProbePayload + seal::kOverhead;

constexpr std::int64_t kProbeEveryMs = 200;
constexpr std::int64_t kProbeForMs = 2000;
constexpr std::int64_t kProbeGraceMs = 1000; // answers to the last requests still count
constexpr std::int64_t kCheckActiveMs = 2000;
constexpr std::int64_t kCheckIdleMs = 20000; // below common 30 s NAT timeouts
constexpr std::int64_t kActiveForMs = 10000;
// Two misses in a row fall back: at worst a check interval and two waits after
// the break, 6 s, inside the 7 s a game can bear.
constexpr std::int64_t kMissAfterMs = 2000;
constexpr int kMissesToFall = 2;
constexpr std::int64_t kRetryMs = 60000;
constexpr std::size_t kMaxCandidates = directlimits::kProbedCandidates;
} // namespace direct

class DirectPaths
{
public:
    using SendFn = std::function<void(const Endpoint& to, const std::uint8_t* data, std::size_t length)>;

    DirectPaths();
    ~DirectPaths();
    DirectPaths(const DirectPaths&) = delete;
    DirectPaths& operator=(const DirectPaths&) = delete;

    // GUI thread. Replaces the list; pairs whose index and key are unchanged
    // keep their path, counter and replay windows.
    void setPeers(std::vector<DirectPeer> peers, std::int64_t nowMs);
    // No peers: every pair relayed, keys wiped.
    void clear();
    // Every 100 ms: takes the engine's events, sends the probes that are due,
    // chooses paths and publishes the table when it changed.
    void tick(std::int64_t nowMs, const SendFn& send);
    std::vector<DirectStatus> status() const;
    bool layer2 = false; // set before the engine starts: frames are routed by destination MAC

    // Shared by the pair's senders on every thread: one counter sequence, the
    // peer's MAC as the inbound thread learned it, whether data went direct.
    struct Shared
    {
        std::atomic<std::uint64_t> counter{0};
        std::atomic<std::uint64_t> mac{0}; // kKnownMac | address; 0: not learned
        std::atomic<bool> sent{false};     // data went direct since the last tick
    };
    static constexpr std::uint64_t kKnownMac = std::uint64_t{1} << 48;

    struct Route
    {
        std::uint32_t vip = 0;
        std::uint32_t pair = 0;
        int side = 0;
        std::uint64_t keyId = 0; // which key: equal ids, equal keys
        bool direct = false;
        Endpoint path;
        std::shared_ptr<Shared> shared;
        std::array<std::uint8_t, seal::kKeyBytes> key{};
    };
    struct Table
    {
        std::vector<Route> routes;
        ~Table();
    };

    enum class Inbound { Drop, Data, Answer };
    struct Received
    {
        Inbound kind = Inbound::Drop;
        std::size_t length = 0; // Data: payload at datagram + kHeaderBytes; Answer: the reply
    };

    // One engine thread's ciphers and replay windows, rebuilt only when the table changes.
    class View
    {
    public:
        explicit View(DirectPaths& paths);
        ~View();
        // Once per batch: re-fetches the table when its generation moved.
        void sync();
        bool empty() const { return !table_ || table_->routes.empty(); }
        // The direct route a packet (layer 3) or frame (layer 2) takes, or null: relay.
        const Route* route(const std::uint8_t* packet, std::size_t length) const;
        // Seals the payload at datagram + kHeaderBytes for `route`; the datagram's size, or 0.
        std::size_t seal(const Route& route, std::uint8_t* datagram, std::size_t length);
        // One datagram from anything but the relay, opened in place. A request
        // is answered in `reply` (to go back to `from`); answers and requests
        // go to the GUI side's ring. Only the inbound thread calls it.
        Received receive(const Endpoint& from, std::uint8_t* datagram, std::size_t length, std::int64_t nowMs,
                         std::uint8_t reply[direct::kProbeBytes]);
        // Layer 2: a frame from a peer's address teaches that peer's MAC.
        void learn(const std::uint8_t* frame, std::size_t length) const;

    private:
        struct Keyed;
        std::size_t indexOf(const Route& route) const { return std::size_t(&route - table_->routes.data()); }
        DirectPaths& paths_;
        const bool layer2_;
        std::uint64_t generation_ = 0;
        std::shared_ptr<const Table> table_;
        std::vector<std::unique_ptr<Keyed>> keyed_; // one per route
    };

private:
    struct Pair;
    struct Event
    {
        std::uint8_t kind = 0;
        std::uint32_t pair = 0;
        std::uint64_t keyId = 0;
        std::uint64_t txid = 0;
        std::int64_t at = 0;
        Endpoint from;
    };
    // Single producer (the inbound thread), single consumer (tick); a full ring drops.
    class Ring
    {
    public:
        bool push(const Event& e);
        bool pop(Event* e);

    private:
        static constexpr std::uint32_t kSize = 256;
        Event slots_[kSize];
        std::atomic<std::uint32_t> head_{0};
        std::atomic<std::uint32_t> tail_{0};
    };

    struct Sent
    {
        std::uint64_t txid; // 0: nothing went out
        std::int64_t at;
    };
    void handle(const Event& e, std::int64_t nowMs, const SendFn& send);
    Sent request(Pair& p, const Endpoint& to, std::int64_t nowMs, const SendFn& send);
    void probe(Pair& p, const Endpoint& to, std::int64_t nowMs, const SendFn& send);
    void check(Pair& p, std::int64_t nowMs, const SendFn& send);
    void publish();

    std::vector<std::unique_ptr<Pair>> pairs_;
    std::uint64_t nextKeyId_ = 0;
    std::uint64_t nextTxid_ = 0;
    bool changed_ = false;
    Ring ring_;
    std::atomic<bool> busy_{false}; // held while the table is swapped or fetched
    std::atomic<std::uint64_t> generation_{0};
    std::shared_ptr<const Table> table_;
};

} // namespace tunnel
