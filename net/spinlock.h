// A lock for the rare moments the GUI thread swaps what the engine's threads
// read (keys, route tables); a spin lock, as the Windows toolchain's threads
// model may lack std::mutex. Never held per packet.
#pragma once

#include <atomic>

namespace tunnel {

class SpinLock
{
public:
    explicit SpinLock(std::atomic<bool>& flag) : flag_(flag)
    {
        while (flag_.exchange(true, std::memory_order_acquire)) {
        }
    }
    ~SpinLock() { flag_.store(false, std::memory_order_release); }
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

private:
    std::atomic<bool>& flag_;
};

} // namespace tunnel
