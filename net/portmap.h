// A UDP port forwarded on the player's own router (UPnP-IGD or NAT-PMP), so
// that a peer behind a NAT that hole punching cannot pass still reaches the
// tunnel socket directly. The router's calls block for seconds, so they run
// on a thread of the keeper's own; nobody waits for them but the exit, and
// that only for a bounded time. Qt-free.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace portmap {

enum class Via { Upnp, NatPmp };

struct Mapping
{
    std::uint32_t address = 0; // the router's public IPv4 address, host order
    std::uint16_t port = 0;    // outside
    std::uint16_t internalPort = 0;
    std::uint32_t leaseSeconds = 0; // as granted; 0: until removed
    Via via = Via::Upnp;
};

// One router, asked from the keeper's thread only. Every call returns within
// a few seconds, whatever the router does.
class Router
{
public:
    virtual ~Router() = default;
    // Forwards UDP `internalPort` outside to this machine, on the same port
    // when free, else on whichever the router gives. `renewing`: the mapping
    // this one extends. Nothing when no router answers or it refuses.
    virtual std::optional<Mapping> map(std::uint16_t internalPort, std::uint32_t leaseSeconds,
                                       const Mapping* renewing) = 0;
    virtual void unmap(const Mapping& mapping) = 0;
};

// The routers this build asks: through miniupnpc and libnatpmp where Linux
// has them (net/portmap_linux.cpp), else with our own client.
std::unique_ptr<Router> systemRouter();
// Our own UPnP-IGD and NAT-PMP client (net/portmap_own.cpp), on every platform.
std::unique_ptr<Router> ownRouter();

// What a client asks: the system's, unless replaced. Tests replace it with
// their own or none, so that no test reaches a real router.
using RouterMaker = std::function<std::unique_ptr<Router>()>;
void replaceSystemRouter(RouterMaker maker);
std::unique_ptr<Router> clientRouter();

constexpr std::uint32_t kLeaseSeconds = 3600;
constexpr std::int64_t kRetryMs = 5 * 60 * 1000; // after no router answered
constexpr int kExitWaitMs = 3000;                // for the removal at exit

// Keeps one port mapped while it is wanted: maps it, renews it at half its
// lease, removes it when no longer wanted and at the end.
class Keeper
{
public:
    using Clock = std::function<std::int64_t()>; // monotonic ms
    // Called on the keeper's thread, under its lock, when offered() may have
    // changed: it may only hand the news over, never call back.
    using Changed = std::function<void()>;

    Keeper(std::unique_ptr<Router> router, Clock clock, Changed changed, int exitWaitMs = kExitWaitMs);
    // Removes the mapping, waiting at most exitWaitMs for the router; a
    // router that takes longer finishes on its own.
    ~Keeper();
    Keeper(const Keeper&) = delete;
    Keeper& operator=(const Keeper&) = delete;

    // Wants `port` mapped (0: none); returns at once.
    void want(std::uint16_t port);
    // Renews or retries once due; cheap, for a timer of a few seconds.
    void tick();
    // The mapping in force for the wanted port.
    std::optional<Mapping> offered() const;
    // Nothing under way or due now (tests).
    bool settled() const;

private:
    struct State;
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state;
    std::thread worker;
    int exitWaitMs;
};

} // namespace portmap
