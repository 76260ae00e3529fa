// The tunnel's data path, off the GUI thread and Qt-free. The outbound
// thread reads packets or frames from the adapter, scrambles them and sends
// them to the relay itself; the inbound thread receives datagrams, keeps
// those from the relay's address and port, drops heartbeat-shaped ones,
// unscrambles the rest and writes them to the adapter itself. Packets for a
// peer on a direct path go to it sealed with the pair's key instead, and
// datagrams from elsewhere than the relay are taken only when they open
// under a pair's key. Per packet there is no lock, no allocation and no
// queued call.
#pragma once

#include "net/directpaths.h"
#include "net/readerthread.h"
#include "net/sealsession.h"
#include "net/tap_api.h"
#include "net/udpsocket.h"
#include "net/wintun_api.h"

#include <atomic>
#include <cstddef>
#include <memory>

namespace tunnel {

// What the engine needs of an adapter.
class AdapterPort
{
public:
    virtual ~AdapterPort() = default;
    // One packet or frame into `buffer` without waiting: its size, or 0 when none is ready.
    virtual std::size_t receive(unsigned char* buffer, std::size_t capacity) = 0;
    // Blocks until receive() may find something or wake() was called.
    virtual void wait() = 0;
    virtual void wake() = 0;
    // One inbound packet or frame; a failure drops it. Only the inbound thread calls it.
    virtual void write(const unsigned char* data, std::size_t length) = 0;
};

// The layer-3 ring and the layer-2 device as ports. Neither closes its handle.
std::unique_ptr<AdapterPort> ringPort(wintun::Session session);
std::unique_ptr<AdapterPort> devicePort(tap::Device device);

// Whether the inbound thread hands this datagram on: from the relay, not empty,
// not JSON (a scrambled packet whose first byte happens to be "{" is dropped too).
bool acceptInbound(const udp::Peer& from, const udp::Peer& relay, const unsigned char* data,
                   std::size_t length);

class Engine
{
public:
    Engine() = default;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine();

    // Starts both threads on `port` and `socket`; false (nothing running) when
    // a thread could not be made. While `seal` is active, every datagram is
    // sealed and only datagrams that open reach the adapter. `direct` holds
    // the pairs that may go peer to peer (none: all through the relay).
    bool start(std::unique_ptr<AdapterPort> port, udp::Socket socket, const udp::Peer& relay,
               std::shared_ptr<SealSession> seal = nullptr, std::shared_ptr<DirectPaths> direct = nullptr);
    // Wakes both threads and waits for them, at most `timeoutMs` in all. True
    // when both have ended (or none ran); the port is gone then. A thread
    // still running keeps the port and the socket alive, and a later stop()
    // waits again: the caller must not close the adapter or the socket until
    // stop() has returned true.
    bool stop(int timeoutMs = 1500);
    // Threads exist (running, or not yet ended after a stop).
    bool active() const { return outbound_ || inbound_; }
    // When the relay's traffic last reached the adapter (steadyMs()); 0: not since the start.
    std::int64_t relayHeardMs() const;

    struct State;

private:
    std::shared_ptr<State> state_;
    adapter::ThreadHandle outbound_{};
    adapter::ThreadHandle inbound_{};
};

} // namespace tunnel
