#include "server/relay/udpbatch_linux.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kControlSpace = CMSG_SPACE(sizeof(in6_pktinfo));
static_assert(sizeof(Endpoint::bytes) >= sizeof(sockaddr_in6), "Endpoint too small");
static_assert(sizeof(LocalAddress::bytes) >= sizeof(in6_pktinfo), "LocalAddress too small");

struct alignas(cmsghdr) ControlBuffer {
    unsigned char bytes[kControlSpace];
};

void setBuffer(int fd, int option, int forced)
{
    // The FORCE variant lifts the system cap when running with privileges;
    // otherwise net.core.rmem_max / wmem_max cap what is granted.
    const int size = UdpBatchSocket::kWantedBuffer;
    if (setsockopt(fd, SOL_SOCKET, forced, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, option, &size, sizeof size);
}

int bufferSize(int fd, int option)
{
    int size = 0;
    socklen_t length = sizeof size;
    return fd >= 0 && getsockopt(fd, SOL_SOCKET, option, &size, &length) == 0 ? size : 0;
}

QString errnoText(const char* what)
{
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

struct UdpBatchSocket::Buffers {
    std::vector<std::uint8_t> payload = std::vector<std::uint8_t>(kReceiveBatch * kReceiveSize);
    mmsghdr receiveHeaders[kReceiveBatch];
    iovec receiveVectors[kReceiveBatch];
    Endpoint sources[kReceiveBatch];
    ControlBuffer receiveControl[kReceiveBatch];

    mmsghdr sendHeaders[kSendBatch];
    iovec sendVectors[kSendBatch];
    ControlBuffer sendControl[kSendBatch];
    int queued = 0;
};

UdpBatchSocket::UdpBatchSocket() : b_(new Buffers)
{
    std::memset(b_->receiveHeaders, 0, sizeof b_->receiveHeaders);
    std::memset(b_->sendHeaders, 0, sizeof b_->sendHeaders);
    for (int i = 0; i < kReceiveBatch; ++i) {
        b_->receiveVectors[i].iov_base = b_->payload.data() + std::size_t(i) * kReceiveSize;
        b_->receiveVectors[i].iov_len = kReceiveSize;
        msghdr& h = b_->receiveHeaders[i].msg_hdr;
        h.msg_iov = &b_->receiveVectors[i];
        h.msg_iovlen = 1;
        h.msg_name = b_->sources[i].bytes;
    }
    for (int i = 0; i < kSendBatch; ++i) {
        msghdr& h = b_->sendHeaders[i].msg_hdr;
        h.msg_iov = &b_->sendVectors[i];
        h.msg_iovlen = 1;
    }
}

UdpBatchSocket::~UdpBatchSocket()
{
    if (fd_ >= 0)
        ::close(fd_);
}

Endpoint UdpBatchSocket::peerAddress(const QHostAddress& address, quint16 port, bool ipv6Socket)
{
    Endpoint peer;
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    // Qt reads "::" as 0.0.0.0 too; bound as ::ffff:0.0.0.0 it would take IPv4 only.
    isV4 = isV4 && address != QHostAddress(QHostAddress::AnyIPv6);
    if (isV4 && !ipv6Socket) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(v4);
        std::memcpy(peer.bytes, &sa, sizeof sa);
        peer.length = sizeof sa;
        return peer;
    }
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    if (isV4) {
        sa.sin6_addr.s6_addr[10] = 0xFF;
        sa.sin6_addr.s6_addr[11] = 0xFF;
        const quint32 be = htonl(v4);
        std::memcpy(&sa.sin6_addr.s6_addr[12], &be, 4);
    } else {
        const Q_IPV6ADDR a = address.toIPv6Address();
        std::memcpy(sa.sin6_addr.s6_addr, a.c, 16);
        sa.sin6_scope_id = address.scopeId().toUInt();
    }
    std::memcpy(peer.bytes, &sa, sizeof sa);
    peer.length = sizeof sa;
    return peer;
}

bool UdpBatchSocket::open(const QHostAddress& address, quint16 port, QString* error)
{
    bool isV4 = false;
    address.toIPv4Address(&isV4);
    const bool anyV6 = address == QHostAddress::Any || address == QHostAddress::AnyIPv6;
    ipv6_ = !isV4 || anyV6;
    pktinfo_ = anyV6 || address == QHostAddress::AnyIPv4;
    fd_ = ::socket(ipv6_ ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        *error = errnoText("socket");
        return false;
    }
    const int one = 1;
    const int zero = 0;
    if (ipv6_)
        setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, anyV6 ? &zero : &one, sizeof one);
    if (pktinfo_ && ipv6_)
        setsockopt(fd_, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
    else if (pktinfo_)
        setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    setBuffer(fd_, SO_RCVBUF, SO_RCVBUFFORCE);
    setBuffer(fd_, SO_SNDBUF, SO_SNDBUFFORCE);

    const Endpoint local = peerAddress(anyV6 ? QHostAddress(QHostAddress::AnyIPv6) : address, port, ipv6_);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(local.bytes), local.length) != 0) {
        *error = errnoText("bind");
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    if (pktinfo_) {
        for (int i = 0; i < kReceiveBatch; ++i) {
            b_->receiveHeaders[i].msg_hdr.msg_control = b_->receiveControl[i].bytes;
        }
    }
    return true;
}

int UdpBatchSocket::receiveBuffer() const
{
    return bufferSize(fd_, SO_RCVBUF);
}

int UdpBatchSocket::sendBuffer() const
{
    return bufferSize(fd_, SO_SNDBUF);
}

int UdpBatchSocket::fd() const
{
    return fd_;
}

quint16 UdpBatchSocket::localPort() const
{
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    // sin_port and sin6_port sit at the same offset.
    return ntohs(sa.sin6_port);
}

bool UdpBatchSocket::wait(int wakeFd, int timeoutMs)
{
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
    if (n < 0)
        return errno == EINTR;
    return !(wakeFd >= 0 && (fds[1].revents & POLLIN));
}

int UdpBatchSocket::receive()
{
    for (int i = 0; i < kReceiveBatch; ++i) {
        msghdr& h = b_->receiveHeaders[i].msg_hdr;
        h.msg_namelen = sizeof b_->sources[i].bytes;
        h.msg_controllen = pktinfo_ ? kControlSpace : 0;
        h.msg_flags = 0;
    }
    const int n = ::recvmmsg(fd_, b_->receiveHeaders, kReceiveBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0)
        return 0;
    for (int i = 0; i < n; ++i)
        b_->sources[i].length = b_->receiveHeaders[i].msg_hdr.msg_namelen;
    return n;
}

const std::uint8_t* UdpBatchSocket::data(int i) const
{
    return static_cast<const std::uint8_t*>(b_->receiveVectors[i].iov_base);
}

std::size_t UdpBatchSocket::length(int i) const
{
    return b_->receiveHeaders[i].msg_len;
}

bool UdpBatchSocket::truncated(int i) const
{
    return b_->receiveHeaders[i].msg_hdr.msg_flags & MSG_TRUNC;
}

const Endpoint& UdpBatchSocket::source(int i) const
{
    return b_->sources[i];
}

LocalAddress UdpBatchSocket::destination(int i) const
{
    LocalAddress local;
    if (!pktinfo_)
        return local;
    msghdr& h = b_->receiveHeaders[i].msg_hdr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO && !ipv6_) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            // Reply from the address the datagram was sent to; leave the
            // interface to the routing table.
            in_pktinfo reply{};
            reply.ipi_spec_dst = info.ipi_addr;
            std::memcpy(local.bytes, &reply, sizeof reply);
            local.length = sizeof reply;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO && ipv6_) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            // Link-local addresses need their interface; others route freely.
            if (!IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr))
                info.ipi6_ifindex = 0;
            std::memcpy(local.bytes, &info, sizeof info);
            local.length = sizeof info;
        }
    }
    return local;
}

bool UdpBatchSocket::queue(const std::uint8_t* data, std::size_t length, const Endpoint& to,
                           const LocalAddress& from)
{
    if (b_->queued == kSendBatch)
        return false;
    const int i = b_->queued++;
    b_->sendVectors[i].iov_base = const_cast<std::uint8_t*>(data);
    b_->sendVectors[i].iov_len = length;
    msghdr& h = b_->sendHeaders[i].msg_hdr;
    h.msg_name = const_cast<unsigned char*>(to.bytes);
    h.msg_namelen = to.length;
    if (from.length == 0) {
        h.msg_control = nullptr;
        h.msg_controllen = 0;
        return true;
    }
    h.msg_control = b_->sendControl[i].bytes;
    h.msg_controllen = ipv6_ ? CMSG_SPACE(sizeof(in6_pktinfo)) : CMSG_SPACE(sizeof(in_pktinfo));
    cmsghdr* c = CMSG_FIRSTHDR(&h);
    c->cmsg_level = ipv6_ ? IPPROTO_IPV6 : IPPROTO_IP;
    c->cmsg_type = ipv6_ ? IPV6_PKTINFO : IP_PKTINFO;
    c->cmsg_len = ipv6_ ? CMSG_LEN(sizeof(in6_pktinfo)) : CMSG_LEN(sizeof(in_pktinfo));
    std::memcpy(CMSG_DATA(c), from.bytes, from.length);
    return true;
}

UdpBatchSocket::Flushed UdpBatchSocket::flush()
{
    Flushed result;
    int next = 0;
    while (next < b_->queued) {
        const int n = ::sendmmsg(fd_, b_->sendHeaders + next, static_cast<unsigned>(b_->queued - next), 0);
        if (n > 0) {
            result.sent += n;
            next += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        // A full send buffer drops the datagram at once: waiting on one slow
        // destination would stall every room.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
            ++result.full;
        else
            ++result.failed; // unreachable, too large, filtered
        ++next;
    }
    b_->queued = 0;
    return result;
}
