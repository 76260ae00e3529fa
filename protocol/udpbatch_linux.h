// Batched UDP on Linux (recvmmsg/sendmmsg), written once for the client's
// tunnel socket and the relay: message headers made once, the control
// messages read and written here (sender, local address by pktinfo, GRO and
// GSO sizes), and what a send does when the buffer is full or the kernel
// refuses to segment. Opening, options and waiting stay with each user.
#pragma once

#include "protocol/endpoint.h"

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <vector>

namespace udpbatch {

// The local address a datagram arrived at, as the kernel's in_pktinfo or
// in6_pktinfo; given back as a reply's source, the reply leaves from it.
constexpr std::size_t kPktinfoSize = 20; // room for either

// Turns on GRO for receiving; true when segmented sends (GSO) are possible.
bool enableOffload(int fd);
// Reports each datagram's local address (a socket bound to a wildcard).
void reportDestination(int fd, bool ipv6);

struct ControlSpace;

class Receiver
{
public:
    explicit Receiver(int capacity);
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Slot i reads into `size` bytes at `buffer`, and its sender into `from`.
    void attach(int i, void* buffer, std::size_t size, Endpoint* from);
    // Fills up to `capacity` slots with what is pending now, without
    // waiting; 0 when nothing was (or on an error).
    int receive(int fd);

    const unsigned char* data(int i) const { return static_cast<const unsigned char*>(vectors_[i].iov_base); }
    std::size_t length(int i) const { return headers_[i].msg_len; }
    bool truncated(int i) const { return headers_[i].msg_hdr.msg_flags & MSG_TRUNC; }
    // The size of each datagram GRO coalesced into slot i; 0: one datagram.
    std::size_t segment(int i) const;
    // Writes where datagram i arrived (kPktinfoSize bytes of room) and
    // returns the length; 0 when the socket does not report it.
    std::uint32_t destination(int i, unsigned char* pktinfo) const;

private:
    std::vector<mmsghdr> headers_;
    std::vector<iovec> vectors_;
    std::vector<ControlSpace> control_;
    std::vector<Endpoint*> from_;
};

class Sender
{
public:
    struct Result {
        int sent = 0;
        int failed = 0; // unreachable, too large, filtered
        int full = 0;   // the send buffer was full
    };
    // What a full send buffer does: drop at once (one slow destination must
    // not stall the others) or wait a little for room (one destination).
    enum class WhenFull { Drop, Wait };

    explicit Sender(int capacity);
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Queues a datagram to `to`, from the local address `pktinfo` when it
    // has a length (see Receiver::destination). The bytes and `to` must stay
    // valid until flush(); false when the queue is full.
    bool add(const void* data, std::size_t length, const Endpoint& to, const unsigned char* pktinfo = nullptr,
             std::uint32_t pktinfoLength = 0);
    int queued() const { return queued_; }
    // Sends the queue and empties it. With `gso` set, runs of equal size to
    // one destination leave as one segmented send; a refusal clears it for
    // good and sends one datagram each.
    Result flush(int fd, WhenFull whenFull, bool* gso = nullptr);

private:
    int build(int first, bool segmenting);

    std::vector<mmsghdr> headers_;
    std::vector<iovec> vectors_;
    std::vector<ControlSpace> control_;
    std::vector<const Endpoint*> to_;
    std::vector<std::uint32_t> pktinfoLength_;
    std::vector<int> first_; // per message: its first datagram, then the end
    int queued_ = 0;
};

} // namespace udpbatch
