#include "net/readerthread.h"

#include <chrono>

namespace adapter {

bool stopReader(ThreadHandle& thread, void (*wake)(void*), void* target, int timeoutMs)
{
    constexpr int kSliceMs = 20;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (thread) {
        if (wake)
            wake(target);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        if (joinThread(thread, static_cast<int>(left < kSliceMs ? left : kSliceMs)))
            return true;
    }
    return true;
}

} // namespace adapter
