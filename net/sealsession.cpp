#include "net/sealsession.h"

#include <cstring>

namespace tunnel {
namespace {

constexpr unsigned kUseBits = 40;
constexpr std::uint64_t kUseMask = (std::uint64_t{1} << kUseBits) - 1;

std::uint64_t usesTag(std::uint64_t generation)
{
    return generation << kUseBits;
}

} // namespace

SealSession::Keys::~Keys()
{
    for (auto& k : key)
        seal::wipe(k.data(), k.size());
}

SealSession::~SealSession()
{
    clear();
}

void SealSession::setKey(const std::uint8_t key[seal::kKeyBytes], std::uint32_t index, int phase)
{
    const Keys* was = keys_.latest();
    auto next = was ? std::make_shared<Keys>(*was) : std::make_shared<Keys>();
    phase &= 1;
    std::memcpy(next->key[phase].data(), key, seal::kKeyBytes);
    next->generation[phase] = ++generation_;
    next->index = index & seal::kSessionMask;
    next->phase = phase;
    uses_[phase].store(usesTag(generation_), std::memory_order_relaxed);
    exhausted_.store(false, std::memory_order_relaxed);
    keys_.publish(std::move(next));
    active_.store(true, std::memory_order_release);
}

void SealSession::clear()
{
    active_.store(false, std::memory_order_release);
    keys_.publish(nullptr);
}

void SealSession::View::sync()
{
    if (!keys_.refresh())
        return;
    static const Keys kNone;
    const Keys& now = keys_.get() ? *keys_.get() : kNone;
    for (int p = 0; p < 2; ++p) {
        if (keyGeneration_[p] == now.generation[p])
            continue;
        // A new key in this phase: its counters start a new window.
        keyGeneration_[p] = now.generation[p];
        window_[p].reset();
        if (keyGeneration_[p] == 0 || !cipher_[p].setKey(now.key[p].data()))
            cipher_[p].clear();
    }
    index_ = now.index;
    phase_ = now.phase;
}

std::size_t SealSession::View::seal(std::uint8_t* datagram, std::size_t length, bool heartbeat, bool probe)
{
    sync();
    if (!cipher_[phase_].ready())
        return 0;
    // One use of this very key: a key replaced meanwhile is looked up again, once.
    std::atomic<std::uint64_t>* uses = &session_.uses_[phase_];
    std::uint64_t was = uses->load(std::memory_order_relaxed);
    for (int tries = 0;;) {
        if ((was & ~kUseMask) != usesTag(keyGeneration_[phase_])) {
            if (++tries > 1)
                return 0;
            sync();
            uses = &session_.uses_[phase_];
            was = uses->load(std::memory_order_relaxed);
            continue;
        }
        if ((was & kUseMask) >= session_.keyUses_.load(std::memory_order_relaxed)) {
            session_.exhausted_.store(true, std::memory_order_relaxed);
            return 0;
        }
        if (uses->compare_exchange_weak(was, was + 1, std::memory_order_relaxed))
            break;
    }
    const std::uint32_t word = index_ | (phase_ ? seal::kPhase : 0u) | (heartbeat ? seal::kHeartbeat : 0u) |
                               (probe ? seal::kRelayProbe : 0u);
    return cipher_[phase_].seal({word, session_.counter_.fetch_add(1, std::memory_order_relaxed)}, datagram,
                                length);
}

long SealSession::View::open(std::uint8_t* datagram, std::size_t length, bool* probe)
{
    sync();
    seal::Header header;
    if (!seal::readHeader(datagram, length, &header) || !header.fromRelay() || header.session() != index_ ||
        (header.relayProbe() && !probe))
        return -1;
    if (probe)
        *probe = header.relayProbe();
    const int p = header.phase();
    if (!cipher_[p].ready() || !window_[p].fresh(header.counter))
        return -1;
    const long opened = cipher_[p].open(datagram, length);
    if (opened >= 0)
        window_[p].accept(header.counter);
    return opened;
}

} // namespace tunnel
