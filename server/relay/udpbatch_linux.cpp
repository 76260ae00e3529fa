#include "server/relay/udpbatch_linux.h"

#include "protocol/udpbatch_linux.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

static_assert(sizeof(LocalAddress::bytes) >= udpbatch::kPktinfoSize, "LocalAddress too small");

namespace {

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
    Endpoint sources[kReceiveBatch];
    udpbatch::Receiver receiver{kReceiveBatch};
    udpbatch::Sender sender{kSendBatch};
};

UdpBatchSocket::UdpBatchSocket() : b_(new Buffers)
{
    for (int i = 0; i < kReceiveBatch; ++i)
        b_->receiver.attach(i, b_->payload.data() + std::size_t(i) * kReceiveSize, kReceiveSize,
                            &b_->sources[i]);
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
    if (pktinfo_)
        udpbatch::reportDestination(fd_, ipv6_);
    setBuffer(fd_, SO_RCVBUF, SO_RCVBUFFORCE);
    setBuffer(fd_, SO_SNDBUF, SO_SNDBUFFORCE);

    const Endpoint local = peerAddress(anyV6 ? QHostAddress(QHostAddress::AnyIPv6) : address, port, ipv6_);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(local.bytes), local.length) != 0) {
        *error = errnoText("bind");
        ::close(fd_);
        fd_ = -1;
        return false;
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
    return b_->receiver.receive(fd_);
}

const std::uint8_t* UdpBatchSocket::data(int i) const
{
    return b_->receiver.data(i);
}

std::size_t UdpBatchSocket::length(int i) const
{
    return b_->receiver.length(i);
}

bool UdpBatchSocket::truncated(int i) const
{
    return b_->receiver.truncated(i);
}

const Endpoint& UdpBatchSocket::source(int i) const
{
    return b_->sources[i];
}

LocalAddress UdpBatchSocket::destination(int i) const
{
    LocalAddress local;
    if (pktinfo_)
        local.length = b_->receiver.destination(i, local.bytes);
    return local;
}

bool UdpBatchSocket::queue(const std::uint8_t* data, std::size_t length, const Endpoint& to,
                           const LocalAddress& from)
{
    return b_->sender.add(data, length, to, from.bytes, from.length);
}

UdpBatchSocket::Flushed UdpBatchSocket::flush()
{
    // A full send buffer drops the datagram at once: waiting on one slow
    // destination would stall every room.
    const auto r = b_->sender.flush(fd_, udpbatch::Sender::WhenFull::Drop);
    Flushed result;
    result.sent = r.sent;
    result.failed = r.failed;
    result.full = r.full;
    return result;
}
