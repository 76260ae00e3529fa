// Sealed tunnel datagrams, Qt-free: AES-256-GCM from the platform (OpenSSL 3
// on Linux, BCrypt on Windows), a clear header that is both the nonce and the
// associated data, and a replay window.
//
// Datagram: header (12 bytes) | ciphertext | tag (16 bytes).
// Header: a 32-bit word, big-endian (bit 31: sent by the relay, bit 30: key
// phase, bit 29: heartbeat, bit 28: round-trip probe, bits 0-27: the
// session's index), then a 64-bit counter, big-endian. The sender never
// repeats a counter under one key and the direction bit keeps the two
// directions apart, so no nonce repeats. Direct datagrams between two clients
// read the same word for a pair (protocol/directwire.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace seal {

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kHeaderBytes = 12;
constexpr std::size_t kTagBytes = 16;
constexpr std::size_t kOverhead = kHeaderBytes + kTagBytes;

constexpr std::uint32_t kFromRelay = 1u << 31;
constexpr std::uint32_t kPhase = 1u << 30;
constexpr std::uint32_t kHeartbeat = 1u << 29;
constexpr std::uint32_t kIndexMask = kHeartbeat - 1;
// A round trip through the relay (protocol/relayprobe.h). Session indexes stay
// below it, so a client that does not know the bit finds the index not its
// own and drops the datagram; direct paths keep all of kIndexMask for pairs.
constexpr std::uint32_t kRelayProbe = 1u << 28;
constexpr std::uint32_t kSessionMask = kRelayProbe - 1;

// No header ever carries a counter this high.
constexpr std::uint64_t kCounterLimit = std::uint64_t{1} << 40;
// One key seals at most this many datagrams in each direction (AES-GCM's
// confidentiality limit, RFC 9001 section 6.6); past it the sender drops its
// traffic until a new key comes.
constexpr std::uint64_t kKeyUses = std::uint64_t{1} << 23;
// A sender asks for a new key this early, leaving half for the answer to arrive.
constexpr std::uint64_t kKeyAskAt = kKeyUses / 2;

struct Header
{
    std::uint32_t word = 0;
    std::uint64_t counter = 0;
    std::uint32_t index() const { return word & kIndexMask; }
    bool fromRelay() const { return word & kFromRelay; }
    int phase() const { return (word & kPhase) ? 1 : 0; }
    bool heartbeat() const { return word & kHeartbeat; }
    // A session's datagram: its index, and whether it is a round-trip probe.
    std::uint32_t session() const { return word & kSessionMask; }
    bool relayProbe() const { return word & kRelayProbe; }
};

// False when the datagram is too short to be sealed.
bool readHeader(const std::uint8_t* datagram, std::size_t length, Header* header);
void writeHeader(const Header& header, std::uint8_t* out);

// The secure random source of the platform; false when it failed.
bool randomBytes(std::uint8_t* out, std::size_t length);
// Overwrites memory in a way the compiler does not remove.
void wipe(void* data, std::size_t length);

// One AES-256-GCM key. Used by one thread at a time; a thread that seals while
// another opens gives each its own Cipher with the same key.
class Cipher
{
public:
    Cipher();
    ~Cipher(); // the key schedule is wiped
    Cipher(const Cipher&) = delete;
    Cipher& operator=(const Cipher&) = delete;

    bool setKey(const std::uint8_t key[kKeyBytes]);
    void clear();
    bool ready() const { return impl_ != nullptr; }

    // The raw AEAD: `length` bytes of `in` to `out` (may be the same), the
    // 12-byte nonce, `aad`, and the 16-byte tag. False on failure (or, when
    // opening, a tag that does not match; `out` is then wiped).
    bool encrypt(const std::uint8_t nonce[12], const std::uint8_t* aad, std::size_t aadLength,
                 const std::uint8_t* in, std::size_t length, std::uint8_t* out, std::uint8_t tag[kTagBytes]);
    bool decrypt(const std::uint8_t nonce[12], const std::uint8_t* aad, std::size_t aadLength,
                 const std::uint8_t* in, std::size_t length, std::uint8_t* out,
                 const std::uint8_t tag[kTagBytes]);

    // A datagram in place: the payload of `length` bytes lies at
    // datagram + kHeaderBytes; the header goes before it and the tag after
    // it. Returns the datagram's size (length + kOverhead), 0 on failure.
    std::size_t seal(const Header& header, std::uint8_t* datagram, std::size_t length);
    // The same with the payload read from `payload` (which may be datagram + kHeaderBytes).
    std::size_t seal(const Header& header, const std::uint8_t* payload, std::size_t length,
                     std::uint8_t* datagram);
    // Opens a datagram in place; the payload is then at datagram +
    // kHeaderBytes. Returns its length, or -1 when the datagram does not open.
    long open(std::uint8_t* datagram, std::size_t length);

private:
    struct Impl;
    Impl* impl_ = nullptr;
};

// Which counters were seen: the newest and the 4,032 before it. Check before
// opening, accept only after the datagram opened, so that forged counters
// cannot move the window.
class ReplayWindow
{
public:
    static constexpr std::uint64_t kSpan = 4096 - 64;
    bool fresh(std::uint64_t counter) const;
    void accept(std::uint64_t counter);
    void reset();

private:
    static constexpr std::size_t kWords = 64;
    std::uint64_t bits_[kWords] = {};
    std::uint64_t newest_ = 0;
    bool any_ = false;
};

} // namespace seal
