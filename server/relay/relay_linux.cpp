#include "server/relay/relay.h"

#include "protocol/heartbeat.h"
#include "protocol/scramble.h"

#include "server/relay/relaycore.h"
#include "server/serverlog.h"
#include "server/relay/udpbatch_linux.h"

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

// Rounds of receiving before the loop polls again and looks at the wake-up
// descriptor; bounds how long a flood can delay a stop.
constexpr int kRoundsPerWake = 64;

} // namespace

struct Relay::Impl {
    explicit Impl(RouteExchange& e) : exchange(e) {}

    RouteExchange& exchange;
    UdpBatchSocket socket;
    UdpBatchSocket mapping; // closed unless opened
    int wakeFd = -1; // written on stop and on every new route table
    std::atomic<bool> stopping{false};
    std::atomic<bool> held{false}; // a test stands for a stuck thread
    std::thread thread;
    RelayBudget budget;
    // Translated copies of the batch's datagrams, one slot per datagram,
    // alive until the batch is flushed.
    std::vector<std::uint8_t> variants =
        std::vector<std::uint8_t>(std::size_t{UdpBatchSocket::kReceiveBatch} * relay::kMaxTranslated);
    // Scrambled copies of opened sealed datagrams for plain recipients, likewise.
    std::vector<std::uint8_t> scrambledCopies =
        std::vector<std::uint8_t>(std::size_t{UdpBatchSocket::kReceiveBatch} * relay::kMaxDatagram);
    // Copies sealed for sealed recipients, alive until the queue is flushed.
    static constexpr std::size_t kSealedSize = relay::kMaxTranslated + seal::kOverhead;
    std::vector<std::uint8_t> sealed =
        std::vector<std::uint8_t>(std::size_t{UdpBatchSocket::kSendBatch} * kSealedSize);
    std::size_t sealedUsed = 0;

    void run();
    void forwardBatch(RelayCore& core, int received, TargetList& targets);
    void flush(RelayCore& core);
    bool wait();
    bool mappingReady = false; // the last wait found the mapping port readable
};

// Both sockets and the wake-up descriptor; false when woken (or the wait failed).
bool Relay::Impl::wait()
{
    pollfd fds[3] = {{wakeFd, POLLIN, 0}, {socket.fd(), POLLIN, 0}, {mapping.fd(), POLLIN, 0}};
    const int n = ::poll(fds, mapping.fd() >= 0 ? 3 : 2, -1);
    mappingReady = n > 0 && (fds[2].revents & POLLIN);
    if (n < 0)
        return errno == EINTR;
    return !(fds[0].revents & POLLIN);
}

void Relay::Impl::flush(RelayCore& core)
{
    const UdpBatchSocket::Flushed f = socket.flush();
    sealedUsed = 0;
    core.counters()[CounterForwarded] += static_cast<std::uint64_t>(f.sent);
    core.counters()[DropSendError] += static_cast<std::uint64_t>(f.failed);
    core.counters()[DropSendBufferFull] += static_cast<std::uint64_t>(f.full);
}

void Relay::Impl::forwardBatch(RelayCore& core, int received, TargetList& targets)
{
    const std::int64_t now = monotonicMs();
    for (int i = 0; i < received; ++i) {
        const std::uint8_t* data = socket.data(i);
        const std::size_t length = socket.length(i);
        if (socket.truncated(i)) {
            ++core.counters()[CounterIn];
            ++core.counters()[DropOversize];
            continue;
        }
        // Only heartbeats record where they arrived; skip the control
        // message walk for everything else.
        const bool maybeHeartbeat = heartbeat::isPlain(data, length) || heartbeat::maybeSealed(data, length);
        const LocalAddress local = maybeHeartbeat ? socket.destination(i) : LocalAddress();
        const RelayCounter verdict = core.handle(data, length, socket.source(i), local, now, targets);
        // A sealed member's traffic that moved its endpoint: replies leave from where it arrived.
        if (core.moved() != RelayCore::kNoSlot && !maybeHeartbeat)
            core.setLocal(core.moved(), socket.destination(i));
        if (verdict != CounterForwarded)
            continue;
        // An opened datagram lives in the core until the next one, not
        // scrambled: sealed members get it sealed from there at once, plain
        // ones share a scrambled copy that the queue keeps until the flush.
        const bool clear = targets.payloadClear;
        std::uint8_t* scrambled = scrambledCopies.data() + std::size_t(i) * relay::kMaxDatagram;
        bool copied = false;
        std::uint8_t* variant = variants.data() + std::size_t(i) * relay::kMaxTranslated;
        if (targets.variantLength)
            std::memcpy(variant, targets.variant.data(), targets.variantLength);
        for (std::size_t t = 0; t < targets.size(); ++t) {
            const std::uint32_t slot = targets[t];
            const bool translated = targets.isVariant(t);
            const bool toSealed = core.isSealed(slot);
            const std::uint8_t* bytes = translated ? variant : targets.payload;
            std::size_t size = translated ? targets.variantLength : targets.payloadLength;
            if (clear && !translated && !toSealed) {
                if (!copied)
                    tunnel::scrambleCopy(scrambled, targets.payload, size);
                copied = true;
                bytes = scrambled;
            }
            if (toSealed) {
                if (sealedUsed == std::size_t{UdpBatchSocket::kSendBatch})
                    flush(core);
                std::uint8_t* out = sealed.data() + sealedUsed * kSealedSize;
                size = core.sealFor(slot, bytes, size, out, clear && !translated,
                                    targets.probe ? seal::kRelayProbe : 0u);
                if (size == 0)
                    continue;
                bytes = out;
                ++sealedUsed;
            }
            core.counters()[CounterBytesForwarded] += size;
            if (!socket.queue(bytes, size, core.peerOf(slot), core.localOf(slot))) {
                flush(core);
                // A sealed copy moves to the front of the emptied store, where the next ones follow it.
                if (toSealed) {
                    std::memmove(sealed.data(), bytes, size);
                    bytes = sealed.data();
                    sealedUsed = 1;
                }
                socket.queue(bytes, size, core.peerOf(slot), core.localOf(slot));
            }
        }
    }
    flush(core);
}

void Relay::Impl::run()
{
    RelayCore core(exchange, budget);
    TargetList targets;
    // No timeout: arming a timer at every sleep costs each datagram time, and
    // nothing here needs a tick. Stop and new route tables come through the
    // wake-up descriptor, so a key withdrawn stops working at once, traffic or not.
    for (;;) {
        if (!wait()) {
            std::uint64_t count = 0;
            // Told to stop, or not woken at all (the wait itself failed): the thread ends.
            const bool woken = ::read(wakeFd, &count, sizeof count) == sizeof count;
            if (!woken || stopping.load(std::memory_order_acquire))
                break;
        }
        while (held.load(std::memory_order_relaxed) && !stopping.load(std::memory_order_acquire))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        exchange.beat();
        // Heartbeats only, at most a batch per wake: a flood there costs
        // the relay no more than one on its own port.
        core.refreshRoutes();
        // Read only when the wait saw it: the relay's own traffic pays no extra call.
        const int mapped = mappingReady ? mapping.receive() : 0;
        for (int i = 0; i < mapped; ++i)
            core.mappingProbe(mapping.data(i), mapping.truncated(i) ? 0 : mapping.length(i),
                              mapping.source(i), monotonicMs());
        if (mapped > 0)
            exchange.storeCounters(core.counters());
        for (int round = 0; round < kRoundsPerWake; ++round) {
            core.refreshRoutes();
            const int received = socket.receive();
            if (received == 0)
                break;
            forwardBatch(core, received, targets);
            exchange.storeCounters(core.counters());
            if (received < UdpBatchSocket::kReceiveBatch)
                break;
        }
    }
    exchange.storeCounters(core.counters());
}

Relay::Relay(RouteExchange& exchange, RelayBudget budget) : d_(new Impl(exchange))
{
    d_->budget = budget;
}

Relay::~Relay()
{
    d_->exchange.setWaker(nullptr);
    stop();
    if (d_->wakeFd >= 0)
        ::close(d_->wakeFd);
}

bool Relay::open(const QHostAddress& address, quint16 port, QString* error)
{
    if (d_->wakeFd < 0)
        d_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d_->wakeFd < 0) {
        *error = QStringLiteral("eventfd failed");
        return false;
    }
    if (!d_->socket.open(address, port, error))
        return false;
    const int fd = d_->wakeFd;
    d_->exchange.setWaker([fd] {
        const std::uint64_t one = 1;
        // A full counter already wakes the thread.
        (void)!::write(fd, &one, sizeof one);
    });
    // Bursts from a full room outrun the default buffers; the kernel grants
    // more only up to net.core.rmem_max / wmem_max (see the README).
    const int granted = std::min(d_->socket.receiveBuffer(), d_->socket.sendBuffer());
    if (granted < UdpBatchSocket::kWantedBuffer)
        serverlog::warn(
            QStringLiteral(
                "relay: socket buffers of %1 KiB only (wanted %2 KiB); raise net.core.rmem_max and "
                "net.core.wmem_max")
                .arg(QString::number(granted / 1024), QString::number(UdpBatchSocket::kWantedBuffer / 1024)));
    return true;
}

void Relay::holdForTest(bool held)
{
    d_->held.store(held, std::memory_order_relaxed);
}

quint16 Relay::port() const
{
    return d_->socket.localPort();
}

bool Relay::openMapping(const QHostAddress& address, quint16 port, QString* error)
{
    return d_->mapping.open(address, port, error);
}

quint16 Relay::mappingPort() const
{
    return d_->mapping.fd() >= 0 ? d_->mapping.localPort() : 0;
}

void Relay::start()
{
    if (d_->thread.joinable() || d_->socket.fd() < 0)
        return;
    d_->stopping.store(false, std::memory_order_relaxed);
    d_->thread = std::thread([this] { d_->run(); });
}

void Relay::stop()
{
    if (!d_->thread.joinable())
        return;
    d_->stopping.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    if (::write(d_->wakeFd, &one, sizeof one) != sizeof one)
        serverlog::write(serverlog::Level::Error, QStringLiteral("relay: cannot wake the relay thread"));
    d_->thread.join();
}
