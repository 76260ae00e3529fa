// The tunnel endpoint on Linux: the shared batched layer (recvmmsg/sendmmsg,
// UDP GSO for runs of equal-size packets and GRO on receive where the kernel
// offers them), an eventfd to wake the receiver.
#include "net/udpsocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/udppeer_parse.h"
#include "protocol/udpbatch_linux.h"

#include <algorithm>
#include <cstring>

struct udp::SocketObject {
    int fd = -1;
    int wakeFd = -1;
    bool gso = false; // cleared for good when the kernel refuses a segmented send
    udp::Families families;
    bool mapped = false; // IPv6 carrying IPv4: IPv4 peers are written ::ffff:a.b.c.d
};

namespace udp {
namespace {

// A batch sends or receives; the headers for either are made once.
struct Messages {
    udpbatch::Receiver receiver{kBatch};
    udpbatch::Sender sender{kBatch};
};

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

namespace {

// A socket of `family` bound to an ephemeral port on every local address;
// for IPv6, one that carries IPv4 too when `dual`. -1 when the system refuses any of it.
int make(int family, bool dual)
{
    const int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int v6only = dual ? 0 : 1;
    sockaddr_storage local{};
    local.ss_family = static_cast<sa_family_t>(family);
    const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (fd >= 0 &&
        ((family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) ||
         bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

namespace {

Socket openSocket(const Peer& relay, bool side)
{
    if (relay.length == 0)
        return nullptr;
    sockaddr_storage any{};
    std::memcpy(&any, relay.bytes, sizeof relay.bytes);
    const bool relayV4 = any.ss_family == AF_INET;
    // Dual stack first; a system without IPv6 (or that will not mix) gets the relay's family alone.
    Families families{true, true};
    int fd = make(AF_INET6, true);
    if (fd < 0) {
        families = Families{relayV4, !relayV4};
        fd = make(relayV4 ? AF_INET : AF_INET6, false);
    }
    const int wakeFd = fd < 0 || side ? -1 : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0 || (wakeFd < 0 && !side)) {
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    // Room for a burst while a thread is descheduled (the kernel caps it at its maximum).
    const int buffer = 4 << 20;
    if (!side) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    }
    const bool mapped = families.ipv4 && families.ipv6;
    return new SocketObject{fd, wakeFd, udpbatch::enableOffload(fd), families, mapped};
}

} // namespace

Socket open(const Peer& relay)
{
    return openSocket(relay, false);
}

Socket openSide(const Peer& relay)
{
    return openSocket(relay, true);
}

Families families(Socket socket)
{
    return socket ? socket->families : Families{};
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
    if (socket->wakeFd >= 0)
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
    if (!socket || !to.length)
        return false;
    const Peer at = socket->mapped ? detail::mapped(to) : to;
    return ::sendto(socket->fd, data, length, 0, reinterpret_cast<const sockaddr*>(at.bytes),
                    static_cast<socklen_t>(at.length)) >= 0;
}

void drain(Socket socket)
{
    if (!socket)
        return;
    char sink[1];
    while (recv(socket->fd, sink, sizeof sink, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
}

Batch::Batch() : bytes(new unsigned char[kBatch * kSlotSize]), platform(new Messages)
{
    for (int i = 0; i < kBatch; ++i)
        static_cast<Messages*>(platform)->receiver.attach(i, slot(i), kSlotSize, &from[i]);
}

Batch::~Batch()
{
    delete[] bytes;
    delete static_cast<Messages*>(platform);
}

void sendBatch(Socket socket, const Peer& to, Batch& batch, int count)
{
    auto& sender = static_cast<Messages*>(batch.platform)->sender;
    const Peer at = socket->mapped ? detail::mapped(to) : to;
    for (int i = 0; i < count; ++i)
        sender.add(batch.slot(i), batch.length[i], at);
    // A full send buffer waits a little for room rather than drop the burst;
    // what is still refused is lost, as on a congested path.
    sender.flush(socket->fd, udpbatch::Sender::WhenFull::Wait, &socket->gso);
}

int receiveBatch(Socket socket, Batch& batch)
{
    int which = -1;
    return receiveAny(socket, nullptr, 0, batch, &which);
}

int receiveAny(Socket socket, const Socket* extra, int extraCount, Batch& batch, int* which)
{
    auto& receiver = static_cast<Messages*>(batch.platform)->receiver;
    extraCount = std::min(extraCount, kMaxExtra);
    const int sockets = extraCount + 1;
    for (int round = 0; round < 2; ++round) {
        for (int k = 0; k < sockets; ++k) {
            const int i = (batch.turn + k) % sockets - 1;
            const Socket from = i < 0 ? socket : extra[i];
            const int n = receiver.receive(from->fd);
            if (n == 0)
                continue;
            batch.turn = (batch.turn + k + 1) % sockets;
            *which = i;
            for (int d = 0; d < n; ++d) {
                batch.length[d] = receiver.length(d);
                batch.segment[d] = receiver.segment(d);
                if (from->mapped)
                    detail::unmap(batch.from[d]);
            }
            return n;
        }
        if (round > 0)
            break;
        pollfd fds[kMaxExtra + 2];
        fds[0] = {socket->wakeFd, POLLIN, 0};
        fds[1] = {socket->fd, POLLIN, 0};
        for (int i = 0; i < extraCount; ++i)
            fds[i + 2] = {extra[i]->fd, POLLIN, 0};
        if (poll(fds, static_cast<nfds_t>(extraCount + 2), -1) <= 0 || fds[0].revents)
            return 0;
    }
    return 0;
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
