// A UDP socket that receives and sends in batches (recvmmsg / sendmmsg).
// Buffers are allocated once; queued sends point into the receive buffers,
// so a datagram is forwarded without being copied.
#pragma once

#include "server/relay/relaycore.h"

#include <QHostAddress>
#include <QString>

#include <memory>

class UdpBatchSocket
{
public:
    static constexpr int kReceiveBatch = 64;
    static constexpr int kSendBatch = 256;
    // Larger than anything the relay forwards; longer datagrams arrive truncated.
    static constexpr std::size_t kReceiveSize = 2048;

    UdpBatchSocket();
    ~UdpBatchSocket();
    UdpBatchSocket(const UdpBatchSocket&) = delete;
    UdpBatchSocket& operator=(const UdpBatchSocket&) = delete;

    // Binds to `address`:`port` (IPv6 "::" also takes IPv4). On a wildcard
    // address the local address of each datagram is recorded, so that
    // replies can leave from it.
    bool open(const QHostAddress& address, quint16 port, QString* error);
    // Buffer sizes the kernel granted (bytes), to warn when they are small.
    int receiveBuffer() const;
    int sendBuffer() const;
    static constexpr int kWantedBuffer = 16 * 1024 * 1024;
    int fd() const;
    quint16 localPort() const;

    // Waits until a datagram is pending or `wakeFd` becomes readable;
    // returns false when `wakeFd` woke it (or on a fatal error).
    bool wait(int wakeFd, int timeoutMs);

    // Receives what is pending, up to kReceiveBatch datagrams, without waiting.
    int receive();
    const std::uint8_t* data(int i) const;
    std::size_t length(int i) const;
    bool truncated(int i) const;
    const Endpoint& source(int i) const;
    LocalAddress destination(int i) const;

    // Queues a datagram; the bytes must stay valid until flush().
    // Returns false when the queue is full (flush, then queue again).
    bool queue(const std::uint8_t* data, std::size_t length, const Endpoint& to, const LocalAddress& from);
    struct Flushed {
        int sent = 0;
        int failed = 0;
        int full = 0; // dropped at once because the send buffer was full
    };
    Flushed flush();

    // Conversions for callers that hold Qt addresses (tests, benchmarks).
    static Endpoint peerAddress(const QHostAddress& address, quint16 port, bool ipv6Socket);

private:
    struct Buffers;
    std::unique_ptr<Buffers> b_;
    int fd_ = -1;
    bool ipv6_ = false;
    bool pktinfo_ = false;
};
