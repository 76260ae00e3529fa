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

#include "net/adapter.h"
#include "net/directpaths.h"
#include "net/readerthread.h"
#include "net/sealsession.h"
#include "net/udpsocket.h"

#include <atomic>
#include <cstddef>
#include <memory>

namespace tunnel {

// What the engine needs of an adapter: receive, wait, wake and write.
using AdapterPort = adapter::Device;

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

    // Starts both threads on `port` and `socket`; false (nothing running, the
    // port dropped) when a thread could not be made. While `seal` is active, every datagram is
    // sealed and only datagrams that open reach the adapter. `direct` holds
    // the pairs that may go peer to peer (none: all through the relay).
    bool start(std::shared_ptr<AdapterPort> port, udp::Socket socket, const udp::Peer& relay,
               std::shared_ptr<SealSession> seal = nullptr, std::shared_ptr<DirectPaths> direct = nullptr);
    // Wakes both threads and waits for them, at most `timeoutMs` in all. True
    // when both have ended (or none ran); the engine's hold on the port is gone
    // then. A thread still running keeps the port and the socket alive, and a
    // later stop() waits again: the caller must not close the socket, nor make
    // another adapter beside this one, until stop() has returned true.
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
