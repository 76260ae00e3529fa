#include "protocol/udpbatch_linux.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace udpbatch {

static_assert(sizeof(Endpoint::bytes) >= sizeof(sockaddr_in6), "Endpoint too small");
static_assert(kPktinfoSize >= sizeof(in6_pktinfo) && kPktinfoSize >= sizeof(in_pktinfo), "pktinfo too small");

// Room for a pktinfo and a segment size (or the GRO size on receive).
struct alignas(cmsghdr) ControlSpace {
    unsigned char bytes[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(int))];
};

namespace {

// Largest UDP payload of one segmented send.
constexpr std::size_t kGsoBytes = 65000;
// Only bulk transfers' full-size packets are segmented: measured in bench/lan,
// segmenting a game's small packets held a ping behind them for milliseconds.
constexpr std::size_t kGsoMinSegment = 1024;
constexpr int kGsoSegments = 64;
// How long a waiting sender gives a full buffer to drain before dropping.
constexpr int kFullWaitMs = 100;

bool samePktinfo(const unsigned char* a, std::uint32_t aLength, const unsigned char* b, std::uint32_t bLength)
{
    return aLength == bLength && std::memcmp(a, b, aLength) == 0;
}

} // namespace

bool enableOffload(int fd)
{
    const int zero = 0;
    const int one = 1;
    const bool gso = setsockopt(fd, SOL_UDP, UDP_SEGMENT, &zero, sizeof zero) == 0;
    setsockopt(fd, SOL_UDP, UDP_GRO, &one, sizeof one); // without it every datagram comes alone
    return gso;
}

void reportDestination(int fd, bool ipv6)
{
    const int one = 1;
    if (ipv6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
    else
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
}

Receiver::Receiver(int capacity)
    : headers_(static_cast<std::size_t>(capacity)), vectors_(headers_.size()), control_(headers_.size()),
      from_(headers_.size())
{
    std::memset(headers_.data(), 0, headers_.size() * sizeof(mmsghdr));
}

Receiver::~Receiver() = default;

void Receiver::attach(int i, void* buffer, std::size_t size, Endpoint* from)
{
    vectors_[i] = {buffer, size};
    from_[i] = from;
    msghdr& h = headers_[i].msg_hdr;
    h.msg_iov = &vectors_[i];
    h.msg_iovlen = 1;
    h.msg_name = from->bytes;
    h.msg_control = control_[i].bytes;
}

int Receiver::receive(int fd)
{
    for (auto& m : headers_) {
        m.msg_hdr.msg_namelen = sizeof(Endpoint::bytes);
        m.msg_hdr.msg_controllen = sizeof(ControlSpace);
        m.msg_hdr.msg_flags = 0;
    }
    const int n =
        recvmmsg(fd, headers_.data(), static_cast<unsigned>(headers_.size()), MSG_DONTWAIT, nullptr);
    if (n <= 0)
        return 0;
    for (int i = 0; i < n; ++i)
        from_[i]->length = headers_[i].msg_hdr.msg_namelen;
    return n;
}

std::size_t Receiver::segment(int i) const
{
    const msghdr& h = headers_[i].msg_hdr;
    int segment = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&h), c))
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO)
            std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
    return static_cast<std::size_t>(segment);
}

std::uint32_t Receiver::destination(int i, unsigned char* pktinfo) const
{
    const msghdr& h = headers_[i].msg_hdr;
    std::uint32_t length = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&h), c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            // Reply from the address the datagram was sent to; leave the
            // interface to the routing table.
            in_pktinfo reply{};
            reply.ipi_spec_dst = info.ipi_addr;
            std::memcpy(pktinfo, &reply, sizeof reply);
            length = sizeof reply;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            // Link-local addresses need their interface; others route freely.
            if (!IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr))
                info.ipi6_ifindex = 0;
            std::memcpy(pktinfo, &info, sizeof info);
            length = sizeof info;
        }
    }
    return length;
}

Sender::Sender(int capacity)
    : headers_(static_cast<std::size_t>(capacity)), vectors_(headers_.size()), control_(headers_.size()),
      to_(headers_.size()), pktinfoLength_(headers_.size()), first_(headers_.size() + 1)
{
    std::memset(headers_.data(), 0, headers_.size() * sizeof(mmsghdr));
}

Sender::~Sender() = default;

bool Sender::add(const void* data, std::size_t length, const Endpoint& to, const unsigned char* pktinfo,
                 std::uint32_t pktinfoLength)
{
    if (queued_ == static_cast<int>(headers_.size()))
        return false;
    const int i = queued_++;
    vectors_[i] = {const_cast<void*>(data), length};
    to_[i] = &to;
    // The pktinfo's size names its family; any other length sends without one.
    if (pktinfoLength != sizeof(in_pktinfo) && pktinfoLength != sizeof(in6_pktinfo))
        pktinfoLength = 0;
    pktinfoLength_[i] = pktinfoLength;
    if (pktinfoLength) {
        msghdr h{};
        h.msg_control = control_[i].bytes;
        h.msg_controllen = sizeof(ControlSpace);
        cmsghdr* c = CMSG_FIRSTHDR(&h);
        const bool v6 = pktinfoLength == sizeof(in6_pktinfo);
        c->cmsg_level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
        c->cmsg_type = v6 ? IPV6_PKTINFO : IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(pktinfoLength);
        std::memcpy(CMSG_DATA(c), pktinfo, pktinfoLength);
    }
    return true;
}

// Makes one message per datagram from `first` on, or per run of equal size
// (the last may be shorter) to one destination from one source when
// segmenting; returns how many.
int Sender::build(int first, bool segmenting)
{
    int messages = 0;
    for (int i = first; i < queued_;) {
        const std::size_t size = vectors_[i].iov_len;
        int run = 1;
        while (segmenting && size >= kGsoMinSegment && i + run < queued_ && run < kGsoSegments &&
               static_cast<std::size_t>(run + 1) * size <= kGsoBytes) {
            const int k = i + run;
            const std::size_t next = vectors_[k].iov_len;
            if (next > size || !(*to_[k] == *to_[i]) ||
                !samePktinfo(control_[k].bytes, pktinfoLength_[k], control_[i].bytes, pktinfoLength_[i]))
                break;
            ++run;
            if (next < size)
                break;
        }
        msghdr& h = headers_[messages].msg_hdr;
        h = {};
        h.msg_name = const_cast<unsigned char*>(to_[i]->bytes);
        h.msg_namelen = to_[i]->length;
        h.msg_iov = &vectors_[i];
        h.msg_iovlen = static_cast<std::size_t>(run);
        if (pktinfoLength_[i]) {
            h.msg_control = control_[i].bytes;
            h.msg_controllen = CMSG_SPACE(pktinfoLength_[i]);
        }
        if (run > 1) {
            h.msg_control = control_[i].bytes;
            const std::size_t before = h.msg_controllen;
            h.msg_controllen = before + CMSG_SPACE(sizeof(std::uint16_t));
            auto* c = reinterpret_cast<cmsghdr*>(control_[i].bytes + before);
            c->cmsg_level = SOL_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
            const auto segment = static_cast<std::uint16_t>(size);
            std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
        }
        first_[messages++] = i;
        i += run;
    }
    first_[messages] = queued_;
    return messages;
}

Sender::Result Sender::flush(int fd, WhenFull whenFull, bool* gso)
{
    Result result;
    int messages = build(0, gso && *gso);
    for (int next = 0; next < messages;) {
        const int n = sendmmsg(fd, headers_.data() + next, static_cast<unsigned>(messages - next), 0);
        if (n > 0) {
            result.sent += first_[next + n] - first_[next];
            next += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        const int dropped = first_[next + 1] - first_[next];
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd out{fd, POLLOUT, 0};
            if (whenFull == WhenFull::Wait && poll(&out, 1, kFullWaitMs) > 0)
                continue;
            result.full += dropped;
        } else if (headers_[next].msg_hdr.msg_iovlen > 1) {
            // Offload refused (device or kernel): one datagram each from here on.
            *gso = false;
            messages = build(first_[next], false);
            next = 0;
            continue;
        } else if (errno == ENOBUFS) {
            result.full += dropped;
        } else {
            result.failed += dropped;
        }
        ++next; // lost, as on a congested path
    }
    queued_ = 0;
    return result;
}

} // namespace udpbatch
