// The client's side of a sealed tunnel, Qt-free: the keys the server gave
// (the newest and the one before it), set on the GUI thread and read by the
// engine's threads and the heartbeat, each through a View of its own
// (published as in protocol/snapshot.h).
#pragma once

#include "protocol/seal.h"
#include "protocol/snapshot.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace tunnel {

class SealSession
{
    // What the Views read: immutable once published.
    struct Keys
    {
        std::array<std::uint8_t, seal::kKeyBytes> key[2] = {};
        std::uint64_t generation[2] = {}; // 0: no key in that phase
        std::uint32_t index = 0;
        int phase = 0;
        Keys() = default;
        Keys(const Keys&) = default;
        ~Keys();
    };

public:
    SealSession() = default;
    ~SealSession();
    SealSession(const SealSession&) = delete;
    SealSession& operator=(const SealSession&) = delete;

    // A key for `phase` (0 or 1) of the session `index`; from now on every
    // datagram is sealed with it. The other phase's key stays for datagrams
    // the relay sealed before it switched.
    void setKey(const std::uint8_t key[seal::kKeyBytes], std::uint32_t index, int phase);
    // Plain from now on; the keys are wiped as soon as no View holds them (at
    // the next key, or with the session, at the latest).
    void clear();
    bool active() const { return active_.load(std::memory_order_acquire); }
    // The newest key sealed all it may: datagrams and heartbeats are dropped
    // until the next key comes. Set by the sealing threads, polled by the GUI
    // side, which then asks the server for a key.
    bool exhausted() const { return exhausted_.load(std::memory_order_relaxed); }
    // Datagrams one key may seal; lowered only by tests.
    void setKeyUses(std::uint64_t uses) { keyUses_.store(uses, std::memory_order_relaxed); }

    // One thread's ciphers and (for the receiving thread) replay windows.
    class View
    {
    public:
        explicit View(SealSession& session) : session_(session), keys_(session.keys_) {}
        // Seals the payload at datagram + kHeaderBytes in place; the datagram's size, or 0.
        // `probe`: a round trip through the relay (protocol/relayprobe.h).
        std::size_t seal(std::uint8_t* datagram, std::size_t length, bool heartbeat, bool probe = false);
        // Opens a datagram from the relay in place; the payload's length, or -1. A round-trip
        // probe opens only for a caller that asks whether it is one.
        long open(std::uint8_t* datagram, std::size_t length, bool* probe = nullptr);

    private:
        void sync();
        SealSession& session_;
        Snapshot<Keys>::Reader keys_;
        std::uint64_t keyGeneration_[2] = {};
        seal::Cipher cipher_[2];
        seal::ReplayWindow window_[2];
        std::uint32_t index_ = 0;
        int phase_ = 0;
    };

private:
    Snapshot<Keys> keys_;
    std::uint64_t generation_ = 0; // the last key's; the GUI thread's
    std::atomic<bool> active_{false};
    // Counters are never reused, not even across keys: one sequence for every sender.
    std::atomic<std::uint64_t> counter_{0};
    // What each phase's key sealed, under the key's generation (bits 40 and
    // up), so that a thread still holding the key before counts nothing on the new one.
    std::atomic<std::uint64_t> uses_[2] = {};
    std::atomic<bool> exhausted_{false};
    std::atomic<std::uint64_t> keyUses_{seal::kKeyUses};
};

} // namespace tunnel
