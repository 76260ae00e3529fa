// A router of the test's own for the port keeper: counts what it is asked,
// keeps what it mapped, and can refuse or hang.
#pragma once

#include "net/portmap.h"

#include <atomic>
#include <map>

namespace fakerouter {

constexpr std::uint32_t kPublic = 0xC6336407; // 198.51.100.7

struct Router
{
    std::mutex lock;
    std::condition_variable released;
    bool hang = false; // every call waits until cleared
    std::atomic<bool> refuse{false};
    std::atomic<std::uint32_t> grant{0}; // the lease granted; 0: as asked
    int calls = 0, maps = 0, renewals = 0;
    std::map<std::uint16_t, std::uint16_t> live; // outside port -> inside port

    int read(int Router::*counter)
    {
        const std::lock_guard<std::mutex> held(lock);
        return this->*counter;
    }
    std::map<std::uint16_t, std::uint16_t> mapped()
    {
        const std::lock_guard<std::mutex> held(lock);
        return live;
    }
    void setHang(bool on)
    {
        const std::lock_guard<std::mutex> held(lock);
        hang = on;
        released.notify_all();
    }
};

class FakeRouter : public portmap::Router
{
public:
    explicit FakeRouter(std::shared_ptr<fakerouter::Router> router) : r(std::move(router)) {}
    std::optional<portmap::Mapping> map(std::uint16_t port, std::uint32_t lease,
                                        const portmap::Mapping* renewing) override
    {
        std::unique_lock<std::mutex> held(r->lock);
        ++r->calls;
        r->released.wait(held, [this] { return !r->hang; });
        ++(renewing ? r->renewals : r->maps);
        if (r->refuse)
            return std::nullopt;
        r->live[port] = port;
        return portmap::Mapping{kPublic, port, port, r->grant ? r->grant.load() : lease, portmap::Via::Upnp};
    }
    void unmap(const portmap::Mapping& mapping) override
    {
        std::unique_lock<std::mutex> held(r->lock);
        r->released.wait(held, [this] { return !r->hang; });
        r->live.erase(mapping.port);
    }

private:
    std::shared_ptr<fakerouter::Router> r;
};

} // namespace fakerouter
