#include "net/portmap.h"

#include <chrono>
#include <utility>

namespace portmap {

namespace {

std::mutex makerLock;
RouterMaker& maker()
{
    static RouterMaker replaced;
    return replaced;
}

} // namespace

void replaceSystemRouter(RouterMaker replacement)
{
    const std::lock_guard<std::mutex> lock(makerLock);
    maker() = std::move(replacement);
}

std::unique_ptr<Router> clientRouter()
{
    const std::lock_guard<std::mutex> lock(makerLock);
    return maker() ? maker()() : systemRouter();
}

// Shared with the thread, which may outlive the keeper when a router hangs at exit.
struct Keeper::State
{
    std::unique_ptr<Router> router;
    Clock clock;
    Changed changed;
    mutable std::mutex lock;
    std::condition_variable wake;
    std::condition_variable ended;
    std::uint16_t wanted = 0;
    std::optional<Mapping> held; // what the router keeps for us, as far as we know
    std::int64_t dueAt = 0;      // the next map or renewal
    bool kicked = false;
    bool busy = false;
    bool quit = false;
    bool finished = false;

    bool due() const { return wanted != 0 && clock() >= dueAt; }
    void tell()
    {
        if (changed)
            changed();
    }
};

Keeper::Keeper(std::unique_ptr<Router> router, Clock clock, Changed changed, int exitWaitMs)
    : state(std::make_shared<State>()), exitWaitMs(exitWaitMs)
{
    state->router = std::move(router);
    state->clock = std::move(clock);
    state->changed = std::move(changed);
    worker = std::thread([s = state] { run(s); });
}

Keeper::~Keeper()
{
    std::unique_lock<std::mutex> lock(state->lock);
    state->changed = nullptr; // nobody to tell any more
    state->quit = true;
    state->wake.notify_one();
    const bool done = state->ended.wait_for(lock, std::chrono::milliseconds(exitWaitMs),
                                            [this] { return state->finished; });
    lock.unlock();
    if (done)
        worker.join();
    else
        worker.detach(); // it removes what it made once the router lets it go
}

void Keeper::want(std::uint16_t port)
{
    const std::lock_guard<std::mutex> lock(state->lock);
    if (port == state->wanted)
        return;
    state->wanted = port;
    state->dueAt = 0;
    state->kicked = true;
    state->wake.notify_one();
}

void Keeper::tick()
{
    const std::lock_guard<std::mutex> lock(state->lock);
    if (state->due()) {
        state->kicked = true;
        state->wake.notify_one();
    }
}

std::optional<Mapping> Keeper::offered() const
{
    const std::lock_guard<std::mutex> lock(state->lock);
    if (state->held && state->held->internalPort == state->wanted)
        return state->held;
    return std::nullopt;
}

bool Keeper::settled() const
{
    const std::lock_guard<std::mutex> lock(state->lock);
    const bool stale = state->held && state->held->internalPort != state->wanted;
    return !state->busy && !state->kicked && !stale && !state->due();
}

void Keeper::run(const std::shared_ptr<State>& s)
{
    std::unique_lock<std::mutex> lock(s->lock);
    for (;;) {
        s->wake.wait(lock, [&] { return s->kicked || s->quit; });
        s->kicked = false;
        // Whatever was asked meanwhile is looked at again after each call.
        for (;;) {
            if (s->held && (s->quit || s->held->internalPort != s->wanted)) {
                const Mapping gone = *s->held;
                s->busy = true;
                lock.unlock();
                s->router->unmap(gone);
                lock.lock();
                s->busy = false;
                s->held.reset(); // asked to go: no longer ours, whether the router heard or not
                s->tell();
                continue;
            }
            if (s->quit || !s->due())
                break;
            const std::uint16_t port = s->wanted;
            const std::optional<Mapping> renewing = s->held;
            s->busy = true;
            lock.unlock();
            std::optional<Mapping> made =
                s->router->map(port, kLeaseSeconds, renewing ? &*renewing : nullptr);
            lock.lock();
            s->busy = false;
            const std::int64_t now = s->clock();
            if (made) {
                made->internalPort = port;
                const std::uint32_t lease = made->leaseSeconds ? made->leaseSeconds : kLeaseSeconds;
                s->dueAt = now + std::int64_t{lease} * 1000 / 2;
            } else {
                s->dueAt = now + kRetryMs;
            }
            if (s->wanted != port)
                s->dueAt = 0; // another port was asked for meanwhile
            s->held = made;   // a refused renewal leaves nothing we can count on
            s->tell();
        }
        if (s->quit) {
            s->finished = true;
            s->ended.notify_all();
            return;
        }
    }
}

} // namespace portmap
