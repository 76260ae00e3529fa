// Sealing cost per datagram, without sockets: AES-256-GCM seal and open in
// place, and scrambling, at the tunnel's small and full sizes. Prints the
// best nanoseconds per call over the repeats (other load only slows a
// repeat down), and the cipher's cost per byte at full size. Under
// valgrind --tool=callgrind the instruction counts per call show the fixed
// cost apart from machine load.
//
//   pellora-seal-bench [--count 20000] [--repeat 5]
#include "protocol/scramble.h"
#include "protocol/seal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

double nowNs()
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

} // namespace

int main(int argc, char** argv)
{
    int count = 20000;
    int repeat = 5;
    bool usable = argc % 2 == 1;
    for (int i = 1; usable && i + 1 < argc; i += 2) {
        const int value = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--count") == 0)
            count = value;
        else if (std::strcmp(argv[i], "--repeat") == 0)
            repeat = value;
        else
            usable = false;
    }
    if (!usable || count < 1 || count > 10'000'000 || repeat < 1 || repeat > 100) {
        std::fprintf(stderr, "usage: pellora-seal-bench [--count 1..10000000] [--repeat 1..100]\n");
        return 2;
    }
    std::uint8_t key[seal::kKeyBytes];
    if (!seal::randomBytes(key, sizeof key))
        return 1;
    // The sender's and the receiver's ciphers, as on two threads.
    seal::Cipher sender;
    seal::Cipher receiver;
    if (!sender.setKey(key) || !receiver.setKey(key))
        return 1;
    std::printf("per call, best of %d x %d: ns seal, ns open, ns scramble\n", repeat, count);
    double perByte[2] = {};
    std::uint64_t counter = 0;
    for (const std::size_t size : {std::size_t{100}, std::size_t{1400}}) {
        std::vector<std::uint8_t> datagram(size + seal::kOverhead, 0x5A);
        std::vector<std::uint8_t> copy(datagram.size());
        double best[3] = {1e30, 1e30, 1e30};
        long failed = 0;
        for (int round = 0; round < repeat; ++round) {
            // Sealed copies first, so that opening is timed alone.
            std::vector<std::uint8_t> sealed(datagram.size() *
                                             static_cast<std::size_t>(std::min(count, 4096)));
            double sealNs = 0;
            double openNs = 0;
            for (int done = 0; done < count;) {
                const int chunk = std::min(count - done, 4096);
                for (int i = 0; i < chunk; ++i)
                    std::memcpy(sealed.data() + static_cast<std::size_t>(i) * datagram.size(),
                                datagram.data(), datagram.size());
                double start = nowNs();
                for (int i = 0; i < chunk; ++i)
                    if (sender.seal({1, counter++},
                                    sealed.data() + static_cast<std::size_t>(i) * datagram.size(), size) == 0)
                        ++failed;
                sealNs += nowNs() - start;
                start = nowNs();
                for (int i = 0; i < chunk; ++i)
                    if (receiver.open(sealed.data() + static_cast<std::size_t>(i) * datagram.size(),
                                      datagram.size()) != static_cast<long>(size))
                        ++failed;
                openNs += nowNs() - start;
                done += chunk;
            }
            double start = nowNs();
            for (int i = 0; i < count; ++i)
                tunnel::scrambleInPlace(copy.data(), size);
            const double scrambleNs = nowNs() - start;
            best[0] = std::min(best[0], sealNs / count);
            best[1] = std::min(best[1], openNs / count);
            best[2] = std::min(best[2], scrambleNs / count);
        }
        if (failed) {
            std::fprintf(stderr, "bench: %ld datagrams did not seal or open\n", failed);
            return 1;
        }
        std::printf("%5zu bytes: %8.0f %8.0f %8.0f\n", size, best[0], best[1], best[2]);
        perByte[size == 100 ? 0 : 1] = (best[0] + best[1]) / 2;
    }
    // Two sizes: the slope is the cipher's cost per byte, the rest is per datagram.
    const double slope = (perByte[1] - perByte[0]) / 1300.0;
    std::printf("cipher: %.2f ns per byte, %.0f ns per datagram besides\n", slope, perByte[0] - 100 * slope);
    return 0;
}
