#include "net/engine.h"

#include "protocol/heartbeat.h"
#include "protocol/scramble.h"

#include <algorithm>
#include <chrono>
#include <cstring>

struct tunnel::Engine::State
{
    std::atomic<bool> running{true};
    std::shared_ptr<AdapterPort> port;
    udp::Socket socket = nullptr;
    udp::Peer relay;
    std::shared_ptr<SealSession> seal;   // inactive: plain
    std::shared_ptr<DirectPaths> direct; // no pairs: everything through the relay
    std::atomic<std::int64_t> relayHeard{0};
    udp::Batch outbound;
    udp::Batch inbound;
};

namespace tunnel {
namespace {

using StateRef = std::shared_ptr<Engine::State>;

// Each thread holds its own reference: a thread that outlives the stop's
// limit keeps the port, the batches and the relay address it uses.
unsigned long outboundLoop(void* argument)
{
    const std::unique_ptr<StateRef> ref(static_cast<StateRef*>(argument));
    Engine::State& s = **ref;
    SealSession::View sealer(*s.seal);
    DirectPaths::View paths(*s.direct);
    bool idle = true; // the last read found the adapter empty
    while (s.running) {
        // The first packet after a wait leaves alone, at once: a lone game
        // packet must not also wait for the read that finds the adapter empty.
        // Whatever queued up meanwhile follows in batches.
        const int limit = idle ? 1 : udp::kBatch;
        paths.sync();
        // A direct datagram is sealed even while the relay's are plain.
        const bool direct = !paths.empty();
        int count = 0;
        udp::Peer to = s.relay;      // where the batch goes
        udp::Socket from = s.socket; // and leaves from
        idle = false;
        for (int read = 0; read < limit; ++read) {
            unsigned char* slot = s.outbound.slot(count);
            const bool sealed = s.seal->active();
            // A sealed packet leaves room for the header before it and the tag after it.
            const bool roomy = sealed || direct;
            unsigned char* payload = roomy ? slot + seal::kHeaderBytes : slot;
            std::size_t size =
                s.port->receive(payload, roomy ? udp::kSlotSize - seal::kOverhead : udp::kSlotSize);
            if (size == 0) {
                idle = true;
                break;
            }
            const DirectPaths::Route* route = direct ? paths.route(payload, size) : nullptr;
            const udp::Peer& destination = route ? route->path : s.relay;
            const udp::Socket leaves = route ? paths.socketOf(*route, s.socket) : s.socket;
            if (route) {
                size = paths.seal(*route, slot, size);
            } else if (sealed) {
                size = sealer.seal(slot, size, false);
            } else {
                if (roomy)
                    std::memmove(slot, payload, size);
                scrambleInPlace(slot, size);
            }
            if (size == 0)
                continue;
            // A batch has one destination: a packet for another sends those before it.
            if (count > 0 && (!(destination == to) || leaves != from)) {
                if (s.running)
                    udp::sendBatch(from, to, s.outbound, count);
                std::memcpy(s.outbound.slot(0), slot, size);
                count = 0;
            }
            to = destination;
            from = leaves;
            s.outbound.length[count++] = size;
        }
        if (count > 0 && s.running) // nothing leaves once stop has begun
            udp::sendBatch(from, to, s.outbound, count);
        // Only after an empty read is waiting safe on every back-end (the
        // ring's event is armed by that read).
        if (idle)
            s.port->wait();
    }
    return 0;
}

unsigned long inboundLoop(void* argument)
{
    const std::unique_ptr<StateRef> ref(static_cast<StateRef*>(argument));
    Engine::State& s = **ref;
    udp::Batch& b = s.inbound;
    SealSession::View opener(*s.seal);
    DirectPaths::View paths(*s.direct);
    std::uint8_t reply[directwire::kProbeBytes];
    std::uint8_t answer[relayprobe::kBytes];
    while (s.running) {
        // A birthday's side ports too; a new set wakes the wait, which takes it up here.
        paths.sync();
        const std::shared_ptr<const DirectPaths::SideSet> side = paths.side();
        int via = -1;
        const int count =
            side ? udp::receiveAny(s.socket, side->sockets.data(), int(side->sockets.size()), b, &via)
                 : udp::receiveBatch(s.socket, b);
        if (count == 0 && s.running)
            udp::rearm(s.socket);
        paths.sync();
        const std::int64_t now = count > 0 ? steadyMs() : 0; // stamps probe answers
        bool relayed = false;                                // something of the relay's reached the adapter
        for (int i = 0; i < count && s.running; ++i) {
            // A coalesced slot holds datagrams of `segment` bytes, the last maybe shorter.
            const std::size_t step = b.segment[i] ? b.segment[i] : std::max<std::size_t>(b.length[i], 1);
            for (std::size_t at = 0; at < b.length[i]; at += step) {
                unsigned char* datagram = b.slot(i) + at;
                const std::size_t size = std::min(step, b.length[i] - at);
                if (via >= 0 || !udp::samePeer(b.from[i], s.relay)) {
                    // Direct: only what opens under a pair's key and keeps the peer rule counts.
                    const DirectPaths::Received got =
                        paths.receive(b.from[i], datagram, size, now, reply, via);
                    if (got.kind == DirectPaths::Inbound::Data) {
                        s.port->write(datagram + seal::kHeaderBytes, got.length);
                    } else if (got.kind == DirectPaths::Inbound::Answer) {
                        udp::send(via >= 0 ? side->sockets[std::size_t(via)] : s.socket, b.from[i], reply,
                                  got.length);
                    }
                    continue;
                }
                if (!acceptInbound(b.from[i], s.relay, datagram, size))
                    continue;
                if (s.seal->active()) {
                    // What does not open (forged, damaged, replayed) is dropped unanswered.
                    bool probe = false;
                    const long opened = opener.open(datagram, size, &probe);
                    if (opened < 0)
                        continue;
                    const auto length = static_cast<std::size_t>(opened);
                    // A round trip's probe is not traffic: its silence after it means nothing.
                    if (!probe) {
                        s.port->write(datagram + seal::kHeaderBytes, length);
                        relayed = true;
                    } else if (s.direct->relayProbe(datagram + seal::kHeaderBytes, length, now,
                                                    answer + seal::kHeaderBytes)) {
                        // A round trip through the relay: answered from here, as long as it came.
                        const std::size_t sealed = opener.seal(answer, relayprobe::kPayload, false, true);
                        if (sealed)
                            udp::send(s.socket, s.relay, answer, sealed);
                    }
                    continue;
                }
                scrambleInPlace(datagram, size);
                s.port->write(datagram, size);
                relayed = true;
            }
        }
        if (relayed)
            s.relayHeard.store(now, std::memory_order_relaxed);
    }
    return 0;
}

} // namespace

bool acceptInbound(const udp::Peer& from, const udp::Peer& relay, const unsigned char* data,
                   std::size_t length)
{
    // Only the relay may feed the adapter; anything else is injection.
    return length > 0 && !heartbeat::isPlain(data, length) && udp::samePeer(from, relay);
}

Engine::~Engine()
{
    stop();
}

bool Engine::start(std::shared_ptr<AdapterPort> port, udp::Socket socket, const udp::Peer& relay,
                   std::shared_ptr<SealSession> seal, std::shared_ptr<DirectPaths> direct)
{
    if (active() || !port || !socket)
        return false;
    state_ = std::make_shared<State>();
    state_->port = std::move(port);
    state_->socket = socket;
    state_->relay = relay;
    state_->seal = seal ? std::move(seal) : std::make_shared<SealSession>();
    state_->direct = direct ? std::move(direct) : std::make_shared<DirectPaths>();
    udp::rearm(socket);
    state_->direct->setSideChanged([socket] { udp::wakeReceiver(socket); });
    const auto launch = [this](adapter::ThreadEntry entry) {
        auto* ref = new StateRef(state_);
        const adapter::ThreadHandle thread = adapter::startThread(entry, ref);
        if (!thread)
            delete ref; // the thread never ran
        return thread;
    };
    outbound_ = launch(outboundLoop);
    inbound_ = outbound_ ? launch(inboundLoop) : nullptr;
    if (!inbound_) {
        stop();
        return false;
    }
    return true;
}

std::int64_t Engine::relayHeardMs() const
{
    return state_ ? state_->relayHeard.load(std::memory_order_relaxed) : 0;
}

bool Engine::stop(int timeoutMs)
{
    if (!state_)
        return true;
    state_->direct->setSideChanged(nullptr);
    state_->running = false;
    constexpr int kSliceMs = 20;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (outbound_ || inbound_) {
        // Again every slice: a wait begun just after a wake must not block the stop.
        state_->port->wake();
        udp::wakeReceiver(state_->socket);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0)
            return false;
        const int slice = static_cast<int>(std::min<long long>(left, kSliceMs));
        adapter::joinThread(outbound_, slice);
        adapter::joinThread(inbound_, outbound_ ? 0 : slice);
    }
    state_.reset();
    return true;
}

} // namespace tunnel
