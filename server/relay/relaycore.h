// The relay's routing decisions, free of sockets: which session a datagram
// comes from and which members of its room get it. Runs on the relay thread
// only; nothing here allocates per datagram.
#pragma once

#include "protocol/endpoint.h"
#include "protocol/peerrule.h"
#include "server/relay/datagram.h"
#include "server/core/routes.h"
#include "server/relay/translate.h"

#include <algorithm>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

// Where a member's heartbeat arrived (the pktinfo of a wildcard socket), so
// replies leave from the address the client talks to. Empty: let the kernel pick.
struct LocalAddress {
    alignas(4) unsigned char bytes[20] = {};
    std::uint32_t length = 0;
};

// Per-member relay budget: datagrams per second, a second's worth of burst.
struct RelayBudget {
    std::uint32_t memberRate = 150000; // everything a member has relayed, each copy counted
    std::uint32_t floodRate = 2000;    // copies to the whole room (broadcast, multicast, unknown)
    // Datagrams one tunnel key carries each way, and the count at which the
    // relay asks the lobby for the next key.
    std::uint64_t keyUses = seal::kKeyUses;
    std::uint64_t keyAskAt = seal::kKeyAskAt;
    std::uint32_t probeRate = 4; // round-trip probes forwarded, requests and answers each
};

// Integer thousandths of a token, so the per-datagram path stays exact and
// free of floating point (the lobby's TokenBucket counts lines, not datagrams).
class DatagramBucket
{
public:
    // True (and the tokens taken) when `count` tokens are there at `nowMs`.
    bool has(std::uint32_t count, std::uint32_t rate, std::int64_t nowMs)
    {
        // Thousandths of a token: `rate` of them come in per millisecond.
        const std::int64_t capacity = std::int64_t{rate} * 1000;
        if (nowMs != last_ || !started_) {
            const std::int64_t elapsed = started_ ? nowMs - last_ : capacity;
            milli_ = elapsed <= 0 ? milli_
                                  : std::min(capacity, milli_ + std::min(elapsed, std::int64_t{1000}) * rate);
            last_ = nowMs;
            started_ = true;
        }
        return milli_ >= std::int64_t{count} * 1000;
    }
    void take(std::uint32_t count) { milli_ -= std::int64_t{count} * 1000; }
    void reset() { started_ = false; }

private:
    std::int64_t milli_ = 0;
    std::int64_t last_ = 0;
    bool started_ = false;
};

template <typename Address, std::size_t N>
using AddressBook = peerrule::AddressBook<Address, N>;

struct Ipv6Address {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool operator==(const Ipv6Address& o) const { return high == o.high && low == o.low; }
};

// Where one datagram goes: member slots, each with the datagram as it came
// or with the one translated copy (the other adapter mode, or a proxy ARP answer).
class TargetList
{
public:
    void clear()
    {
        count_ = 0;
        variantLength = 0;
        probe = false;
    }
    void push(std::uint32_t slot, bool variant = false)
    {
        if (count_ < slots_.size()) {
            variant_[count_] = variant;
            slots_[count_++] = slot;
        }
    }
    std::size_t size() const { return count_; }
    std::uint32_t operator[](std::size_t i) const { return slots_[i]; }
    bool isVariant(std::size_t i) const { return variant_[i]; }
    bool anyVariant() const
    {
        for (std::size_t i = 0; i < count_; ++i)
            if (variant_[i])
                return true;
        return false;
    }
    // Keeps only the targets that take the datagram as it came.
    void dropVariants() { keepVariantFor(UINT32_MAX); }
    // The same, but `slot` keeps its translated copy.
    void keepVariantFor(std::uint32_t slot)
    {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count_; ++i)
            if (!variant_[i] || slots_[i] == slot) {
                variant_[kept] = variant_[i];
                slots_[kept++] = slots_[i];
            }
        count_ = kept;
    }

    // What goes to the targets that take the datagram as it came: the
    // datagram itself, or the opened copy of a sealed one (valid until the next handle()).
    const std::uint8_t* payload = nullptr;
    std::size_t payloadLength = 0;
    // The payload is an opened sealed datagram, not scrambled: a plain
    // member gets it scrambled, a sealed one sealed straight from it.
    bool payloadClear = false;
    // The payload is a round-trip probe (protocol/relayprobe.h): sealed members only, with the probe bit.
    bool probe = false;

    // The translated copy, scrambled; valid until the next handle().
    std::array<std::uint8_t, relay::kMaxTranslated> variant{};
    std::size_t variantLength = 0;

private:
    std::array<std::uint32_t, 256> slots_{};
    std::array<bool, 256> variant_{};
    std::size_t count_ = 0;
};

class RelayCore
{
public:
    static constexpr std::size_t kMacsPerMember = 8;
    static constexpr std::size_t kIpv6PerMember = 4;
    // A learned MAC (or a layer-3 member's IPv6 address) stays with the member that used it this long after
    // its last frame, so one forged frame cannot take another member's traffic.
    static constexpr std::int64_t kMacHoldMs = 60000;
    // A sealed member's endpoint follows its newest datagram at most this often
    // (each move goes to the lobby and from there to its direct peers).
    static constexpr std::uint32_t kMovesPerSecond = 4;
    static constexpr std::uint32_t kNoSlot = UINT32_MAX;

    explicit RelayCore(RouteExchange& exchange, RelayBudget budget = {});

    // Takes the newest table the lobby published, if any; call between batches.
    void refreshRoutes();

    // Decides the fate of one datagram from `from`. `targets` receives the
    // member slots to send it to. Returns CounterHeartbeats, CounterForwarded
    // or the drop reason; the matching counter is already counted.
    RelayCounter handle(const std::uint8_t* data, std::size_t length, const Endpoint& from,
                        const LocalAddress& local, std::int64_t nowMs, TargetList& targets);

    // A sealed heartbeat that came to the mapping port: records where the
    // member's NAT mapped that destination, nothing else. Returns
    // CounterMappingProbes or the drop reason, counted.
    RelayCounter mappingProbe(const std::uint8_t* data, std::size_t length, const Endpoint& from,
                              std::int64_t nowMs);

    // Seals the datagram (scrambled, unless `clear`) for a sealed member into `out`, which
    // holds length + seal::kOverhead bytes; returns the sealed size, 0 if it could not.
    // `flags`: header bits besides the index and phase (seal::kRelayProbe).
    std::size_t sealFor(std::uint32_t slot, const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                        bool clear = false, std::uint32_t flags = 0);
    bool isSealed(std::uint32_t slot) const { return members_[slot].sealing != nullptr; }

    const Endpoint& peerOf(std::uint32_t slot) const { return members_[slot].peer; }
    const LocalAddress& localOf(std::uint32_t slot) const { return members_[slot].local; }
    // The slot whose endpoint the last handle() moved (kNoSlot: none). The
    // caller, which reads where a datagram arrived only for heartbeats, then
    // tells where the moving one did.
    std::uint32_t moved() const { return moved_; }
    void setLocal(std::uint32_t slot, const LocalAddress& local) { members_[slot].local = local; }
    bool isBound(std::uint32_t slot) const { return slot < members_.size() && members_[slot].bound; }

    RelayCounters& counters() { return counters_; }

private:
    enum class Mode : std::uint8_t { Unknown, Layer2, Layer3 };
    // A sealed member's keys by phase (the current and, for a few seconds, the old one).
    struct Sealing {
        seal::Cipher cipher[2];
        seal::ReplayWindow window[2];
        std::uint32_t loaded[2] = {}; // the serial each phase's key came with, 0: none
        std::uint32_t serial = 0;
        bool oldValid = false;
        std::uint8_t phase = 0;     // of the newest key
        std::uint8_t sendPhase = 0; // the newest once the client has used it, or the old one is gone
        std::uint64_t sent = 0;     // counter of what the relay sealed for it, never repeated
        std::uint64_t opened[2] = {}; // datagrams opened with each phase's key
        std::uint64_t sealed[2] = {}; // and sealed with it
        std::uint32_t askedFor = 0;   // the serial whose replacement the lobby was asked for
        // The newest datagram opened, by key serial and counter (serial 0: none): only
        // a newer one moves the endpoint, never a replay or an older one that came late.
        std::uint32_t newestSerial = 0;
        std::uint64_t newestCounter = 0;
    };
    struct Member {
        std::uint32_t gen = 0;
        std::uint64_t roomSerial = 0;
        std::uint32_t vip = 0;
        ControlAddress control{};
        bool bound = false;
        Endpoint peer;
        LocalAddress local;
        Mode mode = Mode::Unknown;
        bool pinned = false;       // the client said its mode: traffic does not change it
        std::uint8_t declared = 0; // the mode the lobby last published for it
        std::uint64_t vipMac = 0; // the MAC a layer-2 member uses for its own vip
        AddressBook<std::uint64_t, kMacsPerMember> macs;
        AddressBook<Ipv6Address, kIpv6PerMember> ipv6; // a layer-3 member's own IPv6 sources
        DatagramBucket all;
        DatagramBucket flood;
        DatagramBucket moves; // of a sealed member's endpoint
        DatagramBucket mappings; // of where its mapping-port heartbeats come from
        Endpoint mapped;
        DatagramBucket probes[2]; // round-trip requests, answers
        std::unique_ptr<Sealing> sealing; // null: a plain member
        void leaveRoom();
        // The client said its mode (2 or 3; 0 said nothing).
        void declare(int layer);
    };
    // What one datagram is being routed with.
    struct Routing {
        const RouteTable::Room& room;
        std::uint32_t sender;
        const std::uint8_t* data;
        std::size_t length;
        TargetList& targets;
        bool clear; // data is an opened sealed datagram, not scrambled
        bool flooded = false;
        std::uint64_t destinationMac = 0; // for a layer-2 receiver of a packet, when known
        RelayCounter refused = DropNoRoute; // why nothing went, when nothing went
    };

    RelayCounter count(RelayCounter counter)
    {
        ++counters_[counter];
        return counter;
    }
    RelayCounter heartbeat(const std::uint8_t* data, std::size_t length, const Endpoint& from,
                           const LocalAddress& local, std::int64_t nowMs);
    // Everything after opening: a plain member's datagram as it came, or one
    // that opened under the key of `opener` (kNoSlot: none).
    RelayCounter route(const std::uint8_t* data, std::size_t length, const Endpoint& from,
                       const LocalAddress& local, std::int64_t nowMs, TargetList& targets,
                       std::uint32_t opener);
    // Sealed members (relaysealed.cpp).
    void updateSealing(std::uint32_t slot, const SealRoute& route);
    // Opens a datagram of `header.session()` into opened_ (not scrambled); its
    // length, or -1. `*newest`: no datagram of that member opened before was newer.
    long openFrom(const seal::Header& header, const std::uint8_t* data, std::size_t length, bool* newest);
    // A round-trip probe opened into opened_: to one sealed member of the sender's room, within budget.
    RelayCounter routeProbe(std::uint32_t sender, std::size_t length, std::int64_t nowMs,
                            TargetList& targets);
    // Counts one use of the key in `phase`; the lobby hears when the newest key is nearly used up.
    void countUse(std::uint32_t slot, std::uint64_t& uses, int phase);
    // A datagram that opened under the key of `slot`, from its endpoint (`here`)
    // or from elsewhere, where it is the member's newest so far (`newer`) or not.
    RelayCounter sealedFrom(std::uint32_t slot, const seal::Header& header, long opened, bool newer,
                            bool here, const Endpoint& from, const LocalAddress& local, std::int64_t nowMs,
                            TargetList& targets);
    void bind(std::uint32_t slot, const Endpoint& from, const LocalAddress& local);
    // `tell`: the lobby hears the slot has no endpoint (not when another follows at once).
    void unbind(std::uint32_t slot, bool tell = true);
    void flood(Routing& r, bool toLayer3) const;
    // The rules for every IP packet that reaches or leaves a layer-3 member,
    // however it was translated: its source is the sender's own, and it goes
    // to one member of the room (`*target`) or to the whole room (-1).
    // CounterForwarded when it may go, else the drop reason.
    RelayCounter ipRule(Routing& r, const relay::DatagramInfo& ip, std::int64_t nowMs, std::int32_t* target);
    void routeIp(Routing& r, const relay::DatagramInfo& info, std::int64_t nowMs);
    void routeEthernet(Routing& r, const relay::DatagramInfo& info, std::int64_t nowMs);
    bool translate(Routing& r, const relay::DatagramInfo& info, std::int64_t nowMs);
    // False when another member of the room holds the address.
    template <typename Address, std::size_t N>
    bool learn(Routing& r, AddressBook<Address, N> Member::*book, const Address& address, std::int64_t nowMs);
    std::int32_t memberAt(const RouteTable::Room& room, std::uint32_t address) const;

    RouteExchange& exchange_;
    RelayBudget budget_;
    RouteExchange::Reader routes_;
    const RouteTable* table_ = nullptr; // routes_', until its next refresh

    std::vector<Member> members_;
    std::unordered_map<Endpoint, std::uint32_t, EndpointHash> slotByPeer_;
    RelayCounters counters_{};
    std::uint32_t moved_ = kNoSlot;
    std::array<std::uint8_t, relay::kMaxDatagram> plain_{}; // an unscrambled copy being translated
    std::array<std::uint8_t, relay::kMaxDatagram + seal::kOverhead> opened_{}; // a sealed datagram, opened
};
