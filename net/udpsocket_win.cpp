// The tunnel endpoint on Windows, with Winsock. Batches are sent and received
// one datagram per call; the receiver waits in WSAPoll() and is woken by a
// datagram the stop sends to the socket's own port over loopback (it fails
// the relay check like any stranger's). Qt-free.
#include "net/udpsocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/udppeer_parse.h"

#include <cstring>

struct udp::SocketObject {
    SOCKET handle = INVALID_SOCKET;
    udp::Families families;
    bool mapped = false; // IPv6 carrying IPv4: IPv4 peers are written ::ffff:a.b.c.d
};

namespace udp {
namespace {

bool startWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

} // namespace

Peer parsePeer(const char* address, std::uint16_t port)
{
    if (!startWinsock())
        return Peer{};
    return detail::parseNumericPeer(address, port);
}

bool samePeer(const Peer& a, const Peer& b)
{
    sockaddr_in6 x{};
    sockaddr_in6 y{};
    std::memcpy(&x, a.bytes, sizeof x);
    std::memcpy(&y, b.bytes, sizeof y);
    if (a.length == 0 || x.sin6_family != y.sin6_family || x.sin6_port != y.sin6_port)
        return false;
    if (x.sin6_family == AF_INET) {
        sockaddr_in p{};
        sockaddr_in q{};
        std::memcpy(&p, a.bytes, sizeof p);
        std::memcpy(&q, b.bytes, sizeof q);
        return p.sin_addr.s_addr == q.sin_addr.s_addr;
    }
    return std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
}

namespace {

// A bound, non-blocking socket of `family`; for IPv6, one that carries IPv4
// too when `dual`. INVALID_SOCKET when the system refuses any of it.
SOCKET make(int family, bool dual)
{
    const SOCKET handle = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET)
        return handle;
    const DWORD v6only = dual ? 0 : 1;
    sockaddr_in6 local{};
    local.sin6_family = static_cast<ADDRESS_FAMILY>(family);
    const int length = static_cast<int>(family == AF_INET ? sizeof(sockaddr_in) : sizeof local);
    u_long nonBlocking = 1;
    const char* option = reinterpret_cast<const char*>(&v6only);
    if ((family == AF_INET6 && setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, option, sizeof v6only) != 0) ||
        ::bind(handle, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
        ioctlsocket(handle, FIONBIO, &nonBlocking) != 0) {
        closesocket(handle);
        return INVALID_SOCKET;
    }
    return handle;
}

} // namespace

namespace {

Socket openSocket(const Peer& relay, bool side)
{
    if (relay.length == 0 || !startWinsock())
        return nullptr;
    sockaddr_in6 any{};
    std::memcpy(&any, relay.bytes, sizeof any);
    const bool relayV4 = any.sin6_family == AF_INET;
    // Dual stack first; a system without IPv6 gets the relay's family alone.
    Families families{true, true};
    SOCKET handle = make(AF_INET6, true);
    if (handle == INVALID_SOCKET) {
        families = Families{relayV4, !relayV4};
        handle = make(relayV4 ? AF_INET : AF_INET6, false);
    }
    if (handle == INVALID_SOCKET)
        return nullptr;
    // A datagram that meets a closed port must not end the receiver's reads.
    DWORD off = FALSE;
    DWORD returned = 0;
    constexpr DWORD kConnReset = 0x9800000C; // SIO_UDP_CONNRESET
    WSAIoctl(handle, kConnReset, &off, sizeof off, nullptr, 0, &returned, nullptr, nullptr);
    // Room for a burst on the tunnel's own socket; a birthday's many side ports keep the defaults.
    const int buffer = 4 << 20;
    if (!side) {
        setsockopt(handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
        setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
    }
    return new SocketObject{handle, families, families.ipv4 && families.ipv6};
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
    return static_cast<std::intptr_t>(socket->handle);
}

void close(Socket socket)
{
    if (!socket)
        return;
    closesocket(socket->handle);
    delete socket;
}

std::uint16_t localPort(Socket socket)
{
    sockaddr_in6 local{};
    int length = sizeof local;
    if (!socket || getsockname(socket->handle, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin6_port); // at the same offset in sockaddr_in
}

bool send(Socket socket, const Peer& to, const void* data, std::size_t length)
{
    if (!socket || !to.length)
        return false;
    const Peer at = socket->mapped ? detail::mapped(to) : to;
    return ::sendto(socket->handle, static_cast<const char*>(data), static_cast<int>(length), 0,
                    reinterpret_cast<const sockaddr*>(at.bytes), static_cast<int>(at.length)) != SOCKET_ERROR;
}

void drain(Socket socket)
{
    if (!socket)
        return;
    char sink[2048];
    for (int guard = 0; guard < 100000; ++guard) {
        const int n = ::recv(socket->handle, sink, sizeof sink, 0);
        if (n == SOCKET_ERROR && WSAGetLastError() != WSAEMSGSIZE)
            return; // WSAEWOULDBLOCK: nothing more pending
    }
}

Batch::Batch() : bytes(new unsigned char[kBatch * kSlotSize]), platform(nullptr) {}

Batch::~Batch()
{
    delete[] bytes;
}

void sendBatch(Socket socket, const Peer& to, Batch& batch, int count)
{
    for (int i = 0; i < count; ++i) {
        if (send(socket, to, batch.slot(i), batch.length[i]) || WSAGetLastError() != WSAEWOULDBLOCK)
            continue;
        // A full send buffer: wait a little for room rather than drop the burst.
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(socket->handle, &writable);
        timeval limit{0, 100000};
        if (select(0, nullptr, &writable, nullptr, &limit) > 0)
            send(socket, to, batch.slot(i), batch.length[i]);
    }
}

namespace {

// What one socket holds now, without waiting.
int readPending(Socket socket, Batch& batch)
{
    int count = 0;
    while (count < kBatch) {
        int fromLength = sizeof batch.from[count].bytes;
        const int n = recvfrom(socket->handle, reinterpret_cast<char*>(batch.slot(count)),
                               static_cast<int>(kSlotSize), 0,
                               reinterpret_cast<sockaddr*>(batch.from[count].bytes), &fromLength);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAEMSGSIZE)
                continue; // a report about one datagram; go on with the next
            break;
        }
        batch.length[count] = static_cast<std::size_t>(n);
        batch.segment[count] = 0;
        batch.from[count].length = fromLength;
        if (socket->mapped)
            detail::unmap(batch.from[count]);
        ++count;
    }
    return count;
}

} // namespace

int receiveBatch(Socket socket, Batch& batch)
{
    int which = -1;
    return receiveAny(socket, nullptr, 0, batch, &which);
}

int receiveAny(Socket socket, const Socket* extra, int extraCount, Batch& batch, int* which)
{
    extraCount = extraCount < kMaxExtra ? extraCount : kMaxExtra;
    const int sockets = extraCount + 1;
    for (int round = 0; round < 2; ++round) {
        for (int k = 0; k < sockets; ++k) {
            const int i = (batch.turn + k) % sockets - 1;
            const int count = readPending(i < 0 ? socket : extra[i], batch);
            if (count == 0)
                continue;
            batch.turn = (batch.turn + k + 1) % sockets;
            *which = i;
            return count;
        }
        if (round > 0)
            break;
        // The wake is a datagram to the socket itself: its readiness is enough.
        WSAPOLLFD fds[kMaxExtra + 1];
        fds[0] = {socket->handle, POLLRDNORM, 0};
        for (int i = 0; i < extraCount; ++i)
            fds[i + 1] = {extra[i]->handle, POLLRDNORM, 0};
        if (WSAPoll(fds, static_cast<ULONG>(sockets), -1) <= 0)
            return 0;
    }
    return 0;
}

void wakeReceiver(Socket socket)
{
    // Our own port on loopback: IPv4's wherever the socket carries IPv4, as
    // IPv6's loopback may be switched off.
    const std::uint16_t port = localPort(socket);
    if (port != 0)
        send(socket, parsePeer(socket->families.ipv4 ? "127.0.0.1" : "::1", port), "", 0);
}

void rearm(Socket)
{
    // The wake datagrams left over are read and dropped like any stranger's.
}

} // namespace udp
