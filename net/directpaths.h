// Peer-to-peer paths between sealed clients, Qt-free. The GUI thread sets the
// pairs the server announced and ticks probing and checks; the engine's
// threads read an immutable table of routes, published whole on change
// (protocol/snapshot.h), each through a View of its own (net/directview.cpp),
// and hand answers and requests back through a lock-free ring. Until a probe
// was answered a pair stays on the relay.
//
// Direct datagrams: protocol/directwire.h.
//
// A direct peer is trusted no more than the relay trusts a member: its
// packets carry its own address (protocol/peerrule.h), its frames its own
// MAC, learned from its pair alone; its requests are answered once each and
// make us send to an address no candidate named at most once a second.
//
// A pair on the relay measures its round trip there too (protocol/relayprobe.h),
// with the session's key: the GUI side seals the requests, the inbound thread
// answers the peer's.
#pragma once

#include "net/spscring.h"
#include "net/udpsocket.h"
#include "protocol/directlimits.h"
#include "protocol/directwire.h"
#include "protocol/endpoint.h"
#include "protocol/peerrule.h"
#include "protocol/relayprobe.h"
#include "protocol/seal.h"
#include "protocol/snapshot.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tunnel {

// A monotonic clock in milliseconds: the engine stamps probe answers with it,
// so tick() and setPeers() take their nowMs from it too.
std::int64_t steadyMs();

// A pair whose one side's NAT maps each destination to a new port and whose
// other side's keeps one port: the first opens many ports toward the other
// (Spray), the other tries random ports of the first's address (Scan) until
// one answers. The server says which, from how it saw each map.
enum class Birthday : std::uint8_t { None, Spray, Scan };

struct DirectPeer
{
    std::string name;
    std::uint32_t vip = 0;
    std::uint32_t pair = 0;
    int side = 0; // ours
    std::array<std::uint8_t, seal::kKeyBytes> key{};
    std::vector<Endpoint> candidates; // a birthday's peer address first: where the server saw it
    Birthday birthday = Birthday::None;
};

struct DirectStatus
{
    std::string name;
    std::uint32_t vip = 0;
    bool direct = false;
    int rttMs = -1;      // the direct path's; -1: none
    int relayRttMs = -1; // through the relay, while not direct; -1: none
    bool settled = true; // false while the pair's first attempt runs
};

namespace direct {
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
// A birthday pair's path cannot follow a peer that moved (its NAT's new
// mapping is as hard to find as the first): when the peer's data stops, one
// check unanswered this long sends it back to the relay.
constexpr std::int64_t kBirthdayMissMs = 700;
// A fallback or a failed attempt tries again after the next of these, the
// last one repeated; a path established starts the schedule over.
constexpr std::array<std::int64_t, 5> kRetryMs{5000, 10000, 20000, 40000, 60000};
constexpr std::int64_t kNewCandidatesMs = 20000; // new candidates start an attempt at most this often
// A direct peer's data that stops this long is a sign that it, or we, moved.
constexpr std::int64_t kSilentMs = 500;
constexpr std::size_t kMaxCandidates = directlimits::kProbedCandidates;
// To an address no candidate named (peer-reflexive, or where a direct peer
// moved): one datagram per request that came from it, at most one a second
// per pair and a few distinct addresses a minute.
constexpr std::int64_t kTriggeredEveryMs = 1000;
constexpr std::size_t kTriggeredPerMinute = 4;
using Txid = std::array<std::uint8_t, directwire::kTxidBytes>;
// A birthday probe: the spraying side's ports, the scanning side's requests
// (100 a second, about 1,000 in all, to ports above the privileged ones of
// the one address the server saw), how long it lasts, and how often a pair
// and all pairs together may have one; one runs at a time.
constexpr int kSprayPorts = 256;
constexpr int kScanPerTick = 10;
constexpr std::int64_t kScanEveryMs = 100;
constexpr int kScanTotal = 1000;
constexpr std::uint16_t kScanLowestPort = 1024;
constexpr std::int64_t kBirthdayForMs = 10000;
constexpr std::int64_t kBirthdayEveryMs = 60000;
constexpr std::size_t kBirthdaysPerMinute = 2;
// Round trips through the relay: each pair off the direct path this often,
// and one request at most this often over all pairs. Only a figure to show:
// an answer waits for the next tick rather than waking the GUI side.
constexpr std::int64_t kRelayProbeEveryMs = 30000;
constexpr std::int64_t kRelayProbeGapMs = 500;
// tick() runs at least this often; sooner when something falls due, or when an
// engine thread wakes the GUI side (an event, traffic on a quiet path).
constexpr std::int64_t kLongestSleepMs = kCheckIdleMs;
// After a pair's new key, data under the one before is still taken this long.
constexpr std::int64_t kPreviousKeyMs = 10000;
// The last uses of a key are left to probes and answers: data never finds a key used up.
constexpr std::uint64_t kSpareUses = 256;
} // namespace direct

class DirectPaths
{
public:
    using SendFn = std::function<void(const Endpoint& to, const std::uint8_t* data, std::size_t length)>;
    // A round-trip request's payload (relayprobe::kPayload bytes), to go to the relay under the session key.
    using RelayFn = std::function<void(const std::uint8_t* payload, std::size_t length)>;

    DirectPaths();
    ~DirectPaths();
    DirectPaths(const DirectPaths&) = delete;
    DirectPaths& operator=(const DirectPaths&) = delete;

    // GUI thread. Replaces the list; pairs whose index and key are unchanged
    // keep their path, counter and replay windows.
    void setPeers(std::vector<DirectPeer> peers, std::int64_t nowMs);
    // No peers: every pair relayed, keys wiped.
    void clear();
    // Takes the engine's events, sends the probes that are due (round trips
    // through the relay too, given `relay`), chooses paths and publishes the
    // table when it changed. Runs at nextDueMs() or when woken.
    void tick(std::int64_t nowMs, const SendFn& send, const RelayFn& relay = nullptr);
    // Where a birthday's side ports are opened like (the relay's address);
    // none: no pair sprays. GUI thread, before the pairs come.
    void setSidePorts(const Endpoint& like) { sideLike_ = like; }
    // Called on the GUI thread after the side ports changed, so that the
    // inbound thread, waiting on the old set, takes up the new one.
    void setSideChanged(std::function<void()> changed) { sideChanged_ = std::move(changed); }
    // When tick() next has something to do, at most kLongestSleepMs on.
    std::int64_t nextDueMs(std::int64_t nowMs) const;
    // Called from an engine thread when tick() should run soon: an event is
    // waiting, or a quiet direct path carries traffic again. Once per tick at
    // most, under a lock: after setWake(nullptr) returns, the old one is never called.
    void setWake(std::function<void()> wake);
    // A round-trip probe through the relay, opened: a request gets its answer
    // in `answer` (true: to be sealed and sent back to the relay), an answer
    // goes to tick(). Only the inbound thread calls it.
    bool relayProbe(const std::uint8_t* payload, std::size_t length, std::int64_t nowMs,
                    std::uint8_t answer[relayprobe::kPayload]);
    std::vector<DirectStatus> status() const;
    // Direct datagrams that opened but broke the peer rule, dropped.
    std::uint64_t refused() const { return refused_.load(std::memory_order_relaxed); }
    // The pairs whose key sealed keyAskAt datagrams since the last call, each
    // once per key: the server is asked for new keys ({"cmd":"rekey","pair":N}).
    std::vector<std::uint32_t> takeRekeyAsks();
    // A direct path fell silent or failed since the last call: our own
    // address may have moved, so the relay (and through the server, our
    // peers) should hear from us now rather than at the next heartbeat.
    bool takeHeartbeatWanted() { return std::exchange(heartbeatWanted_, false); }
    bool layer2 = false; // set before the engine starts: frames are routed by destination MAC
    // Datagrams a pair key seals at most, and when a new one is asked for; a
    // pair whose key is used up goes by the relay. Lowered only by tests.
    std::uint64_t keyUses = seal::kKeyUses;
    std::uint64_t keyAskAt = seal::kKeyAskAt;

    // Shared by the pair's senders on every thread: one counter sequence, the
    // peer's MAC as the inbound thread learned it, whether data went direct.
    struct Shared
    {
        std::atomic<std::uint64_t> counter{0};
        std::atomic<std::uint64_t> mac{0}; // kKnownMac | address, learned over the pair; 0: not yet
        std::atomic<bool> sent{false};     // data went direct since the last tick
        std::atomic<bool> heard{false};    // and came from the peer
        std::atomic<bool> quiet{false};    // direct but idle: the first datagram wakes the GUI side
        std::atomic<bool> unheard{false};  // direct and the peer silent: its first datagram wakes it too
    };
    static constexpr std::uint64_t kKnownMac = std::uint64_t{1} << 48;

    // A birthday's ports, each closed with the last set that holds it.
    struct SidePort
    {
        udp::Socket socket = nullptr;
        explicit SidePort(udp::Socket s) : socket(s) {}
        ~SidePort() { udp::close(socket); }
        SidePort(const SidePort&) = delete;
        SidePort& operator=(const SidePort&) = delete;
    };
    struct SideSet
    {
        std::vector<std::shared_ptr<SidePort>> ports;
        std::vector<udp::Socket> sockets; // the same, as receiveAny() takes them
    };

    struct Route
    {
        std::uint32_t vip = 0;
        std::uint32_t pair = 0;
        int side = 0;
        std::uint64_t keyId = 0; // which key: equal ids, equal keys
        bool direct = false;
        Endpoint path;
        std::vector<Endpoint> candidates; // the ones the server named
        std::shared_ptr<Shared> shared;
        std::array<std::uint8_t, seal::kKeyBytes> key{};
        std::uint64_t previousKeyId = 0; // the pair's key before, taken for data until previousUntil
        std::int64_t previousUntil = 0;
        int via = -1; // the side port the path leaves from; -1: the tunnel's socket
        // Off the path after a new key, the peer asking from where the old one went is asked back.
        bool resumable = false;
        Endpoint resumeAt;
    };
    struct Table
    {
        std::vector<Route> routes;
        std::shared_ptr<const SideSet> side;
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
        // The side ports to receive from too, kept alive as long as the caller holds them.
        std::shared_ptr<const SideSet> side() const { return table_ ? table_->side : nullptr; }
        // The socket a route's datagrams leave from.
        udp::Socket socketOf(const Route& route, udp::Socket tunnel) const
        {
            const SideSet* set = table_ ? table_->side.get() : nullptr;
            return route.via >= 0 && set && std::size_t(route.via) < set->sockets.size()
                       ? set->sockets[std::size_t(route.via)]
                       : tunnel;
        }
        // The direct route a packet (layer 3) or frame (layer 2) takes, or null: relay. An IPv4
        // or ARP frame goes by the address inside, to a peer whose MAC is not learned yet or
        // is its destination; any other frame by a learned MAC.
        const Route* route(const std::uint8_t* packet, std::size_t length) const;
        // Seals the payload at datagram + kHeaderBytes for `route`; the datagram's size, or 0.
        std::size_t seal(const Route& route, std::uint8_t* datagram, std::size_t length);
        // One datagram from anything but the relay, opened in place. Data
        // that breaks the peer rule is dropped and counted. A request from
        // the path (direct) or a named candidate (otherwise) is answered in
        // `reply`, to go back to `from`; answers and requests go to the GUI
        // side's ring. Only the inbound thread calls it.
        // `via`: the side port it came to (-1: the tunnel's socket); a reply leaves from there.
        Received receive(const Endpoint& from, std::uint8_t* datagram, std::size_t length, std::int64_t nowMs,
                         std::uint8_t reply[directwire::kProbeBytes], int via = -1);

    private:
        struct Keyed;
        bool admit(const Route& r, Keyed& k, const std::uint8_t* packet, std::size_t length);
        bool admitFrame(const Route& r, Keyed& k, const std::uint8_t* frame, std::size_t length);
        std::size_t indexOf(const Route& route) const { return std::size_t(&route - table_->routes.data()); }
        // The route's key has uses left for data (the spare ones kept for probes).
        bool fresh(const Route& route) const
        {
            const std::uint64_t spare = std::min(direct::kSpareUses, paths_.keyUses / 4);
            return route.shared->counter.load(std::memory_order_relaxed) + spare < paths_.keyUses;
        }
        DirectPaths& paths_;
        const bool layer2_;
        Snapshot<Table>::Reader reader_;
        const Table* table_ = nullptr; // the reader's

        std::vector<std::unique_ptr<Keyed>> keyed_; // one per route
        std::vector<std::uint8_t> spare_;           // a datagram kept for a second key to try
    };

private:
    struct Pair;
    struct Event
    {
        std::uint8_t kind = 0;
        bool relay = false;    // an answer through the relay, from `vip`
        bool answered = false; // a request the inbound thread answered
        int via = -1;          // the side port it came to
        std::uint32_t pair = 0;
        std::uint32_t vip = 0;
        std::uint64_t keyId = 0;
        direct::Txid txid{};
        std::int64_t at = 0;
        Endpoint from;
    };

    struct Sent
    {
        bool out = false; // a request went
        direct::Txid txid{};
        std::int64_t at = 0;
        Endpoint to;
        int via = -1;
        bool answers(const Event& e) const { return out && e.txid == txid && e.from == to && e.via == via; }
    };
    // Sends to addresses no candidate named, each for a request that came from it.
    class Triggered
    {
    public:
        bool take(const Endpoint& to, std::int64_t nowMs);

    private:
        std::array<Endpoint, direct::kTriggeredPerMinute> to_{};
        std::array<std::int64_t, direct::kTriggeredPerMinute> since_{};
        std::int64_t next_ = std::numeric_limits<std::int64_t>::min() / 2;
    };
    void handle(const Event& e, std::int64_t nowMs, const SendFn& send);
    Sent request(Pair& p, const Endpoint& to, std::int64_t nowMs, const SendFn& send, int via = -1);
    void probe(Pair& p, const Endpoint& to, std::int64_t nowMs, const SendFn& send, int via = -1);
    // Starts a birthday with this attempt when the pair has a role and the budgets allow.
    void beginBirthday(Pair& p, std::int64_t nowMs, const SendFn& send);
    void scan(Pair& p, std::int64_t nowMs, const SendFn& send);
    // The side ports: only `keep` of them (-1: none) stay, for `owner`.
    void keepSide(int keep, const Pair* owner);
    void check(Pair& p, std::int64_t nowMs, const SendFn& send);
    void relayRequest(Pair& p, std::int64_t nowMs, const RelayFn& relay);
    void publish();
    // From the inbound thread: onto the ring, waking the GUI side when it may sleep (unless `!wake`).
    void post(const Event& e, bool wake = true);
    void wakeUp();

    std::vector<std::unique_ptr<Pair>> pairs_;
    Endpoint sideLike_;
    std::function<void()> sideChanged_;
    std::shared_ptr<const SideSet> side_; // published with the table
    const Pair* sideOwner_ = nullptr;
    std::shared_ptr<const SideSet> sidePublished_;
    std::array<std::int64_t, direct::kBirthdaysPerMinute> birthdays_{}; // when the last ones began
    std::size_t birthdayNext_ = 0;
    std::uint64_t nextKeyId_ = 0;
    std::vector<std::uint32_t> rekeyAsks_;
    bool heartbeatWanted_ = false;
    bool changed_ = false;
    std::atomic<std::uint64_t> refused_{0};
    SpscRing<Event, 256> ring_; // from the inbound thread to tick()
    bool relaying_ = false;          // the last tick was given a RelayFn
    std::int64_t relayNext_ = 0;     // the next round-trip request through the relay, at the earliest
    std::atomic<bool> woken_{false}; // a wake is on its way: the next tick takes what is waiting
    std::mutex wakeLock_;
    std::function<void()> wake_;
    Snapshot<Table> table_;
};

} // namespace tunnel
