// One engine thread's side of the direct paths: the table it took up, the
// pairs' ciphers and replay windows, and the peer rule on what opened.
#include "net/directpaths.h"

#include <algorithm>
#include <cstring>

namespace tunnel {
namespace {

std::uint64_t readBig(const std::uint8_t* p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | p[i];
    return value;
}

// The addresses inside an IPv4 or ARP frame: source (or ARP sender) and
// destination (or ARP target); false for any other frame.
bool innerAddresses(const std::uint8_t* frame, std::size_t length, std::uint32_t* source,
                    std::uint32_t* destination)
{
    const auto type = readBig(frame + 12, 2);
    std::size_t at = 0;
    if (type == 0x0800 && length >= 34 && (frame[14] >> 4) == 4)
        at = 26;
    else if (type == 0x0806 && length >= 42)
        at = 28;
    else
        return false;
    const std::size_t to = type == 0x0800 ? 30 : 38;
    if (source)
        *source = static_cast<std::uint32_t>(readBig(frame + at, 4));
    *destination = static_cast<std::uint32_t>(readBig(frame + to, 4));
    return true;
}

} // namespace

struct DirectPaths::View::Keyed
{
    std::uint64_t keyId = 0;
    seal::Cipher cipher;
    seal::ReplayWindow window;
    peerrule::AddressBook<std::uint64_t, 1> mac; // the peer's own, learned from its first frame
    std::unique_ptr<Keyed> previous; // the pair's key before, with its window

    long open(const seal::Header& h, std::uint8_t* datagram, std::size_t length)
    {
        if (!cipher.ready() || !window.fresh(h.counter))
            return -1;
        const long opened = cipher.open(datagram, length);
        if (opened >= 0)
            window.accept(h.counter);
        return opened;
    }
};

DirectPaths::View::View(DirectPaths& paths) : paths_(paths), layer2_(paths.layer2), reader_(paths.table_) {}

DirectPaths::View::~View() = default;

void DirectPaths::View::sync()
{
    if (!reader_.refresh())
        return;
    const Table* table = reader_.get();
    // Unchanged pairs keep their ciphers and windows.
    std::vector<std::unique_ptr<Keyed>> next(table ? table->routes.size() : 0);
    for (std::size_t i = 0; i < next.size(); ++i) {
        const Route& r = table->routes[i];
        for (auto& k : keyed_)
            if (k && k->keyId == r.keyId) {
                next[i] = std::move(k);
                break;
            }
        if (next[i])
            continue;
        next[i] = std::make_unique<Keyed>();
        next[i]->keyId = r.keyId;
        if (!next[i]->cipher.setKey(r.key.data()))
            next[i]->cipher.clear();
        for (auto& k : keyed_)
            if (k && r.previousKeyId != 0 && k->keyId == r.previousKeyId) {
                k->previous.reset();
                next[i]->previous = std::move(k);
                break;
            }
    }
    keyed_ = std::move(next);
    table_ = table;
}

const DirectPaths::Route* DirectPaths::View::route(const std::uint8_t* packet, std::size_t length) const
{
    if (!table_)
        return nullptr;
    if (layer2_) {
        // Group addresses (broadcast, multicast) stay with the relay.
        if (length < 14 || (packet[0] & 1))
            return nullptr;
        const std::uint64_t want = kKnownMac | readBig(packet, 6);
        std::uint32_t inner = 0;
        if (innerAddresses(packet, length, nullptr, &inner)) {
            for (const Route& r : table_->routes)
                if (r.direct && r.vip == inner) {
                    const std::uint64_t mac = r.shared->mac.load(std::memory_order_relaxed);
                    return mac == 0 || mac == want ? &r : nullptr;
                }
            return nullptr;
        }
        for (const Route& r : table_->routes)
            if (r.direct && r.shared->mac.load(std::memory_order_relaxed) == want && fresh(r))
                return &r;
        return nullptr;
    }
    if (length < 20 || (packet[0] >> 4) != 4)
        return nullptr;
    const auto destination = static_cast<std::uint32_t>(readBig(packet + 16, 4));
    for (const Route& r : table_->routes)
        if (r.direct && r.vip == destination && fresh(r))
            return &r;
    return nullptr;
}

std::size_t DirectPaths::View::seal(const Route& route, std::uint8_t* datagram, std::size_t length)
{
    Keyed& k = *keyed_[indexOf(route)];
    const std::uint64_t counter = route.shared->counter.fetch_add(1, std::memory_order_relaxed);
    if (!k.cipher.ready() || counter >= paths_.keyUses)
        return 0;
    // The first datagram since the last tick: on a quiet path, the GUI side
    // wakes to check it as an active one; so it does when the key is due for
    // its successor, or nearly used up.
    if (!route.shared->sent.load(std::memory_order_relaxed)) {
        route.shared->sent.store(true);
        if (route.shared->quiet.exchange(false))
            paths_.wakeUp();
    }
    if (counter == paths_.keyAskAt ||
        counter + 1 + std::min(direct::kSpareUses, paths_.keyUses / 4) == paths_.keyUses)
        paths_.wakeUp();
    return k.cipher.seal({directwire::word(route.pair, route.side, false), counter}, datagram, length);
}

DirectPaths::Received DirectPaths::View::receive(const Endpoint& from, std::uint8_t* datagram,
                                                 std::size_t length, std::int64_t nowMs,
                                                 std::uint8_t reply[directwire::kProbeBytes], int via)
{
    seal::Header h;
    if (!table_ || !seal::readHeader(datagram, length, &h))
        return {};
    const auto& routes = table_->routes;
    const auto found = std::find_if(routes.begin(), routes.end(), [&](const Route& r) {
        return directwire::fromPeer(h.word, r.pair, r.side);
    });
    if (found == routes.end())
        return {};
    const Route& r = *found;
    Keyed& k = *keyed_[indexOf(r)];
    // For a while after a new key, data may still come under the one before;
    // the datagram is kept for that second try (a failed open wipes it).
    Keyed* previous =
        k.previous && nowMs < r.previousUntil && !(h.word & directwire::kProbe) ? k.previous.get() : nullptr;
    if (previous)
        spare_.assign(datagram, datagram + length);
    long opened = k.open(h, datagram, length);
    if (opened < 0 && previous) {
        std::memcpy(datagram, spare_.data(), length);
        opened = previous->open(h, datagram, length);
    }
    if (opened < 0)
        return {};
    if (!(h.word & directwire::kProbe)) {
        if (admit(r, k, datagram + seal::kHeaderBytes, static_cast<std::size_t>(opened))) {
            // The first datagram since the last tick; after a silence it wakes the GUI side,
            // which then watches for the next one.
            if (!r.shared->heard.load(std::memory_order_relaxed)) {
                r.shared->heard.store(true);
                if (r.shared->unheard.exchange(false))
                    paths_.wakeUp();
            }
            return {Inbound::Data, static_cast<std::size_t>(opened)};
        }
        paths_.refused_.fetch_add(1, std::memory_order_relaxed);
        return {};
    }
    const std::uint8_t* probe = datagram + seal::kHeaderBytes;
    if (opened != static_cast<long>(directwire::kProbePayload) ||
        (probe[0] != directwire::kRequest && probe[0] != directwire::kAnswer))
        return {};
    // Each request is answered once (the window) and only to where the peer
    // proved to be or the server said it may be; the GUI side deals with the rest.
    const bool answer =
        probe[0] == directwire::kRequest &&
        (r.direct ? from == r.path
                  : std::find(r.candidates.begin(), r.candidates.end(), from) != r.candidates.end());
    Event e;
    e.kind = probe[0];
    e.answered = answer;
    e.via = via;
    e.pair = r.pair;
    e.keyId = r.keyId;
    std::memcpy(e.txid.data(), probe + 1, e.txid.size());
    e.at = nowMs;
    e.from = from;
    // A request answered here needs nothing more of the GUI side, which takes
    // it at its next tick, unless it came to a side port or resumes a path.
    paths_.post(e, !answer || via >= 0 || (r.resumable && from == r.resumeAt));
    if (!answer)
        return {};
    reply[seal::kHeaderBytes] = directwire::kAnswer;
    std::memcpy(reply + seal::kHeaderBytes + 1, probe + 1, directwire::kTxidBytes);
    const std::uint64_t counter = r.shared->counter.fetch_add(1, std::memory_order_relaxed);
    if (counter >= paths_.keyUses ||
        !k.cipher.seal({directwire::word(r.pair, r.side, true), counter}, reply, directwire::kProbePayload))
        return {};
    return {Inbound::Answer, directwire::kProbeBytes};
}

bool DirectPaths::View::admit(const Route& r, Keyed& k, const std::uint8_t* packet, std::size_t length)
{
    if (layer2_)
        return admitFrame(r, k, packet, length);
    // Our clients send only IPv4 this way; IPv6 takes the relay, which holds
    // each IPv6 source for the member that used it first.
    std::uint32_t source = 0, destination = 0;
    if (length < 20 || (packet[0] >> 4) != 4 || std::size_t{packet[0] & 0x0Fu} * 4 < 20 ||
        readBig(packet + 2, 2) != length)
        return false;
    source = static_cast<std::uint32_t>(readBig(packet + 12, 4));
    destination = static_cast<std::uint32_t>(readBig(packet + 16, 4));
    const peerrule::Ipv4 verdict = peerrule::ipv4(source, destination, r.vip, peerrule::roomNetOf(r.vip));
    return verdict == peerrule::Ipv4::Everyone || verdict == peerrule::Ipv4::Member;
}

bool DirectPaths::View::admitFrame(const Route& r, Keyed& k, const std::uint8_t* frame, std::size_t length)
{
    if (length < 14)
        return false;
    const std::uint64_t mac = readBig(frame + 6, 6);
    if (mac == 0 || peerrule::isGroupMac(mac))
        return false;
    std::uint32_t source = 0, destination = 0;
    const bool ip = innerAddresses(frame, length, &source, &destination);
    if (ip) {
        const peerrule::Ipv4 verdict = peerrule::ipv4(source, destination, r.vip, peerrule::roomNetOf(r.vip));
        if (verdict != peerrule::Ipv4::Everyone && verdict != peerrule::Ipv4::Member)
            return false;
    }
    if (k.mac.count > 0)
        return k.mac.items[0] == mac;
    // The first frame that speaks for the peer's own address binds its MAC
    // to the pair for good, unless another pair holds it.
    if (!ip || !peerrule::claim(k.mac, mac, 0, peerrule::kHoldForever, [&](auto&& visit) {
            for (const auto& other : keyed_)
                if (other.get() != &k)
                    visit(other->mac);
        }))
        return false;
    r.shared->mac.store(kKnownMac | mac, std::memory_order_relaxed);
    return true;
}

} // namespace tunnel
