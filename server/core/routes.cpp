#include "server/core/routes.h"

#include <QHostAddress>

#include <cstring>

namespace {

// A heartbeat entry packs the slot generation (24 bits) above the time
// (40 bits of milliseconds, about 34 years of uptime), so an entry written
// for a session that has since left its slot is not mistaken for the new one's.
constexpr unsigned kTimeBits = 40;
constexpr std::uint64_t kTimeMask = (std::uint64_t{1} << kTimeBits) - 1;
constexpr std::uint32_t kGenMask = 0xFFFFFF;

} // namespace

ControlAddress controlAddressOf(const QHostAddress& address)
{
    ControlAddress bytes{};
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        bytes[10] = bytes[11] = 0xFF;
        for (int i = 0; i < 4; ++i)
            bytes[12 + i] = static_cast<std::uint8_t>(v4 >> (24 - 8 * i));
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR a = address.toIPv6Address();
        std::memcpy(bytes.data(), a.c, bytes.size());
    }
    return bytes;
}

const char* relayCounterName(std::size_t counter)
{
    static const char* const names[kRelayCounterCount] = {
        "datagrams_in",          "heartbeats",        "forwarded",
        "dropped_runt",          "dropped_oversize",  "dropped_unbound",
        "dropped_not_in_room",   "dropped_no_route",  "dropped_bad_heartbeat",
        "dropped_unknown_client", "dropped_send_error", "dropped_foreign_heartbeat",
        "dropped_forged_source", "dropped_budget",    "dropped_send_buffer_full",
        "translated",            "proxy_arp",         "dropped_unsealed",
        "moved_sealed",          "mapping_probes",
        "bytes_in",              "bytes_forwarded",
    };
    return counter < kRelayCounterCount ? names[counter] : "?";
}

RouteExchange::RouteExchange(std::uint32_t slotCount)
    : slotCount_(slotCount), tables_(std::make_shared<RouteTable>()),
      heartbeats_(new std::atomic<std::uint64_t>[slotCount]), endpoints_(slotCount),
      rekeys_(new std::atomic<std::uint32_t>[slotCount])
{
    for (std::uint32_t i = 0; i < slotCount; ++i) {
        heartbeats_[i].store(0, std::memory_order_relaxed);
        rekeys_[i].store(0, std::memory_order_relaxed);
    }
}

void RouteExchange::publish(std::shared_ptr<const RouteTable> table)
{
    tables_.publish(std::move(table));
    wake();
}

void RouteExchange::setWaker(std::function<void()> wake)
{
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
}

void RouteExchange::wake()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (wake_)
        wake_();
}

bool RouteExchange::fetchIfNewer(Reader& relay) const
{
    if (!relay.refresh())
        return false;
    applied_.store(relay.version(), std::memory_order_release);
    return true;
}

void RouteExchange::noteHeartbeat(std::uint32_t slot, std::uint32_t gen, std::int64_t nowMs)
{
    if (slot >= slotCount_)
        return;
    const std::uint64_t packed =
        (std::uint64_t{gen & kGenMask} << kTimeBits) | (static_cast<std::uint64_t>(nowMs) & kTimeMask);
    heartbeats_[slot].store(packed, std::memory_order_relaxed);
}

std::int64_t RouteExchange::lastHeartbeatMs(std::uint32_t slot, std::uint32_t gen) const
{
    if (slot >= slotCount_)
        return -1;
    const std::uint64_t packed = heartbeats_[slot].load(std::memory_order_relaxed);
    if (packed == 0 || (packed >> kTimeBits) != (gen & kGenMask))
        return -1;
    return static_cast<std::int64_t>(packed & kTimeMask);
}

void RouteExchange::storeCounters(const RelayCounters& counters)
{
    for (std::size_t i = 0; i < kRelayCounterCount; ++i)
        counters_[i].store(counters[i], std::memory_order_relaxed);
}

RelayCounters RouteExchange::counters() const
{
    RelayCounters out{};
    for (std::size_t i = 0; i < kRelayCounterCount; ++i)
        out[i] = counters_[i].load(std::memory_order_relaxed);
    return out;
}

void RouteExchange::noteEndpoint(std::uint32_t slot, std::uint32_t gen, const BoundEndpoint& endpoint)
{
    if (slot >= slotCount_)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        SlotEndpoint& entry = endpoints_[slot];
        if (entry.gen != gen)
            entry.mapped = {};
        entry.gen = gen;
        entry.endpoint = endpoint;
    }
    endpointChanges_.fetch_add(1, std::memory_order_release);
}

void RouteExchange::noteMapped(std::uint32_t slot, std::uint32_t gen, const BoundEndpoint& endpoint)
{
    if (slot >= slotCount_)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        SlotEndpoint& entry = endpoints_[slot];
        if (entry.gen != gen)
            entry = {gen, {}, {}};
        if (entry.mapped == endpoint)
            return;
        entry.mapped = endpoint;
    }
    endpointChanges_.fetch_add(1, std::memory_order_release);
}

BoundEndpoint RouteExchange::mappedEndpoint(std::uint32_t slot, std::uint32_t gen) const
{
    if (slot >= slotCount_)
        return {};
    std::lock_guard<std::mutex> lock(mutex_);
    const SlotEndpoint& entry = endpoints_[slot];
    return entry.gen == gen ? entry.mapped : BoundEndpoint{};
}

BoundEndpoint RouteExchange::boundEndpoint(std::uint32_t slot, std::uint32_t gen) const
{
    if (slot >= slotCount_)
        return {};
    std::lock_guard<std::mutex> lock(mutex_);
    const SlotEndpoint& entry = endpoints_[slot];
    return entry.gen == gen ? entry.endpoint : BoundEndpoint{};
}

void RouteExchange::askRekey(std::uint32_t slot, std::uint32_t gen)
{
    if (slot >= slotCount_ || gen == 0)
        return;
    rekeys_[slot].store(gen, std::memory_order_relaxed);
    rekeyAsks_.fetch_add(1, std::memory_order_release);
}

bool RouteExchange::takeRekey(std::uint32_t slot, std::uint32_t gen)
{
    if (slot >= slotCount_ || rekeys_[slot].load(std::memory_order_relaxed) == 0)
        return false;
    return rekeys_[slot].exchange(0, std::memory_order_relaxed) == gen;
}
