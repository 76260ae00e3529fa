#include "net/directpaths.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <utility>

namespace tunnel {
namespace {

// The same address at another port (the port sits at the same place in both families).
Endpoint withPort(Endpoint at, std::uint16_t port)
{
    at.bytes[2] = static_cast<std::uint8_t>(port >> 8);
    at.bytes[3] = static_cast<std::uint8_t>(port & 0xFF);
    return at;
}

constexpr std::uint32_t kIpv4Length = 16; // sockaddr_in; sockaddr_in6 is longer

int roundTrip(std::int64_t sent, std::int64_t answered)
{
    return static_cast<int>(std::max<std::int64_t>(0, answered - sent));
}

} // namespace

std::int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct DirectPaths::Pair
{
    enum State { Probing, Direct, Relayed };
    DirectPeer peer;
    std::uint64_t keyId = 0;
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    seal::Cipher cipher; // the GUI thread's own, for its requests
    State state = Probing;
    std::int64_t since = 0; // the probing began
    std::int64_t nextProbe = 0;
    std::int64_t retryAt = 0;
    std::vector<Sent> probes; // this attempt's requests, and those a request set off
    Endpoint path;
    Sent check;
    Sent move; // a request to where the peer now is
    Triggered triggered;
    bool checking = false;
    bool quick = false; // the check under way decides alone, sooner (a birthday path gone silent)
    int misses = 0;
    std::int64_t lastCheck = 0;
    std::int64_t lastTraffic = std::numeric_limits<std::int64_t>::min() / 2;
    int rtt = -1;
    std::int64_t lastHeard = 0;
    bool silent = true; // no data from the peer since it last fell silent
    bool knock = false; // candidates came while direct: asked once the path falls silent
    std::size_t retries = 0; // attempts failed since the last path: the step of the retry schedule
    bool tried = false;      // an attempt ended, either way
    // The round trip through the relay: the request out, when the next one is due.
    bool relayOut = false;
    direct::Txid relayId{};
    std::int64_t relayAt = 0;
    std::int64_t nextRelayProbe = 0;
    int relayRtt = -1;
    bool rekeyAsked = false;
    std::uint64_t previousKeyId = 0; // the key this one replaced, still opened until previousUntil
    std::int64_t previousUntil = 0;
    // Where the key before went direct: the peer asking from there once it
    // has the new key too is asked back, rather than waiting for the retry.
    Endpoint resumeAt;
    bool resumable = false;
    int resumeVia = -1;
    // A birthday: this attempt is one; when the pair may have the next; the scan's progress.
    bool birthday = false;
    std::int64_t birthdayAt = 0;
    std::int64_t birthdayNext = std::numeric_limits<std::int64_t>::min() / 2;
    int scanned = 0;
    std::int64_t nextScan = 0;
    std::int64_t lastHit = std::numeric_limits<std::int64_t>::min() / 2;
    int via = -1; // the side port the path leaves from

    ~Pair() { seal::wipe(peer.key.data(), peer.key.size()); }
    void startProbing(std::int64_t nowMs)
    {
        state = Probing;
        since = nextProbe = nowMs;
        probes.clear();
    }
    // When this attempt stops probing: a birthday later, the spraying side
    // latest, so that a scan that began a little later still finds its ports.
    std::int64_t probeEnd() const
    {
        if (!birthday)
            return since + direct::kProbeForMs;
        return birthdayAt + direct::kBirthdayForMs + (peer.birthday == Birthday::Spray ? 5000 : 0);
    }
    bool scanning() const
    {
        return birthday && peer.birthday == Birthday::Scan && scanned < direct::kScanTotal &&
               nextScan < birthdayAt + direct::kBirthdayForMs;
    }
    void fallBack(std::int64_t fellAt)
    {
        state = Relayed;
        tried = true;
        birthday = false;
        quick = false;
        retryAt = fellAt + direct::kRetryMs[std::min(retries, direct::kRetryMs.size() - 1)];
        ++retries;
        probes.clear();
    }
    // When tick() next has something to do for this pair's path.
    std::int64_t due(std::int64_t nowMs) const
    {
        switch (state) {
        case Probing: {
            std::int64_t next = probeEnd() + direct::kProbeGraceMs;
            if (nextProbe < since + direct::kProbeForMs)
                next = std::min(next, nextProbe);
            return scanning() ? std::min(next, nextScan) : next;
        }
        case Direct: {
            // Candidates waiting for silence, and the silence itself, are seen to at once.
            if (knock && silent)
                return nowMs;
            const std::int64_t quiet = silent ? std::numeric_limits<std::int64_t>::max()
                                              : lastHeard + direct::kSilentMs;
            if (checking)
                return std::min(quiet, check.at + (quick ? direct::kBirthdayMissMs : direct::kMissAfterMs));
            return std::min(quiet, lastCheck + (nowMs - lastTraffic < direct::kActiveForMs
                                                    ? direct::kCheckActiveMs
                                                    : direct::kCheckIdleMs));
        }
        default:
            return retryAt;
        }
    }
    bool knows(const Endpoint& at) const
    {
        return std::find(peer.candidates.begin(), peer.candidates.end(), at) != peer.candidates.end();
    }
};

DirectPaths::Table::~Table()
{
    for (Route& r : routes)
        seal::wipe(r.key.data(), r.key.size());
}

DirectPaths::DirectPaths()
{
    birthdays_.fill(std::numeric_limits<std::int64_t>::min() / 2);
}

DirectPaths::~DirectPaths() = default;

void DirectPaths::setPeers(std::vector<DirectPeer> peers, std::int64_t nowMs)
{
    std::vector<std::unique_ptr<Pair>> next;
    for (DirectPeer& peer : peers) {
        if (peer.candidates.size() > direct::kMaxCandidates)
            peer.candidates.resize(direct::kMaxCandidates);
        std::unique_ptr<Pair> p;
        for (auto& old : pairs_)
            if (old && old->peer.pair == peer.pair && old->peer.key == peer.key) {
                p = std::move(old);
                break;
            }
        if (p) {
            // New candidates are a new chance for a pair that is not direct,
            // within a schedule a peer cannot speed up by announcing more.
            const bool renamed = !(p->peer.candidates == peer.candidates);
            if (renamed && p->state == Pair::Relayed)
                p->retryAt = std::min(p->retryAt, p->since + direct::kNewCandidatesMs);
            // A birthday role the server just found: tried at once, within the pair's budget.
            if (peer.birthday != p->peer.birthday && peer.birthday != Birthday::None &&
                p->state == Pair::Relayed)
                p->retryAt = std::min(p->retryAt, std::max(nowMs, p->birthdayNext));
            p->peer.birthday = peer.birthday;
            // While direct, they may be where the peer went (the relay saw it there).
            p->knock = p->knock || (renamed && p->state == Pair::Direct);
            p->peer.name = peer.name;
            p->peer.vip = peer.vip;
            p->peer.candidates = peer.candidates;
        } else {
            p = std::make_unique<Pair>();
            p->peer = peer;
            p->keyId = ++nextKeyId_;
            // A new key for a pair we had: the peer may not have it yet.
            for (const auto& old : pairs_)
                if (old && old->peer.pair == peer.pair) {
                    p->previousKeyId = old->keyId;
                    p->previousUntil = nowMs + direct::kPreviousKeyMs;
                    p->resumable = old->state == Pair::Direct;
                    p->resumeAt = old->path;
                    p->resumeVia = old->via;
                    p->birthdayNext = old->birthdayNext;
                    if (sideOwner_ == old.get())
                        sideOwner_ = p.get();
                }
            if (!p->cipher.setKey(peer.key.data()))
                p->cipher.clear();
            p->startProbing(nowMs);
        }
        next.push_back(std::move(p));
    }
    for (DirectPeer& peer : peers)
        seal::wipe(peer.key.data(), peer.key.size());
    pairs_ = std::move(next);
    if (sideOwner_ &&
        std::none_of(pairs_.begin(), pairs_.end(), [&](const auto& p) { return p.get() == sideOwner_; }))
        keepSide(-1, nullptr);
    publish();
}

void DirectPaths::clear()
{
    pairs_.clear();
    keepSide(-1, nullptr);
    publish();
}

void DirectPaths::keepSide(int keep, const Pair* owner)
{
    std::shared_ptr<SideSet> set;
    if (keep >= 0 && side_ && std::size_t(keep) < side_->ports.size()) {
        set = std::make_shared<SideSet>();
        set->ports.push_back(side_->ports[std::size_t(keep)]);
        set->sockets.push_back(side_->sockets[std::size_t(keep)]);
    }
    side_ = std::move(set);
    sideOwner_ = side_ ? owner : nullptr;
    changed_ = true;
}

void DirectPaths::beginBirthday(Pair& p, std::int64_t nowMs, const SendFn& send)
{
    const Birthday role = p.peer.birthday;
    if (role == Birthday::None || p.birthday || p.peer.candidates.empty() ||
        p.peer.candidates[0].length != kIpv4Length || nowMs < p.birthdayNext ||
        nowMs - birthdays_[birthdayNext_] < 60000 ||
        std::any_of(pairs_.begin(), pairs_.end(), [](const auto& q) { return q->birthday; }))
        return;
    if (role == Birthday::Spray) {
        if (sideLike_.length == 0)
            return;
        auto set = std::make_shared<SideSet>();
        for (int i = 0; i < direct::kSprayPorts; ++i) {
            const udp::Socket socket = udp::openSide(sideLike_);
            if (!socket)
                break;
            set->ports.push_back(std::make_shared<SidePort>(socket));
            set->sockets.push_back(socket);
        }
        if (set->sockets.empty())
            return;
        side_ = std::move(set);
        sideOwner_ = &p;
        changed_ = true;
    }
    birthdays_[birthdayNext_] = nowMs;
    birthdayNext_ = (birthdayNext_ + 1) % birthdays_.size();
    p.birthday = true;
    p.birthdayAt = nowMs;
    p.birthdayNext = nowMs + direct::kBirthdayEveryMs;
    p.scanned = 0;
    p.nextScan = nowMs;
    // Each port toward the one the server saw: the NAT maps each anew, and one
    // of those mappings is what the other side's scan looks for.
    if (role == Birthday::Spray)
        for (std::size_t i = 0; i < side_->sockets.size(); ++i)
            probe(p, p.peer.candidates[0], nowMs, send, static_cast<int>(i));
}

void DirectPaths::scan(Pair& p, std::int64_t nowMs, const SendFn& send)
{
    if (!p.scanning() || nowMs < p.nextScan)
        return;
    for (int i = 0; i < direct::kScanPerTick && p.scanned < direct::kScanTotal; ++i, ++p.scanned) {
        std::uint8_t random[2];
        if (!seal::randomBytes(random, sizeof random))
            break;
        const int span = 65536 - direct::kScanLowestPort;
        const int offset = ((random[0] << 8) | random[1]) % span;
        const auto port = static_cast<std::uint16_t>(direct::kScanLowestPort + offset);
        probe(p, withPort(p.peer.candidates[0], port), nowMs, send);
    }
    p.nextScan = nowMs + direct::kScanEveryMs;
}

DirectPaths::Sent DirectPaths::request(Pair& p, const Endpoint& to, std::int64_t nowMs, const SendFn& send,
                                       int via)
{
    std::uint8_t datagram[directwire::kProbeBytes];
    // Unguessable, so that only the peer who got it can answer it.
    Sent sent;
    if (!seal::randomBytes(sent.txid.data(), sent.txid.size()))
        return sent;
    datagram[seal::kHeaderBytes] = directwire::kRequest;
    std::memcpy(datagram + seal::kHeaderBytes + 1, sent.txid.data(), sent.txid.size());
    const std::uint64_t counter = p.shared->counter.fetch_add(1, std::memory_order_relaxed);
    if (!p.cipher.ready() || counter >= keyUses ||
        !p.cipher.seal({directwire::word(p.peer.pair, p.peer.side, true), counter}, datagram,
                       directwire::kProbePayload))
        return sent;
    if (via < 0)
        send(to, datagram, sizeof datagram);
    else if (side_ && std::size_t(via) < side_->sockets.size())
        udp::send(side_->sockets[std::size_t(via)], to, datagram, sizeof datagram);
    else
        return sent;
    sent.via = via;
    sent.out = true;
    sent.at = nowMs;
    sent.to = to;
    return sent;
}

void DirectPaths::probe(Pair& p, const Endpoint& to, std::int64_t nowMs, const SendFn& send, int via)
{
    const Sent sent = request(p, to, nowMs, send, via);
    if (sent.out)
        p.probes.push_back(sent);
}

void DirectPaths::check(Pair& p, std::int64_t nowMs, const SendFn& send)
{
    const Sent sent = request(p, p.path, nowMs, send, p.via);
    if (!sent.out)
        return;
    p.check = sent;
    p.checking = true;
    p.lastCheck = nowMs;
}

void DirectPaths::relayRequest(Pair& p, std::int64_t nowMs, const RelayFn& relay)
{
    relayprobe::Probe probe{relayprobe::kRequest, p.peer.vip, {}};
    if (!seal::randomBytes(probe.id.data(), probe.id.size()))
        return;
    std::uint8_t payload[relayprobe::kPayload];
    relayprobe::write(probe, payload);
    // The one before went unanswered: its figure is out of date.
    if (p.relayOut)
        p.relayRtt = -1;
    relay(payload, sizeof payload);
    p.relayOut = true;
    p.relayId = probe.id;
    p.relayAt = nowMs;
    p.nextRelayProbe = nowMs + direct::kRelayProbeEveryMs;
    relayNext_ = nowMs + direct::kRelayProbeGapMs;
}

void DirectPaths::handle(const Event& e, std::int64_t nowMs, const SendFn& send)
{
    if (e.relay) {
        for (const auto& p : pairs_)
            if (p->peer.vip == e.vip && p->relayOut && p->relayId == e.txid) {
                p->relayOut = false;
                p->relayRtt = p->state == Pair::Direct ? -1 : roundTrip(p->relayAt, e.at);
            }
        return;
    }
    const auto found = std::find_if(pairs_.begin(), pairs_.end(), [&](const std::unique_ptr<Pair>& p) {
        return p->peer.pair == e.pair && p->keyId == e.keyId;
    });
    if (found == pairs_.end())
        return;
    Pair& p = **found;
    // A request that came to a side port: the other side's scan found one of
    // our NAT's mappings. It was answered there; asked back from there too.
    if (e.kind == directwire::kRequest && e.via >= 0) {
        if (p.state != Pair::Direct && sideOwner_ == &p && !p.peer.candidates.empty() &&
            e.from == p.peer.candidates[0] &&
            nowMs - p.lastHit >= direct::kProbeEveryMs) {
            p.lastHit = nowMs;
            probe(p, e.from, nowMs, send, e.via);
        }
        return;
    }
    if (e.kind == directwire::kRequest) {
        // The inbound thread answered the path and named candidates. Any
        // other source may be the peer behind a NAT that mapped it anew (or
        // that no candidate foresaw): it gets a request of ours instead, one
        // per request of its own and few of them, and becomes a path only by
        // answering it. Nothing here starts an attempt: only the schedule does.
        const bool resume = p.state == Pair::Relayed && p.resumable && e.from == p.resumeAt;
        if ((e.answered && !resume) || (p.state == Pair::Probing && p.knows(e.from)) ||
            !p.triggered.take(e.from, nowMs))
            return;
        if (p.state == Pair::Direct) {
            p.move = request(p, e.from, nowMs, send);
        } else {
            const std::int64_t stale = nowMs - direct::kProbeForMs - direct::kProbeGraceMs;
            p.probes.erase(std::remove_if(p.probes.begin(), p.probes.end(),
                                          [&](const Sent& sent) { return sent.at < stale; }),
                           p.probes.end());
            probe(p, e.from, nowMs, send, resume ? p.resumeVia : -1);
        }
        return;
    }
    // An answer counts only from where its request went.
    if (p.state != Pair::Direct) {
        for (const Sent& sent : p.probes)
            if (sent.answers(e)) {
                p.state = Pair::Direct;
                p.birthday = false;
                p.path = e.from;
                // A side port's path keeps that port alone; any other path needs none.
                if (e.via >= 0 && sideOwner_ == &p) {
                    keepSide(e.via, &p);
                    p.via = 0;
                } else {
                    p.via = -1;
                    if (sideOwner_ == &p)
                        keepSide(-1, nullptr);
                }
                p.rtt = roundTrip(sent.at, e.at);
                p.relayRtt = -1;
                p.retries = 0;
                p.misses = 0;
                p.checking = false;
                p.lastCheck = nowMs;
                changed_ = true;
                p.probes.clear(); // from here on it holds only requests to where the peer may have gone
                return;
            }
    } else if (p.checking && p.check.answers(e)) {
        p.checking = false;
        p.quick = false;
        p.misses = 0;
        p.rtt = roundTrip(p.check.at, e.at);
    } else if (p.move.answers(e) ||
               std::any_of(p.probes.begin(), p.probes.end(), [&](const Sent& s) { return s.answers(e); })) {
        p.probes.clear();
        p.path = e.from;
        if (e.via < 0 && sideOwner_ == &p)
            keepSide(-1, nullptr);
        p.via = e.via < 0 ? -1 : p.via;
        p.checking = false;
        p.misses = 0;
        p.rtt = roundTrip(p.move.at, e.at);
        p.move.out = false;
        changed_ = true;
    }
}

bool DirectPaths::Triggered::take(const Endpoint& to, std::int64_t nowMs)
{
    if (nowMs < next_)
        return false;
    std::size_t slot = to_.size();
    for (std::size_t i = 0; i < to_.size() && slot == to_.size(); ++i)
        if (to_[i].length != 0 && to_[i] == to && nowMs - since_[i] < 60000)
            slot = i;
    for (std::size_t i = 0; i < to_.size() && slot == to_.size(); ++i)
        if (to_[i].length == 0 || nowMs - since_[i] >= 60000) {
            to_[i] = to;
            since_[i] = nowMs;
            slot = i;
        }
    if (slot == to_.size())
        return false;
    next_ = nowMs + direct::kTriggeredEveryMs;
    return true;
}

void DirectPaths::tick(std::int64_t nowMs, const SendFn& send, const RelayFn& relay)
{
    // Cleared before the ring is read: an event pushed from here on wakes us again.
    woken_.store(false);
    Event e;
    while (ring_.pop(&e))
        handle(e, nowMs, send);
    for (const auto& pointer : pairs_) {
        Pair& p = *pointer;
        // Quiet first, then the traffic flag: a first datagram after either
        // step either shows here or wakes the GUI side (View::seal).
        p.shared->quiet.store(p.state == Pair::Direct && nowMs - p.lastTraffic >= direct::kActiveForMs);
        if (p.shared->sent.exchange(false)) {
            p.lastTraffic = nowMs;
            p.shared->quiet.store(false);
        }
        p.shared->unheard.store(p.state == Pair::Direct && p.silent);
        if (p.shared->heard.exchange(false)) {
            p.lastHeard = nowMs;
            p.silent = false;
            p.shared->unheard.store(false);
        }
        const std::uint64_t used = p.shared->counter.load(std::memory_order_relaxed);
        if (!p.rekeyAsked && used >= keyAskAt) {
            p.rekeyAsked = true;
            rekeyAsks_.push_back(p.peer.pair);
        }
        // A used-up key goes by the relay until the pair gets a new one.
        if (used + std::min(direct::kSpareUses, keyUses / 4) >= keyUses && p.state != Pair::Relayed) {
            p.state = Pair::Relayed;
            p.birthday = false;
            p.retryAt = std::numeric_limits<std::int64_t>::max();
            p.rtt = -1;
            changed_ = true;
        }
        if (p.state == Pair::Relayed && nowMs >= p.retryAt)
            p.startProbing(nowMs);
        if (p.state == Pair::Probing) {
            if (nowMs < p.since + direct::kProbeForMs + direct::kProbeGraceMs)
                beginBirthday(p, nowMs, send);
            if (nowMs >= p.probeEnd() + direct::kProbeGraceMs) {
                p.fallBack(p.probeEnd() + direct::kProbeGraceMs);
            } else {
                if (nowMs < p.since + direct::kProbeForMs && nowMs >= p.nextProbe) {
                    for (std::size_t i = 0; i < p.peer.candidates.size(); ++i)
                        probe(p, p.peer.candidates[i], nowMs, send);
                    p.nextProbe = nowMs + direct::kProbeEveryMs;
                }
                scan(p, nowMs, send);
            }
        } else if (p.state == Pair::Direct) {
            const bool active = nowMs - p.lastTraffic < direct::kActiveForMs;
            // The peer's data stopped: either end may have moved. The path is
            // asked at once (outside the checks: their schedule stays), the
            // relay hears from us (and through the server, the peer), and
            // what the server named since is asked too. An answer from any of
            // them is the path.
            if (!p.silent && nowMs - p.lastHeard >= direct::kSilentMs) {
                p.silent = true;
                p.shared->unheard.store(true);
                heartbeatWanted_ = true;
                p.probes.clear();
                if (p.peer.birthday != Birthday::None) {
                    check(p, nowMs, send);
                    p.quick = true;
                } else {
                    probe(p, p.path, nowMs, send, p.via);
                }
            }
            if (p.knock && p.silent) {
                p.knock = false;
                p.probes.clear();
                for (const Endpoint& at : p.peer.candidates)
                    if (!(at == p.path))
                        probe(p, at, nowMs, send);
            }
            if (p.checking &&
                nowMs >= p.check.at + (p.quick ? direct::kBirthdayMissMs : direct::kMissAfterMs)) {
                p.checking = false;
                if (++p.misses >= direct::kMissesToFall || p.quick) {
                    p.fallBack(nowMs);
                    p.rtt = -1;
                    heartbeatWanted_ = true;
                    changed_ = true;
                } else {
                    check(p, nowMs, send); // a miss is tried again at once
                }
            } else if (!p.checking &&
                       nowMs >= p.lastCheck + (active ? direct::kCheckActiveMs : direct::kCheckIdleMs)) {
                check(p, nowMs, send);
            }
        }
        if (p.state != Pair::Direct)
            p.shared->quiet.store(false);
        // Off the path and out of a birthday: its side ports close.
        if (p.state == Pair::Relayed && sideOwner_ == &p) {
            keepSide(-1, nullptr);
            p.via = -1;
        }
    }
    // Round trips through the relay, the longest due first, a few a second.
    relaying_ = static_cast<bool>(relay);
    Pair* next = nullptr;
    for (const auto& p : pairs_)
        if (relaying_ && nowMs >= relayNext_ && p->state != Pair::Direct && nowMs >= p->nextRelayProbe &&
            (!next || p->nextRelayProbe < next->nextRelayProbe))
            next = p.get();
    if (next)
        relayRequest(*next, nowMs, relay);
    if (changed_)
        publish();
}

std::int64_t DirectPaths::nextDueMs(std::int64_t nowMs) const
{
    std::int64_t due = nowMs + direct::kLongestSleepMs;
    for (const auto& p : pairs_) {
        due = std::min(due, p->due(nowMs));
        if (relaying_ && p->state != Pair::Direct)
            due = std::min(due, std::max(p->nextRelayProbe, relayNext_));
    }
    return due;
}

void DirectPaths::setWake(std::function<void()> wake)
{
    const std::lock_guard<std::mutex> lock(wakeLock_);
    wake_ = std::move(wake);
}

void DirectPaths::wakeUp()
{
    if (woken_.exchange(true))
        return;
    const std::lock_guard<std::mutex> lock(wakeLock_);
    if (wake_)
        wake_();
}

void DirectPaths::post(const Event& e, bool wake)
{
    if (ring_.push(e) && wake)
        wakeUp();
}

bool DirectPaths::relayProbe(const std::uint8_t* payload, std::size_t length, std::int64_t nowMs,
                             std::uint8_t answer[relayprobe::kPayload])
{
    relayprobe::Probe probe;
    if (!relayprobe::read(payload, length, &probe))
        return false;
    if (probe.kind == relayprobe::kRequest) {
        // As long as the request, to the member the relay says it came from.
        probe.kind = relayprobe::kAnswer;
        relayprobe::write(probe, answer);
        return true;
    }
    Event e;
    e.relay = true;
    e.vip = probe.vip;
    e.txid = probe.id;
    e.at = nowMs;
    post(e, false);
    return false;
}

std::vector<DirectStatus> DirectPaths::status() const
{
    std::vector<DirectStatus> out;
    for (const auto& p : pairs_)
        out.push_back({p->peer.name, p->peer.vip, p->state == Pair::Direct, p->rtt, p->relayRtt,
                       p->state == Pair::Direct || p->tried});
    return out;
}

std::vector<std::uint32_t> DirectPaths::takeRekeyAsks()
{
    return std::exchange(rekeyAsks_, {});
}

void DirectPaths::publish()
{
    auto table = std::make_shared<Table>();
    table->routes.reserve(pairs_.size());
    for (const auto& p : pairs_)
        table->routes.push_back({p->peer.vip, p->peer.pair & directwire::kMaxPair, p->peer.side & 1, p->keyId,
                                 p->state == Pair::Direct, p->path, p->peer.candidates, p->shared,
                                 p->peer.key, p->previousKeyId, p->previousUntil,
                                 p->state == Pair::Direct ? p->via : -1,
                                 p->state == Pair::Relayed && p->resumable, p->resumeAt});
    table->side = side_;
    table_.publish(std::move(table));
    changed_ = false;
    // The inbound thread waits on the set it had: it takes up the new one now.
    if (sidePublished_ != side_) {
        sidePublished_ = side_;
        if (sideChanged_)
            sideChanged_();
    }
}

} // namespace tunnel
