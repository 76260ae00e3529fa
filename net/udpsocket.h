// The tunnel's one UDP endpoint, Qt-free: the GUI thread sends heartbeats
// through it and drains it while no engine runs; the engine's two threads
// send and receive batches on it. One unit per platform (Winsock, Linux).
#pragma once

#include "protocol/endpoint.h"

#include <cstddef>
#include <cstdint>

namespace udp {

// An address and port in the platform's socket address form.
using Peer = Endpoint;

// A numeric IPv4 or IPv6 address; anything else (a host name) gives a peer of length 0.
Peer parsePeer(const char* address, std::uint16_t port);
bool samePeer(const Peer& a, const Peer& b);

struct SocketObject; // descriptor, the receiver's wake and the offload flags
using Socket = SocketObject*;

// Bound to an ephemeral port on every local address: of both families where
// the system allows one IPv6 socket to carry IPv4 too (direct peers may be
// reachable by either, whatever the relay's), else of the relay's family.
// Null when the peer is unusable or no socket could be made. Datagrams from
// IPv4 peers read as IPv4 addresses either way.
Socket open(const Peer& relay);
// One more local port of the same kind, for a birthday probe: bound like
// open()'s, with no wake of its own and default buffers.
Socket openSide(const Peer& relay);
struct Families {
    bool ipv4 = false;
    bool ipv6 = false;
};
// The address families this socket can send to.
Families families(Socket socket);
void close(Socket socket);
// For the GUI thread's read notifier while no engine runs.
std::intptr_t descriptor(Socket socket);
std::uint16_t localPort(Socket socket);

// One datagram; a failure is ignored by the callers.
bool send(Socket socket, const Peer& to, const void* data, std::size_t length);
// Reads and drops every datagram pending now, without waiting.
void drain(Socket socket);

// Up to kBatch datagrams in buffers that live as long as the batch.
constexpr int kBatch = 32;
constexpr std::size_t kSlotSize = 65536; // one datagram, or a coalesced run of them

struct Batch {
    Batch();
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    unsigned char* slot(int i) const { return bytes + static_cast<std::size_t>(i) * kSlotSize; }
    unsigned char* bytes;
    std::size_t length[kBatch] = {};
    std::size_t segment[kBatch] = {}; // receive: datagram size inside a coalesced slot (0: one datagram)
    Peer from[kBatch];
    void* platform; // message headers, made once
    int turn = 0;   // receiveAny(): which socket is asked first
};

// Sends slots 0..count-1 to `to`, one datagram each; runs of equal size may
// leave as one segmentation-offload send that the kernel cuts back into
// exactly those datagrams.
void sendBatch(Socket socket, const Peer& to, Batch& batch, int count);
// Blocks until datagrams arrive or wakeReceiver() is called; returns how
// many slots were filled (0 after a wake or an error).
int receiveBatch(Socket socket, Batch& batch);
// Like receiveBatch, and from up to kMaxExtra more sockets (a birthday
// probe's ports) too, in turn: `*which` says which one's datagrams the batch
// holds, -1 the socket's own.
constexpr int kMaxExtra = 256;
int receiveAny(Socket socket, const Socket* extra, int extraCount, Batch& batch, int* which);
// Makes the receiver's wait return; every later wait returns at once until rearm().
void wakeReceiver(Socket socket);
void rearm(Socket socket);

} // namespace udp
