// A point-to-point link with a fixed one-way delay, for kernels without the
// netem qdisc: two TUN devices, each packet read from one is written to the
// other once it has been held for the set time.
//   pellora-delaylink [--delay-ms MS] [--queue PACKETS] NAME[@NETNS] NAME[@NETNS]
// Each end is made inside the named network namespace (/run/netns/NETNS), or
// the current one; the devices vanish with the process. Prints "ready" once
// both exist; ends on SIGTERM, SIGINT or SIGHUP, or when a device goes away,
// printing what it forwarded and dropped on stderr.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kSlotBytes = 2048; // the devices' MTU is 1500; longer packets are dropped
constexpr int64_t kNsPerMs = 1000000;

int64_t now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// One direction: packets in arrival order, each released `delay` after it came.
// The delay is the same for all, so the oldest is always due first. Memory is
// fixed at start; a full queue drops the newcomer, as a real link's buffer does.
class DelayQueue
{
public:
    explicit DelayQueue(size_t capacity) : m_bytes(capacity * kSlotBytes), m_slots(capacity) {}

    bool full() const { return m_count == m_slots.size(); }
    bool empty() const { return m_count == 0; }
    int64_t headDue() const { return m_slots[m_head].due; }
    char* tailBuffer() { return &m_bytes[((m_head + m_count) % m_slots.size()) * kSlotBytes]; }
    void push(size_t length, int64_t due)
    {
        m_slots[(m_head + m_count) % m_slots.size()] = {length, due};
        ++m_count;
    }
    const char* headBuffer() const { return &m_bytes[m_head * kSlotBytes]; }
    size_t headLength() const { return m_slots[m_head].length; }
    void pop()
    {
        m_head = (m_head + 1) % m_slots.size();
        --m_count;
    }

private:
    struct Slot
    {
        size_t length = 0;
        int64_t due = 0;
    };
    std::vector<char> m_bytes;
    std::vector<Slot> m_slots;
    size_t m_head = 0;
    size_t m_count = 0;
};

struct Counters
{
    unsigned long forwarded = 0, droppedFull = 0, droppedLong = 0, droppedWrite = 0;
};

int openTun(const std::string& spec)
{
    const size_t at = spec.find('@');
    const std::string name = spec.substr(0, at);
    if (name.empty() || name.size() >= IFNAMSIZ) {
        std::fprintf(stderr, "delaylink: bad device name '%s'\n", name.c_str());
        return -1;
    }
    int home = -1;
    if (at != std::string::npos) {
        // The device belongs to the namespace it is made in.
        home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const std::string path = "/run/netns/" + spec.substr(at + 1);
        const int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (home < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "delaylink: namespace %s: %s\n", path.c_str(), std::strerror(errno));
            return -1;
        }
        close(target);
    }
    ifreq request{};
    std::memcpy(request.ifr_name, name.data(), name.size());
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    const bool made = fd >= 0 && ioctl(fd, TUNSETIFF, &request) == 0;
    if (!made)
        std::fprintf(stderr, "delaylink: tun %s: %s\n", name.c_str(), std::strerror(errno));
    if (home >= 0 && setns(home, CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "delaylink: back to our namespace: %s\n", std::strerror(errno));
        return -1;
    }
    if (home >= 0)
        close(home);
    return made ? fd : -1;
}

// Reads every packet waiting on `from` into `queue`.
void take(int from, DelayQueue& queue, int64_t delay, Counters& counters)
{
    char scratch[kSlotBytes];
    for (;;) {
        char* buffer = queue.full() ? scratch : queue.tailBuffer();
        const ssize_t n = read(from, buffer, kSlotBytes);
        if (n < 0)
            return; // EAGAIN: drained
        if (queue.full())
            ++counters.droppedFull;
        else if (size_t(n) >= kSlotBytes) // possibly cut short
            ++counters.droppedLong;
        else
            queue.push(size_t(n), now() + delay);
    }
}

// Writes to `to` every packet of `queue` that is due.
void release(DelayQueue& queue, int to, Counters& counters)
{
    for (const int64_t t = now(); !queue.empty() && queue.headDue() <= t; queue.pop()) {
        if (write(to, queue.headBuffer(), queue.headLength()) == ssize_t(queue.headLength()))
            ++counters.forwarded;
        else
            ++counters.droppedWrite; // device down or its queue full
    }
}

int usage()
{
    std::fputs("usage: pellora-delaylink [--delay-ms MS] [--queue PACKETS] NAME[@NETNS] NAME[@NETNS]\n"
               "  holds each packet MS milliseconds (default 20, fractions allowed) each way;\n"
               "  at most PACKETS (default 1024) wait per direction, more are dropped\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    double delayMs = 20;
    long capacity = 1024;
    std::vector<std::string> ends;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        char* end = nullptr;
        if (arg == "--delay-ms" && i + 1 < argc) {
            delayMs = std::strtod(argv[++i], &end);
            if (*end || !(delayMs >= 0 && delayMs <= 10000))
                return usage();
        } else if (arg == "--queue" && i + 1 < argc) {
            capacity = std::strtol(argv[++i], &end, 10);
            if (*end || capacity < 1 || capacity > 65536)
                return usage();
        } else if (arg.rfind("--", 0) == 0) {
            return usage();
        } else {
            ends.push_back(arg);
        }
    }
    if (ends.size() != 2)
        return usage();

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int stop = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    const int tun[2] = {openTun(ends[0]), openTun(ends[1])};
    if (stop < 0 || tun[0] < 0 || tun[1] < 0)
        return 1;
    std::puts("ready");
    std::fflush(stdout);

    const auto delay = int64_t(delayMs * double(kNsPerMs));
    DelayQueue queue[2] = {DelayQueue(size_t(capacity)), DelayQueue(size_t(capacity))}; // [i]: from tun[i]
    Counters counters;
    pollfd fds[3] = {{tun[0], POLLIN, 0}, {tun[1], POLLIN, 0}, {stop, POLLIN, 0}};
    for (bool running = true; running;) {
        // Sleep until a packet comes or the oldest held one is due.
        int64_t wait = -1;
        for (const DelayQueue& q : queue)
            if (!q.empty()) {
                const int64_t left = std::max<int64_t>(0, q.headDue() - now());
                wait = wait < 0 ? left : std::min(wait, left);
            }
        const timespec timeout{time_t(wait / 1000000000), long(wait % 1000000000)};
        if (ppoll(fds, 3, wait < 0 ? nullptr : &timeout, nullptr) < 0 && errno != EINTR)
            break;
        running = !(fds[2].revents & POLLIN);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                std::fputs("delaylink: a device went away\n", stderr);
                running = false;
            } else if (fds[i].revents & POLLIN) {
                take(tun[i], queue[i], delay, counters);
            }
        }
        release(queue[0], tun[1], counters);
        release(queue[1], tun[0], counters);
    }
    std::fprintf(stderr, "delaylink: forwarded %lu, dropped %lu (queue full) %lu (too long) %lu (write)\n",
                 counters.forwarded, counters.droppedFull, counters.droppedLong, counters.droppedWrite);
    close(tun[0]);
    close(tun[1]);
    return 0;
}
