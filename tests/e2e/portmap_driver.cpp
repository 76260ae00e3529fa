// The client's port keeper and the system's router code (with the argument
// "own": our own client) on a UDP socket of its own, driven by commands on
// stdin, one answer line each:
//   map    wants the socket's port mapped: "mapped ADDR:PORT lease S" or "none"
//   renew  a lease later, as "map" once the router renewed it ("none" else)
//   recv   one datagram within 5 s: "got TEXT" or "nothing"
//   leave  no longer wants it: "left" once the router was told
//   (end of input) ends as the client does: "exited" once the router was told
// It first prints "port N", the socket's port.
#include "net/portmap.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

std::int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Polls `done` every 50 ms for at most `ms`.
template <typename Done> bool waitFor(Done done, int ms)
{
    for (const std::int64_t end = steadyMs() + ms; !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        if (steadyMs() > end)
            return false;
    return true;
}

// The router as the keeper asks it, noting whether the last renewal was granted.
struct Noting : portmap::Router
{
    std::unique_ptr<portmap::Router> router;
    std::atomic<bool> renewed{false};
    std::optional<portmap::Mapping> map(std::uint16_t port, std::uint32_t lease,
                                        const portmap::Mapping* renewing) override
    {
        std::optional<portmap::Mapping> made = router->map(port, lease, renewing);
        renewed = renewing && made;
        return made;
    }
    void unmap(const portmap::Mapping& mapping) override { router->unmap(mapping); }
};

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t length = sizeof local;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 1;
    const std::uint16_t port = ntohs(local.sin_port);
    auto noting = std::make_unique<Noting>();
    noting->router =
        argc > 1 && std::string(argv[1]) == "own" ? portmap::ownRouter() : portmap::systemRouter();
    Noting* router = noting.get();
    std::atomic<std::int64_t> skipped{0};
    auto keeper = std::make_unique<portmap::Keeper>(
        std::move(noting), [&] { return steadyMs() + skipped; }, [] {});
    say("port " + std::to_string(port));
    for (std::string command; std::getline(std::cin, command);) {
        if (command == "map" || command == "renew") {
            if (command == "renew")
                skipped += std::int64_t{portmap::kLeaseSeconds} * 1000;
            keeper->want(port);
            keeper->tick();
            waitFor([&] { return keeper->settled(); }, 20000);
            std::optional<portmap::Mapping> made = keeper->offered();
            if (command == "renew" && !router->renewed)
                made.reset();
            in_addr address{htonl(made ? made->address : 0)};
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &address, text, sizeof text);
            say(made ? "mapped " + std::string(text) + ":" + std::to_string(made->port) + " lease " +
                           std::to_string(made->leaseSeconds)
                     : "none");
        } else if (command == "recv") {
            pollfd ready{fd, POLLIN, 0};
            char datagram[512];
            const ssize_t got = ::poll(&ready, 1, 5000) == 1 ? ::recv(fd, datagram, sizeof datagram, 0) : -1;
            say(got >= 0 ? "got " + std::string(datagram, static_cast<std::size_t>(got)) : "nothing");
        } else if (command == "leave") {
            keeper->want(0);
            say(waitFor([&] { return keeper->settled(); }, 10000) ? "left" : "still busy");
        } else {
            say("unknown command");
        }
    }
    keeper.reset();
    say("exited");
    ::close(fd);
    return 0;
}
