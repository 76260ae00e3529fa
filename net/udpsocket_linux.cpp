// The tunnel endpoint on Linux: recvmmsg/sendmmsg batches, UDP GSO for runs
// of equal-size packets and GRO on receive where the kernel offers them, an
// eventfd to wake the receiver.
#include "net/udpsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/udppeer_parse.h"

#include <cerrno>
#include <cstring>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

struct udp::SocketObject {
    int fd = -1;
    int wakeFd = -1;
    bool gso = false; // cleared for good when the kernel refuses a segmented send
};

namespace udp {
namespace {

// Per message: its header, one iovec per packet for a GSO run, and room for one control message.
struct Messages {
    mmsghdr headers[kBatch];
    iovec vectors[kBatch];
    alignas(cmsghdr) char control[kBatch][CMSG_SPACE(sizeof(std::uint16_t)) + CMSG_SPACE(sizeof(int))];
};

// Largest UDP payload of one segmented send.
constexpr std::size_t kGsoBytes = 65000;
// Only bulk transfers' full-size packets are segmented: measured in bench/lan,
// segmenting a game's small packets held a ping behind them for milliseconds.
constexpr std::size_t kGsoMinSegment = 1024;
constexpr int kGsoSegments = 64;

} // namespace

Peer parsePeer(const char* address, std::uint16_t port)
{
    return detail::parseNumericPeer(address, port);
}

bool samePeer(const Peer& a, const Peer& b)
{
    sockaddr_storage x{};
    sockaddr_storage y{};
    std::memcpy(&x, a.bytes, sizeof a.bytes);
    std::memcpy(&y, b.bytes, sizeof b.bytes);
    if (a.length == 0 || x.ss_family != y.ss_family)
        return false;
    if (x.ss_family == AF_INET) {
        const auto& p = reinterpret_cast<const sockaddr_in&>(x);
        const auto& q = reinterpret_cast<const sockaddr_in&>(y);
        return p.sin_port == q.sin_port && p.sin_addr.s_addr == q.sin_addr.s_addr;
    }
    const auto& p = reinterpret_cast<const sockaddr_in6&>(x);
    const auto& q = reinterpret_cast<const sockaddr_in6&>(y);
    return p.sin6_port == q.sin6_port && std::memcmp(&p.sin6_addr, &q.sin6_addr, sizeof p.sin6_addr) == 0;
}

Socket open(const Peer& relay)
{
    if (relay.length == 0)
        return nullptr;
    sockaddr_storage any{};
    std::memcpy(&any, relay.bytes, sizeof relay.bytes);
    const int family = any.ss_family;
    const int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    sockaddr_storage local{};
    local.ss_family = static_cast<sa_family_t>(family);
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), static_cast<socklen_t>(relay.length)) != 0) {
        ::close(fd);
        if (wakeFd >= 0)
            ::close(wakeFd);
        return nullptr;
    }
    // Room for a burst while a thread is descheduled (the kernel caps it at its maximum).
    const int buffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    auto* socket = new SocketObject{fd, wakeFd};
    const int zero = 0;
    const int one = 1;
    socket->gso = setsockopt(fd, SOL_UDP, UDP_SEGMENT, &zero, sizeof zero) == 0;
    setsockopt(fd, SOL_UDP, UDP_GRO, &one, sizeof one); // without it every datagram comes alone
    return socket;
}

std::intptr_t descriptor(Socket socket)
{
    return socket->fd;
}

void close(Socket socket)
{
    if (!socket)
        return;
    ::close(socket->fd);
    ::close(socket->wakeFd);
    delete socket;
}

std::uint16_t localPort(Socket socket)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (!socket || getsockname(socket->fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(local).sin_port
                                            : reinterpret_cast<sockaddr_in6&>(local).sin6_port);
}

bool send(Socket socket, const Peer& to, const void* data, std::size_t length)
{
    return socket && to.length &&
           ::sendto(socket->fd, data, length, 0, reinterpret_cast<const sockaddr*>(to.bytes),
                    static_cast<socklen_t>(to.length)) >= 0;
}

void drain(Socket socket)
{
    if (!socket)
        return;
    char sink[1];
    while (recv(socket->fd, sink, sizeof sink, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
}

Batch::Batch() : bytes(new unsigned char[kBatch * kSlotSize]), platform(new Messages) {}

Batch::~Batch()
{
    delete[] bytes;
    delete static_cast<Messages*>(platform);
}

namespace {

// Sends packets first..count-1; see sendBatch.
void sendRange(Socket socket, const Peer& to, Batch& batch, int first, int count)
{
    auto& m = *static_cast<Messages*>(batch.platform);
    int start[kBatch];
    int messages = 0;
    for (int i = first; i < count;) {
        // A run of packets of one size (the last may be shorter) goes as one GSO send.
        const std::size_t size = batch.length[i];
        int run = 1;
        while (socket->gso && size >= kGsoMinSegment && i + run < count && run < kGsoSegments &&
               (run + 1) * size <= kGsoBytes) {
            const std::size_t next = batch.length[i + run];
            if (next > size)
                break;
            ++run;
            if (next < size)
                break;
        }
        msghdr& h = m.headers[messages].msg_hdr;
        h = {};
        h.msg_name = const_cast<unsigned char*>(to.bytes);
        h.msg_namelen = static_cast<socklen_t>(to.length);
        h.msg_iov = &m.vectors[i];
        h.msg_iovlen = static_cast<std::size_t>(run);
        for (int k = 0; k < run; ++k)
            m.vectors[i + k] = {batch.slot(i + k), batch.length[i + k]};
        if (run > 1) {
            h.msg_control = m.control[messages];
            h.msg_controllen = CMSG_SPACE(sizeof(std::uint16_t));
            cmsghdr* c = CMSG_FIRSTHDR(&h);
            c->cmsg_level = SOL_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
            const auto segment = static_cast<std::uint16_t>(size);
            std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
        }
        start[messages++] = i;
        i += run;
    }
    for (int sent = 0; sent < messages;) {
        const int n = sendmmsg(socket->fd, m.headers + sent, static_cast<unsigned>(messages - sent), 0);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (errno == EAGAIN || errno == EINTR) {
            // A full send buffer: wait a little for room rather than drop the burst.
            pollfd out{socket->fd, POLLOUT, 0};
            if (poll(&out, 1, 100) > 0)
                continue;
        } else if (socket->gso && m.headers[sent].msg_hdr.msg_controllen) {
            // Offload refused (device or kernel): one datagram each from here on.
            socket->gso = false;
            sendRange(socket, to, batch, start[sent], count);
            return;
        }
        ++sent; // refused: lost, as on a congested path
    }
}

} // namespace

void sendBatch(Socket socket, const Peer& to, Batch& batch, int count)
{
    sendRange(socket, to, batch, 0, count);
}

int receiveBatch(Socket socket, Batch& batch)
{
    auto& m = *static_cast<Messages*>(batch.platform);
    for (int i = 0; i < kBatch; ++i) {
        msghdr& h = m.headers[i].msg_hdr;
        h = {};
        m.vectors[i] = {batch.slot(i), kSlotSize};
        h.msg_iov = &m.vectors[i];
        h.msg_iovlen = 1;
        h.msg_name = batch.from[i].bytes;
        h.msg_namelen = sizeof batch.from[i].bytes;
        h.msg_control = m.control[i];
        h.msg_controllen = sizeof m.control[i];
    }
    int n = recvmmsg(socket->fd, m.headers, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) {
        pollfd fds[2] = {{socket->fd, POLLIN, 0}, {socket->wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) <= 0 || fds[1].revents)
            return 0;
        n = recvmmsg(socket->fd, m.headers, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0)
            return 0;
    }
    for (int i = 0; i < n; ++i) {
        const msghdr& h = m.headers[i].msg_hdr;
        batch.length[i] = m.headers[i].msg_len;
        batch.from[i].length = static_cast<int>(h.msg_namelen);
        batch.segment[i] = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&h), c))
            if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                int segment = 0;
                std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
                batch.segment[i] = static_cast<std::size_t>(segment);
            }
    }
    return n;
}

void wakeReceiver(Socket socket)
{
    const std::uint64_t one = 1;
    (void)!write(socket->wakeFd, &one, sizeof one);
}

void rearm(Socket socket)
{
    std::uint64_t count = 0;
    (void)!read(socket->wakeFd, &count, sizeof count);
}

} // namespace udp
